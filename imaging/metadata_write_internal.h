// The editors behind the metadata query writer: one per kind of block that is
// rewritten rather than copied. Each starts from the block's stored bytes,
// takes edits through paths relative to the block, and gives the new bytes
// only when something changed, so an untouched block stays byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "imaging/imaging.h"

namespace img {

// Splits a query path into its components, keeping braces whole:
// "/a/{str=x/y}/[1]b" gives "a", "{str=x/y}", "[1]b". False for a path that
// does not start with '/' or has an empty component or unbalanced braces.
bool SplitQueryPath(std::string_view path, std::vector<std::string_view>* parts);

// A component's occurrence prefix: "[2]com" gives 2 and "com"; "com" gives 0
// and "com". False for a malformed prefix.
bool SplitOccurrence(std::string_view component, std::size_t* index, std::string_view* name);

// The canonical form of a component name, as the reader compares them:
// lower case, and "ifd", "thumb", "exif", "gps", "interop" as their
// "{ushort=N}" ids.
std::string CanonicalComponent(std::string_view name);

// The tag of a canonical "{ushort=N}" component; false for anything else.
bool ComponentTag(std::string_view canonical, std::uint16_t* tag);

// ---------------------------------------------------------------------------
// A query writer whose edits may run out of memory: the public calls answer
// kOutOfMemory instead of letting std::bad_alloc through.
class GuardedQueryWriter : public MetadataQueryWriter {
 public:
  HResult SetMetadataByName(std::string_view path, const PropValue& value) final {
    try {
      return Set(path, value);
    } catch (const std::bad_alloc&) {
      return kOutOfMemory;
    }
  }
  HResult RemoveMetadataByName(std::string_view path) final {
    try {
      return Remove(path);
    } catch (const std::bad_alloc&) {
      return kOutOfMemory;
    }
  }

 protected:
  virtual HResult Set(std::string_view path, const PropValue& value) = 0;
  virtual HResult Remove(std::string_view path) = 0;
};

// ---------------------------------------------------------------------------
// An EXIF block (the TIFF structure after "Exif\0\0") being edited. Paths are
// relative to the block: "/ifd/{ushort=315}", "/ifd/exif/{ushort=37510}",
// "/ifd/gps/{ushort=2}", "/ifd/exif/interop/{ushort=1}", "/thumb/{ushort=259}";
// "/thumb" and "/ifd/gps" (or any sub-directory) name whole directories.
class ExifEditor {
 public:
  // `tiff` is the block's TIFF structure; empty for a new block. False when
  // the bytes cannot be edited safely (no TIFF header, BigTIFF, IFD0 unreadable).
  bool Open(const std::uint8_t* tiff, std::size_t size);
  HResult Set(std::string_view path, const PropValue& value);
  HResult Remove(std::string_view path);
  bool Changed() const;
  // True when no directory has any entry left.
  bool Empty() const;
  // The new TIFF structure, at most maxBytes long. Untouched values keep their
  // offsets; when that layout does not fit, the block is rebuilt compactly and
  // a moved maker note is recorded in the offset-schema tag. kFail when even
  // the compact form does not fit.
  HResult Serialize(std::size_t maxBytes, std::vector<std::uint8_t>* out) const;

  ExifEditor();
  ~ExifEditor();
  ExifEditor(ExifEditor&&) noexcept;
  ExifEditor& operator=(ExifEditor&&) noexcept;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// ---------------------------------------------------------------------------
// An XMP packet being edited. Paths are relative to the packet and use the
// item ids ParseXmpPacket gives: "/dc:title/x-default", "/dc:creator/{ulong=1}",
// "/xmp:Rating", "/Iptc4xmpCore:CreatorContactInfo/Iptc4xmpCore:CiCity", with
// "[n]" before a component for its n-th occurrence.
class XmpEditor {
 public:
  // `packet` is the stored packet (XML, usually inside its xpacket wrapper,
  // often followed by padding); empty for a new packet. False when the stored
  // packet cannot be parsed (it can then only be kept or removed whole).
  bool Open(const std::uint8_t* packet, std::size_t size);
  // Text values: VT_LPWSTR, or VT_LPSTR taken as UTF-8. Other types kInvalidArg.
  HResult Set(std::string_view path, const PropValue& value);
  HResult Remove(std::string_view path);
  bool Changed() const;
  // True when the packet holds no property any more.
  bool Empty() const;
  // The new packet (a complete packet with its xpacket wrapper), at most
  // maxBytes long; kFail when it does not fit.
  HResult Serialize(std::size_t maxBytes, std::string* out) const;

  XmpEditor();
  ~XmpEditor();
  XmpEditor(XmpEditor&&) noexcept;
  XmpEditor& operator=(XmpEditor&&) noexcept;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace img
