// The imaging component: decoders, pixel conversion and scaling, colour
// management and the metadata engine. Portable C++; never includes
// <windows.h>. Its operations follow the Windows Imaging Component's, so
// result codes, pixel format names and value type codes carry the same
// numbers and meanings as the platform's.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace img {

// ---------------------------------------------------------------------------
// Result codes (same values as the platform HRESULTs).
using HResult = std::int32_t;
inline constexpr HResult kOk = 0;
inline constexpr HResult kFalse = 1;
inline constexpr HResult kNotImpl = static_cast<HResult>(0x80004001u);
inline constexpr HResult kNoInterface = static_cast<HResult>(0x80004002u);
inline constexpr HResult kPointer = static_cast<HResult>(0x80004003u);
inline constexpr HResult kAborted = static_cast<HResult>(0x80004004u);  // cancelled
inline constexpr HResult kFail = static_cast<HResult>(0x80004005u);
inline constexpr HResult kOutOfMemory = static_cast<HResult>(0x8007000Eu);
inline constexpr HResult kInvalidArg = static_cast<HResult>(0x80070057u);
inline constexpr HResult kErrUnknownImageFormat = static_cast<HResult>(0x88982F07u);
inline constexpr HResult kErrPropertyNotFound = static_cast<HResult>(0x88982F40u);
inline constexpr HResult kErrPaletteUnavailable = static_cast<HResult>(0x88982F45u);
inline constexpr HResult kErrBadHeader = static_cast<HResult>(0x88982F61u);
inline constexpr HResult kErrBadImage = static_cast<HResult>(0x88982F60u);
inline constexpr HResult kErrFrameMissing = static_cast<HResult>(0x88982F62u);
inline constexpr HResult kErrInsufficientBuffer = static_cast<HResult>(0x88982F8Cu);
inline constexpr HResult kErrImageSizeOutOfRange = static_cast<HResult>(0x88982F51u);
inline constexpr HResult kErrUnsupportedPixelFormat = static_cast<HResult>(0x88982F80u);

inline constexpr bool Succeeded(HResult hr) { return hr >= 0; }
inline constexpr bool Failed(HResult hr) { return hr < 0; }

// Pictures above this many pixels are refused by every decoder path.
inline constexpr std::uint64_t kMaxPixels = 300000000;

// ---------------------------------------------------------------------------
// Containers and pixel formats.
enum class Container { Unknown, Jpeg, Png, Gif, Tiff, Bmp, Ico, Webp, Avif };

enum class PixelFormat {
  Unknown,
  Indexed1,
  Indexed2,
  Indexed4,
  Indexed8,
  BlackWhite,  // 1 bit, 0 black
  Gray2,
  Gray4,
  Gray8,
  Gray16,
  Bgr555,   // 16bppBGR555
  Bgr565,   // 16bppBGR565
  Bgr24,    // 24bppBGR
  Rgb24,    // 24bppRGB
  Bgr32,    // 32bppBGR: fourth byte unused
  Bgra32,   // 32bppBGRA: straight alpha
  Pbgra32,  // 32bppPBGRA: colour multiplied by alpha
  Rgba32,   // 32bppRGBA
  Cmyk32,   // 32bppCMYK
  Rgb48,    // 48bppRGB
  Rgba64,   // 64bppRGBA
  Prgba64,  // 64bppPRGBA
  Cmyk64,   // 64bppCMYK
  Gray32Float,
};

// The paletted and gray formats of a sample depth (1, 2, 4, 8 and, for gray,
// 16 bits); Unknown for any other depth.
PixelFormat IndexedFormat(unsigned bits);
PixelFormat GrayFormat(unsigned bits);

// Bits per pixel of a format (0 for Unknown).
std::uint32_t BitsPerPixel(PixelFormat f);
const char* PixelFormatName(PixelFormat f);
const char* ContainerName(Container c);

