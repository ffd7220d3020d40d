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

// Anything released by its own Release() method (COM interfaces).
template <typename T>
struct ReleaseTraits {
  using Type = T*;
  static T* Invalid() { return nullptr; }
  static void Release(T* p) { p->Release(); }
};
template <typename T>
using Com = Owned<ReleaseTraits<T>>;

// A file owned by its name: deleted when the owner goes, unless released. It
// holds the temporary file of a save, which must not outlive a failure on any
// way out, an exception included. Traits give the name type, in the form the
// system call takes so that deleting neither converts nor allocates, and the
// deletion.
template <typename Traits>
class OwnedName {
 public:
  using Name = typename Traits::Name;

  OwnedName() noexcept = default;
  explicit OwnedName(Name name) noexcept : name_(std::move(name)) {}
  ~OwnedName() { reset(); }
  OwnedName(const OwnedName&) = delete;
  OwnedName& operator=(const OwnedName&) = delete;

  const Name& get() const noexcept { return name_; }
  bool valid() const noexcept { return !name_.empty(); }
  explicit operator bool() const noexcept { return valid(); }

  // The file has been handed over (moved to its final name): it stays.
  Name release() noexcept { return std::exchange(name_, Name()); }
  void reset(Name name = Name()) noexcept {
    Name old = std::exchange(name_, std::move(name));
    if (!old.empty()) Traits::Remove(old);
  }

 private:
  Name name_;
};
