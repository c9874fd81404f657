// The interpreter's private API that the extension uses, each call in one place here, with the
// versions it was checked on. Nothing else in src/ names a private (_Py) function.
#pragma once

#include <Python.h>

#include <cstdint>

// The header of a statically allocated object that is immortal, so that counting it never frees
// it. From 3.13 on PyObject_HEAD_INIT gives that; 3.12 gives a count of 1 outside the
// interpreter's core and is spelled out (checked on 3.12.1).
#if PY_VERSION_HEX < 0x030D0000
#define TORVEX_IMMORTAL_HEAD_INIT(type) {{_Py_IMMORTAL_REFCNT}, (type)},
#else
#define TORVEX_IMMORTAL_HEAD_INIT(type) PyObject_HEAD_INIT(type)
#endif

namespace torvex {

// Whether `o` is immortal (its count is never changed), for a shortcut that skips counting
// such objects. Public from 3.14 on as PyUnstable_IsImmortal; _Py_IsImmortal is the inline
// test of 3.12 and 3.13 (checked on 3.12.1 and 3.13.0). The free-threaded build keeps counts
// per thread, so callers do not take the shortcut there (see Py_GIL_DISABLED).
inline bool is_immortal(PyObject* o) noexcept {
#if PY_VERSION_HEX >= 0x030E0000
  return PyUnstable_IsImmortal(o);
#else
  return _Py_IsImmortal(o);
#endif
}

// The value of an exact int of at most two digits (every int32 and uint32, most int64 seen in
// practice), read straight from its digits: the public API reads only one-digit ints without a
// call. False for longer ints, which take the platform conversion. The layout (a tag holding
// digit count and sign, then 30-bit digits) is that of 3.12 and 3.13 (checked on 3.12.1 and
// 3.13.0); other versions read one digit only.
inline bool two_digit_value(PyObject* v, int64_t* out) noexcept {
  auto* l = reinterpret_cast<PyLongObject*>(v);
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000 && PYLONG_BITS_IN_DIGIT == 30
  uintptr_t tag = l->long_value.lv_tag;
  if (tag < (2 << _PyLong_NON_SIZE_BITS)) {
    *out = PyUnstable_Long_CompactValue(l);
    return true;
  }
  if ((tag >> _PyLong_NON_SIZE_BITS) != 2) return false;
  const digit* d = l->long_value.ob_digit;
  auto mag = static_cast<int64_t>(d[0] | (static_cast<uint64_t>(d[1]) << PyLong_SHIFT));
  *out = (tag & _PyLong_SIGN_MASK) == 2 ? -mag : mag;  // sign bits: 0 positive, 2 negative
  return true;
#else
  if (!PyUnstable_Long_IsCompact(l)) return false;
  *out = PyUnstable_Long_CompactValue(l);
  return true;
#endif
}

// The value of a non-negative exact int below 2^64 of at most three digits (uint64 and fixed64
// values such as nanosecond timestamps, which take three), read from its digits as
// two_digit_value does; false for anything else, which takes the platform conversion.
inline bool u64_digits(PyObject* v, uint64_t* out) noexcept {
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000 && PYLONG_BITS_IN_DIGIT == 30
  auto* l = reinterpret_cast<PyLongObject*>(v);
  uintptr_t tag = l->long_value.lv_tag;
  if ((tag & _PyLong_SIGN_MASK) == 2) return false;
  const digit* d = l->long_value.ob_digit;
  switch (tag >> _PyLong_NON_SIZE_BITS) {
    case 0:
      *out = 0;
      return true;
    case 1:
      *out = d[0];
      return true;
    case 2:
      *out = d[0] | (static_cast<uint64_t>(d[1]) << PyLong_SHIFT);
      return true;
    case 3:
      if (d[2] >> (64 - 2 * PyLong_SHIFT)) return false;
      *out = d[0] | (static_cast<uint64_t>(d[1]) << PyLong_SHIFT) |
             (static_cast<uint64_t>(d[2]) << (2 * PyLong_SHIFT));
      return true;
    default:
      return false;
  }
#else
  int64_t c;
  if (!two_digit_value(v, &c) || c < 0) return false;
  *out = static_cast<uint64_t>(c);
  return true;
#endif
}

// A new int of magnitude `mag` (2^30 <= mag < 2^64) and the given sign, its two or three digits
// written directly: the public conversions count digits in a loop behind more checks. Uses
// _PyLong_New and the digit layout read above (checked on 3.12.1 and 3.13.0); elsewhere the
// public conversion.
inline PyObject* long_from_wide(uint64_t mag, bool negative) noexcept {
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000 && PYLONG_BITS_IN_DIGIT == 30
  const Py_ssize_t n = (mag >> (2 * PyLong_SHIFT)) ? 3 : 2;
  PyLongObject* l = _PyLong_New(n);
  if (!l) return nullptr;
  digit* d = l->long_value.ob_digit;
  d[0] = static_cast<digit>(mag & PyLong_MASK);
  d[1] = static_cast<digit>((mag >> PyLong_SHIFT) & PyLong_MASK);
  if (n == 3) d[2] = static_cast<digit>(mag >> (2 * PyLong_SHIFT));
  l->long_value.lv_tag =
      (static_cast<uintptr_t>(n) << _PyLong_NON_SIZE_BITS) | (negative ? 2u : 0u);
  return reinterpret_cast<PyObject*>(l);
#else
  if (!negative) return PyLong_FromUnsignedLongLong(mag);
  return PyLong_FromLongLong(static_cast<long long>(0 - mag));
#endif
}

// The attribute `name` of the class `type` along its MRO, borrowed, or nullptr (never with an
// error set), answered from the interpreter's per-type cache: a dict lookup costs several times
// more. _PyType_Lookup (checked on 3.12.1 and 3.13.0); elsewhere callers look in the dict.
#if PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
#define TORVEX_HAS_TYPE_LOOKUP 1
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) noexcept {
  return _PyType_Lookup(type, name);
}
#endif

