// JPEG decoding with libjpeg-turbo. The marker segments before the scan are
// found by our own bounds-checked walk; they give the metadata blocks, the ICC
// profile (APP2 chunks in order) and Adobe's transform flag.
#include <algorithm>
#include <climits>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <functional>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

extern "C" {
#include <jerror.h>
#include <jpeglib.h>
}

#include "imaging/byte_reader.h"
#include "imaging/imaging.h"
#include "imaging/jpeg_error.h"
#include "imaging/jpeg_internal.h"
#include "imaging/xmp_internal.h"

namespace img {

std::vector<JpegSegment> ScanJpegSegments(const std::uint8_t* data, std::size_t size) {
  // Real files have a few dozen segments (ICC profiles split over up to 255);
  // a file of empty segments stops here instead of growing the list.
  constexpr std::size_t kMaxSegments = 10000;
  std::vector<JpegSegment> out;
  ByteReader r(data, size);
  if (r.U8() != 0xFF || r.U8() != 0xD8) return out;
  while (r.ok() && r.left() >= 2 && out.size() < kMaxSegments) {
    // Bytes between segments that are not a marker are skipped up to the next
    // 0xFF, as the decoder itself does.
    std::uint8_t lead = r.U8();
    while (lead != 0xFF && r.ok()) lead = r.U8();
    if (!r.ok()) break;
    std::uint8_t marker = r.U8();
    while (marker == 0xFF && r.ok()) marker = r.U8();  // fill bytes
    if (!r.ok()) break;
    if (marker == 0x00) continue;                 // a stuffed zero is junk too
    if (marker == 0xD9 || marker == 0xDA) break;  // EOI, SOS: the scan starts
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) continue;  // no length
    std::size_t start = r.pos() - 2;
    std::uint16_t len = r.U16BE();
    if (!r.ok() || len < 2 || !r.Has(len - 2u)) break;
    out.push_back({marker, start, r.pos(), static_cast<std::size_t>(len - 2u)});
    r.Skip(len - 2u);
  }
  return out;
}

