// Save as: the pixels to write (the file decoded again without the
// checkerboard, the animation frame on display, or the picture as shown),
// their alpha made ready for the format, an encoder, and a temporary file
// next to the destination that is swapped in once it is complete.
#include <algorithm>
#include <cstring>
#include <new>

#include "decode/decode_internal.h"
#include "platform/platform.h"

using namespace decode_internal;

namespace {

const wchar_t kMsgNothing[] = L"There is no picture to save.";
const wchar_t kMsgType[] = L"That file type can't be written. Use PNG, JPEG, BMP, TIFF or GIF.";
const wchar_t kMsgMemory[] = L"Not enough memory to save this picture.";
const wchar_t kMsgCreate[] =
    L"The file could not be created there. Check that the folder is writable.";
const wchar_t kMsgEncode[] = L"The picture could not be saved in that format.";
const wchar_t kMsgReplace[] =
    L"The file could not be written there. It may be read-only or in use.";

enum Format { kNone = 0, kPng = 1, kJpeg = 2, kBmp = 3, kTiff = 4, kGif = 5 };

constexpr float kJpegQuality = 0.92f;

struct PictureDeleter {
  void operator()(Picture* p) const { picture_free(p); }
};
using PicturePtr = std::unique_ptr<Picture, PictureDeleter>;

// Premultiplied BGRA pixels, width × 4 bytes a row, that the save may change
// in place: either a copy or a picture decoded for the purpose.
struct Pixels {
  std::vector<std::uint8_t> copy;
  PicturePtr decoded;
  std::uint8_t* data = nullptr;
  std::uint32_t width = 0, height = 0;
};

bool CopyOf(const std::uint8_t* from, std::uint32_t w, std::uint32_t h, Pixels* out) {
  try {
    out->copy.assign(from, from + static_cast<std::size_t>(w) * h * 4);
  } catch (const std::bad_alloc&) {
    return false;
  }
  out->data = out->copy.data();
  out->width = w;
  out->height = h;
  return true;
}

// The source file decoded again for saving; false when it no longer decodes.
bool Redecode(const std::wstring& source, Pixels* out) {
  std::vector<std::uint8_t> bytes;
  if (platform::ReadWholeFile(source, &bytes) != platform::ReadResult::Ok) return false;
  PicturePtr pic(new (std::nothrow) Picture);
  if (!pic) return false;
  // Recognised from the first bytes, as picture_load does.
  const Bundled kind = SniffBytes(bytes.data(), std::min<std::size_t>(bytes.size(), 64));
  if (img::Failed(LoadBytes(pic.get(), std::move(bytes), kind, false)) || !pic->bits ||
      pic->width <= 0 || pic->height <= 0) {
    return false;
  }
  out->width = static_cast<std::uint32_t>(pic->width);
  out->height = static_cast<std::uint32_t>(pic->height);
  out->data = pic->bits;
  out->decoded = std::move(pic);
  return true;
}

// The pixels to write; false when no buffer could be had for them.
bool GatherPixels(const Picture* pic, const std::wstring& source, Pixels* out) {
  const auto w = static_cast<std::uint32_t>(pic->width),
             h = static_cast<std::uint32_t>(pic->height);
  // An animation writes the frame on display, as composed before the
  // checkerboard went under it.
  if (picture_animated(pic) && pic->canvas.size() == static_cast<std::size_t>(w) * h * 4) {
    return CopyOf(pic->canvas.data(), w, h, out);
  }
  if (!source.empty() && Redecode(source, out)) return true;
  // No source, or it is gone or changed beyond reading: the picture as shown.
  return CopyOf(pic->bits, w, h, out);
}

bool Opaque(const std::uint8_t* p, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    if (p[i * 4 + 3] != 255) return false;
  }
  return true;
}

// Premultiplied to straight alpha, in place.
void Unpremultiply(std::uint8_t* p, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i, p += 4) {
    const unsigned a = p[3];
    if (a == 0 || a == 255) continue;
    for (int c = 0; c < 3; ++c) {
      p[c] = static_cast<std::uint8_t>(std::min(255u, (p[c] * 255u + a / 2) / a));
    }
  }
}

// Premultiplied pixels laid on white and packed in place into 24-bit BGR
// rows (width × 3 bytes each); opaque pixels keep their colour.
void PackBgr(std::uint8_t* p, std::size_t count) {
  std::uint8_t* d = p;
  for (std::size_t i = 0; i < count; ++i, d += 3) {
    const std::uint8_t* s = p + i * 4;
    const unsigned under = 255u - s[3];
    for (int c = 0; c < 3; ++c) d[c] = static_cast<std::uint8_t>(std::min(255u, s[c] + under));
  }
}

