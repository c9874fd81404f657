// Reading side of the binary wire format: the parser's cursor and the primitive decoders.
// Nothing here raises; failures come back as a WireError that raise_wire_error turns into the
// Python exception, so the codecs can report and unwind without touching the interpreter.
#pragma once

#include <Python.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "binary/reverse_buffer.h"
#include "core/limits.h"
#include "core/portable.h"
#include "schema/schema_types.h"

namespace torvex {

constexpr size_t tag_size(uint32_t tag) noexcept { return varint_size(tag); }

enum class WireStatus : uint8_t {
  Ok,
  InvalidVarint,
  Truncated,
  FieldNumberZero,
  InvalidWireType,
  UnexpectedEndGroup,
  MismatchedGroupEnd,
  UnterminatedGroup,
  UnterminatedUnknownGroup,
  SkipDepth,
};

// The numbers that go into the message: Truncated (needed, available), InvalidWireType (wire
// type), UnexpectedEndGroup and SkipDepth (field number), MismatchedGroupEnd (expected, found).
struct WireError {
  WireStatus status = WireStatus::Ok;
  uint64_t a = 0;
  uint64_t b = 0;
  friend bool operator==(const WireError&, const WireError&) = default;
};

// Raises the Python exception for `err` and returns nullptr. The only place that does so.
PyObject* raise_wire_error(const WireError& err) noexcept;

// The 7-bit groups of the little-endian word `w` (continuation bits and every byte after the
// last one already cleared) packed into one number: three mask-shift steps instead of a loop.
inline uint64_t pack_groups(uint64_t w) noexcept {
  w = ((w & 0x7f007f007f007f00ull) >> 1) | (w & 0x007f007f007f007full);
  w = ((w & 0x3fff00003fff0000ull) >> 2) | (w & 0x00003fff00003fffull);
  return ((w & 0x0fffffff00000000ull) >> 4) | (w & 0x000000000fffffffull);
}

// A varint from p[0..10), all readable (little-endian hosts), eight bytes at a time: long
// varints (large and negative numbers) cost the same as short ones. False when it is invalid.
inline bool decode_varint_word(const uint8_t* p, uint64_t& out, size_t& used) noexcept {
  uint64_t w;
  std::memcpy(&w, p, 8);
  if (uint64_t stops = ~w & 0x8080808080808080ull) {
    const int bits = std::countr_zero(stops) + 1;  // through the last byte's top bit
    if (bits < 64) w &= (uint64_t{1} << bits) - 1;
    out = pack_groups(w & 0x7f7f7f7f7f7f7f7full);
    used = static_cast<size_t>(bits) / 8;
    return true;
  }
  uint64_t v = pack_groups(w & 0x7f7f7f7f7f7f7f7full) | (static_cast<uint64_t>(p[8] & 0x7f) << 56);
  if (p[8] < 0x80) {
    out = v;
    used = 9;
    return true;
  }
  if (p[9] > 1) return false;
  out = v | (static_cast<uint64_t>(p[9]) << 63);
  used = 10;
  return true;
}

// A varint that does not end in its first byte, from p[0..10), all readable (little-endian
// hosts). Two and three bytes (lengths, numbers below 2^21) cost less than the word steps.
inline bool decode_varint_wide(const uint8_t* p, uint64_t& out, size_t& used) noexcept {
  if (p[1] < 0x80 || p[2] < 0x80) {
    out = (p[0] & 0x7fu) | (static_cast<uint64_t>(p[1] & 0x7f) << 7);
    used = p[1] < 0x80 ? 2 : 3;
    if (used == 3) out |= static_cast<uint64_t>(p[2]) << 14;
    return true;
  }
  return decode_varint_word(p, out, used);
}

// A read cursor over bytes that the parse call keeps alive for its whole duration. Copying a
// view is a snapshot: the raw bytes read since are snapshot.cur .. snapshot.cur +
// consumed_since(snapshot).
struct InputView {
  const uint8_t* cur = nullptr;  // next unread byte
  size_t remaining = 0;          // unread bytes from cur on

  InputView() noexcept = default;
  InputView(const void* data, size_t n) noexcept
      : cur(static_cast<const uint8_t*>(data)), remaining(n) {}

  bool empty() const noexcept { return remaining == 0; }
  size_t consumed_since(const InputView& snapshot) const noexcept {
    return snapshot.remaining - remaining;
  }

