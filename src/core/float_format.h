// The shortest decimal that reads back to a double, by the Schubfach method: scale the value and
// the two ends of its rounding interval by one 128-bit power of ten, then choose between at most
// four candidates. No loop over digits and no big integers.
#pragma once

#include <bit>
#include <cstdint>

#include "core/portable.h"
#include "core/pow10_table.h"

namespace torvex {

// digits * 10^exponent (at most 17 digits).
struct ShortestDecimal {
  uint64_t digits;
  int exponent;
};

// Defined in this header so that the writers that print doubles inline it.
namespace float_format_detail {

// floor(log10(2^q)), floor(log10(3/4 * 2^q)) and floor(log2(10^e)) by fixed-point
// multiplication, exact over every exponent a double can have.
inline int floor_log10_pow2(int q) noexcept { return (q * 1262611) >> 22; }
inline int floor_log10_three_quarters_pow2(int q) noexcept { return (q * 1262611 - 524031) >> 22; }
inline int floor_log2_pow10(int e) noexcept { return (e * 1741647) >> 19; }

// The top 64 bits of g * cp / 2^64 with the rest folded into the lowest bit (round to odd):
// an odd result says "not exact", which is all the interval tests below need to know. g is a
// hair above the true power of ten, by less than one unit of its last bit, so a remainder of 0
// or 1 in the middle word is the exact case.
inline uint64_t round_to_odd(U128 g, uint64_t cp) noexcept {
  const U128 x = mul_64x64(g.lo, cp);
  const U128 y = mul_64x64(g.hi, cp);
  const uint64_t mid = y.lo + x.hi;
  const uint64_t top = y.hi + (mid < x.hi);
  return top | (mid > 1);
}

}  // namespace float_format_detail

// For a finite x > 0. Among the shortest decimals that read back to x, the one nearest x; an
// exact tie goes to the even digit string. These are the digits repr() shows, but the digits
// may end in zeros (at most 17 digits in all): the writers count the zeros on the digit text,
// which is cheaper than dividing them off.
inline ShortestDecimal shortest_digits(double x) noexcept {
  using namespace float_format_detail;
  const uint64_t bits = std::bit_cast<uint64_t>(x);
  const int biased = static_cast<int>(bits >> 52) & 0x7FF;
  const uint64_t fraction = bits & ((uint64_t{1} << 52) - 1);
  const uint64_t c = biased ? fraction | (uint64_t{1} << 52) : fraction;
  const int q = biased ? biased - 1075 : -1074;

  // An integer below 2^53 is its own shortest form: its neighbours are at most 1 away.
  if (q <= 0 && q > -53 && (c & ((uint64_t{1} << -q) - 1)) == 0) return {c >> -q, 0};

  // The rounding interval, in quarter units of 2^q: [cbl, cbr] around cb, closed when c is
  // even (round-half-even reads the ends back to x). At a power of two above the smallest
  // normal the gap below is half the gap above.
  const uint64_t cb = c << 2;
  const uint64_t cbr = cb + 2;
  uint64_t cbl;
  int k;
  if (fraction != 0 || biased <= 1) {
    cbl = cb - 2;
    k = floor_log10_pow2(q);
  } else {
    cbl = cb - 1;
    k = floor_log10_three_quarters_pow2(q);
  }
  // Scale by 10^-k: vb = 4 * x * 10^-k, below 2^59, and the interval is at least one unit wide.
  const int h = q + floor_log2_pow10(-k) + 1;
  const uint64_t* m = pow10::kMantissa[-k - pow10::kMinExp];
  const U128 g{m[0] + (m[1] == UINT64_MAX), m[1] + 1};
  const uint64_t vb = round_to_odd(g, cb << h);
  const uint64_t vbl = round_to_odd(g, cbl << h) + (c & 1);  // an open end excludes itself
  const uint64_t vbr = round_to_odd(g, cbr << h) - (c & 1);

  // Every candidate is tested and the choice made by selects, not branches: on arbitrary
  // values each test is a coin toss that a branch would mispredict.
  // One digit fewer: the interval is under ten units wide, so it holds at most one multiple
  // of ten, and if it holds any it holds the one just below or just above s.
  const uint64_t s = vb >> 2;
  const uint64_t t = s + 1;
  const uint64_t sp10 = s / 10 * 10;
  const uint64_t tp10 = sp10 + 10;
  const bool sp10_in = vbl <= sp10 << 2;
  const bool tp10_in = tp10 << 2 <= vbr;
  // Otherwise s or s + 1, whichever is inside (at least one is); the nearer one when both are.
  const bool s_in = vbl <= s << 2;
  const bool t_in = t << 2 <= vbr;
  const int64_t cmp = static_cast<int64_t>(vb - ((s + t) << 1));
  const bool s_nearer = cmp + static_cast<int64_t>(s & 1) <= 0;  // a tie goes to an even s
  const bool pick_s = s_in & (!t_in | s_nearer);
  const bool shorter = sp10_in != tp10_in;
  const uint64_t one_fewer = sp10_in ? sp10 : tp10;
  const uint64_t full = pick_s ? s : t;
  return {shorter ? one_fewer : full, k};
}

// shortest_digits with the trailing zeros divided off.
inline ShortestDecimal shortest_decimal(double x) noexcept {
  ShortestDecimal d = shortest_digits(x);
  while (d.digits % 10 == 0) {
    d.digits /= 10;
    ++d.exponent;
  }
  return d;
}

}  // namespace torvex