// ---------------------------------------------------------------------------
// Typed values. Type codes equal the platform VARTYPE numbers.
inline constexpr std::uint16_t kVtEmpty = 0;
inline constexpr std::uint16_t kVtI2 = 2;
inline constexpr std::uint16_t kVtI4 = 3;
inline constexpr std::uint16_t kVtR4 = 4;
inline constexpr std::uint16_t kVtR8 = 5;
inline constexpr std::uint16_t kVtBool = 11;
inline constexpr std::uint16_t kVtUnknown = 13;  // a nested metadata reader
inline constexpr std::uint16_t kVtI1 = 16;
inline constexpr std::uint16_t kVtUI1 = 17;
inline constexpr std::uint16_t kVtUI2 = 18;
inline constexpr std::uint16_t kVtUI4 = 19;
inline constexpr std::uint16_t kVtI8 =
    20;  // also a signed rational: numerator low, denominator high
inline constexpr std::uint16_t kVtUI8 =
    21;  // also a rational: numerator low 32 bits, denominator high
inline constexpr std::uint16_t kVtLpstr = 30;
inline constexpr std::uint16_t kVtLpwstr = 31;
inline constexpr std::uint16_t kVtBlob = 65;
inline constexpr std::uint16_t kVtClsid = 72;
inline constexpr std::uint16_t kVtVector = 0x1000;

class MetadataReader;

// One typed value. Scalars live in `i`, `u` or `d` by type; text, blobs and
// vectors own their payload, so a value never needs freeing by hand.
//   VT_I1/I2/I4/I8           -> i
//   VT_UI1/UI2/UI4/UI8/BOOL  -> u
//   VT_R4/R8                 -> d
//   VT_LPSTR                 -> bytes (no terminating zero)
//   VT_LPWSTR                -> text
//   VT_BLOB, VT_VECTOR|UI1   -> bytes
//   VT_VECTOR|I1 .. |I8      -> nums (two's complement bit patterns)
//   VT_VECTOR|UI2 .. |UI8    -> nums
//   VT_VECTOR|R4, |R8        -> reals
//   VT_VECTOR|LPSTR, |LPWSTR -> strs (UTF-8 for LPWSTR)
//   VT_UNKNOWN               -> reader
struct PropValue {
  std::uint16_t vt = kVtEmpty;
  std::int64_t i = 0;
  std::uint64_t u = 0;
  double d = 0;
  std::string bytes;
  std::wstring text;
  std::vector<std::uint64_t> nums;
  std::vector<double> reals;
  std::vector<std::string> strs;
  std::shared_ptr<const MetadataReader> reader;

  static PropValue UI1(std::uint8_t v);
  static PropValue UI2(std::uint16_t v);
  static PropValue UI4(std::uint32_t v);
  static PropValue UI8(std::uint64_t v);
  static PropValue I1(std::int8_t v);
  static PropValue I2(std::int16_t v);
  static PropValue I4(std::int32_t v);
  static PropValue I8(std::int64_t v);
  static PropValue R4(float v);
  static PropValue R8(double v);
  static PropValue Bool(bool v);
  static PropValue Lpstr(std::string v);
  static PropValue Lpwstr(std::wstring v);
  static PropValue Blob(std::string v);
  static PropValue Reader(std::shared_ptr<const MetadataReader> r);
  // Number of elements of a vector value (1 for a scalar, 0 when empty).
  std::size_t Count() const;
};

bool operator==(const PropValue& a, const PropValue& b);

// One item of a metadata block: its id (as a query path component, for
// example "{ushort=274}", "Width", "{str=Title}", "{}") and its value.
struct MetaItem {
  std::string id;
  PropValue value;
};

// A block of metadata: a named node of the reader tree. Nested blocks are
// items whose value is VT_UNKNOWN with `reader` set.
class MetadataReader {
 public:
  MetadataReader(std::string format, std::vector<MetaItem> items);
  // The block's kind, which also names it in a query path: "app1", "ifd",
  // "exif", "gps", "interop", "thumb", "xmp", "logscrdesc", "imgdesc", ...
  const std::string& Format() const { return format_; }
  const std::vector<MetaItem>& Items() const { return items_; }

  // Resolves a query path such as "/app1/ifd/{ushort=274}" relative to this
  // block. Components match item ids without regard to case; "[n]" before a
  // component selects its n-th occurrence; the names "ifd", "thumb", "exif",
  // "gps" and "interop" are aliases of "{ushort=0}", "{ushort=1}",
  // "{ushort=34665}", "{ushort=34853}" and "{ushort=40965}".
  // kErrPropertyNotFound when nothing matches.
  HResult GetMetadataByName(std::string_view path, PropValue* out) const;

