// Shared inside the metadata module: naming fields read from the imaging
// component's reader tree, the synthetic JPEG that carries loose EXIF and XMP
// blobs to that reader, and the byte-level reading of a file's metadata.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "imaging/imaging.h"
#include "meta/meta.h"

// --- naming (naming.cpp) -------------------------------------------------------

struct TagRow {
  std::uint32_t tag;
  const wchar_t* label;
  const wchar_t* group;
};
inline constexpr std::size_t kIfdTagCount = 27;
inline constexpr std::size_t kExifTagCount = 55;
inline constexpr std::size_t kGpsTagCount = 24;
extern const TagRow kIfdTags[kIfdTagCount];
extern const TagRow kExifTags[kExifTagCount];
extern const TagRow kGpsTags[kGpsTagCount];

// "{ushort=N}" (longer than 3 characters) gives true and N, read as decimal
// digits up to the first non-digit; anything else false.
bool TagId(std::wstring_view component, std::uint32_t* tag);
// The text between the first '=' and the final '}' of "{type=text}"; any
// other component unchanged.
std::wstring Inner(std::wstring_view component);

struct FieldName {
  std::wstring group;
  std::wstring label;
};
// Group and label of a field path (the key without its prefix).
FieldName Describe(std::wstring_view path);

// Appends one field per value item of the reader tree, depth first, in the
// order the reader enumerates its items. Readers 13 levels deep are not
// walked.
void Walk(const img::MetadataReader* reader, const std::wstring& path, MetaDoc* doc,
          const std::wstring& keyPrefix, bool allowEdit, int depth);

// The text of a value and whether it can be edited as text.
std::wstring ValueText(const img::PropValue& value, bool* editable);

// Appends a "File" fact.
void AddInfo(MetaDoc* doc, const std::wstring& name, const std::wstring& text);

// --- the synthetic JPEG (synthetic.cpp) -----------------------------------------

// Blobs above this are never wrapped: an APP1 segment holds at most 65533.
inline constexpr std::size_t kMaxBlobBytes = 65000;

// Whether the imaging component is ready for metadata reading.
bool Fac();

// Reads the first frame's metadata of a picture in memory into fields (and a
// "Dimensions" fact when asked). Returns the container, or
// img::Container::Unknown when no reader recognises the bytes. The picture
// need not decode: a JPEG's segments and a TIFF's directory are read alone.
img::Container WalkImage(const std::vector<std::uint8_t>& data, MetaDoc* doc,
                         const std::wstring& keyPrefix, bool allowEdit, bool addDimensions);

// Lists loose EXIF and XMP blobs through a synthetic JPEG. False when the
// JPEG could not be built (a blob above kMaxBlobBytes); the blobs then get a
// placeholder field each.
bool FieldsFromBlobs(MetaDoc* doc, std::string exif, const std::string& xmp,
                     const std::wstring& keyPrefix, bool allowEdit);

// SOI, an APP1 per non-empty blob, then the tiny JPEG's segments other than
// APP1, APP13 and COM, and its scan.
bool FakeJpeg(const std::string& exif, const std::string& xmp, std::vector<std::uint8_t>* out);

// A 1 × 1 white baseline JPEG, encoded once per process (empty when the
// encoder failed; it is tried again on the next call).
const std::vector<std::uint8_t>& TinyJpeg();

// Appends an APP1 segment: marker, big-endian length, header, body.
void PutSeg(std::vector<std::uint8_t>* out, const void* header, std::size_t headerLen,
            const void* body, std::size_t bodyLen);

// Trims an EXIF blob so that it starts with its TIFF header ("II*\0" or
// "MM\0*" within the first 17 bytes), or empties it.
void NormalizeExif(std::string* exif);

// --- loading (load.cpp) ---------------------------------------------------------

// Reads the whole file (1 byte to 512 MiB) and its last-write time.
bool ReadWhole(const std::wstring& path, std::vector<std::uint8_t>* bytes, std::uint64_t* fileTime);

// Sets format, editable and note and appends the fields of doc->bytes.
void ParseBytes(MetaDoc* doc);

// --- rewriting and saving (save.cpp) ----------------------------------------------

// The largest file a rewriter or picture check takes.
inline constexpr std::size_t kMaxRewriteBytes = 2147483647;

// The bytes as the imaging component takes them, without a copy: the
// caller's vector outlives every decoder made from them.
inline img::Bytes Borrow(const std::vector<std::uint8_t>& bytes) {
  return img::Bytes(std::shared_ptr<void>(), &bytes);
}

// Fresh APP1, APP13 and COM segments for a JPEG: every metadata block of the
// source copied into a scratch encoder, the document's edits applied, and the
// scratch file's APP1, APP13 and COM segments taken, in order, each a whole
// segment (0xFF, marker, length, payload). `keyPrefix` is what the keys of the
// edited fields begin with ("" for the JPEG's own fields, "exif:" for a
// PNG's). False with the message in *err.
bool EditJpegMeta(const std::vector<std::uint8_t>& source, const MetaDoc& doc,
                  const std::wstring& keyPrefix, std::vector<std::vector<std::uint8_t>>* segments,
                  std::wstring* err);

