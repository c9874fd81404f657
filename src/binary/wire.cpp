#include "binary/wire.h"

#include <bit>
#include <cstring>

#include "core/errors.h"
#include "core/memory.h"

namespace torvex {

namespace {

// Decodes a varint of at most 10 bytes starting at p. With `limit` < 10 the decoder never looks
// at p[limit] or beyond. The tenth byte may only contribute bit 63.
inline bool decode_varint(const uint8_t* p, size_t limit, uint64_t& out, size_t& used) noexcept {
  uint64_t v = 0;
  size_t n = limit < 9 ? limit : 9;
  for (size_t i = 0; i < n; ++i) {
    uint8_t b = p[i];
    v |= static_cast<uint64_t>(b & 0x7f) << (7 * i);
    if (b < 0x80) {
      out = v;
      used = i + 1;
      return true;
    }
  }
  if (limit < 10) return false;
  uint8_t last = p[9];
  if (last > 1) return false;
  out = v | (static_cast<uint64_t>(last) << 63);
  used = 10;
  return true;
}

bool invalid_varint(WireError& err) noexcept {
  err = {WireStatus::InvalidVarint, 0, 0};
  return false;
}

}  // namespace

bool InputView::varint_slow(const uint8_t* cur, size_t remaining, uint64_t& out, size_t& used,
                            WireError& err) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    if (remaining >= 10) return decode_varint_wide(cur, out, used) || invalid_varint(err);
  }
  if (remaining == 0) return invalid_varint(err);
  // When the input's last byte carries the continuation bit, a varint could run off the end,
  // so only then are the bytes bounded by what remains. Otherwise some byte at or before the
  // last one terminates it, and up to 10 bytes can be read unchecked.
  size_t limit = (remaining <= 10 && (cur[remaining - 1] & 0x80)) ? remaining : 10;
  if (!decode_varint(cur, limit, out, used)) return invalid_varint(err);
  return true;
}

bool InputView::tag_slow(const uint8_t* cur, size_t remaining, uint32_t& tag, size_t& used,
                         WireError& err) noexcept {
  size_t n = remaining < 5 ? remaining : 5;
  if (n == 0) return invalid_varint(err);
  uint32_t v = 0;
  for (size_t i = 0; i < n; ++i) {
    uint8_t b = cur[i];
    // The fifth byte holds bits 28..34: anything above 0x0f is 2^32 or more (or continues).
    if (i == 4 && b > 0x0f) return invalid_varint(err);
    v |= static_cast<uint32_t>(b & 0x7f) << (7 * i);
    if (b < 0x80) {
      tag = v;
      used = i + 1;
      return true;
    }
  }
  return invalid_varint(err);
}

bool skip_field(uint32_t number, uint32_t wire_type, InputView& v, uint32_t depth,
                WireError& err) noexcept {
  if (depth > MAX_RECURSION_DEPTH) {
    err = {WireStatus::SkipDepth, number, 0};
    return false;
  }
  switch (wire_type) {
    case 0: {
      uint64_t ignored;
      return v.read_varint64(ignored, err);
    }
    case 1:
      return v.skip_checked(8, err);
    case 2: {
      InputView ignored;
      return v.read_len_prefixed(ignored, err);
    }
    case 5:
      return v.skip_checked(4, err);
    case 4:
      err = {WireStatus::UnexpectedEndGroup, number, 0};
      return false;
    case 3:
      break;
    default:
      err = {WireStatus::InvalidWireType, wire_type, 0};
      return false;
  }
  for (;;) {
    if (v.empty()) {
      err = {WireStatus::UnterminatedUnknownGroup, 0, 0};
      return false;
    }
    uint32_t tag;
    if (!v.read_tag(tag, err)) return false;
    uint32_t n = tag_number(tag), wt = tag_wire_type(tag);
    if (wt > 5) {
      err = {WireStatus::InvalidWireType, wt, 0};
      return false;
    }
    if (wt == 4) {
      if (n == number) return true;
      err = {WireStatus::MismatchedGroupEnd, number, n};
      return false;
    }
    if (!skip_field(n, wt, v, wt == 3 ? depth + 1 : depth, err)) return false;
  }
}