  // The names an enumerator of this block delivers, one per item in item
  // order: "/" + id, with "[n]" before the id for the n-th (n ≥ 1) later item
  // of the same id ("/app1", "/com", "/[1]com", "/{ushort=271}"). Each name
  // resolves through GetMetadataByName to its own item.
  std::vector<std::string> GetEnumerator() const;

 private:
  std::string format_;
  std::vector<MetaItem> items_;
};

// Reads an unsigned integer through a reader: VT_UI1, VT_UI2 and VT_UI4 are
// accepted (zero-extended); any other type, or no value, gives false and
// leaves *out unchanged.
bool ReadUInt(const MetadataReader* reader, std::string_view path, std::uint32_t* out);
// The same for an integer of any width up to 32 bits, signed or not: writers
// store a SHORT tag as BYTE, LONG or a signed type too. The 64-bit types are
// left out, since they also carry rationals.
bool ReadInteger(const MetadataReader* reader, std::string_view path, std::int64_t* out);

// Parses a TIFF structure (EXIF body after "Exif\0\0", or a whole TIFF file)
// into IFD readers: IFD0 as "{ushort=0}" with its EXIF, GPS and
// interoperability IFDs nested as "{ushort=34665}", "{ushort=34853}",
// "{ushort=40965}", and IFD1 as "{ushort=1}". Returns the items of the
// container level (the IFDs); an unreadable structure gives none.
std::vector<MetaItem> ParseTiffIfds(const std::uint8_t* data, std::size_t size);

// The IFD0 reader alone (format "ifd"), or null.
std::shared_ptr<const MetadataReader> ParseIfd0(const std::uint8_t* data, std::size_t size);

// An XMP packet (the XML text, with or without its xpacket wrapper) as a
// reader of format "xmp" whose items are the properties "prefix:name":
// simple values VT_LPWSTR, arrays (rdf:Bag, rdf:Seq) nested readers with
// items "{ulong=0}", "{ulong=1}", ..., language alternatives (rdf:Alt) nested
// readers with one item per xml:lang ("x-default", "en-US"), structures
// nested readers of their fields. Null when the XML cannot be parsed or holds
// no rdf:RDF element. With `budget`, the items of several packets of one file
// share it: the walk takes at most *budget items and *budget goes down by
// what it took.
std::shared_ptr<const MetadataReader> ParseXmpPacket(const std::uint8_t* data, std::size_t size,
                                                     std::size_t* budget = nullptr);

// Photoshop image resources ("8BIM" records) as a reader of format "irb";
// the IPTC record (resource 0x0404) is the item "8bimiptc", a reader whose one
// item "iptc" is the IPTC reader. Null when no record can be read.
std::shared_ptr<const MetadataReader> ParsePhotoshopResources(const std::uint8_t* data,
                                                              std::size_t size);

// An IPTC-IIM record (0x1C-tagged datasets) as a reader of format "iptc":
// items named by dataset, strings VT_LPSTR, repeated datasets a
// VT_VECTOR|VT_LPSTR. Null when no dataset can be read.
std::shared_ptr<const MetadataReader> ParseIptc(const std::uint8_t* data, std::size_t size);

// ---------------------------------------------------------------------------
// Colour contexts.
struct ColorContext {
  enum class Type { Uninitialized, Profile, ExifColorSpace };
  Type type = Type::Uninitialized;
  std::vector<std::uint8_t> profile;  // ICC bytes for Type::Profile
  std::uint32_t exifColorSpace = 0;   // 1 sRGB, 2 Adobe RGB
};

// One metadata block of a frame as stored in the file, named as the frame's
// reader names it at the top level ("app1", "xmp", "app13", "com",
// "unknown", "app0", "app14"). For JPEG it is one whole marker segment:
// 0xFF, the marker, the big-endian length and the payload.
struct MetadataBlock {
  std::string format;
  std::vector<std::uint8_t> bytes;
};

// ---------------------------------------------------------------------------
// Decoding.
using Bytes = std::shared_ptr<const std::vector<std::uint8_t>>;

