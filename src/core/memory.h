// Native memory for the extension. Everything goes through the interpreter's raw allocator so
// that tracemalloc-style tooling sees it and so that it is usable without the interpreter lock.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdlib>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace torvex {

// Out-of-memory in a native buffer is not recoverable here: the process aborts.
[[noreturn]] void fatal_out_of_memory(std::size_t bytes) noexcept;

inline void* raw_malloc(std::size_t n) {
  void* p = PyMem_RawMalloc(n ? n : 1);
  if (!p) fatal_out_of_memory(n);
  return p;
}
inline void* raw_realloc(void* p, std::size_t n) {
  void* q = PyMem_RawRealloc(p, n ? n : 1);
  if (!q) fatal_out_of_memory(n);
  return q;
}
inline void* raw_calloc(std::size_t count, std::size_t size) {
  void* p = PyMem_RawCalloc(count ? count : 1, size ? size : 1);
  if (!p) fatal_out_of_memory(count * size);
  return p;
}
inline void raw_free(void* p) noexcept { PyMem_RawFree(p); }

// Standard-library allocator over the raw allocator.
template <class T>
struct RawAllocator {
  using value_type = T;
  RawAllocator() noexcept = default;
  template <class U>
  RawAllocator(const RawAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) { return static_cast<T*>(raw_malloc(n * sizeof(T))); }
  void deallocate(T* p, std::size_t) noexcept { raw_free(p); }
  template <class U>
  bool operator==(const RawAllocator<U>&) const noexcept {
    return true;
  }
};

template <class T>
using RVec = std::vector<T, RawAllocator<T>>;
using RString = std::basic_string<char, std::char_traits<char>, RawAllocator<char>>;
template <class K, class V, class H = std::hash<K>>
using RMap = std::unordered_map<K, V, H, std::equal_to<K>, RawAllocator<std::pair<const K, V>>>;
template <class K, class H = std::hash<K>>
using RSet = std::unordered_set<K, H, std::equal_to<K>, RawAllocator<K>>;

// Maps keyed by native strings; lookups also accept std::string_view without a copy.
struct RStringHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept {
    return std::hash<std::string_view>{}(s);
  }
};
struct RStringEq {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const noexcept { return a == b; }
};
template <class V>
using RStrMap = std::unordered_map<RString, V, RStringHash, RStringEq,
                                   RawAllocator<std::pair<const RString, V>>>;

// Heap objects built on the raw allocator (records of the schema, mostly).
template <class T, class... A>
T* raw_new(A&&... args) {
  void* p = raw_malloc(sizeof(T));
  return new (p) T(std::forward<A>(args)...);
}
template <class T>
void raw_delete(T* p) noexcept {
  if (!p) return;
  p->~T();
  raw_free(p);
}

}  // namespace torvex
