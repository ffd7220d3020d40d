// One move-only owner for every handle-like resource: file descriptors and
// handles, GDI objects, library decoders and profiles. Traits give the type,
// the invalid value and the release function.
#pragma once

#include <utility>

template <typename Traits>
class Owned {
 public:
  using Type = typename Traits::Type;

  Owned() noexcept : value_(Traits::Invalid()) {}
  explicit Owned(Type value) noexcept : value_(value) {}
  ~Owned() { reset(); }
  Owned(Owned&& other) noexcept : value_(other.release()) {}
  Owned& operator=(Owned&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;

  Type get() const noexcept { return value_; }
  bool valid() const noexcept { return value_ != Traits::Invalid(); }
  explicit operator bool() const noexcept { return valid(); }

  Type release() noexcept { return std::exchange(value_, Traits::Invalid()); }
  void reset(Type value = Traits::Invalid()) noexcept {
    Type old = std::exchange(value_, value);
    if (old != Traits::Invalid()) Traits::Release(old);
  }

 private:
  Type value_;
};