  // Callers guarantee n <= remaining.
  void skip(size_t n) noexcept {
    cur += n;
    remaining -= n;
  }
  InputView split(size_t n) noexcept {
    InputView head(cur, n);
    skip(n);
    return head;
  }

  bool skip_checked(size_t n, WireError& err) noexcept {
    if (remaining < n) return truncated(n, err);
    skip(n);
    return true;
  }

  bool read_varint64(uint64_t& out, WireError& err) noexcept {
    if (remaining != 0 && cur[0] < 0x80) {
      out = cur[0];
      skip(1);
      return true;
    }
    size_t used;
    if (!varint_slow(cur, remaining, out, used, err)) return false;
    skip(used);
    return true;
  }

  // read_varint64 for field values, whose long forms (negative and large numbers) are common:
  // decoded in line away from the end of the input, where all ten bytes can be read.
  TORVEX_ALWAYS_INLINE bool read_varint_value(uint64_t& out, WireError& err) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
      if (remaining >= 10) [[likely]] {
        size_t used = 1;
        if (cur[0] < 0x80) {
          out = cur[0];
        } else if (!decode_varint_wide(cur, out, used)) [[unlikely]] {
          err = {WireStatus::InvalidVarint, 0, 0};
          return false;
        }
        skip(used);
        return true;
      }
    }
    return read_varint64(out, err);
  }

  // The whole tag; split it with tag_number / tag_wire_type.
  bool read_tag(uint32_t& tag, WireError& err) noexcept {
    if (remaining != 0 && cur[0] < 0x80) {
      tag = cur[0];
      skip(1);
      return true;
    }
    size_t used;
    if (!tag_slow(cur, remaining, tag, used, err)) return false;
    skip(used);
    return true;
  }

  // read_tag plus the checks of a message's field loop: number 0 and wire types 6 and 7.
  bool read_field_tag(uint32_t& tag, WireError& err) noexcept {
    if (!read_tag(tag, err)) return false;
    if (tag_number(tag) == 0) {
      err = {WireStatus::FieldNumberZero, 0, 0};
      return false;
    }
    if (tag_wire_type(tag) > 5) {
      err = {WireStatus::InvalidWireType, tag_wire_type(tag), 0};
      return false;
    }
    return true;
  }

  bool read_fixed32(uint32_t& out, WireError& err) noexcept {
    if (remaining < 4) return truncated(4, err);
    std::memcpy(&out, cur, 4);
    if constexpr (std::endian::native == std::endian::big) out = byte_swap32(out);
    skip(4);
    return true;
  }
  bool read_fixed64(uint64_t& out, WireError& err) noexcept {
    if (remaining < 8) return truncated(8, err);
    std::memcpy(&out, cur, 8);
    if constexpr (std::endian::native == std::endian::big) out = byte_swap64(out);
    skip(8);
    return true;
  }

  // A varint length, then a view of that many bytes (no copy).
  bool read_len_prefixed(InputView& out, WireError& err) noexcept {
    uint64_t n;
    if (!read_varint64(n, err)) return false;
    if (n > remaining) return truncated(n, err);
    out = split(static_cast<size_t>(n));
    return true;
  }

 private:
  bool truncated(uint64_t needed, WireError& err) const noexcept {
    err = {WireStatus::Truncated, needed, remaining};
    return false;
  }
  // The multi-byte forms from p[0..remaining), `used` bytes long. Static, with the bytes by
  // value: a view whose address reached no call stays in registers in the loops.
  TORVEX_NOINLINE static bool varint_slow(const uint8_t* cur, size_t remaining, uint64_t& out,
                                          size_t& used, WireError& err) noexcept;
  TORVEX_NOINLINE static bool tag_slow(const uint8_t* cur, size_t remaining, uint32_t& tag,
                                       size_t& used, WireError& err) noexcept;
};

// Skips the value of an unknown field whose tag has just been read, nested groups included.
// `depth` is that of the group being skipped; deeper nesting than MAX_RECURSION_DEPTH fails.
bool skip_field(uint32_t number, uint32_t wire_type, InputView& v, uint32_t depth,
                WireError& err) noexcept;

// Finds the content of a known group whose start tag (field `number`) has just been read:
// `content` is the bytes up to the matching end tag, which is consumed.
bool scan_group(InputView& v, uint32_t number, InputView& content, WireError& err) noexcept;

}  // namespace torvex