// The UTF-8 form a compact non-ASCII str has cached (by an earlier PyUnicode_AsUTF8AndSize), or
// nullptr when there is none yet: reading the two fields inline saves a call per string. The
// fields are those of PyCompactUnicodeObject in 3.12 and 3.13 (checked on 3.12.1 and 3.13.0);
// elsewhere callers always take the call.
inline const char* cached_utf8(PyObject* v, Py_ssize_t* n) noexcept {
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
  auto* u = reinterpret_cast<PyCompactUnicodeObject*>(v);
  *n = u->utf8_length;
  return u->utf8;
#else
  (void)v;
  (void)n;
  return nullptr;
#endif
}

// An empty dict with room for `n` entries, so that filling it never grows it (each growth
// re-inserts every entry). _PyDict_NewPresized is exported by 3.12 and 3.13 (checked on 3.12.1
// and 3.13.0); elsewhere the dict grows as it fills.
inline PyObject* new_presized_dict(Py_ssize_t n) noexcept {
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000
  return _PyDict_NewPresized(n);
#else
  (void)n;
  return PyDict_New();
#endif
}

// Makes `o`, the raw memory of a freed instance, an object of `type` with one reference, as
// PyObject_Init does (a heap type gains a reference), without that call's frame; _Py_NewReference
// sets the count and tells the allocation tracer (checked on 3.12.1 and 3.13.0). Elsewhere the
// public call.
inline void init_object(PyObject* o, PyTypeObject* type) noexcept {
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
  Py_SET_TYPE(o, type);
  if (PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) Py_INCREF(type);
  _Py_NewReference(o);
#else
  PyObject_Init(o, type);
#endif
}

// Untracks `o` if it is tracked, as PyObject_GC_UnTrack does, without the call: unlinking it
// from its list (see YoungTracker) keeps the neighbours' flag bits, and `o` keeps only its
// finalized mark (checked on 3.12.1 and 3.13.0, without free threading). Elsewhere the public
// call.
inline void gc_untrack(PyObject* o) noexcept {
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
  uintptr_t* gc = reinterpret_cast<uintptr_t*>(o) - 2;  // [0] next, [1] previous and flags
  if (gc[0] == 0) return;
  auto* prev = reinterpret_cast<uintptr_t*>(gc[1] & ~uintptr_t{3});
  auto* next = reinterpret_cast<uintptr_t*>(gc[0]);
  prev[0] = gc[0];
  next[1] = (next[1] & 3) | reinterpret_cast<uintptr_t>(prev);
  gc[0] = 0;
  gc[1] &= 1;
#else
  PyObject_GC_UnTrack(o);
#endif
}

// Whether the collector marked `o` as finalized: the lowest flag bit of the word before it (the
// previous-member word of its two-word collector header) in 3.12 and 3.13 without free threading
// (checked on 3.12.1 and 3.13.0); elsewhere the public call.
inline bool gc_is_finalized(PyObject* o) noexcept {
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
  return (reinterpret_cast<uintptr_t*>(o)[-1] & 1) != 0;
#else
  return PyObject_GC_IsFinalized(o) != 0;
#endif
}

// Tracks many new objects in a row for the collector. PyObject_GC_Track finds the young list
// through the thread state on every call, which costs as much as the rest of taking a kept
// message block. In 3.12 and 3.13 without free threading (checked on 3.12.1 and 3.13.0) every
// tracked object is preceded by two words, the next and the previous member of its list (the
// previous with two flag bits), the list's own header closes the ring, and tracking appends to
// the young list, whose header lives as long as the interpreter. After one public call, the
// tracked object's next is that header, and later objects are appended the same way by hand.
// One instance serves one call on one thread; elsewhere every object takes the public call.
class YoungTracker {
 public:
  void track(PyObject* o) noexcept {
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
    uintptr_t* gc = reinterpret_cast<uintptr_t*>(o) - 2;  // [0] next, [1] previous and flags
    if (!head_) {
      PyObject_GC_Track(o);
      head_ = reinterpret_cast<uintptr_t*>(gc[0]);
      return;
    }
    auto* last = reinterpret_cast<uintptr_t*>(head_[1]);
    last[0] = reinterpret_cast<uintptr_t>(gc);
    gc[1] = (gc[1] & 3) | reinterpret_cast<uintptr_t>(last);
    gc[0] = reinterpret_cast<uintptr_t>(head_);
    head_[1] = reinterpret_cast<uintptr_t>(gc);
#else
    PyObject_GC_Track(o);
#endif
  }

 private:
  uintptr_t* head_ = nullptr;  // the young list's header, once known
};

}  // namespace torvex
