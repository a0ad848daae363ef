// A move-only owner of a system resource (a file descriptor, a handle): it
// releases the resource when it goes, so no error path releases it by hand.
// Each backend names its own kind: the empty value and the call that closes.
#pragma once

template <typename T, T kEmpty, void (*Close)(T)>
class Owner {
 public:
  explicit Owner(T value = kEmpty) : value_(value) {}
  Owner(Owner&& other) noexcept : value_(other.release()) {}
  Owner& operator=(Owner&& other) noexcept {
    reset(other.release());
    return *this;
  }
  Owner(const Owner&) = delete;
  Owner& operator=(const Owner&) = delete;
  ~Owner() { reset(); }

  explicit operator bool() const { return value_ != kEmpty; }
  T get() const { return value_; }
  T release() {
    T value = value_;
    value_ = kEmpty;
    return value;
  }
  void reset(T value = kEmpty) {
    if (value_ != kEmpty) Close(value_);
    value_ = value;
  }

 private:
  T value_;
};
