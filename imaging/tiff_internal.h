// libtiff over bytes in memory, shared by the TIFF decoder and the TIFF
// rewriter: a read-only handle over a file's bytes and a handle that writes
// into a growable byte vector. Every message libtiff reports is silenced.
#pragma once

#include <tiffio.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "imaging/imaging.h"

namespace img {

// Directories beyond this many are not offered as frames.
inline constexpr std::size_t kMaxTiffFrames = 10000;

// One open libtiff handle over shared bytes; the handle reads `bytes`, so
// both live and die together. Open gives null when libtiff refuses the
// header.
class TiffHandle {
 public:
  static std::unique_ptr<TiffHandle> Open(const Bytes& bytes);
  ~TiffHandle();
  TiffHandle(const TiffHandle&) = delete;
  TiffHandle& operator=(const TiffHandle&) = delete;

  TIFF* tif() const { return tif_; }

  struct MemFile {
    const std::uint8_t* data;
    std::uint64_t size;
    std::uint64_t pos;
  };

 private:
  explicit TiffHandle(const Bytes& bytes);

  Bytes bytes_;
  MemFile file_;
  TIFF* tif_ = nullptr;
};

// A libtiff handle writing a new file into memory. Open gives null when
// libtiff cannot start the file; Finish closes the handle (which writes the
// last directory) and hands over the bytes.
class TiffSink {
 public:
  // `bigEndian` and `bigTiff` choose the byte order and classic or BigTIFF.
  static std::unique_ptr<TiffSink> Open(bool bigEndian, bool bigTiff);
  ~TiffSink();
  TiffSink(const TiffSink&) = delete;
  TiffSink& operator=(const TiffSink&) = delete;

  TIFF* tif() const { return tif_; }
  // False when closing failed or a write was refused on the way.
  bool Finish(std::vector<std::uint8_t>* out);

  struct Buffer {
    std::vector<std::uint8_t> data;
    std::uint64_t pos = 0;
    bool failed = false;
  };

 private:
  TiffSink() = default;

  Buffer buffer_;
  TIFF* tif_ = nullptr;
};

}  // namespace img