namespace {

constexpr char kExifHead[] = "Exif\0\0";    // 6 bytes
constexpr char kIccHead[] = "ICC_PROFILE";  // followed by a zero, sequence, count
// Identifier strings; sizeof counts the terminating zero the segment carries.
constexpr char kXmpHead[] = "http://ns.adobe.com/xap/1.0/";
constexpr char kJfifHead[] = "JFIF";
constexpr char kPhotoshopHead[] = "Photoshop 3.0";
constexpr char kAdobeHead[] = "Adobe";  // no zero: the version follows at once

bool SegmentStarts(const std::uint8_t* data, const JpegSegment& s, const char* head,
                   std::size_t n) {
  return s.length >= n && std::memcmp(data + s.body, head, n) == 0;
}

// The ICC profile split over APP2 chunks, reassembled by sequence number.
// Missing, repeated or inconsistent chunks give no profile.
std::vector<std::uint8_t> AssembleIcc(const std::uint8_t* data,
                                      const std::vector<JpegSegment>& segs) {
  std::vector<const JpegSegment*> parts;
  int count = -1;
  for (const JpegSegment& s : segs) {
    if (s.marker != 0xE2 || !SegmentStarts(data, s, kIccHead, 12) || s.length < 14) continue;
    int seq = data[s.body + 12], n = data[s.body + 13];
    if (count < 0) {
      if (n == 0) return {};
      count = n;
      parts.assign(static_cast<std::size_t>(n), nullptr);
    }
    if (n != count || seq < 1 || seq > count || parts[static_cast<std::size_t>(seq - 1)]) return {};
    parts[static_cast<std::size_t>(seq - 1)] = &s;
  }
  std::vector<std::uint8_t> profile;
  for (const JpegSegment* s : parts) {
    if (!s) return {};
    profile.insert(profile.end(), data + s->body + 14, data + s->body + s->length);
  }
  return profile;
}

// One decompressor over memory; the owner destroys it on every path.
struct Decompressor {
  jpeg_decompress_struct info;
  JpegErrorManager err;
  jpeg_progress_mgr progress;
  bool created = false;
  // Written from the library's callbacks, which may longjmp.
  volatile bool refused = false;  // over the scan cap: the file is not read
  // Where the entropy-coded data was first found missing or corrupt: the
  // scan and its iMCU row. From there on the library fills in zeros.
  volatile bool lost = false;
  volatile int lostScan = 0;
  volatile JDIMENSION lostRow = 0;
  ~Decompressor() {
    if (created) jpeg_destroy_decompress(&info);
  }
};

// A progressive file may ask for any number of scans, each a pass over the
// whole picture; real files have a dozen or so. Beyond this many the decode
// fails, as the library's own tools do it.
constexpr int kMaxScans = 500;

// Also where a decode whose result is no longer wanted stops: the library
// reports progress at every call for rows.
void CheckScans(j_common_ptr cinfo) {
  if (cinfo->is_decompressor &&
      (reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number > kMaxScans ||
       CancelRequested())) {
    static_cast<Decompressor*>(cinfo->client_data)->refused = true;
    JpegErrorExit(cinfo);
  }
}

// Warnings that mean pixels were lost: the data ended inside a scan, or a
// code or marker in it was wrong. Others (extra bytes between markers, odd
// header fields) leave the pixels whole. The end of the file is only taken
// before the last iMCU row: the bit reader looks a few bytes ahead, so a
// file that just lacks its EOI marker reaches it while finishing that row.
void OnJpegMessage(j_common_ptr cinfo, int level) {
  if (level >= 0 || !cinfo->is_decompressor) return;
  auto* d = static_cast<Decompressor*>(cinfo->client_data);
  const auto* info = reinterpret_cast<j_decompress_ptr>(cinfo);
  switch (cinfo->err->msg_code) {
    case JWRN_JPEG_EOF:
      if (info->input_iMCU_row + 1 >= info->total_iMCU_rows) return;
      break;
    case JWRN_HIT_MARKER:
    case JWRN_HUFF_BAD_CODE:
    case JWRN_MUST_RESYNC:
      break;
    default:
      return;
  }
  if (d->lost) return;
  d->lost = true;
  d->lostScan = info->input_scan_number;
  d->lostRow = info->input_iMCU_row;
}

// Sets up the error manager and the decompressor's limits: the scans and
// the memory the library may take (its coefficient buffer for the largest
// picture we accept, plus room for its tables). Call before setjmp.
void UseErrors(Decompressor* d) {
  d->info.err = UseJpegErrors(&d->err);
  d->err.pub.emit_message = OnJpegMessage;
  d->info.client_data = d;
}

void LimitDecompressor(Decompressor* d) {
  d->progress = jpeg_progress_mgr{CheckScans, 0, 0, 0, 0};
  d->info.progress = &d->progress;
  // `long` is 32 bits on Windows.
  constexpr std::uint64_t kLimit = kMaxPixels * 8 + (64u << 20);
  d->info.mem->max_memory_to_use =
      static_cast<long>(std::min<std::uint64_t>(kLimit, static_cast<std::uint64_t>(LONG_MAX)));
}

// The rows whose data was all there: every row when nothing was lost, or
// when the loss came in a later scan of a multi-scan file (the first scan
// gave every row, the later ones only refine it); else the iMCU rows before
// the loss.
std::uint32_t RowsDecoded(const Decompressor& d, bool multiScan, std::uint32_t height) {
  if (!d.lost || (multiScan && d.lostScan > 1)) return height;
    // An iMCU row is max_v_samp_factor blocks high, each block DCTSIZE rows
    // (fewer in a reduced decode).
#if JPEG_LIB_VERSION >= 70
  const int scaled = d.info.min_DCT_v_scaled_size;
#else
  const int scaled = d.info.min_DCT_scaled_size;
#endif
  const unsigned blockRows = scaled > 0 ? static_cast<unsigned>(scaled) : DCTSIZE;
  const std::uint64_t rows =
      std::uint64_t{d.lostRow} * static_cast<unsigned>(d.info.max_v_samp_factor) * blockRows;
  return rows < height ? static_cast<std::uint32_t>(rows) : height;
}

// Header facts read once when the decoder opens.
struct JpegHeader {
  std::uint32_t width = 0, height = 0;
  int components = 0;
  J_COLOR_SPACE space = JCS_UNKNOWN;
  // 8 × 8 blocks of the component with the fewest: each scan codes at least
  // one component whole.
  std::uint64_t fewestBlocks = 0;
  bool arithmetic = false;
};

bool ReadHeader(const std::vector<std::uint8_t>& bytes, JpegHeader* h) {
  Decompressor d;
  UseErrors(&d);
  if (setjmp(d.err.jump)) return false;
  jpeg_create_decompress(&d.info);
  d.created = true;
  jpeg_mem_src(&d.info, bytes.data(), static_cast<unsigned long>(bytes.size()));
  if (jpeg_read_header(&d.info, TRUE) != JPEG_HEADER_OK) return false;
  h->width = d.info.image_width;
  h->height = d.info.image_height;
  h->components = d.info.num_components;
  h->space = d.info.jpeg_color_space;
  h->arithmetic = d.info.arith_code != 0;
  int hMax = 1, vMax = 1;
  for (int i = 0; i < d.info.num_components; ++i) {
    hMax = std::max(hMax, d.info.comp_info[i].h_samp_factor);
    vMax = std::max(vMax, d.info.comp_info[i].v_samp_factor);
  }
  for (int i = 0; i < d.info.num_components; ++i) {
    const jpeg_component_info& c = d.info.comp_info[i];
    auto blocks = [](std::uint64_t size, int factor, int max) {
      const std::uint64_t samples = (size * static_cast<unsigned>(factor) + max - 1) / max;
      return (samples + DCTSIZE - 1) / DCTSIZE;
    };
    const std::uint64_t n =
        blocks(h->width, c.h_samp_factor, hMax) * blocks(h->height, c.v_samp_factor, vMax);
    if (i == 0 || n < h->fewestBlocks) h->fewestBlocks = n;
  }
  return true;
}

// Whether `size` bytes can hold the scans of such a picture. A Huffman code
// is at least one bit, and a scan codes at least the DC value of every block
// of a component, so a file has at least a bit for each block of its
// smallest component; the bound allows eight times less. An arithmetic coder
// spends a small fraction of a bit on a block it can predict, so it is only
// held to a byte for 2^20 blocks. A file below the bound cannot be the
// picture it declares, and is refused before any pixel memory is taken.
bool SizeCanHold(const JpegHeader& h, std::size_t size) {
  const std::uint64_t blocksPerByte = h.arithmetic ? std::uint64_t{1} << 20 : 64;
  return h.fewestBlocks / blocksPerByte <= size;
}

// CMYK as stored: inverted samples (255 = no ink). Adobe's writers store
// them so and say so in APP14; files without that segment are read the same
// way, as other decoders do, since plain ink amounts would show them as a
// negative.
inline void CmykToBgra(const std::uint8_t* cmyk, std::uint32_t width, std::uint8_t* bgra) {
  for (std::uint32_t x = 0; x < width; ++x, cmyk += 4, bgra += 4) {
    const unsigned c = cmyk[0], m = cmyk[1], y = cmyk[2], k = cmyk[3];
    bgra[0] = static_cast<std::uint8_t>((y * k + 127) / 255);
    bgra[1] = static_cast<std::uint8_t>((m * k + 127) / 255);
    bgra[2] = static_cast<std::uint8_t>((c * k + 127) / 255);
    bgra[3] = 255;
  }
}

enum class Output { Bgra, Bgr, Cmyk };

// Where decoded rows go: row y is written at rowAt(y); after every
// `bandRows` rows, and after the last, `done(first, count)` is told, and the
// decode ends when it answers false.
struct RowTarget {
  // The picture's size as the frame reported it (rows and buffers are sized
  // by it): a stream whose frame header says otherwise is refused.
  std::uint32_t width = 0, height = 0;
  std::function<std::uint8_t*(std::uint32_t)> rowAt;
  std::uint32_t bandRows = 0xFFFFFFFFu;
  std::function<bool(std::uint32_t, std::uint32_t)> done;
};

// Fatal errors of a later scan that the library raises before it changes
// anything the output of earlier scans depends on: the scan's own header
// and tables. Others may come halfway through rewriting the frame (a second
// frame header sets the size before it is refused), after which nothing
// read so far is trusted.
bool ScanErrorLeavesFrame(int code) {
  return code == JERR_BAD_PROGRESSION || code == JERR_BAD_COMPONENT_ID ||
         code == JERR_NO_HUFF_TABLE || code == JERR_BAD_HUFF_TABLE;
}

// Decodes every row. For Output::Cmyk with `toBgra` the CMYK rows are turned
// into BGRA in place (a BGRA pixel is as wide as a CMYK one).
// When the data end early or turn corrupt, the rows before the damage are
// kept and every later row is written as zeros (transparent BGRA): the
// result is then kFalse. A file of several scans is read whole before any
// row is given; when one of its later scans is broken beyond reading, the
// picture is given as the scans before it left it, also with kFalse. A
// decode that gives no row fails.
// `denominator` (1, 2, 4 or 8) reduces the picture with the scaled DCT.
HResult DecodeRows(const std::vector<std::uint8_t>& bytes, Output out, bool toBgra,
                   const RowTarget& target, std::uint32_t denominator = 1) {
  // Everything with a destructor lives before setjmp, so that a longjmp out
  // of the library unwinds nothing it should not; what changes after it is
  // volatile.
  Decompressor d;
  UseErrors(&d);
  volatile bool started = false;
  volatile bool multiScan = false;
  volatile std::uint32_t written = 0;  // rows handed to the target
  volatile std::uint32_t first = 0;    // first row of the band being filled
  // A file of several scans: whether they are being read, and the last one
  // read whole.
  volatile bool absorbing = false;
  volatile int complete = 0;
  volatile bool salvaged = false;  // a later scan broke off
  // Writes the rows from `written` on as zeros and hands them over.
  auto finish = [&](std::uint32_t height, std::uint32_t width) {
    const std::size_t pixelBytes = out == Output::Bgr ? 3 : 4;
    for (std::uint32_t y = written; y < height; ++y) {
      std::memset(target.rowAt(y), 0, static_cast<std::size_t>(width) * pixelBytes);
      const std::uint32_t count = y + 1 - first;
      if (target.done && (count == target.bandRows || y + 1 == height)) {
        if (!target.done(first, count)) break;
        first = y + 1;
      }
    }
  };
  if (setjmp(d.err.jump)) {
    if (absorbing && complete > 0 && !d.refused && ScanErrorLeavesFrame(d.err.pub.msg_code)) {
      // The coefficients of the scans read whole are kept: the rows are
      // made from them below (the jump stays armed for that).
      absorbing = false;
      salvaged = true;
    } else {
      if (!started || d.refused) return kErrBadImage;
      // The size checked at the start: a frame header met later in the
      // stream may have changed what the library holds.
      const std::uint32_t height = (target.height + denominator - 1) / denominator;
      const std::uint32_t kept =
          std::min(std::uint32_t{written}, RowsDecoded(d, multiScan, height));
      if (kept == 0) return kErrBadImage;
      finish(height, (target.width + denominator - 1) / denominator);
      return kFalse;
    }
  }
  if (!salvaged) {
    jpeg_create_decompress(&d.info);
    d.created = true;
    LimitDecompressor(&d);
    jpeg_mem_src(&d.info, bytes.data(), static_cast<unsigned long>(bytes.size()));
    if (jpeg_read_header(&d.info, TRUE) != JPEG_HEADER_OK) return kErrBadHeader;
    if (d.info.image_width != target.width || d.info.image_height != target.height) {
      return kErrBadImage;
    }
    multiScan = jpeg_has_multiple_scans(&d.info) != 0;
    switch (out) {
      case Output::Bgra:
        d.info.out_color_space = JCS_EXT_BGRA;
        break;
      case Output::Bgr:
        d.info.out_color_space = JCS_EXT_BGR;
        break;
      case Output::Cmyk:
        d.info.out_color_space = JCS_CMYK;
        break;
    }
    d.info.scale_num = 1;
    d.info.scale_denom = denominator;
    // Several scans are read into the coefficients first, one at a time,
    // so that the ones read whole are still there when a later one breaks.
    d.info.buffered_image = multiScan ? TRUE : FALSE;
    started = true;
    jpeg_start_decompress(&d.info);
    if (multiScan) {
      absorbing = true;
      for (;;) {
        const int r = jpeg_consume_input(&d.info);
        // The scan limit and cancelling, as the library's own loop would.
        CheckScans(reinterpret_cast<j_common_ptr>(&d.info));
        if (r == JPEG_SCAN_COMPLETED) complete = d.info.input_scan_number;
        if (r == JPEG_REACHED_EOI || r == JPEG_SUSPENDED) break;
      }
      absorbing = false;
      complete = d.info.input_scan_number;
    }
  }
  if (multiScan) jpeg_start_output(&d.info, complete);
  const std::uint32_t width = d.info.output_width;
  const std::uint32_t height = d.info.output_height;
  const std::size_t rowBytes = static_cast<std::size_t>(width) * (out == Output::Bgr ? 3 : 4);
  while (d.info.output_scanline < height) {
    const std::uint32_t y = d.info.output_scanline;
    JSAMPROW row = target.rowAt(y);
    JSAMPROW rows[1] = {row};
    if (jpeg_read_scanlines(&d.info, rows, 1) != 1) return kErrBadImage;
    // Damage is found while its iMCU row is decoded, before any of its rows
    // is output, so a row is cleared before it is handed over.
    if (y >= RowsDecoded(d, multiScan, height)) {
      std::memset(row, 0, rowBytes);
    } else if (out == Output::Cmyk && toBgra) {
      CmykToBgra(row, width, row);
    }
    written = y + 1;
    const std::uint32_t count = y + 1 - first;
    if (target.done && (count == target.bandRows || y + 1 == height)) {
      // Stopping early leaves the decompressor to its owner, which destroys it.
      if (!target.done(first, count)) return kOk;
      first = y + 1;
    }
  }
  const std::uint32_t kept = RowsDecoded(d, multiScan, height);
  if (kept == 0) return kErrBadImage;
  if (kept < height || salvaged) return kFalse;
  // What follows the last scan no longer matters to the pixels.
  if (multiScan) jpeg_finish_output(&d.info);
  jpeg_finish_decompress(&d.info);
  return kOk;
}

// Decodes every row into the caller's buffer.
HResult Decode(const std::vector<std::uint8_t>& bytes, std::uint32_t width, std::uint32_t height,
               Output out, bool toBgra, std::uint8_t* buffer, std::size_t stride,
               std::uint32_t denominator = 1) {
  RowTarget target;
  target.width = width;
  target.height = height;
  target.rowAt = [&](std::uint32_t y) { return buffer + static_cast<std::size_t>(y) * stride; };
  return DecodeRows(bytes, out, toBgra, target, denominator);
}

// Decodes straight BGRA (or BGR) rows band by band into one band buffer,
// handing each band to the sink; a sink that answers false ends the decode.
HResult DecodeBands(const std::vector<std::uint8_t>& bytes, Output out, std::uint32_t width,
                    std::uint32_t height, std::uint32_t bandRows, const Frame::BandSink& sink) {
  const std::size_t stride =
      (static_cast<std::size_t>(width) * (out == Output::Bgr ? 3 : 4) + 3) & ~std::size_t{3};
  std::vector<std::uint8_t> band;
  try {
    band.resize(stride * bandRows);
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
  RowTarget target;
  target.width = width;
  target.height = height;
  target.rowAt = [&](std::uint32_t y) { return band.data() + (y % bandRows) * stride; };
  target.bandRows = bandRows;
  target.done = [&](std::uint32_t first, std::uint32_t count) {
    return sink(band.data(), first, count, stride);
  };
  return DecodeRows(bytes, out, false, target);
}

MetaItem Block(const char* name, std::vector<MetaItem> items) {
  return {name, PropValue::Reader(std::make_shared<MetadataReader>(name, std::move(items)))};
}

// A segment the engine does not read: the whole segment, marker and length
// included, so that it can be passed through byte for byte.
MetaItem UnknownBlock(const std::uint8_t* data, const JpegSegment& s) {
  return Block("unknown",
               {{"{}", PropValue::Blob(std::string(reinterpret_cast<const char*>(data + s.start),
                                                   s.length + 4))}});
}

// APP0 "JFIF\0": version, density units, densities, thumbnail size.
bool JfifBlock(const std::uint8_t* body, std::size_t length, std::vector<MetaItem>* out) {
  ByteReader r(body, length);
  r.Skip(sizeof kJfifHead);
  const std::uint16_t version = r.U16BE();
  const std::uint8_t units = r.U8();
  const std::uint16_t dpiX = r.U16BE();
  const std::uint16_t dpiY = r.U16BE();
  const std::uint8_t thumbX = r.U8();
  const std::uint8_t thumbY = r.U8();
  if (!r.ok()) return false;
  out->push_back(Block("app0", {{"Version", PropValue::UI2(version)},
                                {"Units", PropValue::UI1(units)},
                                {"DpiX", PropValue::UI2(dpiX)},
                                {"DpiY", PropValue::UI2(dpiY)},
                                {"Xthumbnail", PropValue::UI1(thumbX)},
                                {"Ythumbnail", PropValue::UI1(thumbY)}}));
  return true;
}

// APP14 "Adobe": version, two flag words and the colour transform.
bool AdobeBlock(const std::uint8_t* body, std::size_t length, std::vector<MetaItem>* out) {
  ByteReader r(body, length);
  r.Skip(5);
  const std::uint16_t version = r.U16BE();
  const std::uint16_t flags0 = r.U16BE();
  const std::uint16_t flags1 = r.U16BE();
  const std::uint8_t transform = r.U8();
  if (!r.ok()) return false;
  out->push_back(Block("app14", {{"Version", PropValue::UI2(version)},
                                 {"Flags0", PropValue::UI2(flags0)},
                                 {"Flags1", PropValue::UI2(flags1)},
                                 {"ColorTransform", PropValue::UI1(transform)}}));
  return true;
}

// DQT: one or more tables, each a precision/id byte and 64 entries of 8 or 16
// bits. Tables 0 and 1 become blocks; a segment that does not add up gives
// none at all.
void QuantizationBlocks(const std::uint8_t* body, std::size_t length, std::vector<MetaItem>* out) {
  std::vector<MetaItem> found;
  ByteReader r(body, length);
  while (r.ok() && r.left() > 0) {
    const std::uint8_t pq = r.U8();
    const unsigned precision = pq >> 4, id = pq & 0x0F;
    if (precision > 1 || id > 3) return;
    PropValue entries;
    entries.vt = static_cast<std::uint16_t>(kVtVector | kVtUI2);
    entries.nums.reserve(64);
    for (int k = 0; k < 64; ++k) entries.nums.push_back(precision ? r.U16BE() : r.U8());
    if (!r.ok()) return;
    if (id > 1) continue;
    found.push_back(
        Block(id == 0 ? "luminance" : "chrominance", {{"TableEntry", std::move(entries)}}));
  }
  for (MetaItem& m : found) out->push_back(std::move(m));
}

class JpegFrame : public Frame {
 public:
  JpegFrame(Bytes bytes, JpegHeader header, std::shared_ptr<const MetadataReader> meta,
            std::vector<ColorContext> contexts)
      : bytes_(std::move(bytes)),
        header_(header),
        meta_(std::move(meta)),
        contexts_(std::move(contexts)) {}

  std::uint32_t Width() const override { return header_.width; }
  std::uint32_t Height() const override { return header_.height; }
  PixelFormat NativeFormat() const override {
    if (header_.components == 1) return PixelFormat::Gray8;
    if (header_.components == 4) return PixelFormat::Cmyk32;
    return PixelFormat::Bgr24;
  }
  std::vector<ColorContext> ColorContexts() const override { return contexts_; }
  std::shared_ptr<const MetadataReader> Metadata() const override { return meta_; }
  std::vector<MetadataBlock> MetadataBlocks() const override {
    std::vector<MetadataBlock> blocks;
    BuildJpegMetadata(bytes_->data(), ScanJpegSegments(bytes_->data(), bytes_->size()), &blocks);
    return blocks;
  }

  HResult CopyPixels(PixelFormat format, std::uint8_t* buffer, std::size_t stride,
                     std::size_t size) override {
    const bool packed24 = format == PixelFormat::Bgr24;
    if (!packed24 && format != PixelFormat::Bgra32 && format != PixelFormat::Pbgra32 &&
        format != PixelFormat::Bgr32) {
      return kInvalidArg;
    }
    std::size_t rowBytes = static_cast<std::size_t>(header_.width) * (packed24 ? 3 : 4);
    HResult hr = CheckCopyArgs(header_.height, rowBytes, buffer, stride, size);
    if (Failed(hr)) return hr;
    if (!IsCmyk())
      return Decode(*bytes_, header_.width, header_.height, packed24 ? Output::Bgr : Output::Bgra,
                    false, buffer, stride);
    if (!packed24)
      return Decode(*bytes_, header_.width, header_.height, Output::Cmyk, true, buffer, stride);
    // 24-bit output from CMYK goes through BGRA rows; every row is written.
    std::unique_ptr<std::uint8_t[]> rows(new (
        std::nothrow) std::uint8_t[static_cast<std::size_t>(header_.width) * 4 * header_.height]);
    if (!rows) return kOutOfMemory;
    hr = Decode(*bytes_, header_.width, header_.height, Output::Cmyk, true, rows.get(),
                static_cast<std::size_t>(header_.width) * 4);
    if (Failed(hr)) return hr;
    for (std::uint32_t y = 0; y < header_.height; ++y) {
      StoreBgraRow(rows.get() + static_cast<std::size_t>(y) * header_.width * 4, header_.width,
                   PixelFormat::Bgr24, buffer + y * stride);
    }
    return hr;
  }

  bool ReducedSize(std::uint32_t denominator, std::uint32_t* width,
                   std::uint32_t* height) const override {
    if (IsCmyk() || !width || !height ||
        (denominator != 2 && denominator != 4 && denominator != 8)) {
      return false;
    }
    *width = (header_.width + denominator - 1) / denominator;
    *height = (header_.height + denominator - 1) / denominator;
    return true;
  }

  HResult CopyReducedPixels(std::uint32_t denominator, PixelFormat format, std::uint8_t* buffer,
                            std::size_t stride, std::size_t size) override {
    std::uint32_t w = 0, h = 0;
    if (!ReducedSize(denominator, &w, &h)) return kNotImpl;
    if (format != PixelFormat::Bgra32 && format != PixelFormat::Pbgra32 &&
        format != PixelFormat::Bgr32) {
      return kInvalidArg;
    }
    HResult hr = CheckCopyArgs(h, static_cast<std::size_t>(w) * 4, buffer, stride, size);
    if (Failed(hr)) return hr;
    return Decode(*bytes_, header_.width, header_.height, Output::Bgra, false, buffer, stride,
                  denominator);
  }

  HResult CopyPixelsInBands(PixelFormat format, std::uint32_t bandRows,
                            const BandSink& sink) override {
    // CMYK goes through a whole-picture conversion; everything else streams.
    if (IsCmyk() || (format != PixelFormat::Bgra32 && format != PixelFormat::Bgr24)) {
      return Frame::CopyPixelsInBands(format, bandRows, sink);
    }
    if (bandRows == 0 || !sink) return kInvalidArg;
    return DecodeBands(*bytes_, format == PixelFormat::Bgr24 ? Output::Bgr : Output::Bgra,
                       header_.width, header_.height, bandRows, sink);
  }

  HResult CopyCmyk(std::uint8_t* buffer, std::size_t stride, std::size_t size) override {
    if (!IsCmyk()) return kNotImpl;
    HResult hr = CheckCopyArgs(header_.height, static_cast<std::size_t>(header_.width) * 4, buffer,
                               stride, size);
    if (Failed(hr)) return hr;
    hr = Decode(*bytes_, header_.width, header_.height, Output::Cmyk, false, buffer, stride);
    if (Failed(hr)) return hr;
    // The samples are inverted (see CmykToBgra); colour management wants ink
    // amounts.
    for (std::uint32_t y = 0; y < header_.height; ++y) {
      std::uint8_t* p = buffer + y * stride;
      for (std::size_t i = 0; i < static_cast<std::size_t>(header_.width) * 4; ++i) {
        p[i] = static_cast<std::uint8_t>(255 - p[i]);
      }
    }
    return hr;
  }

 private:
  bool IsCmyk() const { return header_.components == 4; }

  Bytes bytes_;
  JpegHeader header_;
  std::shared_ptr<const MetadataReader> meta_;
  std::vector<ColorContext> contexts_;
};

class JpegDecoder : public Decoder {
 public:
  JpegDecoder(Bytes bytes, JpegHeader header) : bytes_(std::move(bytes)), header_(header) {}
  Container GetContainerFormat() const override { return Container::Jpeg; }
  std::uint32_t GetFrameCount() const override { return 1; }

  HResult GetFrame(std::uint32_t index, std::unique_ptr<Frame>* out) override {
    if (!out) return kPointer;
    out->reset();
    if (index != 0) return kInvalidArg;
    const std::uint8_t* data = bytes_->data();
    std::vector<JpegSegment> segs = ScanJpegSegments(data, bytes_->size());
    auto meta = BuildJpegMetadata(data, segs);
    std::vector<ColorContext> contexts;
    std::vector<std::uint8_t> icc = AssembleIcc(data, segs);
    if (!icc.empty()) {
      ColorContext c;
      c.type = ColorContext::Type::Profile;
      c.profile = std::move(icc);
      contexts.push_back(std::move(c));
    }
    std::uint32_t space = 0;
    if (ReadUInt(meta.get(), "/app1/ifd/exif/{ushort=40961}", &space)) {
      PropValue index;
      bool r03 = Succeeded(meta->GetMetadataByName("/app1/ifd/exif/interop/{ushort=1}", &index)) &&
                 index.vt == kVtLpstr && index.bytes == "R03";
      std::uint32_t chosen = space == 1 ? 1 : (space == 2 || (space == 0xFFFF && r03)) ? 2 : 0;
      if (chosen) {
        ColorContext c;
        c.type = ColorContext::Type::ExifColorSpace;
        c.exifColorSpace = chosen;
        contexts.push_back(std::move(c));
      }
    }
    *out = std::make_unique<JpegFrame>(bytes_, header_, std::move(meta), std::move(contexts));
    return kOk;
  }

 private:
  Bytes bytes_;
  JpegHeader header_;
};

constexpr char kXmpExtensionHead[] = "http://ns.adobe.com/xmp/extension/";  // with its zero

// Where the packet starts in an APP1 segment that is XMP under a header other
// than the standard one ("XMP\0://ns.adobe.com/xap/1.0/\0", the namespace
// ended by a space, ...): after the header when it names the XMP namespace,
// else at the packet's own opening tag near the start. 0 when the segment
// is not XMP.
std::size_t NonStandardXmpStart(const std::uint8_t* body, std::size_t length) {
  const std::string_view head(reinterpret_cast<const char*>(body),
                              std::min<std::size_t>(length, 256));
  const std::size_t ns = head.find("ns.adobe.com/xap/1.0/");
  if (ns != std::string_view::npos && ns < 16) {
    const std::size_t end = ns + 21;
    if (end < head.size() && (head[end] == '\0' || head[end] == ' ')) return end + 1;
  }
  for (const char* opening : {"<?xpacket", "<x:xmpmeta", "<rdf:RDF"}) {
    const std::size_t at = head.find(opening);
    if (at != std::string_view::npos && at > 0) return at;
  }
  return 0;
}

// Extended XMP: the part of a packet too large for one segment, carried by
// APP1 segments of the extension namespace, each with the packet's GUID (32
// hexadecimal digits), the full length, its offset and its piece. The pieces
// of the GUID the main packet names are put together; a gap, an overlap or a
// piece outside the full length gives no packet.
std::string ExtendedXmp(const std::uint8_t* data, const std::vector<const JpegSegment*>& parts,
                        const std::string& guid) {
  constexpr std::size_t kHead = sizeof kXmpExtensionHead + 32 + 8;
  std::vector<std::pair<std::uint32_t, const JpegSegment*>> pieces;
  std::uint32_t full = 0;
  std::uint64_t carried = 0;
  for (const JpegSegment* s : parts) {
    if (s->length < kHead) continue;
    const std::uint8_t* p = data + s->body + sizeof kXmpExtensionHead;
    if (std::memcmp(p, guid.data(), 32) != 0) continue;
    const std::uint32_t length = ByteReader::Be32(p + 32);
    const std::uint32_t offset = ByteReader::Be32(p + 36);
    if (!pieces.empty() && length != full) return {};
    full = length;
    pieces.push_back({offset, s});
    carried += s->length - kHead;
  }
  // The full length is believed only as far as the pieces carry it.
  if (pieces.empty() || full == 0 || full > carried) return {};
  std::sort(pieces.begin(), pieces.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  std::string packet;
  packet.reserve(full);
  for (const auto& [offset, s] : pieces) {
    const std::size_t n = s->length - kHead;
    if (offset != packet.size() || n > full - packet.size()) return {};
    packet.append(reinterpret_cast<const char*>(data + s->body + kHead), n);
  }
  if (packet.size() != full) return {};
  return packet;
}

// The GUID of the extension the main packet points to ("xmpNote:HasExtendedXMP").
std::string ExtensionGuid(const MetadataReader& xmp) {
  PropValue v;
  if (Failed(xmp.GetMetadataByName("/xmpNote:HasExtendedXMP", &v))) return {};
  std::string guid;
  if (v.vt == kVtLpwstr) {
    for (wchar_t c : v.text) guid.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  } else if (v.vt == kVtLpstr) {
    guid = v.bytes;
  }
  return guid.size() == 32 ? guid : std::string();
}

bool IsPhotoshopSegment(const std::uint8_t* data, const JpegSegment& s) {
  return s.marker == 0xED && SegmentStarts(data, s, kPhotoshopHead, sizeof kPhotoshopHead);
}

}  // namespace

std::shared_ptr<const MetadataReader> BuildJpegMetadata(const std::uint8_t* data,
                                                        const std::vector<JpegSegment>& segs,
                                                        std::vector<MetadataBlock>* stored) {
  std::vector<MetaItem> blocks;
  // The XMP items of all segments together: as many as one packet may have.
  std::size_t xmpBudget = xmp::kMaxItems;
  std::vector<const JpegSegment*> extensions;
  std::shared_ptr<const MetadataReader> mainXmp;
  for (std::size_t index = 0; index < segs.size(); ++index) {
    const JpegSegment& s = segs[index];
    const std::size_t before = blocks.size();
    const std::uint8_t* body = data + s.body;
    const bool app = s.marker >= 0xE0 && s.marker <= 0xEF;
    if (s.marker == 0xDB) {
      QuantizationBlocks(body, s.length, &blocks);
      continue;
    }
    if (s.marker == 0xFE) {
      blocks.push_back(Block(
          "com", {{"TextEntry",
                   PropValue::Lpstr(std::string(reinterpret_cast<const char*>(body), s.length))}}));
      if (stored) {
        stored->push_back(
            {"com", std::vector<std::uint8_t>(data + s.start, data + s.body + s.length)});
      }
      continue;
    }
    if (!app) continue;  // SOFn, DHT, DRI, ... are not metadata
    bool read = false;
    if (s.marker == 0xE0 && SegmentStarts(data, s, kJfifHead, sizeof kJfifHead)) {
      read = JfifBlock(body, s.length, &blocks);
    } else if (s.marker == 0xE1 && SegmentStarts(data, s, kExifHead, 6)) {
      auto ifds = ParseTiffIfds(body + 6, s.length - 6);
      if (!ifds.empty()) {
        blocks.push_back(Block("app1", std::move(ifds)));
        read = true;
      }
    } else if (s.marker == 0xE1 &&
               SegmentStarts(data, s, kXmpExtensionHead, sizeof kXmpExtensionHead)) {
      // Put together once all segments are seen; each piece is kept as it is.
      extensions.push_back(&s);
      if (stored) {
        stored->push_back(
            {"xmpextpart", std::vector<std::uint8_t>(data + s.start, data + s.body + s.length)});
      }
      continue;
    } else if (s.marker == 0xE1 && SegmentStarts(data, s, kXmpHead, sizeof kXmpHead)) {
      if (auto xmp =
              ParseXmpPacket(body + sizeof kXmpHead, s.length - sizeof kXmpHead, &xmpBudget)) {
        if (!mainXmp) mainXmp = xmp;
        blocks.push_back({"xmp", PropValue::Reader(std::move(xmp))});
        read = true;
      }
    } else if (s.marker == 0xE1 && !SegmentStarts(data, s, kExifHead, 6)) {
      if (const std::size_t at = NonStandardXmpStart(body, s.length)) {
        if (auto xmp = ParseXmpPacket(body + at, s.length - at, &xmpBudget)) {
          if (!mainXmp) mainXmp = xmp;
          blocks.push_back({"xmp", PropValue::Reader(std::move(xmp))});
          read = true;
        }
      }
    } else if (IsPhotoshopSegment(data, s)) {
      // Resources too large for one segment continue in the next ones: the
      // run is read as one block, its later segments as empty blocks of
      // their own (each segment stays one block).
      const bool continued = index > 0 && IsPhotoshopSegment(data, segs[index - 1]);
      if (continued) {
        blocks.push_back(Block("app13", {}));
        read = true;
      } else {
        std::vector<std::uint8_t> joined(body + sizeof kPhotoshopHead, body + s.length);
        for (std::size_t k = index + 1; k < segs.size() && IsPhotoshopSegment(data, segs[k]); ++k) {
          joined.insert(joined.end(), data + segs[k].body + sizeof kPhotoshopHead,
                        data + segs[k].body + segs[k].length);
        }
        if (auto irb = ParsePhotoshopResources(joined.data(), joined.size())) {
          blocks.push_back(Block("app13", {{"irb", PropValue::Reader(std::move(irb))}}));
          read = true;
        }
      }
    } else if (s.marker == 0xEE && SegmentStarts(data, s, kAdobeHead, 5)) {
      read = AdobeBlock(body, s.length, &blocks);
    }
    if (!read) blocks.push_back(UnknownBlock(data, s));
    // Each APPn and COM segment is exactly one block, named as the reader
    // names it.
    if (stored && blocks.size() == before + 1) {
      stored->push_back(
          {blocks.back().id, std::vector<std::uint8_t>(data + s.start, data + s.body + s.length)});
    }
  }
  if (!extensions.empty()) {
    // The extension's properties join the main packet's under a block of
    // their own: they are listed with it, but no single segment holds them.
    const std::string guid = mainXmp ? ExtensionGuid(*mainXmp) : std::string();
    const std::string packet = guid.empty() ? std::string() : ExtendedXmp(data, extensions, guid);
    std::shared_ptr<const MetadataReader> extended;
    if (!packet.empty()) {
      extended = ParseXmpPacket(reinterpret_cast<const std::uint8_t*>(packet.data()), packet.size(),
                                &xmpBudget);
    }
    if (extended) {
      blocks.push_back({"xmpext", PropValue::Reader(std::move(extended))});
    } else {
      // Pieces that do not make a packet are listed as they are.
      for (const JpegSegment* s : extensions) {
        blocks.push_back(
            Block("xmpextpart",
                  {{"{}", PropValue::Blob(std::string(reinterpret_cast<const char*>(data + s->body),
                                                      s->length))}}));
      }
    }
  }
  return std::make_shared<MetadataReader>("jpeg", std::move(blocks));
}

HResult CreateJpegDecoder(Bytes bytes, std::unique_ptr<Decoder>* out) {
  if (!out) return kPointer;
  out->reset();
  if (!bytes || bytes->size() < 3 || (*bytes)[0] != 0xFF || (*bytes)[1] != 0xD8 ||
      (*bytes)[2] != 0xFF) {
    return kErrUnknownImageFormat;
  }
  JpegHeader header;
  if (!ReadHeader(*bytes, &header)) return kErrBadHeader;
  if (header.width == 0 || header.height == 0) return kErrBadHeader;
  if (static_cast<std::uint64_t>(header.width) * header.height > kMaxPixels) return kOutOfMemory;
  if (header.components != 1 && header.components != 3 && header.components != 4) {
    return kErrBadHeader;
  }
  if (!SizeCanHold(header, bytes->size())) return kErrImageSizeOutOfRange;
  *out = std::make_unique<JpegDecoder>(std::move(bytes), header);
  return kOk;
}

}  // namespace img