// The source JPEG with its APP1, APP13 and COM segments replaced by
// `segments`, placed after SOI and any leading APP0 segments; every byte from
// the scan on is copied unchanged. False when the source is not a JPEG whose
// segments reach a scan.
bool SpliceJpeg(const std::vector<std::uint8_t>& source,
                const std::vector<std::vector<std::uint8_t>>& segments,
                std::vector<std::uint8_t>* out);

// Writes the document's changed fields, then removes its removed ones
// (whole thumbnails, APP13 blocks, comments and unknown blocks by their block
// path), through a metadata query writer. False with the message in *err.
bool ApplyEdits(img::MetadataQueryWriter* writer, const MetaDoc& doc, const std::wstring& keyPrefix,
                std::wstring* err);

// Reads the new bytes as a file would be read and confirms that no field the
// document removes is still there. False with the message in *err.
bool CheckRemoved(const MetaDoc& doc, std::vector<std::uint8_t>* newBytes, std::wstring* err);

// Decodes the first frame into 32-bit straight BGRA, without orientation or
// colour management. False for empty or undecodable content, content of 2 GiB
// or more, and pictures above 300,000,000 pixels.
bool RawPixels(const std::vector<std::uint8_t>& content, std::vector<std::uint8_t>* pixels,
               std::uint32_t* width, std::uint32_t* height);

// Whether both contents decode to the same size and the same pixel bytes.
bool SamePicture(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b);

// Replaces the file at `path` with exactly `content` through a temporary file
// beside it ("path.saving", then ".saving1" to ".saving99"), flushed before it
// takes the file's place. True when the file now holds the content; else the
// message goes to *err (the new content's name when it had to be kept aside).
bool WriteAtomic(const std::wstring& path, const std::vector<std::uint8_t>& content,
                 std::wstring* err);

// --- the GIF comment rewrite (save_gif.cpp) ------------------------------------------

// Appends one comment extension: 0x21 0xFE, the text's UTF-8 bytes in
// sub-blocks of at most 255 bytes, and the terminating 0x00.
void PutGifComment(std::vector<std::uint8_t>* out, const std::wstring& text);

// The document's GIF with its comments rewritten: added ones right after the
// global colour table, edited ones in place, removed or cleared ones left
// out, every other block byte for byte. False with the message in *err.
bool SaveGif(const MetaDoc& doc, std::vector<std::uint8_t>* out, std::wstring* err);

// Whether the new GIF differs from the old one in its comments only and its
// first frame decodes to the same pixels.
bool SameGif(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b);

// --- the PNG metadata rewrite (save_png.cpp) -----------------------------------------

// The CRC-32 of PNG chunks (the zlib form).
std::uint32_t Crc32(const std::uint8_t* data, std::size_t size);

// Appends one chunk: big-endian length, the four-letter type, the data and
// the CRC-32 of type and data.
void PutChunk(std::vector<std::uint8_t>* out, const char* type, const void* data, std::size_t size);

// Appends a text chunk: tEXt when every character of the text is Latin-1,
// else an uncompressed iTXt with the text in UTF-8.
void PutText(std::vector<std::uint8_t>* out, const wchar_t* keyword, std::size_t keywordLength,
             const std::wstring& text);

// The document's PNG with its text, tIME and eXIf chunks rewritten as edited;
// every other chunk byte for byte. False with the message in *err.
bool SavePng(const MetaDoc& doc, std::vector<std::uint8_t>* out, std::wstring* err);

// --- the WebP metadata rewrite (save_webp.cpp) ----------------------------------------

// Appends one RIFF chunk: FourCC, little-endian payload length, payload and a
// pad byte when the length is odd.
void PutRiff(std::vector<std::uint8_t>* out, const char* fourcc, const void* data,
             std::size_t size);

// The document's WebP with new EXIF and XMP chunks (edited through the JPEG
// rewrite) at the end, a VP8X chunk where one is needed and every other chunk
// in its order. False with the message in *err.
bool SaveWebp(const MetaDoc& doc, std::vector<std::uint8_t>* out, std::wstring* err);

// Whether the new WebP has the same image chunks, in order and byte for
// byte, and decodes to the same pixels (or, like the old one, not at all).
bool SameWebp(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b);

// --- the TIFF rewrite (save_tiff.cpp) ---------------------------------------------

// The document's TIFF written again page by page: every page's pixels encoded
// anew in their own form, every tag copied, the edits applied to the first
// page's metadata. False with the message in *err.
bool SaveTiff(const MetaDoc& doc, std::vector<std::uint8_t>* out, std::wstring* err);

// Whether both TIFFs have the same number of pages and every page decodes to
// the same samples.
bool SameTiff(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b);
