// PNG decoding with libpng: every colour type and bit depth, palettes with
// tRNS, 16-bit samples and Adam7 interlacing, read from memory. The metadata
// chunks are found by our own bounds-checked walk over the chunk list.
#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <csetjmp>
#include <cstring>
#include <new>
#include <string>

#include "imaging/byte_reader.h"
#include "imaging/imaging.h"
#include "imaging/png_internal.h"
#include "platform/platform.h"

namespace img {
namespace {

constexpr std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr std::uint32_t kIdat = 0x49444154u;

struct Header {
  std::uint32_t width = 0, height = 0;
  int depth = 0, colorType = 0, interlace = 0;
};

// IHDR must be the first chunk; its fields are checked here so that a lying
// header is refused before libpng allocates anything.
bool ReadIhdr(const std::vector<std::uint8_t>& bytes, Header* h) {
  ByteReader r(bytes.data(), bytes.size());
  r.Skip(8);
  std::uint32_t len = r.U32BE();
  std::uint32_t type = r.U32BE();
  if (!r.ok() || len != 13 || type != 0x49484452u /* IHDR */) return false;
  h->width = r.U32BE();
  h->height = r.U32BE();
  h->depth = r.U8();
  h->colorType = r.U8();
  r.U8();  // compression
  r.U8();  // filter
  h->interlace = r.U8();
  return r.ok() && h->width > 0 && h->height > 0 && h->width <= 0x7FFFFFFF &&
         h->height <= 0x7FFFFFFF;
}

PixelFormat NativeOf(const Header& h) {
  switch (h.colorType) {
    case PNG_COLOR_TYPE_GRAY:
      return GrayFormat(static_cast<unsigned>(h.depth));
    case PNG_COLOR_TYPE_PALETTE:
      return IndexedFormat(static_cast<unsigned>(h.depth));
    case PNG_COLOR_TYPE_RGB:
      return h.depth == 16 ? PixelFormat::Rgb48 : PixelFormat::Bgr24;
    case PNG_COLOR_TYPE_GRAY_ALPHA:
    case PNG_COLOR_TYPE_RGB_ALPHA:
      return h.depth == 16 ? PixelFormat::Rgba64 : PixelFormat::Bgra32;
    default:
      return PixelFormat::Unknown;
  }
}

struct MemoryInput {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t pos;
};

// The bytes libpng may see: the signature and every chunk up to IEND, ending
// before the first chunk whose length runs past the end of the file. libpng
// allocates a chunk's buffer from its length before reading the data, so a
// lying length in a tiny file would otherwise cost gigabytes. Picture data
// are the exception: a file cut inside an IDAT chunk gives its rows up to
// the cut, so that chunk's offset goes to *cutIdat (else it is 0) and the
// prefix ends with the file.
std::size_t FittingPrefix(const std::vector<std::uint8_t>& bytes, std::size_t* cutIdat = nullptr) {
  if (cutIdat) *cutIdat = 0;
  ByteReader r(bytes.data(), bytes.size());
  if (!r.Skip(8)) return 0;
  std::size_t end = r.pos();
  while (r.left() >= 8) {
    const std::size_t at = r.pos();
    const std::uint32_t len = r.U32BE();
    const std::uint32_t type = r.U32BE();
    if (len > 0x7FFFFFFFu || !r.Skip(std::uint64_t{len} + 4)) {
      if (type == kIdat && len <= 0x7FFFFFFFu && cutIdat) {
        *cutIdat = at;
        end = bytes.size();
      }
      break;
    }
    end = r.pos();
    if (type == 0x49454E44u) break;  // IEND
  }
  return end;
}

// libpng reads a chunk's declared length whole, so the IDAT chunk a file is
// cut in is given to it closed: its length cut to the bytes that are there
// and a CRC of zeros (a wrong CRC on picture data is let through).
std::vector<std::uint8_t> CloseCutIdat(const std::vector<std::uint8_t>& bytes, std::size_t at) {
  std::vector<std::uint8_t> out(bytes.begin(), bytes.end());
  const std::size_t have = bytes.size() - at - 8;
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<std::uint8_t>(have >> (24 - 8 * i));
  out.insert(out.end(), 4, 0);
  return out;
}

// The bytes of picture data the file holds (IDAT chunks, the last one perhaps
// cut short), up to IEND or the first chunk whose length does not fit.
std::uint64_t IdatBytes(const std::vector<std::uint8_t>& bytes) {
  ByteReader r(bytes.data(), bytes.size());
  r.Skip(8);
  std::uint64_t total = 0;
  while (r.ok() && r.left() >= 8) {
    const std::uint32_t len = r.U32BE();
    const std::uint32_t type = r.U32BE();
    if (type == kIdat) total += std::min<std::uint64_t>(len, r.left());
    if (type == 0x49454E44u || !r.Skip(std::uint64_t{len} + 4)) break;
  }
  return total;
}

// Whether the picture data can inflate to the rows the header declares:
// deflate gives at most 258 bytes for two bits (about 1032:1), so fewer
// compressed bytes than that cannot be the picture, and the file is refused
// before any pixel memory is taken. Small pictures are never refused here.
bool IdatCanHold(const Header& h, std::uint64_t idat) {
  unsigned channels = 1;
  if (h.colorType == PNG_COLOR_TYPE_RGB) channels = 3;
  if (h.colorType == PNG_COLOR_TYPE_GRAY_ALPHA) channels = 2;
  if (h.colorType == PNG_COLOR_TYPE_RGB_ALPHA) channels = 4;
  const std::uint64_t bits = std::uint64_t{h.width} * channels * static_cast<unsigned>(h.depth);
  const std::uint64_t raw = ((bits + 7) / 8 + 1) * h.height;  // each row with its filter byte
  constexpr std::uint64_t kMaxRatio = 1032;
  constexpr std::uint64_t kSlack = 1024;
  return raw / kMaxRatio <= idat + kSlack;
}

void ReadFromMemory(png_structp png, png_bytep out, png_size_t n) {
  auto* in = static_cast<MemoryInput*>(png_get_io_ptr(png));
  if (n > in->size - in->pos) png_error(png, "truncated");
  std::memcpy(out, in->data + in->pos, n);
  in->pos += n;
}

void OnError(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void OnWarning(png_structp, png_const_charp) {}

// The largest chunk libpng may hold or inflate for us.
constexpr png_alloc_size_t kMaxLibpngChunk = png_alloc_size_t{16} << 20;

// One libpng reader; destroyed on every path by its owner.
struct Reader {
  png_structp png = nullptr;
  png_infop info = nullptr;
  ~Reader() { png_destroy_read_struct(&png, info ? &info : nullptr, nullptr); }
};

bool Create(Reader* r, MemoryInput* in) {
  r->png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, OnError, OnWarning);
  if (!r->png) return false;
  r->info = png_create_info_struct(r->png);
  if (!r->info) return false;
  png_set_read_fn(r->png, in, ReadFromMemory);
  // The picture limits are ours. Text and the other chunks read by our own
  // code are skipped unread, so that compressed text is never inflated here;
  // what libpng still inflates (the ICC profile) stops at 16 MiB.
  png_set_user_limits(r->png, 0x7FFFFFFF, 0x7FFFFFFF);
  png_set_chunk_malloc_max(r->png, kMaxLibpngChunk);
  // Damage that leaves the picture readable does not stop it, as in other
  // viewers: a wrong CRC on a critical chunk (the data are used as they are;
  // a damaged ancillary chunk is still dropped), libpng's benign errors, and
  // a zlib header that declares too small a window.
  png_set_crc_action(r->png, PNG_CRC_QUIET_USE, PNG_CRC_DEFAULT);
  png_set_benign_errors(r->png, 1);
#ifdef PNG_MAXIMUM_INFLATE_WINDOW
  png_set_option(r->png, PNG_MAXIMUM_INFLATE_WINDOW, PNG_OPTION_ON);
#endif
  static const png_byte kSkipped[] = {'t', 'E', 'X', 't', 0, 'z', 'T', 'X', 't', 0,
                                      'i', 'T', 'X', 't', 0, 'e', 'X', 'I', 'f', 0,
                                      't', 'I', 'M', 'E', 0, 's', 'P', 'L', 'T', 0};
  png_set_keep_unknown_chunks(r->png, PNG_HANDLE_CHUNK_NEVER, kSkipped,
                              static_cast<int>(sizeof kSkipped / 5));
  return true;
}

// One pass over a file: libpng's reader after every chunk before the
// picture data (the profile among them) has been read, ready for the rows.
struct Session {
  std::vector<std::uint8_t> closed;  // the file with its cut IDAT chunk closed
  MemoryInput in{};
  Reader r;
};

std::atomic<std::uint64_t> g_headerPasses{0};

std::unique_ptr<Session> OpenSession(const std::vector<std::uint8_t>& bytes) {
  std::unique_ptr<Session> s(new (std::nothrow) Session);
  if (!s) return nullptr;
  std::size_t cutIdat = 0;
  s->in = MemoryInput{bytes.data(), FittingPrefix(bytes, &cutIdat), 0};
  if (cutIdat) {
    try {
      s->closed = CloseCutIdat(bytes, cutIdat);
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
    s->in = MemoryInput{s->closed.data(), s->closed.size(), 0};
  }
  if (!Create(&s->r, &s->in)) return nullptr;
  g_headerPasses.fetch_add(1, std::memory_order_relaxed);
  if (setjmp(png_jmpbuf(s->r.png))) return nullptr;
  png_read_info(s->r.png, s->r.info);
  return s;
}

// Goes on from the chunks read to the rows: straight BGRA (4 bytes a pixel)
// at `stride`. Rows are read one by one, so that when the data end early or
// turn corrupt the rows before stay: the rest are written transparent (all
// zero) and the result is kFalse. Nothing after the last row is read, so a
// missing or damaged IEND does not matter. A decode that gives no row fails.
HResult DecodeBgra(Session* s, std::uint8_t* buffer, std::size_t stride, std::uint32_t height) {
  std::vector<png_bytep> rows;
  try {
    rows.resize(height);
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
  for (std::uint32_t y = 0; y < height; ++y) rows[y] = buffer + y * stride;
  png_structp png = s->r.png;
  png_infop info = s->r.info;
  const std::size_t rowBytes = static_cast<std::size_t>(png_get_image_width(png, info)) * 4;
  const bool interlaced = png_get_interlace_type(png, info) != PNG_INTERLACE_NONE;
  // Each pass of an interlaced picture writes only its own pixels: the
  // others stay transparent until a later pass comes.
  if (interlaced) {
    for (std::uint32_t y = 0; y < height; ++y) std::memset(rows[y], 0, rowBytes);
  }
  volatile bool reading = false;
  if (setjmp(png_jmpbuf(png))) {
    if (!reading) return kErrBadImage;
    // Rows before libpng's current one are whole; after the last row of the
    // last pass the pass number is 7 (interlaced) or the row number the
    // height (plain) while it checks the end of the stream.
    if (interlaced) {
      return png_get_current_pass_number(png) >= 7 ? kOk : kFalse;
    }
    const std::uint32_t done = std::min<std::uint32_t>(png_get_current_row_number(png), height);
    if (done == height) return kOk;
    if (done == 0) return kErrBadImage;
    for (std::uint32_t y = done; y < height; ++y) std::memset(rows[y], 0, rowBytes);
    return kFalse;
  }
  int colorType = png_get_color_type(png, info);
  png_set_expand(png);  // palette to RGB, tRNS to alpha, low gray depths to 8
  png_set_scale_16(png);
  if (colorType == PNG_COLOR_TYPE_GRAY || colorType == PNG_COLOR_TYPE_GRAY_ALPHA) {
    png_set_gray_to_rgb(png);
  }
  png_set_bgr(png);
  png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
  const int passes = png_set_interlace_handling(png);
  png_read_update_info(png, info);
  if (png_get_rowbytes(png, info) != rowBytes || png_get_image_height(png, info) != height) {
    return kErrBadImage;
  }
  reading = true;
  for (int pass = 0; pass < passes; ++pass) {
    for (std::uint32_t y = 0; y < height; ++y) {
      // A decode no longer wanted stops at the next row.
      if (CancelRequested()) return kAborted;
      png_read_row(png, rows[y], nullptr);
    }
  }
  return kOk;
}

}  // namespace

std::uint64_t PngHeaderPasses() { return g_headerPasses.load(std::memory_order_relaxed); }

int PngTextKeptByLibpng(const std::vector<std::uint8_t>& bytes) {
  MemoryInput in{bytes.data(), FittingPrefix(bytes), 0};
  Reader r;
  if (!Create(&r, &in)) return -1;
  if (setjmp(png_jmpbuf(r.png))) return -1;
  png_read_info(r.png, r.info);
  png_read_update_info(r.png, r.info);
  return png_get_text(r.png, r.info, nullptr, nullptr);
}

namespace {

bool ReadIcc(Session* s, std::vector<std::uint8_t>* profile) {
  png_charp name = nullptr;
  int compression = 0;
  png_bytep data = nullptr;
  png_uint_32 len = 0;
  if (!png_get_iCCP(s->r.png, s->r.info, &name, &compression, &data, &len) || !data || len == 0) {
    return false;
  }
  try {
    profile->assign(data, data + len);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Metadata chunks.

// Inflated text and profiles stop here: anything larger is treated as broken.
constexpr std::size_t kMaxInflated = std::size_t{16} << 20;
// All the chunks of one file together inflate to at most this much; deflate
// reaches about 1000:1, so without it a few megabytes of chunks could ask for
// gigabytes.
constexpr std::size_t kMaxInflatedTotal = std::size_t{32} << 20;
// Files carry a handful of metadata chunks; a file of nothing but tiny text
// chunks would otherwise cost far more memory as readers than as bytes.
constexpr std::size_t kMaxBlocks = 10000;

// Inflates a whole zlib stream. False for a corrupt or truncated stream or
// one that would grow past kMaxInflated or past what is left of the file's
// *budget, which the output is taken from.
bool Inflate(const std::uint8_t* data, std::size_t size, std::string* out, std::size_t* budget) {
  out->clear();
  if (size > 0x7FFFFFFFu) return false;  // a chunk never holds more
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return false;
  z.next_in = const_cast<Bytef*>(data);
  z.avail_in = static_cast<uInt>(size);
  char buf[16384];
  int rc = Z_OK;
  while (rc == Z_OK) {
    z.next_out = reinterpret_cast<Bytef*>(buf);
    z.avail_out = sizeof buf;
    rc = inflate(&z, Z_NO_FLUSH);
    const std::size_t produced = sizeof buf - z.avail_out;
    const std::size_t limit = std::min(kMaxInflated, *budget);
    if (produced > limit - out->size()) {
      rc = Z_MEM_ERROR;
      break;
    }
    out->append(buf, produced);
  }
  inflateEnd(&z);
  *budget -= out->size();
  // Z_BUF_ERROR here means the input ran out before the stream ended.
  return rc == Z_STREAM_END;
}

// A zero-terminated field starting at r's position (the zero is consumed);
// false when no zero follows.
bool Field(ByteReader& r, std::string* out) {
  const void* nul = std::memchr(r.here(), 0, r.left());
  if (!nul) return false;
  const std::size_t n = static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - r.here());
  out->assign(reinterpret_cast<const char*>(r.here()), n);
  return r.Skip(n + 1);
}

// A tEXt or zTXt keyword names its item "{str=KEYWORD}": 1 to 79 bytes, and
// no braces, which would end the query path component early.
bool KeywordOk(const std::string& key) {
  return !key.empty() && key.size() <= 79 && key.find_first_of("{}") == std::string::npos;
}

std::string Rest(ByteReader& r) {
  std::string s(reinterpret_cast<const char*>(r.here()), r.left());
  r.Skip(r.left());
  return s;
}

PropValue Vector16(ByteReader& r) {
  PropValue v;
  v.vt = static_cast<std::uint16_t>(kVtVector | kVtUI2);
  v.nums.reserve(r.left() / 2);
  while (r.left() >= 2) v.nums.push_back(r.U16BE());
  return v;
}

// The items of one chunk's block; false when the chunk does not hold what its
// type promises (no block then).
bool ChunkItems(std::uint32_t type, ByteReader& r, std::vector<MetaItem>* items,
                std::size_t* budget) {
  auto& out = *items;
  const std::size_t len = r.left();
  switch (type) {
    case 0x74455874u: {  // tEXt: keyword, zero, Latin-1 text
      std::string key;
      if (!Field(r, &key) || !KeywordOk(key)) return false;
      out.push_back({"{str=" + key + "}", PropValue::Lpstr(Rest(r))});
      return true;
    }
    case 0x7A545874u: {  // zTXt: keyword, zero, method, zlib text
      std::string key, text;
      if (!Field(r, &key) || !KeywordOk(key) || r.U8() != 0 || !r.ok()) return false;
      if (!Inflate(r.here(), r.left(), &text, budget)) return false;
      out.push_back({"{str=" + key + "}", PropValue::Lpstr(std::move(text))});
      return true;
    }
    case 0x69545874u: {  // iTXt: keyword, flag, method, language, translated keyword, UTF-8 text
      std::string key, lang, translated, text;
      if (!Field(r, &key) || key.empty()) return false;
      const std::uint8_t compressed = r.U8();
      const std::uint8_t method = r.U8();
      if (!r.ok() || compressed > 1 || (compressed && method != 0)) return false;
      if (!Field(r, &lang) || !Field(r, &translated)) return false;
      if (compressed) {
        if (!Inflate(r.here(), r.left(), &text, budget)) return false;
      } else {
        text = Rest(r);
      }
      out.push_back({"Keyword", PropValue::Lpstr(std::move(key))});
      out.push_back({"CompressionFlag", PropValue::UI1(compressed)});
      out.push_back({"LanguageTag", PropValue::Lpstr(std::move(lang))});
      out.push_back({"TranslatedKeyword", PropValue::Lpwstr(platform::Utf8ToWide(translated))});
      out.push_back({"TextEntry", PropValue::Lpwstr(platform::Utf8ToWide(text))});
      return true;
    }
    case 0x67414D41u:  // gAMA
      if (len != 4) return false;
      out.push_back({"ImageGamma", PropValue::UI4(r.U32BE())});
      return true;
    case 0x6348524Du: {  // cHRM
      if (len != 32) return false;
      for (const char* name :
           {"WhitePointX", "WhitePointY", "RedX", "RedY", "GreenX", "GreenY", "BlueX", "BlueY"}) {
        out.push_back({name, PropValue::UI4(r.U32BE())});
      }
      return true;
    }
    case 0x73524742u:  // sRGB
      if (len != 1) return false;
      out.push_back({"RenderingIntent", PropValue::UI1(r.U8())});
      return true;
    case 0x69434350u: {  // iCCP: name, zero, method, zlib profile
      std::string name, profile;
      if (!Field(r, &name) || r.U8() != 0 || !r.ok()) return false;
      if (!Inflate(r.here(), r.left(), &profile, budget)) return false;
      PropValue data;
      data.vt = static_cast<std::uint16_t>(kVtVector | kVtUI1);
      data.bytes = std::move(profile);
      out.push_back({"ProfileName", PropValue::Lpstr(std::move(name))});
      out.push_back({"ProfileData", std::move(data)});
      return true;
    }
    case 0x624B4744u:  // bKGD: a palette index, or one 16-bit value per sample
      if (len == 1) {
        out.push_back({"BackgroundColor", PropValue::UI1(r.U8())});
        return true;
      }
      if (len != 2 && len != 6) return false;
      out.push_back({"BackgroundColor", Vector16(r)});
      return true;
    case 0x68495354u:  // hIST
      if (len == 0 || len % 2 != 0) return false;
      out.push_back({"Frequencies", Vector16(r)});
      return true;
    case 0x74494D45u:  // tIME
      if (len != 7) return false;
      out.push_back({"Year", PropValue::UI2(r.U16BE())});
      for (const char* name : {"Month", "Day", "Hour", "Minute", "Second"}) {
        out.push_back({name, PropValue::UI1(r.U8())});
      }
      return true;
    case 0x70485973u:  // pHYs
      if (len != 9) return false;
      out.push_back({"PixelsPerUnitX", PropValue::UI4(r.U32BE())});
      out.push_back({"PixelsPerUnitY", PropValue::UI4(r.U32BE())});
      out.push_back({"UnitSpecifier", PropValue::UI1(r.U8())});
      return true;
    default:
      return false;
  }
}

// One block per metadata chunk, in file order, named by the chunk type. The
// walk stops at IEND or at the first chunk whose length does not fit.
std::shared_ptr<const MetadataReader> ReadChunks(const std::vector<std::uint8_t>& bytes) {
  std::vector<MetaItem> blocks;
  std::size_t budget = kMaxInflatedTotal;
  ByteReader r(bytes.data(), bytes.size());
  r.Skip(sizeof kSignature);
  while (r.ok() && r.left() >= 12 && blocks.size() < kMaxBlocks) {
    const std::uint32_t len = r.U32BE();
    const std::uint32_t type = r.U32BE();
    if (!r.ok() || len > 0x7FFFFFFFu || !r.Has(std::uint64_t{len} + 4)) break;
    if (type == 0x49454E44u) break;  // IEND
    ByteReader body(r.here(), len);
    r.Skip(std::uint64_t{len} + 4);  // data and CRC
    std::vector<MetaItem> items;
    if (!ChunkItems(type, body, &items, &budget)) continue;
    const char name[5] = {static_cast<char>(type >> 24), static_cast<char>((type >> 16) & 0xFF),
                          static_cast<char>((type >> 8) & 0xFF), static_cast<char>(type & 0xFF), 0};
    blocks.push_back(
        {name, PropValue::Reader(std::make_shared<MetadataReader>(name, std::move(items)))});
  }
  if (blocks.empty()) return nullptr;
  return std::make_shared<MetadataReader>("png", std::move(blocks));
}

class PngFrame : public Frame {
 public:
  PngFrame(Bytes bytes, Header h) : bytes_(std::move(bytes)), h_(h), meta_(ReadChunks(*bytes_)) {}
  std::uint32_t Width() const override { return h_.width; }
  std::uint32_t Height() const override { return h_.height; }
  PixelFormat NativeFormat() const override { return NativeOf(h_); }
  std::shared_ptr<const MetadataReader> Metadata() const override { return meta_; }

  // The profile is read in the pass that goes on to the pixels: the session
  // waits here for CopyPixels.
  std::vector<ColorContext> ColorContexts() const override {
    std::vector<ColorContext> out;
    if (!session_) session_ = OpenSession(*bytes_);
    ColorContext c;
    if (session_ && ReadIcc(session_.get(), &c.profile)) {
      c.type = ColorContext::Type::Profile;
      out.push_back(std::move(c));
    }
    return out;
  }

  HResult CopyPixels(PixelFormat format, std::uint8_t* buffer, std::size_t stride,
                     std::size_t size) override {
    const std::size_t w = h_.width;
    // A session is good for one read of the rows.
    std::unique_ptr<Session> session = std::move(session_);
    auto decode = [&](std::uint8_t* to, std::size_t toStride) {
      if (!session) session = OpenSession(*bytes_);
      if (!session) return kErrBadImage;
      return DecodeBgra(session.get(), to, toStride, h_.height);
    };
    if (format == PixelFormat::Bgr24) {
      HResult hr = CheckCopyArgs(h_.height, w * 3, buffer, stride, size);
      if (Failed(hr)) return hr;
      // The decode writes every row, so the memory is not cleared first.
      std::unique_ptr<std::uint8_t[]> bgra(new (std::nothrow) std::uint8_t[w * 4 * h_.height]);
      if (!bgra) return kOutOfMemory;
      hr = decode(bgra.get(), w * 4);
      if (Failed(hr)) return hr;
      for (std::uint32_t y = 0; y < h_.height; ++y) {
        StoreBgraRow(bgra.get() + y * w * 4, h_.width, format, buffer + y * stride);
      }
      return hr;
    }
    if (format != PixelFormat::Bgra32 && format != PixelFormat::Pbgra32 &&
        format != PixelFormat::Bgr32) {
      return kInvalidArg;
    }
    HResult hr = CheckCopyArgs(h_.height, w * 4, buffer, stride, size);
    if (Failed(hr)) return hr;
    hr = decode(buffer, stride);
    if (Failed(hr) || format == PixelFormat::Bgra32) return hr;
    for (std::uint32_t y = 0; y < h_.height; ++y) {
      std::uint8_t* row = buffer + y * stride;
      StoreBgraRow(row, h_.width, format, row);
    }
    return hr;
  }

 private:
  Bytes bytes_;
  Header h_;
  std::shared_ptr<const MetadataReader> meta_;
  mutable std::unique_ptr<Session> session_;
};

class PngDecoder : public Decoder {
 public:
  PngDecoder(Bytes bytes, Header h) : bytes_(std::move(bytes)), h_(h) {}
  Container GetContainerFormat() const override { return Container::Png; }
  std::uint32_t GetFrameCount() const override { return 1; }
  HResult GetFrame(std::uint32_t index, std::unique_ptr<Frame>* out) override {
    if (!out) return kPointer;
    out->reset();
    if (index != 0) return kInvalidArg;
    *out = std::make_unique<PngFrame>(bytes_, h_);
    return kOk;
  }

 private:
  Bytes bytes_;
  Header h_;
};

}  // namespace

HResult CreatePngDecoder(Bytes bytes, std::unique_ptr<Decoder>* out) {
  if (!out) return kPointer;
  out->reset();
  if (!bytes || bytes->size() < 8 || std::memcmp(bytes->data(), kSignature, 8) != 0) {
    return kErrUnknownImageFormat;
  }
  Header h;
  if (!ReadIhdr(*bytes, &h)) return kErrBadHeader;
  if (static_cast<std::uint64_t>(h.width) * h.height > kMaxPixels) return kOutOfMemory;
  if (NativeOf(h) == PixelFormat::Unknown) return kErrBadHeader;
  if (!IdatCanHold(h, IdatBytes(*bytes))) return kErrImageSizeOutOfRange;
  *out = std::make_unique<PngDecoder>(std::move(bytes), h);
  return kOk;
}

}  // namespace img
