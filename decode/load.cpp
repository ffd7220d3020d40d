// Loading a file into a Picture: recognition, the decoders, orientation,
// colour management and the checkerboard.
#include <algorithm>
#include <cwchar>
#include <new>
#include <string_view>

#include "decode/decode_internal.h"
#include "decode/system_decoder.h"
#include "platform/platform.h"

using namespace decode_internal;

namespace {

// Checkerboard cells are 12 × 12 picture pixels; colours in B, G, R order.
constexpr int kCell = 12;
constexpr std::uint8_t kA[3] = {58, 48, 43};  // odd cells
constexpr std::uint8_t kB[3] = {41, 33, 29};  // even cells, the top-left one included

constexpr std::size_t kSniffBytes = 64;
constexpr std::uint32_t kMaxColorContexts = 16;
// An icon may list 65,535 entries; only the first 1,024 are ranked (real
// icons carry a dozen or so), each by the size its headers give, and only the
// chosen one is built.
constexpr std::uint32_t kMaxRankedIconEntries = 1024;

const wchar_t kMsgGeneric[] = L"Couldn\u2019t read \u201C%ls\u201D as an image.";
const wchar_t kMsgTooLarge[] = L"\u201C%ls\u201D is too large to display.";
const wchar_t kMsgHeic[] =
    L"Couldn\u2019t read \u201C%ls\u201D. Windows may be missing the image extension for %ls "
    L"files (free in the Microsoft Store).";

// Formats a message with one or two insertions into err, truncating to fit.
void WriteMessage(wchar_t* err, std::size_t errLen, const wchar_t* format, const std::wstring& a,
                  const std::wstring& b = std::wstring()) {
  platform::WriteMessage(err, errLen, platform::FormatMessageText(format, a, b));
}

bool IsHeic(const std::wstring& ext) {
  std::wstring low;
  for (wchar_t c : ext) low += (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 32) : c;
  return low == L".heic" || low == L".heif";
}

struct PictureDeleter {
  void operator()(Picture* p) const { picture_free(p); }
};
using PicturePtr = std::unique_ptr<Picture, PictureDeleter>;

// The GIF animation set-up: canvas of the logical screen, frame 0 composed.
img::HResult StartAnimation(Picture* pic, std::unique_ptr<img::Decoder> decoder,
                            std::uint32_t count) {
  std::uint32_t w = 0, h = 0;
  auto meta = decoder->Metadata();
  bool haveW = img::ReadUInt(meta.get(), "/logscrdesc/Width", &w);
  bool haveH = img::ReadUInt(meta.get(), "/logscrdesc/Height", &h);
  if (!haveW || !haveH || w == 0 || h == 0) {
    std::unique_ptr<img::Frame> first;
    w = h = 0;
    if (img::Succeeded(decoder->GetFrame(0, &first))) {
      w = first->Width();
      h = first->Height();
    }
  }
  if (w == 0 || h == 0) return img::kFail;
  if (static_cast<std::uint64_t>(w) * h > img::kMaxPixels) return img::kOutOfMemory;
  if (!AllocPixels(pic, static_cast<int>(w), static_cast<int>(h))) return img::kOutOfMemory;
  try {
    pic->canvas.assign(static_cast<std::size_t>(w) * h * 4, 0);
  } catch (const std::bad_alloc&) {
    DropPixels(pic);
    return img::kOutOfMemory;
  }
  pic->decoder = std::move(decoder);
  pic->frameCount = count;
  if (!GifCompose(pic, 0)) {
    pic->decoder.reset();
    DropPixels(pic);
    return img::kFail;
  }
  return img::kOk;
}

// A GIF of one frame: placed on its logical screen exactly as an
// animation's first frame is (uncovered parts transparent, parts outside
// the screen clipped), then kept as a still picture without the decoder and
// the animation's buffers. For saving, the screen without the checkerboard.
img::HResult StartStill(Picture* pic, std::unique_ptr<img::Decoder> decoder, bool forDisplay) {
  img::HResult hr = StartAnimation(pic, std::move(decoder), 1);
  if (img::Failed(hr)) return hr;
  if (!forDisplay) std::copy(pic->canvas.begin(), pic->canvas.end(), pic->bits);
  pic->decoder.reset();
  pic->frameCount = pic->currentFrame = pic->delayMs = pic->disposal = 0;
  pic->frameLeft = pic->frameTop = pic->frameWidth = pic->frameHeight = 0;
  pic->savedRect = img::Rect{};
  pic->shown = false;
  pic->pixelsTouched = 0;
  std::vector<std::uint8_t>().swap(pic->canvas);
  std::vector<std::uint8_t>().swap(pic->saved);
  std::vector<std::uint8_t>().swap(pic->scratch);
  std::vector<img::Rect>().swap(pic->drawn);
  std::vector<img::Rect>().swap(pic->pending);
  return img::kOk;
}

}  // namespace