bool scan_group(InputView& v, uint32_t number, InputView& content, WireError& err) noexcept {
  // Open group numbers. Deep nesting is rare, so the first levels live on the C++ stack.
  constexpr size_t kLocal = 16;
  uint32_t local[kLocal];
  RVec<uint32_t> spill;
  size_t depth = 0;
  local[depth++] = number;
  const uint8_t* begin = v.cur;
  for (;;) {
    if (v.empty()) {
      err = {WireStatus::UnterminatedGroup, 0, 0};
      return false;
    }
    // The content ends where the closing tag starts, whatever that tag's encoded length.
    const uint8_t* tag_start = v.cur;
    uint32_t tag;
    if (!v.read_tag(tag, err)) return false;
    uint32_t n = tag_number(tag), wt = tag_wire_type(tag);
    bool ok = true;
    switch (wt) {
      case 0: {
        uint64_t ignored;
        ok = v.read_varint64(ignored, err);
        break;
      }
      case 1:
        ok = v.skip_checked(8, err);
        break;
      case 2: {
        InputView ignored;
        ok = v.read_len_prefixed(ignored, err);
        break;
      }
      case 5:
        ok = v.skip_checked(4, err);
        break;
      case 3:
        if (depth < kLocal) {
          local[depth] = n;
        } else {
          spill.push_back(n);
        }
        ++depth;
        break;
      case 4: {
        uint32_t top = depth > kLocal ? spill.back() : local[depth - 1];
        if (n != top) {
          err = {WireStatus::MismatchedGroupEnd, top, n};
          return false;
        }
        if (depth > kLocal) spill.pop_back();
        if (--depth == 0) {
          content = InputView(begin, static_cast<size_t>(tag_start - begin));
          return true;
        }
        break;
      }
      default:
        err = {WireStatus::InvalidWireType, wt, 0};
        return false;
    }
    if (!ok) return false;
  }
}

PyObject* raise_wire_error(const WireError& err) noexcept {
  auto a = static_cast<unsigned long long>(err.a);
  auto b = static_cast<unsigned long long>(err.b);
  switch (err.status) {
    case WireStatus::InvalidVarint:
      return raise_fmt(PyExc_ValueError, "invalid varint");
    case WireStatus::Truncated:
      return raise_fmt(PyExc_ValueError,
                       "unexpected end of buffer: needed %llu bytes but only %llu available", a, b);
    case WireStatus::FieldNumberZero:
      return raise_fmt(PyExc_ValueError, "invalid field number: 0");
    case WireStatus::InvalidWireType:
      return raise_fmt(PyExc_ValueError, "invalid wire type: %llu", a);
    case WireStatus::UnexpectedEndGroup:
      return raise_fmt(PyExc_ValueError, "Unexpected end group tag for field %llu", a);
    case WireStatus::MismatchedGroupEnd:
      return raise_fmt(PyExc_ValueError, "mismatched group end tag: expected %llu, got %llu", a, b);
    case WireStatus::UnterminatedGroup:
      return raise_fmt(PyExc_ValueError, "unterminated group");
    case WireStatus::UnterminatedUnknownGroup:
      return raise_fmt(PyExc_ValueError, "Unterminated group in unknown field");
    case WireStatus::SkipDepth:
      return raise_fmt(PyExc_RecursionError,
                       "exceeded maximum recursion depth %u while skipping field %llu",
                       static_cast<unsigned>(MAX_RECURSION_DEPTH), a);
    case WireStatus::Ok:
      break;
  }
  return raise_internal("wire error reported without a failure status");
}

}  // namespace torvex
