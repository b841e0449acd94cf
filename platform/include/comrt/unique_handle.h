// RAII owners: unique_handle<Traits> for every kind of handle (descriptors, registry keys, library
// handles), and scope_exit for a step that must run however a scope is left.
//
//   struct fd_traits {
//     using type = int;
//     static constexpr int invalid() noexcept { return -1; }
//     static void close(int fd) noexcept { ::close(fd); }
//   };
//   using unique_fd = comrt::unique_handle<fd_traits>;
//
//   comrt::scope_exit remove_temp([&] { ::unlink(temp.c_str()); });
//   ...
//   remove_temp.release();  // done: keep the file
#pragma once

#include <utility>

namespace comrt {

template <class Traits>
class unique_handle {
 public:
  using handle_type = typename Traits::type;

  unique_handle() noexcept = default;
  explicit unique_handle(handle_type h) noexcept : h_(h) {}
  unique_handle(unique_handle&& o) noexcept : h_(std::exchange(o.h_, Traits::invalid())) {}
  unique_handle& operator=(unique_handle&& o) noexcept {
    if (this != &o) reset(std::exchange(o.h_, Traits::invalid()));
    return *this;
  }
  unique_handle(const unique_handle&) = delete;
  unique_handle& operator=(const unique_handle&) = delete;
  ~unique_handle() { reset(); }

  handle_type get() const noexcept { return h_; }
  explicit operator bool() const noexcept { return h_ != Traits::invalid(); }
  // For out-parameters: closes what is held and returns the address to fill.
  handle_type* put() noexcept {
    reset();
    return &h_;
  }
  void reset(handle_type h = Traits::invalid()) noexcept {
    if (h_ != Traits::invalid()) Traits::close(h_);
    h_ = h;
  }
  [[nodiscard]] handle_type release() noexcept { return std::exchange(h_, Traits::invalid()); }

 private:
  handle_type h_ = Traits::invalid();
};

template <class F>
class [[nodiscard]] scope_exit {
 public:
  explicit scope_exit(F f) noexcept : f_(std::move(f)) {}
  scope_exit(const scope_exit&) = delete;
  scope_exit& operator=(const scope_exit&) = delete;
  ~scope_exit() {
    if (armed_) f_();
  }
  // The step is no longer needed.
  void release() noexcept { armed_ = false; }

 private:
  F f_;
  bool armed_ = true;
};

}  // namespace comrt
