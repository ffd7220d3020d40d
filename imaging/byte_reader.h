// A bounds-checked reader over bytes the program does not trust. Every read
// past the end turns `ok` false, returns 0 and leaves the position alone;
// once false it stays false, so callers check it once per structure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace img {

class ByteReader {
 public:
  ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool ok() const { return ok_; }
  std::size_t pos() const { return pos_; }
  std::size_t size() const { return size_; }
  std::size_t left() const { return pos_ <= size_ ? size_ - pos_ : 0; }
  const std::uint8_t* data() const { return data_; }
  const std::uint8_t* here() const { return data_ + pos_; }

  // Moves to an absolute offset (64-bit so offsets read from a file never wrap).
  bool Seek(std::uint64_t off) {
    if (!ok_ || off > size_) return Fail();
    pos_ = static_cast<std::size_t>(off);
    return true;
  }
  bool Skip(std::uint64_t n) {
    if (!ok_ || n > left()) return Fail();
    pos_ += static_cast<std::size_t>(n);
    return true;
  }
  // True when n bytes can be read from the current position.
  bool Has(std::uint64_t n) const { return ok_ && n <= left(); }

  std::uint8_t U8() {
    if (!Has(1)) return Fail(), 0;
    return data_[pos_++];
  }
  std::uint16_t U16LE() {
    if (!Has(2)) return Fail(), 0;
    std::uint16_t v = static_cast<std::uint16_t>(data_[pos_] | (data_[pos_ + 1] << 8));
    pos_ += 2;
    return v;
  }
  std::uint16_t U16BE() {
    if (!Has(2)) return Fail(), 0;
    std::uint16_t v = static_cast<std::uint16_t>((data_[pos_] << 8) | data_[pos_ + 1]);
    pos_ += 2;
    return v;
  }
  std::uint32_t U32LE() {
    if (!Has(4)) return Fail(), 0;
    std::uint32_t v = Le32(data_ + pos_);
    pos_ += 4;
    return v;
  }
  std::uint32_t U32BE() {
    if (!Has(4)) return Fail(), 0;
    std::uint32_t v = Be32(data_ + pos_);
    pos_ += 4;
    return v;
  }
  std::uint16_t U16(bool bigEndian) { return bigEndian ? U16BE() : U16LE(); }
  std::uint32_t U32(bool bigEndian) { return bigEndian ? U32BE() : U32LE(); }
  bool Read(void* out, std::size_t n) {
    if (!Has(n)) return Fail();
    if (n) std::memcpy(out, data_ + pos_, n);
    pos_ += n;
    return true;
  }

  static std::uint32_t Le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
  }
  static std::uint32_t Be32(const std::uint8_t* p) {
    return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
           (static_cast<std::uint32_t>(p[2]) << 8) | static_cast<std::uint32_t>(p[3]);
  }
  static std::uint16_t Le16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
  }
  static std::uint16_t Be16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
  }

 private:
  bool Fail() {
    ok_ = false;
    return false;
  }
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
  bool ok_ = true;
};

}  // namespace img