namespace decode_internal {

Bundled SniffBytes(const std::uint8_t* b, std::size_t n) {
  if (!b || n < 16) return kBundledNone;
  auto is = [&](std::size_t off, const char* tag) {
    return b[off] == tag[0] && b[off + 1] == tag[1] && b[off + 2] == tag[2] && b[off + 3] == tag[3];
  };
  if (is(0, "RIFF") && is(8, "WEBP")) return kBundledWebp;
  if (is(4, "ftyp")) {
    std::size_t box = (static_cast<std::size_t>(b[0]) << 24) | (b[1] << 16) | (b[2] << 8) | b[3];
    std::size_t limit = n < box ? n : box;
    if (limit <= 11) return kBundledNone;
    for (std::size_t off = 8; off + 4 <= limit; off += (off == 8 ? 8 : 4)) {
      if (is(off, "avif") || is(off, "avis")) return kBundledAvif;
    }
  }
  return kBundledNone;
}

Bundled Sniff(const std::wstring& path) {
  std::vector<std::uint8_t> head;
  if (!platform::ReadFilePrefix(path, kSniffBytes, &head)) return kBundledNone;
  return SniffBytes(head.data(), head.size());
}

std::uint32_t PickFrame(img::Decoder& decoder, img::Container container, std::uint32_t count) {
  if (count == 1 || container != img::Container::Ico) return 0;
  std::uint32_t best = 0;
  std::uint64_t bestArea = 0;
  const std::uint32_t ranked = std::min(count, kMaxRankedIconEntries);
  for (std::uint32_t i = 0; i < ranked; ++i) {
    std::uint32_t w = 0, h = 0;
    std::uint64_t area = 0;
    if (img::Succeeded(decoder.GetFrameSize(i, &w, &h))) area = static_cast<std::uint64_t>(w) * h;
    if (area >= bestArea) {  // the later of equal areas wins
      bestArea = area;
      best = i;
    }
  }
  return best;
}

std::uint32_t ReadOrientation(const img::Frame& frame) {
  auto meta = frame.Metadata();
  if (!meta) return 1;
  std::int64_t v = 1;
  if (!img::ReadInteger(meta.get(), "/app1/ifd/{ushort=274}", &v)) {
    img::ReadInteger(meta.get(), "/ifd/{ushort=274}", &v);
  }
  return v >= 1 && v <= 8 ? static_cast<std::uint32_t>(v) : 1;
}

void Reorient(Picture* pic, std::uint32_t orientation) {
  if (orientation < 2 || orientation > 8 || !pic->bits) return;
  const int W = pic->width, H = pic->height;
  const bool swap = orientation >= 5;
  const int tw = swap ? H : W, th = swap ? W : H;
  std::uint8_t* bits = nullptr;
  PictureBitmap dib = MakeDibSection(tw, th, &bits);
  if (!dib) return;
  const auto* src = reinterpret_cast<const std::uint32_t*>(pic->bits);
  auto* dst = reinterpret_cast<std::uint32_t*>(bits);
  for (int y = 0; y < th; ++y) {
    std::uint32_t* row = dst + static_cast<std::size_t>(y) * tw;
    for (int x = 0; x < tw; ++x) {
      int sx, sy;
      switch (orientation) {
        case 2:
          sx = W - 1 - x, sy = y;
          break;
        case 3:
          sx = W - 1 - x, sy = H - 1 - y;
          break;
        case 4:
          sx = x, sy = H - 1 - y;
          break;
        case 5:
          sx = y, sy = x;
          break;
        case 6:
          sx = y, sy = H - 1 - x;
          break;
        case 7:
          sx = W - 1 - y, sy = H - 1 - x;
          break;
        default:
          sx = W - 1 - y, sy = x;
          break;  // 8
      }
      row[x] = src[static_cast<std::size_t>(sy) * W + sx];
    }
  }
  ReplacePixels(pic, dib, bits, tw, th);
}

std::unique_ptr<img::ColorTransform> ColorManaged(const img::Frame& frame) {
  std::vector<img::ColorContext> contexts = frame.ColorContexts();
  if (contexts.empty() || contexts.size() > kMaxColorContexts) return nullptr;
  const img::ColorContext* chosen = nullptr;
  for (const img::ColorContext& c : contexts) {
    if (c.type == img::ColorContext::Type::Profile) {
      chosen = &c;
      break;
    }
    if (!chosen && c.type == img::ColorContext::Type::ExifColorSpace && c.exifColorSpace == 2) {
      chosen = &c;
    }
  }
  if (!chosen) return nullptr;
  return img::CreateColorTransform(*chosen);
}

img::HResult DecodeStill(Picture* pic, img::Frame& frame, bool flatten, bool colorManage) {
  std::unique_ptr<img::ColorTransform> transform = colorManage ? ColorManaged(frame) : nullptr;
  const std::uint32_t w = frame.Width(), h = frame.Height();
  img::HResult hr = img::kOk;
  if (w == 0 || h == 0) {
    hr = img::kFail;
  } else if (static_cast<std::uint64_t>(w) * h > img::kMaxPixels ||
             !AllocPixels(pic, static_cast<int>(w), static_cast<int>(h))) {
    hr = img::kOutOfMemory;
  } else {
    const std::size_t stride = static_cast<std::size_t>(w) * 4;
    const std::size_t size = stride * h;
    if (transform) {
      hr = transform->Copy(frame, pic->bits, stride, size);
      if (img::Succeeded(hr)) img::Premultiply(pic->bits, static_cast<std::size_t>(w) * h);
      // A CMYK frame whose data ended early has no alpha to mark the rows
      // that are missing once converted: it is shown without its profile,
      // with those rows transparent.
      if (hr == img::kFalse && transform->InputFormat() == img::PixelFormat::Cmyk32) {
        hr = img::kFail;
      }
    } else {
      hr = frame.CopyPixels(img::PixelFormat::Pbgra32, pic->bits, stride, size);
    }
  }
  if (img::Succeeded(hr)) {
    if (flatten) Flatten(pic->bits, pic->width, pic->height);
    return hr;  // kFalse when the data ended early: the rows after are transparent
  }
  DropPixels(pic);
  // A profile that cannot be applied never prevents display.
  if (hr != img::kOutOfMemory && transform) return DecodeStill(pic, frame, flatten, false);
  return hr;
}

void Flatten(std::uint8_t* pixels, int width, int height) {
  if (width <= 0 || height <= 0) return;
  FlattenRect(pixels, width, img::Rect{0, 0, width, height});
}

void FlattenRect(std::uint8_t* pixels, int width, const img::Rect& r) {
  if (r.width <= 0 || r.height <= 0) return;
  for (int y = r.y; y < r.y + r.height; ++y) {
    std::uint8_t* p = pixels + (static_cast<std::size_t>(y) * width + r.x) * 4;
    const int cellRow = y / kCell;
    for (int x = r.x; x < r.x + r.width; ++x, p += 4) {
      const unsigned a = p[3];
      if (a == 255) continue;
      const std::uint8_t* bg = ((x / kCell + cellRow) & 1) ? kA : kB;
      if (a == 0) {
        p[0] = bg[0], p[1] = bg[1], p[2] = bg[2];
      } else {
        for (int c = 0; c < 3; ++c) {
          unsigned v = p[c] + (bg[c] * (255 - a) + 127) / 255;
          p[c] = static_cast<std::uint8_t>(v > 255 ? 255 : v);
        }
      }
      p[3] = 255;
    }
  }
}

}  // namespace decode_internal

