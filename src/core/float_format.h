// The shortest decimal that reads back to a double, by the Schubfach method: scale the value and
// the two ends of its rounding interval by one 128-bit power of ten, then choose between at most
// four candidates. No loop over digits and no big integers. The common path scales the value
// alone and takes the ends from it; the full form decides the rare cases that path cannot.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>

#include "core/portable.h"
#include "core/pow10_table.h"

namespace torvex {

// digits * 10^exponent, with no trailing zeros in digits (at most 17 of them).
struct ShortestDecimal {
  uint64_t digits;
  int exponent;
};

// The same decimal as 0.d1d2...d17 * 10^point: the digits left-aligned to 17 places, so that
// 10^16 <= digits < 10^17 and the padding reads as trailing zeros. The writers lay out text from
// this form with no division by ten per digit.
struct Digits17 {
  uint64_t digits;
  int point;
};

inline constexpr uint64_t kPow10U64[20] = {1,
                                           10,
                                           100,
                                           1000,
                                           10000,
                                           100000,
                                           1000000,
                                           10000000,
                                           100000000,
                                           1000000000,
                                           10000000000,
                                           100000000000,
                                           1000000000000,
                                           10000000000000,
                                           100000000000000,
                                           1000000000000000,
                                           10000000000000000,
                                           100000000000000000,
                                           1000000000000000000,
                                           10000000000000000000u};

// The number of decimal digits of v (1 for 0). From the bit length: 1233 / 4096 is just above
// log10(2), so the estimate is the count or one less, and one comparison settles it.
inline int decimal_length(uint64_t v) noexcept {
  v |= 1;  // setting the low bit never changes a count
  const int guess = ((64 - std::countl_zero(v)) * 1233) >> 12;
  return guess + (v >= kPow10U64[guess]);
}

// Defined in this header so that the writers that print doubles inline it.
namespace float_format_detail {

// floor(log10(2^q)), floor(log10(3/4 * 2^q)) and floor(log2(10^e)) by fixed-point
// multiplication, exact over every exponent a double can have.
constexpr int floor_log10_pow2(int q) noexcept { return (q * 1262611) >> 22; }
constexpr int floor_log10_three_quarters_pow2(int q) noexcept {
  return (q * 1262611 - 524031) >> 22;
}
constexpr int floor_log2_pow10(int e) noexcept { return (e * 1741647) >> 19; }

// The search rounds each table entry up by one unit; no low word is all ones, so that never
// carries into the high word.
inline constexpr bool kNoLowWordAllOnes = [] {
  for (const auto& e : pow10::kMantissa) {
    if (e[1] == UINT64_MAX) return false;
  }
  return true;
}();
static_assert(kNoLowWordAllOnes);

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

// The candidate r, which has as many digits as s = floor(x * 10^-k) or (rounded up to a power
// of ten) one more, as 17 left-aligned digits and the point.
TORVEX_ALWAYS_INLINE inline Digits17 left_aligned(uint64_t r, uint64_t s, int k,
                                                  bool subnormal) noexcept {
  uint64_t d;
  int point;
  if (subnormal) {
    const int length = decimal_length(s);
    d = r * kPow10U64[17 - length];
    point = k + length;
  } else {
    // A normal x has c >= 2^52, so s >= c has 16 or 17 digits. By a mask, not a select, which
    // compilers turn into a branch on a coin toss.
    const uint64_t short_s = 0 - static_cast<uint64_t>(s < kPow10U64[16]);
    d = r + ((r * 9) & short_s);
    point = k + 17 - static_cast<int>(short_s & 1);
  }
  if (d == kPow10U64[17]) [[unlikely]] {
    d = kPow10U64[16];
    ++point;
  }
  return {d, point};
}

// The search with every product rounded to odd, for a finite x > 0 whose bits are unpacked
// into c * 2^q. Exact everywhere; the common path in shortest_digits17 hands over to it at a
// power of two and where an end of the interval, or the midpoint between two candidates, falls
// on or very near a digit boundary.
inline Digits17 exact_search(uint64_t c, int q, bool even_gap, bool subnormal) noexcept {
  // The rounding interval, in quarter units of 2^q: [cbl, cbr] around cb, closed when c is
  // even (round-half-even reads the ends back to x). At a power of two above the smallest
  // normal the gap below is half the gap above.
  const uint64_t cb = c << 2;
  const uint64_t cbr = cb + 2;
  const uint64_t cbl = even_gap ? cb - 2 : cb - 1;
  const int k = even_gap ? floor_log10_pow2(q) : floor_log10_three_quarters_pow2(q);
  // Scale by 10^-k: vb = 4 * x * 10^-k, below 2^59, and the interval is at least one unit wide.
  const int h = q + floor_log2_pow10(-k) + 1;
  const uint64_t* m = pow10::kMantissa[-k - pow10::kMinExp];
  const U128 g{m[0], m[1] + 1};  // no carry: see kNoLowWordAllOnes
  const uint64_t vb = round_to_odd(g, cb << h);
  const uint64_t vbl = round_to_odd(g, cbl << h) + (c & 1);  // an open end excludes itself
  const uint64_t vbr = round_to_odd(g, cbr << h) - (c & 1);

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
  const uint64_t r = sp10_in != tp10_in ? (sp10_in ? sp10 : tp10) : pick_s ? s : t;
  return left_aligned(r, s, k, subnormal);
}

// For x = c * 2^q with 1 <= q <= 3 and an even gap: an integer from 2^53 to 2^56 whose
// neighbours are 2^q away, so the ends of its interval are whole and the fast search always
// hands it over. Here k = 0 and everything is exact in integers.
inline Digits17 wide_integer_digits(uint64_t c, int q) noexcept {
  const uint64_t x = c << q;
  const uint64_t half = uint64_t{1} << (q - 1);
  const uint64_t ten = (x + half) / 10 * 10;  // at most one multiple of ten is inside
  const bool inside = c % 2 == 0 ? ten >= x - half : ten > x - half && ten < x + half;
  return left_aligned(inside ? ten : x, x, 0, false);
}

// How near a whole number, in 64.64 fixed point, the fast search lets a fraction come before it
// hands over. Its values are off the true ones by under ten units of the last place, so
// beyond this margin their integer parts are exact and the true value is not whole: then
// neither the interval's openness nor the tie rule can change the choice. Small enough to be
// an immediate operand on x86.
inline constexpr uint64_t kNearWhole = uint64_t{1} << 30;
inline bool near_whole(uint64_t a, uint64_t b, uint64_t c) noexcept {
  return std::min({a + kNearWhole, b + kNearWhole, c + kNearWhole}) < 2 * kNearWhole;
}

}  // namespace float_format_detail

// For a finite x > 0: c * 2^q with the flags the searches need.
struct UnpackedDouble {
  uint64_t c;
  int q;
  bool even_gap;   // the gaps below and above x are equal (not at a power of two)
  bool subnormal;  // c < 2^52
};

inline UnpackedDouble unpack_double(double x) noexcept {
  const uint64_t bits = std::bit_cast<uint64_t>(x);
  const int biased = static_cast<int>(bits >> 52) & 0x7FF;
  const uint64_t fraction = bits & ((uint64_t{1} << 52) - 1);
  return {biased ? fraction | (uint64_t{1} << 52) : fraction, biased ? biased - 1075 : -1074,
          fraction != 0 || biased <= 1, biased == 0};
}

// An integer below 2^53 is its own shortest form: its neighbours are at most 1 away. False
// for other values. (-52 <= q <= 0 by one unsigned comparison; at q = 0 the shift test fails
// and the searches give the same digits.)
TORVEX_ALWAYS_INLINE inline bool small_integer_digits(const UnpackedDouble& u,
                                                      Digits17* out) noexcept {
  if (static_cast<unsigned>(u.q + 52) > 52 || (u.c << (u.q & 63)) != 0) return false;
  const uint64_t n = u.c >> -u.q;
  const int length = decimal_length(n);
  *out = {n * kPow10U64[17 - length], length};
  return true;
}

// For a finite x > 0. Among the shortest decimals that read back to x, the one nearest x; an
// exact tie goes to the even digit string. These are the digits repr() shows. Exact for every
// such x; shortest_digits17 is the fast form.
inline Digits17 shortest_digits17_exact(double x) noexcept {
  const UnpackedDouble u = unpack_double(x);
  Digits17 d;
  if (small_integer_digits(u, &d)) return d;
  if (u.q >= 1 && u.q <= 3 && u.even_gap) return float_format_detail::wide_integer_digits(u.c, u.q);
  return float_format_detail::exact_search(u.c, u.q, u.even_gap, u.subnormal);
}

// The same digits as shortest_digits17_exact, for x given by its bits, by one product instead
// of three: false where that cannot decide, and the caller takes the exact search (out of line,
// so that no call and its register saving sit on the common path).
TORVEX_ALWAYS_INLINE inline bool shortest_digits17(uint64_t bits, Digits17* out) noexcept {
  using namespace float_format_detail;
  const int biased = static_cast<int>(bits >> 52);
  const uint64_t fraction = bits & ((uint64_t{1} << 52) - 1);
  const uint64_t c = fraction | (uint64_t{1} << 52);
  const int q = biased - 1075;
  // A subnormal's q is out of the integer test's range.
  if (small_integer_digits({c, q, true, false}, out)) return true;
  // Subnormals and powers of two are left to the exact search: both are rare, and the
  // uneven gap at a power of two needs another interval.
  if (fraction == 0 || biased == 0) [[unlikely]]
    return false;

  // v = x * 10^-k in 64.64 fixed point, with 1 <= 2^q * 10^-k < 10: the gap between x and its
  // neighbours is 1 to 10 units of s = floor(v), and s has 16 or 17 digits. With the
  // product's lowest word dropped and g rounded down, v comes out under two units of the last
  // place low.
  const int k = floor_log10_pow2(q);
  const int h = q + floor_log2_pow10(-k) + 1;  // 1 <= h <= 4
  const uint64_t* g = pow10::kMantissa[-k - pow10::kMinExp];
  // Half the gap, g * 2^(h - 129), from g's high word alone: the low word's share is under 8
  // units of the last place. (The double shift: h may be 1.)
  const uint64_t half_frac = g[0] << (h - 1);
  const uint64_t half_int = g[0] >> (64 - h) >> 1;
  const uint64_t cp = c << h;
  const U128 low = mul_64x64(g[1], cp);
  const U128 high = mul_64x64(g[0], cp);
  const uint64_t v_frac = high.lo + low.hi;
  const uint64_t s = high.hi + (v_frac < low.hi);
  // The interval's ends: u above, l below.
  const uint64_t u_frac = v_frac + half_frac;
  const uint64_t u = s + half_int + (u_frac < v_frac);
  const uint64_t l_frac = v_frac - half_frac;
  const uint64_t l = s - half_int - (v_frac < half_frac);
  if (near_whole(u_frac, l_frac, v_frac ^ (uint64_t{1} << 63))) [[unlikely]]
    return false;
  // The interval holds at most one multiple of ten (it is under ten units wide): the one at
  // or below u, if that is above l. Otherwise v rounded to nearest, which is inside because
  // the interval reaches at least half a unit either side of v.
  const uint64_t ten = u / 10 * 10;
  const uint64_t r = ten > l ? ten : s + (v_frac >> 63);
  *out = left_aligned(r, s, k, false);
  return true;
}

// The same decimal with the trailing zeros divided off.
inline ShortestDecimal shortest_decimal(double x) noexcept {
  Digits17 d;
  if (!shortest_digits17(std::bit_cast<uint64_t>(x), &d)) d = shortest_digits17_exact(x);
  ShortestDecimal r{d.digits, d.point - 17};
  while (r.digits % 10 == 0) {
    r.digits /= 10;
    ++r.exponent;
  }
  return r;
}

}  // namespace torvex
