// The one owned-reference type of the extension.
#pragma once

#include <Python.h>

#include <utility>

namespace torvex {

// Owns one strong reference (or nothing). Constructing from a raw pointer steals it, which
// matches the "new reference" results of the C API; `borrow` takes an extra reference.
class Ref {
 public:
  Ref() noexcept = default;
  explicit Ref(PyObject* owned) noexcept : p_(owned) {}
  Ref(const Ref& o) noexcept : p_(Py_XNewRef(o.p_)) {}
  Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  ~Ref() { Py_XDECREF(p_); }
  Ref& operator=(Ref o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }

  static Ref borrow(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }

  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  // Hands the reference to the caller (for returning to the interpreter).
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  void reset(PyObject* owned = nullptr) noexcept { Py_XDECREF(std::exchange(p_, owned)); }

 private:
  PyObject* p_ = nullptr;
};

}  // namespace torvex
