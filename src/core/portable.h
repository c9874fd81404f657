// Compiler-specific hints, each behind one name, so that the code also builds with compilers
// that spell them differently (MSVC) or not at all. They change speed, never behaviour.
#pragma once

#include <cstdint>

#if defined(_MSC_VER) && !defined(__clang__) && defined(_M_X64)
#include <intrin.h>
#endif

#if defined(__GNUC__) || defined(__clang__)
// Error and other rare paths: out of line, and placed apart from the hot code.
#define TORVEX_COLD [[gnu::cold, gnu::noinline]]
#define TORVEX_NOINLINE [[gnu::noinline]]
#define TORVEX_ALWAYS_INLINE [[gnu::always_inline]]
// Start of a function on an n-byte boundary, for loops whose speed swings with placement.
#define TORVEX_ALIGN_FUNCTION(n) [[gnu::aligned(n)]]
#elif defined(_MSC_VER)
#define TORVEX_COLD [[msvc::noinline]]
#define TORVEX_NOINLINE [[msvc::noinline]]
#define TORVEX_ALWAYS_INLINE [[msvc::forceinline]]
#define TORVEX_ALIGN_FUNCTION(n)
#else
#define TORVEX_COLD
#define TORVEX_NOINLINE
#define TORVEX_ALWAYS_INLINE
#define TORVEX_ALIGN_FUNCTION(n)
#endif

// SSE2 is part of every x86-64 target; MSVC says so with _M_X64 rather than __SSE2__.
#if defined(__SSE2__) || defined(_M_X64)
#define TORVEX_SSE2 1
#endif

namespace torvex {

#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
// x86 vector kernels, each compiled for one extension and called only when the CPU has it.
#define TORVEX_X86_DISPATCH 1
#define TORVEX_TARGET(isa) [[gnu::target(isa)]]
inline bool cpu_has_sse41() noexcept {
  __builtin_cpu_init();
  return __builtin_cpu_supports("sse4.1");
}
inline bool cpu_has_avx2() noexcept {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}
#endif

// Byte order reversal, for the wire format's little-endian numbers on big-endian hosts.
constexpr uint32_t byte_swap32(uint32_t v) noexcept {
#if defined(__GNUC__) || defined(__clang__)
  return __builtin_bswap32(v);
#else
  return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
#endif
}

constexpr uint64_t byte_swap64(uint64_t v) noexcept {
#if defined(__GNUC__) || defined(__clang__)
  return __builtin_bswap64(v);
#else
  return (uint64_t{byte_swap32(static_cast<uint32_t>(v))} << 32) | byte_swap32(v >> 32);
#endif
}

// The full 128-bit product of two 64-bit integers, for the float formatter and parser.
struct U128 {
  uint64_t hi;
  uint64_t lo;
};

inline U128 mul_64x64(uint64_t a, uint64_t b) noexcept {
#if defined(__SIZEOF_INT128__)
  const unsigned __int128 p = static_cast<unsigned __int128>(a) * b;
  return {static_cast<uint64_t>(p >> 64), static_cast<uint64_t>(p)};
#elif defined(_MSC_VER) && defined(_M_X64)
  uint64_t hi;
  const uint64_t lo = _umul128(a, b, &hi);
  return {hi, lo};
#else
  // Schoolbook on 32-bit halves; the middle sums cannot overflow 64 bits.
  const uint64_t a0 = a & 0xFFFFFFFFu, a1 = a >> 32, b0 = b & 0xFFFFFFFFu, b1 = b >> 32;
  const uint64_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
  const uint64_t mid = (p00 >> 32) + (p01 & 0xFFFFFFFFu) + (p10 & 0xFFFFFFFFu);
  return {p11 + (p01 >> 32) + (p10 >> 32) + (mid >> 32), (mid << 32) | (p00 & 0xFFFFFFFFu)};
#endif
}

// *out = v * m + d, where compilers without overflow builtins do the test by division.
constexpr bool mul_add_fits_generic(uint64_t v, uint64_t m, uint64_t d, uint64_t* out) noexcept {
  if (m != 0 && v > (UINT64_MAX - d) / m) return false;
  *out = v * m + d;
  return true;
}

// *out = v * m + d, for digit accumulation: false when that does not fit in 64 bits (*out is
// then unspecified).
constexpr bool mul_add_fits(uint64_t v, uint64_t m, uint64_t d, uint64_t* out) noexcept {
#if defined(__GNUC__) || defined(__clang__)
  return !__builtin_mul_overflow(v, m, out) && !__builtin_add_overflow(*out, d, out);
#else
  return mul_add_fits_generic(v, m, d, out);
#endif
}

}  // namespace torvex