img::HResult Encode(int format, Pixels& px, std::vector<std::uint8_t>* file) {
  const std::size_t count = static_cast<std::size_t>(px.width) * px.height;
  const bool keepsAlpha = format == kPng || format == kTiff;
  const bool opaque = Opaque(px.data, count);
  if (keepsAlpha && !opaque) {
    Unpremultiply(px.data, count);
    const std::size_t stride = static_cast<std::size_t>(px.width) * 4;
    return format == kPng ? img::EncodePng(px.data, img::PixelFormat::Bgra32, px.width, px.height,
                                           stride, file)
                          : img::EncodeTiff(px.data, img::PixelFormat::Bgra32, px.width, px.height,
                                            stride, file);
  }
  PackBgr(px.data, count);
  const std::size_t stride = static_cast<std::size_t>(px.width) * 3;
  switch (format) {
    case kPng:
      return img::EncodePng(px.data, img::PixelFormat::Bgr24, px.width, px.height, stride, file);
    case kTiff:
      return img::EncodeTiff(px.data, img::PixelFormat::Bgr24, px.width, px.height, stride, file);
    case kJpeg:
      return img::EncodeJpeg(px.data, px.width, px.height, stride, kJpegQuality, file);
    case kBmp:
      return img::EncodeBmp(px.data, px.width, px.height, stride, file);
    default:
      return img::EncodeGif(px.data, px.width, px.height, stride, file);
  }
}

// Writes the file next to `dest` and swaps it in. Returns the message for a
// failure, or an empty text.
std::wstring WriteInPlace(const std::wstring& dest, const std::vector<std::uint8_t>& file) {
  std::wstring kept;
  switch (platform::WriteAtomically(dest, file.data(), file.size(), &kept)) {
    case platform::AtomicResult::Ok:
      return std::wstring();
    case platform::AtomicResult::CannotCreate:
      return kMsgCreate;
    case platform::AtomicResult::KeptAside:
      return platform::KeptAsideMessage(kept);
    case platform::AtomicResult::CannotReplace:
      break;
  }
  return kMsgReplace;
}

}  // namespace

namespace decode_internal {

int SaveFormatFor(const std::wstring& path) {
  std::wstring ext = platform::ExtensionPart(platform::FileNamePart(path));
  for (wchar_t& c : ext) {
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c + 32);
  }
  if (ext == L".png") return kPng;
  if (ext == L".jpg" || ext == L".jpeg") return kJpeg;
  if (ext == L".bmp") return kBmp;
  if (ext == L".tif" || ext == L".tiff") return kTiff;
  if (ext == L".gif") return kGif;
  return kNone;
}

}  // namespace decode_internal

bool picture_file_png(const wchar_t* source, std::vector<std::uint8_t>* png) {
  png->clear();
  if (!source || !FactoryReady()) return false;
  Pixels px;
  if (!Redecode(source, &px)) return false;
  const img::HResult hr = Encode(kPng, px, png);
  return !img::Failed(hr) && !png->empty();
}

bool picture_can_write(const wchar_t* path) { return path && SaveFormatFor(path) != kNone; }

bool picture_save(const Picture* picture, const wchar_t* source, const wchar_t* destination,
                  wchar_t* err, std::size_t errLen) {
  if (err && errLen >= 1) err[0] = L'\0';
  auto fail = [&](const wchar_t* message) {
    platform::WriteMessage(err, errLen, message);
    return false;
  };
  if (!picture || !picture->bits || picture->width <= 0 || picture->height <= 0 ||
      !FactoryReady()) {
    return fail(kMsgNothing);
  }
  const std::wstring dest = destination ? destination : L"";
  const int format = SaveFormatFor(dest);
  if (format == kNone) return fail(kMsgType);

  std::vector<std::uint8_t> file;
  {
    Pixels px;
    if (!GatherPixels(picture, source ? source : L"", &px)) return fail(kMsgMemory);
    const img::HResult hr = Encode(format, px, &file);
    if (hr == img::kOutOfMemory) return fail(kMsgMemory);
    if (img::Failed(hr) || file.empty()) return fail(kMsgEncode);
  }  // the pixels are released before the file is written
  const std::wstring message = WriteInPlace(dest, file);
  return message.empty() ? true : fail(message.c_str());
}