struct Rect {
  std::int32_t x = 0, y = 0, width = 0, height = 0;
};

class Frame {
 public:
  virtual ~Frame() = default;
  virtual std::uint32_t Width() const = 0;
  virtual std::uint32_t Height() const = 0;
  // The frame's pixel format as stored in the file.
  virtual PixelFormat NativeFormat() const = 0;
  // Decodes the whole frame into `buffer` as rows of `stride` bytes in one of
  // Bgra32, Pbgra32, Bgr32 (alpha byte 255) or Bgr24. Fails with
  // kInvalidArg for other formats or a stride below the row size and with
  // kErrInsufficientBuffer when `size` < stride × (height − 1) + row bytes.
  virtual HResult CopyPixels(PixelFormat format, std::uint8_t* buffer, std::size_t stride,
                             std::size_t size) = 0;
  // Raw CMYK samples (4 bytes a pixel, 0 = no ink), for colour managing a
  // CMYK frame with its profile. kNotImpl for frames that are not CMYK.
  virtual HResult CopyCmyk(std::uint8_t* buffer, std::size_t stride, std::size_t size);
  // Decodes the frame in bands of at most `bandRows` rows, top to bottom, as
  // CopyPixels would, handing each band to `sink` (its rows `stride` bytes
  // apart, the index of its first row and its row count) while the next one
  // is decoded; the sink returns false to stop early (the call then succeeds).
  // Frames that cannot decode part by part decode whole first, so a caller
  // never holds more than a band of its own.
  using BandSink = std::function<bool(const std::uint8_t* rows, std::uint32_t firstRow,
                                      std::uint32_t rowCount, std::size_t stride)>;
  virtual HResult CopyPixelsInBands(PixelFormat format, std::uint32_t bandRows,
                                    const BandSink& sink);
  // A reduced decode, for frames whose codec makes one cheaply (a JPEG's
  // scaled DCT): the size of the frame decoded at 1/`denominator` (2, 4 or
  // 8) of its size, each side rounded up; false when the frame cannot.
  virtual bool ReducedSize(std::uint32_t /*denominator*/, std::uint32_t* /*width*/,
                           std::uint32_t* /*height*/) const {
    return false;
  }
  // CopyPixels at that reduced size (kNotImpl where ReducedSize is false).
  virtual HResult CopyReducedPixels(std::uint32_t /*denominator*/, PixelFormat /*format*/,
                                    std::uint8_t* /*buffer*/, std::size_t /*stride*/,
                                    std::size_t /*size*/) {
    return kNotImpl;
  }
  // Embedded ICC profile and EXIF colour space, in that order when present.
  virtual std::vector<ColorContext> ColorContexts() const { return {}; }
  // The frame's metadata, or null when it has none the engine reads.
  virtual std::shared_ptr<const MetadataReader> Metadata() const { return nullptr; }
  // The frame's metadata blocks as stored, in file order, for copying into a
  // frame being encoded (empty when the frame has none it can copy).
  virtual std::vector<MetadataBlock> MetadataBlocks() const { return {}; }
};

class Decoder {
 public:
  virtual ~Decoder() = default;
  virtual Container GetContainerFormat() const = 0;
  virtual std::uint32_t GetFrameCount() const = 0;
  virtual HResult GetFrame(std::uint32_t index, std::unique_ptr<Frame>* out) = 0;
  // The size GetFrame(index) would give, failing where it would fail. A
  // container of many small pictures (an icon) answers from the headers
  // alone; the default builds the frame.
  virtual HResult GetFrameSize(std::uint32_t index, std::uint32_t* width, std::uint32_t* height) {
    if (!width || !height) return kPointer;
    std::unique_ptr<Frame> frame;
    const HResult hr = GetFrame(index, &frame);
    if (Failed(hr)) return hr;
    *width = frame->Width();
    *height = frame->Height();
    return kOk;
  }
  // Container-level metadata (for GIF the logical screen descriptor and
  // the application and comment extensions), or null.
  virtual std::shared_ptr<const MetadataReader> Metadata() const { return nullptr; }
};

// A decode running on this thread gives up early, failing, once *flag is
// true (null: never). JPEG checks it between rows; the other codecs run to
// their end. For a worker whose result is no longer wanted.
void SetThreadCancelFlag(const std::atomic<bool>* flag);
bool CancelRequested();

