// Small enumerations and the counted-record base shared by the schema and the codecs.
#pragma once

#include <Python.h>  // Py_GIL_DISABLED

#include <atomic>
#include <cstdint>

#include "core/memory.h"

namespace torvex {

// Field-type numbers of descriptor.proto; 10 (group), 11 (message), 14 (enum) are not scalars.
enum class ScalarType : uint8_t {
  Double = 1,
  Float = 2,
  Int64 = 3,
  Uint64 = 4,
  Int32 = 5,
  Fixed64 = 6,
  Fixed32 = 7,
  Bool = 8,
  String = 9,
  Bytes = 12,
  Uint32 = 13,
  Sfixed32 = 15,
  Sfixed64 = 16,
  Sint32 = 17,
  Sint64 = 18,
};

// Expands X(T) for every scalar type, to build switches that call a template per type (a
// switch of direct calls inlines where a generic dispatcher would not). Lists every member of
// the enum above.
#define TORVEX_SCALAR_TYPES(X) \
  X(Double)                    \
  X(Float)                     \
  X(Int64)                     \
  X(Uint64)                    \
  X(Int32)                     \
  X(Fixed64)                   \
  X(Fixed32)                   \
  X(Bool)                      \
  X(String)                    \
  X(Bytes)                     \
  X(Uint32)                    \
  X(Sfixed32)                  \
  X(Sfixed64)                  \
  X(Sint32)                    \
  X(Sint64)

inline bool is_scalar_type(uint32_t n) {
  return (n >= 1 && n <= 9) || n == 12 || n == 13 || (n >= 15 && n <= 18);
}

// Wire types and tags live with the schema, which precomputes every field's tag at intake.
enum class WireType : uint8_t { Varint = 0, I64 = 1, Len = 2, SGroup = 3, EGroup = 4, I32 = 5 };

constexpr uint32_t make_tag(uint32_t number, WireType wt) noexcept {
  return (number << 3) | static_cast<uint32_t>(wt);
}
constexpr uint32_t tag_number(uint32_t tag) noexcept { return tag >> 3; }
constexpr uint32_t tag_wire_type(uint32_t tag) noexcept { return tag & 7; }

inline WireType scalar_wire_type(ScalarType t) {
  switch (t) {
    case ScalarType::Double:
    case ScalarType::Fixed64:
    case ScalarType::Sfixed64:
      return WireType::I64;
    case ScalarType::Float:
    case ScalarType::Fixed32:
    case ScalarType::Sfixed32:
      return WireType::I32;
    case ScalarType::String:
    case ScalarType::Bytes:
      return WireType::Len;
    default:
      return WireType::Varint;
  }
}

inline bool scalar_packable(ScalarType t) {
  return t != ScalarType::String && t != ScalarType::Bytes;
}

enum class Presence : uint8_t { Explicit = 1, Implicit = 2, Required = 3 };
enum class Cardinality : uint8_t { Singular, List, Map };
enum class ValueKind : uint8_t { Scalar, Enum, Message, List, Map };
enum class ElemKind : uint8_t { Scalar, Enum, Message };

// Intrusive counted base of the shared schema records. Counts change only with the interpreter
// lock held (records own Python references), so builds with that lock update them with plain
// loads and stores: every message instance counts its record when made and freed, and a locked
// update there cost a fifth of copying a document. Free-threaded builds count atomically.
struct Counted {
  std::atomic<intptr_t> refs{1};
};

template <class T>
inline T* rc_incref(T* p) noexcept {
#ifdef Py_GIL_DISABLED
  if (p) p->refs.fetch_add(1, std::memory_order_relaxed);
#else
  if (p) p->refs.store(p->refs.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
#endif
  return p;
}

template <class T>
inline void rc_decref(T* p) noexcept {
  if (!p) return;
#ifdef Py_GIL_DISABLED
  if (p->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) raw_delete(p);
#else
  intptr_t left = p->refs.load(std::memory_order_relaxed) - 1;
  p->refs.store(left, std::memory_order_relaxed);
  if (left == 0) raw_delete(p);
#endif
}

// Owning pointer to a counted record.
template <class T>
class Rc {
 public:
  Rc() noexcept = default;
  static Rc adopt(T* p) noexcept {
    Rc r;
    r.p_ = p;
    return r;
  }
  static Rc share(T* p) noexcept { return adopt(rc_incref(p)); }
  Rc(const Rc& o) noexcept : p_(rc_incref(o.p_)) {}
  Rc(Rc&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  ~Rc() { rc_decref(p_); }
  Rc& operator=(Rc o) noexcept {
    T* t = p_;
    p_ = o.p_;
    o.p_ = t;
    return *this;
  }
  T* get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  T* release() noexcept {
    T* t = p_;
    p_ = nullptr;
    return t;
  }

 private:
  T* p_ = nullptr;
};

}  // namespace torvex