img::HResult decode_internal::LoadBytes(Picture* pic, std::vector<std::uint8_t> bytes, Bundled kind,
                                        bool forDisplay) {
  if (kind != kBundledNone) {
    if (img::Succeeded(DecodeBundled(kind, bytes, pic)) && pic->bits) {
      if (forDisplay) Flatten(pic->bits, pic->width, pic->height);
      return img::kOk;
    }
    DropPixels(pic);
  }
  auto shared = std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes));
  std::unique_ptr<img::Decoder> decoder;
  img::HResult result = img::CreateDecoderFromMemory(shared, &decoder);
  if (img::Failed(result)) {
    // Too large, or a file of ours far too small for the size it declares:
    // no other decoder gets the chance to spend the memory.
    if (result == img::kOutOfMemory || result == img::kErrImageSizeOutOfRange) return result;
    // A format none of ours knows: the system's decoders, where there are any.
    result = DecodeWithSystem(*shared, pic);
    if (img::Succeeded(result) && forDisplay) Flatten(pic->bits, pic->width, pic->height);
    return result;
  }
  shared.reset();
  const img::Container container = decoder->GetContainerFormat();
  const std::uint32_t count = decoder->GetFrameCount();
  if (count == 0) return img::kFail;
  if (forDisplay && container == img::Container::Gif && count != 1) {
    return StartAnimation(pic, std::move(decoder), count);
  }
  if (container == img::Container::Gif && count == 1) {
    return StartStill(pic, std::move(decoder), forDisplay);
  }
  std::unique_ptr<img::Frame> frame;
  result = decoder->GetFrame(PickFrame(*decoder, container, count), &frame);
  if (img::Failed(result)) return result;
  const bool flatten =
      forDisplay && container != img::Container::Jpeg && container != img::Container::Bmp;
  const std::uint32_t orientation = ReadOrientation(*frame);
  result = DecodeStill(pic, *frame, flatten, true);
  // A picture cut short shows the checkerboard where its data stop, a JPEG
  // too (its decoded rows are opaque, so nothing else changes).
  if (result == img::kFalse && forDisplay && !flatten) Flatten(pic->bits, pic->width, pic->height);
  if (img::Succeeded(result)) Reorient(pic, orientation);
  return result;
}