// Recognises the container from the first bytes and opens a decoder over the
// whole file. kErrUnknownImageFormat when no decoder recognises the bytes.
HResult CreateDecoderFromMemory(Bytes bytes, std::unique_ptr<Decoder>* out);

// What a file carries, found by walking its container without decoding the
// picture: a JPEG's marker segments and a TIFF's first directory are read by
// themselves, so a file without a frame header, over the pixel limit or with
// a directory the pixel decoder refuses still lists its metadata. Other
// containers answer through their decoder. False when no reader recognises
// the bytes.
struct ContainerMetadata {
  Container container = Container::Unknown;
  std::shared_ptr<const MetadataReader> top;    // the container's own blocks
  std::shared_ptr<const MetadataReader> frame;  // the first picture's blocks
  std::uint32_t width = 0;                      // 0 x 0 when the file does not say
  std::uint32_t height = 0;
};
bool ReadContainerMetadata(const Bytes& bytes, ContainerMetadata* out);

// Per-format entry points (each checks the signature itself).
HResult CreateJpegDecoder(Bytes bytes, std::unique_ptr<Decoder>* out);
HResult CreatePngDecoder(Bytes bytes, std::unique_ptr<Decoder>* out);
HResult CreateGifDecoder(Bytes bytes, std::unique_ptr<Decoder>* out);
HResult CreateTiffDecoder(Bytes bytes, std::unique_ptr<Decoder>* out);
HResult CreateBmpDecoder(Bytes bytes, std::unique_ptr<Decoder>* out);
HResult CreateIcoDecoder(Bytes bytes, std::unique_ptr<Decoder>* out);

// ---------------------------------------------------------------------------
// Encoding.

// Encodes rows of 24bppBGR pixels (`stride` bytes apart) as a baseline JPEG
// with a JFIF APP0, at quality 0..1 (0.92 is the usual choice). The whole
// file is appended to *out.
HResult EncodeJpeg(const std::uint8_t* bgr, std::uint32_t width, std::uint32_t height,
                   std::size_t stride, float quality, std::vector<std::uint8_t>* out);

// The encoders below read rows of pixels `stride` bytes apart, append one
// whole file to *out and write pixels only: no metadata, no colour profile.
// They fail with kInvalidArg for a null pointer, a zero or oversized
// dimension, a short stride or a format they do not take, kOutOfMemory when
// working memory cannot be had and kFail when the library refuses; *out then
// holds what it held before.

// PNG, 8 bits a sample: RGB from Bgr24, RGBA from Bgra32 (straight alpha).
HResult EncodePng(const std::uint8_t* pixels, PixelFormat format, std::uint32_t width,
                  std::uint32_t height, std::size_t stride, std::vector<std::uint8_t>* out);

// BMP from Bgr24: BITMAPFILEHEADER, a 40-byte BITMAPINFOHEADER and 24-bit
// rows, bottom-up, each padded to a multiple of 4 bytes.
HResult EncodeBmp(const std::uint8_t* bgr, std::uint32_t width, std::uint32_t height,
                  std::size_t stride, std::vector<std::uint8_t>* out);

// TIFF, one image, LZW with the horizontal predictor, strips of about 8 KiB:
// RGB from Bgr24, RGBA with unassociated alpha (ExtraSamples 2) from Bgra32.
HResult EncodeTiff(const std::uint8_t* pixels, PixelFormat format, std::uint32_t width,
                   std::uint32_t height, std::size_t stride, std::vector<std::uint8_t>* out);

// GIF from Bgr24: one image with a global palette from BuildPalette (up to 256
// colours) and the pixels mapped onto it by DitherToPalette. A picture of at
// most 256 colours keeps every one of them exactly.
HResult EncodeGif(const std::uint8_t* bgr, std::uint32_t width, std::uint32_t height,
                  std::size_t stride, std::vector<std::uint8_t>* out);

// A palette of at most `maxColours` (1 to 256) colours, 0x00RRGGBB, for Bgr24
// pixels: every distinct colour, in order of first appearance, when there are
// no more than `maxColours`; otherwise a median cut of the colours (counted
// at 5 bits a channel), each entry the mean of the pixels in its box.
HResult BuildPalette(const std::uint8_t* bgr, std::uint32_t width, std::uint32_t height,
                     std::size_t stride, unsigned maxColours, std::vector<std::uint32_t>* palette);

