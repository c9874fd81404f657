// Base64 (RFC 4648) for the JSON codec's bytes fields: the standard alphabet with padding on
// output; either alphabet, padded or not, on input. Both directions work on whole blocks so a
// 1 MB field costs about as much as a copy.
#pragma once

#include <cstddef>
#include <cstdint>

namespace torvex {

// Characters of the padded encoding of `n` bytes.
constexpr size_t base64_encoded_length(size_t n) { return (n + 2) / 3 * 4; }

// The block kernels: SIMD ones where the CPU has them, the best chosen once at load time. Every
// kernel gives the same results; the choice is exposed for tests.
enum class Base64Kernel { Scalar, Sse41, Avx2 };
Base64Kernel base64_kernel() noexcept;  // the one in use
bool base64_kernel_available(Base64Kernel k) noexcept;

// Writes exactly base64_encoded_length(n) characters (standard alphabet, "=" padding).
void base64_encode(const uint8_t* in, size_t n, char* out) noexcept;
void base64_encode_with(Base64Kernel k, const uint8_t* in, size_t n, char* out) noexcept;

// Bytes that decoding `n` characters can produce at most.
constexpr size_t base64_decoded_max(size_t n) { return (n + 3) / 4 * 3; }

// Bytes that a successful base64_decode of `in[0..n)` writes: three per block of four
// characters, one less than its length for a last partial block (padding aside). Knowing it
// first lets the output be allocated at its final size.
constexpr size_t base64_decoded_length(const char* in, size_t n) {
  for (int pad = 0; pad < 2 && n > 0 && in[n - 1] == '='; ++pad) --n;
  return n / 4 * 3 + (n % 4 > 1 ? n % 4 - 1 : 0);
}

// Decodes `in[0..n)`. The URL-safe alphabet ("-", "_") applies when the text contains either
// character, the standard one ("+", "/") otherwise; the two are never mixed. Padding is either
// complete ("=" up to a multiple of four characters) or absent. Leftover bits of the last
// character are ignored. Returns false for anything else; `*out_len` is then unspecified.
bool base64_decode(const char* in, size_t n, uint8_t* out, size_t* out_len) noexcept;
bool base64_decode_with(Base64Kernel k, const char* in, size_t n, uint8_t* out,
                        size_t* out_len) noexcept;

}  // namespace torvex