Picture* picture_load_reduced(const wchar_t* path, const std::function<double(int, int)>& fitZoom) {
  if (!path || !fitZoom || !FactoryReady()) return nullptr;
  std::vector<std::uint8_t> bytes;
  if (platform::ReadWholeFile(path, &bytes) != platform::ReadResult::Ok) return nullptr;
  return LoadReducedBytes(bytes, fitZoom);
}

Picture* decode_internal::LoadReducedBytes(const std::vector<std::uint8_t>& bytes,
                                           const std::function<double(int, int)>& fitZoom) {
  if (!fitZoom) return nullptr;
  if (SniffBytes(bytes.data(), std::min(bytes.size(), kSniffBytes)) != kBundledNone) {
    return nullptr;
  }
  // The decoder sees the caller's bytes without a copy; it ends here, before
  // they do.
  std::unique_ptr<img::Decoder> decoder;
  const img::Bytes view(std::shared_ptr<void>(), &bytes);
  if (img::Failed(img::CreateDecoderFromMemory(view, &decoder)) ||
      decoder->GetContainerFormat() != img::Container::Jpeg) {
    return nullptr;
  }
  std::unique_ptr<img::Frame> frame;
  if (img::Failed(decoder->GetFrame(0, &frame))) return nullptr;
  const std::uint32_t orientation = ReadOrientation(*frame);
  const bool swap = orientation >= 5;
  const std::uint32_t fullW = swap ? frame->Height() : frame->Width();
  const std::uint32_t fullH = swap ? frame->Width() : frame->Height();
  if (fullW == 0 || fullH == 0 || static_cast<std::uint64_t>(fullW) * fullH > img::kMaxPixels) {
    return nullptr;
  }
  const double zoom = fitZoom(static_cast<int>(fullW), static_cast<int>(fullH));
  if (!(zoom > 0) || zoom > 0.5) return nullptr;
  // The largest reduction whose picture is still at least as large as shown.
  std::uint32_t denominator = 0;
  for (std::uint32_t d : {8u, 4u, 2u}) {
    if (zoom * d <= 1.0) {
      denominator = d;
      break;
    }
  }
  std::uint32_t w = 0, h = 0;
  if (!denominator || !frame->ReducedSize(denominator, &w, &h)) return nullptr;
  std::unique_ptr<img::ColorTransform> transform = ColorManaged(*frame);
  if (transform && transform->InputFormat() != img::PixelFormat::Bgra32) return nullptr;
  PicturePtr pic(new (std::nothrow) Picture);
  if (!pic || !AllocPixels(pic.get(), static_cast<int>(w), static_cast<int>(h))) return nullptr;
  const std::size_t stride = static_cast<std::size_t>(w) * 4;
  // Damaged data is left to the whole decode, which shows what there is.
  if (frame->CopyReducedPixels(denominator, img::PixelFormat::Bgra32, pic->bits, stride,
                               stride * h) != img::kOk) {
    return nullptr;
  }
  if (transform) transform->TransformBgra(pic->bits, static_cast<std::size_t>(w) * h);
  Reorient(pic.get(), orientation);
  pic->reduction = static_cast<std::int32_t>(denominator);
  pic->fullWidth = static_cast<std::int32_t>(fullW);
  pic->fullHeight = static_cast<std::int32_t>(fullH);
  return pic.release();
}