// Maps Bgr24 pixels onto a palette (1 to 256 entries, 0x00RRGGBB) with
// Floyd-Steinberg error diffusion: each pixel, with the error carried to it,
// becomes its nearest entry, and the difference goes on to the pixel to the
// right (7/16) and to the three below (3/16, 5/16, 1/16). *indices receives
// width × height palette indices, row by row. A pixel whose colour is in the
// palette, with no error carried to it, keeps that colour.
HResult DitherToPalette(const std::uint8_t* bgr, std::uint32_t width, std::uint32_t height,
                        std::size_t stride, const std::vector<std::uint32_t>& palette,
                        std::vector<std::uint8_t>* indices);

// ---------------------------------------------------------------------------
// Metadata writing.

// Writes values into the metadata blocks of a frame being encoded, addressed
// by the same query paths the reader resolves ("/app1/ifd/{ushort=315}",
// "/xmp/dc:title/x-default", "/com/TextEntry", "/[1]com"). Setting a value
// whose directory or block does not exist yet creates it; removing a block
// path ("/app13", "/app1/thumb", "/[2]unknown") drops the whole block.
class MetadataQueryWriter {
 public:
  virtual ~MetadataQueryWriter() = default;
  // kErrPropertyNotFound when the path cannot name anything in this frame,
  // kInvalidArg for a malformed path or a value the item cannot hold,
  // kNotImpl for a block that is only ever copied or removed whole.
  virtual HResult SetMetadataByName(std::string_view path, const PropValue& value) = 0;
  // kErrPropertyNotFound when there is nothing at the path.
  virtual HResult RemoveMetadataByName(std::string_view path) = 0;
};

// A one-frame JPEG being encoded together with metadata blocks: the encoder
// side of the metadata engine. Blocks come from a decoded frame, are edited
// through the query writer and are written as marker segments right after
// SOI and the encoder's own JFIF APP0, in their order. A block nobody edited
// is written byte for byte; an edited EXIF block keeps every untouched value
// at its offset from the TIFF header.
class JpegFrameEncoder {
 public:
  JpegFrameEncoder();
  ~JpegFrameEncoder();
  JpegFrameEncoder(const JpegFrameEncoder&) = delete;
  JpegFrameEncoder& operator=(const JpegFrameEncoder&) = delete;

  // Copies every metadata block of a decoded frame (JPEG frames offer
  // theirs; a frame without blocks copies nothing). Replaces what was there.
  HResult InitializeFromBlockReader(const Frame& frame);
  // The query writer over the blocks; owned by the encoder.
  MetadataQueryWriter* GetMetadataQueryWriter();
  // Encodes 24bppBGR rows (see EncodeJpeg) and appends the whole file with
  // the metadata segments to *out. kFail when a block cannot be written (a
  // segment over 65,535 bytes even after compacting); *out then holds what it
  // held before.
  HResult Commit(const std::uint8_t* bgr, std::uint32_t width, std::uint32_t height,
                 std::size_t stride, std::vector<std::uint8_t>* out);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// A TIFF file being written again: every directory of the main chain (every
// page) is decoded and encoded anew in exactly its own pixel form (bits and
// samples per pixel, photometric, planar layout, extra samples, sample format,
// colour map and strip or tile geometry), with a compression chosen from the
// stored one: none, CCITT group 3 and 4, PackBits and Deflate stay what they
// were, anything else becomes LZW; LZW and Deflate keep the horizontal or
// floating-point predictor. Every other tag of every page is copied with its
// EXIF, GPS and interoperability directories; the first page's metadata can
// be edited through the query writer with the paths the reader gives
// ("/ifd/{ushort=315}", "/ifd/exif/...", "/ifd/gps/...", "/ifd/xmp/...";
// IPTC and Photoshop blocks are only kept or removed whole). JPEG-compressed
// YCbCr pages are written as the RGB samples they decode to.
class TiffRewriter {
 public:
  TiffRewriter();
  ~TiffRewriter();
  TiffRewriter(const TiffRewriter&) = delete;
  TiffRewriter& operator=(const TiffRewriter&) = delete;