Picture* picture_load(const wchar_t* path, wchar_t* err, std::size_t errLen) {
  return picture_open(path, nullptr, err, errLen);
}

Picture* picture_open(const wchar_t* path, const std::function<double(int, int)>& fitZoom,
                      wchar_t* err, std::size_t errLen) {
  if (err && errLen >= 1) err[0] = L'\0';
  const std::wstring file = path ? path : L"";
  const std::wstring name = platform::FileNamePart(file);
  PicturePtr pic(new (std::nothrow) Picture);
  bool attempted = false;
  img::HResult result = img::kFail;
  if (pic) {
    // WebP and AVIF go to their libraries first; when a library says no, the
    // general decoders get the same bytes.
    // The file is read once; recognition looks at the first bytes of it.
    std::vector<std::uint8_t> bytes;
    if (platform::ReadWholeFile(file, &bytes) == platform::ReadResult::Ok && FactoryReady()) {
      attempted = true;
      if (fitZoom) {
        if (Picture* reduced = LoadReducedBytes(bytes, fitZoom)) return reduced;
      }
      const Bundled kind = SniffBytes(bytes.data(), std::min(bytes.size(), kSniffBytes));
      result = LoadBytes(pic.get(), std::move(bytes), kind);
    }
  }
  if (attempted && img::Succeeded(result) && pic->bits) return pic.release();

  if (attempted && result == img::kOutOfMemory) {
    WriteMessage(err, errLen, kMsgTooLarge, name);
  } else if (IsHeic(platform::ExtensionPart(name))) {
    WriteMessage(err, errLen, kMsgHeic, name, platform::ExtensionPart(name));
  } else {
    WriteMessage(err, errLen, kMsgGeneric, name);
  }
  return nullptr;
}