  // Reads the directories. kErrBadHeader when the bytes are not a TIFF whose
  // first directory can be read.
  HResult Open(Bytes bytes);
  // The first page's query writer; owned by the rewriter. Null before Open.
  MetadataQueryWriter* GetMetadataQueryWriter();
  // Encodes every page and sets *out to the whole new file.
  // kErrUnsupportedPixelFormat for a page whose pixels cannot be written back
  // unchanged (old-style JPEG, a compression libtiff cannot decode, CCITT
  // over more than one bit, pages with sub-images); kFail (or another
  // failure) when a page does not decode or encode.
  HResult Commit(std::vector<std::uint8_t>* out);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Whether two TIFF files hold the same pages: the same number of directories
// and, for each, the same pixel form and the same decoded samples (a
// JPEG-compressed YCbCr page compares as the RGB it decodes to).
bool SameTiffPages(const Bytes& a, const Bytes& b);

// ---------------------------------------------------------------------------
// Pixels.

// Converts `count` pixels of 32bppBGRA (straight alpha) to premultiplied, in
// place: colour becomes (c × a + 127) / 255 for every pixel whose alpha is not
// 255.
void Premultiply(std::uint8_t* bgra, std::size_t count);

// Checks a CopyPixels request against a frame of `height` rows whose packed
// row is `rowBytes`: kInvalidArg for a null buffer or short stride,
// kErrInsufficientBuffer when the buffer cannot hold the last row.
HResult CheckCopyArgs(std::uint32_t height, std::size_t rowBytes, const std::uint8_t* buffer,
                      std::size_t stride, std::size_t size);

// Writes one row of straight BGRA pixels (`width` pixels) to `dst` in the
// requested format (Bgra32, Pbgra32, Bgr32 or Bgr24).
void StoreBgraRow(const std::uint8_t* bgra, std::uint32_t width, PixelFormat format,
                  std::uint8_t* dst);

// In-memory premultiplied BGRA pixels owned by the caller: the source that the
// scaler reads.
struct MemSource {
  const std::uint8_t* pixels = nullptr;  // stride width × 4
  std::int32_t width = 0;
  std::int32_t height = 0;

  HResult GetSize(std::uint32_t* w, std::uint32_t* h) const;
  // Copies a rectangle (the whole image when rect is null).
  HResult CopyPixels(const Rect* rect, std::uint32_t stride, std::uint32_t size,
                     std::uint8_t* buffer) const;
};

enum class Interpolation {
  NearestNeighbor = 0,
  Linear = 1,
  Cubic = 2,
  Fant = 3,              // area average
  HighQualityCubic = 4,  // cubic filter widened for reduction
};

// Resamples the whole source to w × h premultiplied BGRA rows of `stride`
// bytes. kInvalidArg for sizes ≤ 0, a null buffer or a short stride;
// kErrInsufficientBuffer for a small buffer; kOutOfMemory when working memory
// cannot be had.
HResult ScaleBitmap(const MemSource& src, std::int32_t w, std::int32_t h, Interpolation mode,
                    std::uint8_t* buffer, std::uint32_t stride, std::uint32_t size);

// ---------------------------------------------------------------------------
// Colour.

// A transform from a source colour context to sRGB. Null when the context is
// unusable (a broken profile, an unsupported colour space).
class ColorTransform {
 public:
  virtual ~ColorTransform() = default;
  // The frame format the transform reads: Bgra32 for RGB and gray profiles and
  // the EXIF colour spaces, Cmyk32 for CMYK profiles.
  virtual PixelFormat InputFormat() const = 0;
  // Decodes the frame through the transform into straight 32bppBGRA rows.
  virtual HResult Copy(Frame& frame, std::uint8_t* buffer, std::size_t stride,
                       std::size_t size) = 0;
  // Transforms straight BGRA pixels in place (alpha kept). Only for
  // transforms whose input format is Bgra32.
  virtual void TransformBgra(std::uint8_t* bgra, std::size_t count) = 0;
};

std::unique_ptr<ColorTransform> CreateColorTransform(const ColorContext& source);

}  // namespace img
