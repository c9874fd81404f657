#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/float_format.h"
#include "core/float_parse.h"
#include "core/number_text.h"

namespace torvex {
namespace {

// The library's shortest round-trip digits as digits * 10^exponent without trailing zeros.
ShortestDecimal library_shortest(double x) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf - 1, x, std::chars_format::scientific);
  *r.ptr = '\0';
  const char* e = static_cast<const char*>(std::memchr(buf, 'e', static_cast<size_t>(r.ptr - buf)));
  uint64_t digits = 0;
  int fraction_digits = 0;
  bool after_point = false;
  for (const char* p = buf; p < e; ++p) {
    if (*p == '.') {
      after_point = true;
    } else {
      digits = digits * 10 + static_cast<uint64_t>(*p - '0');
      fraction_digits += after_point;
    }
  }
  int exponent = std::atoi(e + 1) - fraction_digits;
  while (digits % 10 == 0) {
    digits /= 10;
    ++exponent;
  }
  return {digits, exponent};
}

void expect_shortest(double x) {
  const ShortestDecimal ours = shortest_decimal(x);
  const ShortestDecimal want = library_shortest(x);
  EXPECT_EQ(ours.digits, want.digits) << std::hexfloat << x;
  EXPECT_EQ(ours.exponent, want.exponent) << std::hexfloat << x;
}

// Boundary doubles: both ends of the subnormal and normal ranges, powers of two (the uneven
// interval), powers of ten and their neighbours, the repr() notation switch points.
std::vector<double> boundary_values() {
  std::vector<double> v = {std::numeric_limits<double>::denorm_min(),
                           std::numeric_limits<double>::min(),
                           std::numeric_limits<double>::max(),
                           std::nextafter(std::numeric_limits<double>::min(), 0.0),
                           1e16,
                           1e-4,
                           9007199254740992.0,
                           9007199254740993.0,
                           0.1,
                           0.3};
  for (int e = -1074; e <= 1023; ++e) v.push_back(std::ldexp(1.0, e));
  for (int e = -323; e <= 308; ++e) {
    const std::string text = "1e" + std::to_string(e);
    double p = 0;
    std::from_chars(text.data(), text.data() + text.size(), p);
    v.insert(v.end(), {p, std::nextafter(p, 0.0), std::nextafter(p, HUGE_VAL)});
  }
  for (uint64_t bits = 1; bits < 5000; ++bits) v.push_back(std::bit_cast<double>(bits));
  // Runs of integers 2, 4 and 8 apart past 2^53, through every last digit: whole interval ends.
  for (int e = 53; e <= 58; ++e) {
    for (double start : {std::ldexp(1.0, e), std::ldexp(1.5, e)}) {
      for (int i = 0; i < 60; ++i) v.push_back(start + std::ldexp(static_cast<double>(i), e - 52));
    }
  }
  return v;
}

TEST(ShortestDecimal, MatchesTheLibraryOnBoundaryValues) {
  for (double x : boundary_values()) expect_shortest(x);
}

TEST(ShortestDecimal, MatchesTheLibraryOnRandomBitPatterns) {
  std::mt19937_64 rng(20261208);
  for (int i = 0; i < 2'000'000; ++i) {
    const double x = std::bit_cast<double>(rng() & 0x7FFFFFFFFFFFFFFFu);
    if (std::isfinite(x) && x != 0) expect_shortest(x);
  }
  // Values of a few digits, where the shorter candidates decide.
  for (int i = 0; i < 500'000; ++i) {
    const double x =
        static_cast<double>(rng() % 100000) / std::pow(10.0, static_cast<int>(rng() % 30));
    if (x != 0) expect_shortest(x);
  }
}

// The one-product search against the exact one at every exponent: random significands and the
// ends of each binade, whole and half-integer values among them (where an end of the interval
// or the midpoint between two candidates is exact and the fast search must hand over).
TEST(ShortestDigits17, FastSearchAgreesWithTheExactOneOrHandsOver) {
  std::mt19937_64 rng(20261210);
  int decided = 0, total = 0;
  for (uint64_t biased = 0; biased < 2047; ++biased) {
    for (int i = 0; i < 600; ++i) {
      uint64_t fraction = rng() >> 12;
      if (i < 8) fraction = i;                                         // just above a power of two
      if (i >= 8 && i < 16) fraction = (uint64_t{1} << 52) - (i - 7);  // just below the next
      if (i >= 16 && i < 100) fraction &= ~uint64_t{0} << (rng() % 53);  // few bits: short values
      const uint64_t bits = biased << 52 | fraction;
      if (bits == 0) continue;
      const double x = std::bit_cast<double>(bits);
      Digits17 fast;
      ++total;
      if (!shortest_digits17(bits, &fast)) continue;
      ++decided;
      const Digits17 exact = shortest_digits17_exact(x);
      ASSERT_EQ(fast.digits, exact.digits) << std::hexfloat << x;
      ASSERT_EQ(fast.point, exact.point) << std::hexfloat << x;
    }
  }
  // Handing over is for the rare exact cases, not the rule.
  EXPECT_GT(decided, total * 9 / 10);
}

// Python's repr() of x, laid out from the library's shortest digits: plain notation for
// 1e-4 <= |x| < 1e16 (".0" after an integer), else d.ddde+XX with at least two exponent digits.
std::string repr_of(double x) {
  if (x == 0) return std::signbit(x) ? "-0.0" : "0.0";
  const ShortestDecimal d = library_shortest(std::fabs(x));
  std::string digits = std::to_string(d.digits);
  const int n = static_cast<int>(digits.size());
  const int point = d.exponent + n;
  std::string text = std::signbit(x) ? "-" : "";
  if (point > -4 && point <= 16) {
    if (point <= 0) return text + "0." + std::string(-point, '0') + digits;
    if (point >= n) return text + digits + std::string(point - n, '0') + ".0";
    return text + digits.substr(0, point) + "." + digits.substr(point);
  }
  text += digits.substr(0, 1) + (n > 1 ? "." + digits.substr(1) : "") + "e";
  const int exp = point - 1;
  text += (exp < 0 ? "-" : "+") + std::string(std::abs(exp) < 10 ? "0" : "");
  return text + std::to_string(std::abs(exp));
}

void expect_repr(double x) {
  // Past the text the buffer must keep its canary: the writer may only scribble inside it.
  char buf[kNumberScratch + 1];
  buf[kNumberScratch] = '#';
  const size_t n = format_double(x, buf);
  ASSERT_EQ(std::string(buf, n), repr_of(x)) << std::hexfloat << x;
  ASSERT_EQ(buf[kNumberScratch], '#');
}

TEST(FormatDouble, WritesReprOfBoundaryValues) {
  std::vector<double> v = boundary_values();
  // Every digit count at every position of the decimal point, with and without trailing zeros.
  for (int digits = 1; digits <= 17; ++digits) {
    const std::string zeros(static_cast<size_t>(digits - 1), '0');
    const std::string mantissas[] = {std::string(static_cast<size_t>(digits), '9'), "1" + zeros,
                                     digits > 1 ? "1" + zeros.substr(1) + "7" : "7"};
    for (int e = -25; e <= 20; ++e) {
      for (const std::string& m : mantissas) {
        const std::string text = m + "e" + std::to_string(e);
        double x = 0;
        std::from_chars(text.data(), text.data() + text.size(), x);
        v.push_back(x);
      }
    }
  }
  for (double x : {0.0, 9007199254740992.0, 123456.0, 1e15, 9999999999999998.0, 0.0001, 0.00001,
                   5e-324, 1.7976931348623157e308, 1e22, 1e23, 2.5, 0.3}) {
    v.push_back(x);
  }
  for (double x : v) {
    expect_repr(x);
    expect_repr(-x);
  }
}

TEST(FormatDouble, WritesReprOfRandomBitPatternsAndValues) {
  std::mt19937_64 rng(20261209);
  std::uniform_real_distribution<double> near(-1e6, 1e6);
  for (int i = 0; i < 2'000'000; ++i) {
    const double x = std::bit_cast<double>(rng());
    if (std::isfinite(x)) expect_repr(x);
    expect_repr(near(rng));
  }
  // Short decimals scaled across the plain range, where the shorter candidates win.
  for (int i = 0; i < 500'000; ++i) {
    expect_repr(static_cast<double>(rng() % 1000000) /
                std::pow(10.0, static_cast<int>(rng() % 24)));
  }
}

// Parses with ours and, when ours decides, expects the library's result bit for bit. Returns
// whether ours decided.
bool parse_agrees(const std::string& s) {
  double ours = -1.5, lib = 0;
  const bool decided = fast_decimal_to_double(s.data(), s.size(), &ours);
  const auto r = std::from_chars(s.data(), s.data() + s.size(), lib);
  if (!decided) {
    EXPECT_EQ(ours, -1.5) << s;  // untouched
    return false;
  }
  EXPECT_EQ(r.ptr, s.data() + s.size()) << s;
  if (r.ec == std::errc::result_out_of_range) {
    // The library leaves these to the caller: zero or infinity with the text's sign.
    EXPECT_TRUE(ours == 0 || std::isinf(ours)) << s;
    EXPECT_EQ(std::signbit(ours), s[0] == '-') << s;
  } else {
    EXPECT_EQ(std::bit_cast<uint64_t>(ours), std::bit_cast<uint64_t>(lib)) << s;
  }
  return true;
}

TEST(FastDecimalToDouble, AgreesWithTheLibraryOnPrintedDoubles) {
  std::mt19937_64 rng(7);
  int decided = 0, total = 0;
  char buf[128];
  for (int i = 0; i < 1'000'000; ++i) {
    const double x = std::bit_cast<double>(rng());
    if (!std::isfinite(x)) continue;
    // Shortest digits, then 17 to 25 digits (past 19 the truncation check decides).
    const auto fmt = i % 3 ? std::chars_format::scientific : std::chars_format::general;
    char* end = i % 2 ? std::to_chars(buf, buf + sizeof buf, x, fmt).ptr
                      : std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific,
                                      16 + static_cast<int>(rng() % 9))
                            .ptr;
    decided += parse_agrees(std::string(buf, end));
    ++total;
  }
  // Only subnormals, ties and unsettled long digit strings go to the slow path.
  EXPECT_GT(decided, total * 99 / 100);
}

TEST(FastDecimalToDouble, AgreesWithTheLibraryOnRandomDigitStrings) {
  std::mt19937_64 rng(11);
  for (int i = 0; i < 500'000; ++i) {
    std::string s = rng() % 2 ? "-" : "";
    const int digits = 1 + static_cast<int>(rng() % 24);
    const int point = static_cast<int>(rng() % (digits + 1));
    for (int d = 0; d < digits; ++d) {
      if (d == point && rng() % 2) s += '.';
      s += static_cast<char>('0' + rng() % 10);
    }
    if (rng() % 4) s += (rng() % 2 ? "e" : "E-") + std::to_string(rng() % 700);
    parse_agrees(s);
  }
}

TEST(FastDecimalToDouble, HalfwayCasesAndTheirNeighbours) {
  // The exact decimal midpoint of two adjacent doubles rounds to the even one; a digit more or
  // less on the end decides it either way. Long double holds the midpoint exactly.
  std::mt19937_64 rng(3);
  char buf[1200];
  for (int i = 0; i < 3000; ++i) {
    const double x = i < 100 ? static_cast<double>((uint64_t{1} << 53) + 2 * i + 1)
                             : std::bit_cast<double>(rng() & 0x7FEFFFFFFFFFFFFFu);
    const long double mid =
        (static_cast<long double>(x) + static_cast<long double>(std::nextafter(x, HUGE_VAL))) / 2;
    char* end = std::to_chars(buf, buf + sizeof buf, mid, std::chars_format::scientific, 800).ptr;
    std::string s(buf, end);
    const size_t e = s.find('e');
    std::string mantissa = s.substr(0, e), exp = s.substr(e);
    while (mantissa.back() == '0') mantissa.pop_back();
    parse_agrees(mantissa + exp);
    parse_agrees(mantissa + "1" + exp);
    mantissa.back() = static_cast<char>(mantissa.back() - 1);
    parse_agrees(mantissa + "9" + exp);
  }
}

TEST(FastDecimalToDouble, DecidesOnlyWellFormedText) {
  for (const char* bad :
       {"",      "-",     ".",    "-.", "e5", ".e5", "1e",  "1e+",   "1e-", "+1",
        "1.2.3", "1e5.0", "0x10", " 1", "1 ", "1f",  "--1", "1e5e5", "inf", "nan"}) {
    double d = 0;
    EXPECT_FALSE(fast_decimal_to_double(bad, std::strlen(bad), &d)) << bad;
  }
  for (const char* good : {"0", "-0", "1.", ".5", "0.0e0", "1E+2", "000123.4500", "1e-400",
                           "-1e400", "1e99999999999999999999", "0e99999", "17976931348623157e292",
                           "123456789012345678901234567890"}) {
    EXPECT_TRUE(parse_agrees(good) || std::strlen(good) > 20) << good;
  }
}

TEST(FastJsonNumberToDouble, StopsAfterTheNumberAndLeavesBadMantissasToTheCaller) {
  for (const char* bad : {"01", "-01", "00.5", "1.", "1.e5", ".5", "-", "-.5", "1e", "1e+x", "x"}) {
    double d = 0;
    EXPECT_EQ(fast_json_number_to_double(bad, bad + std::strlen(bad), &d), nullptr) << bad;
  }
  // The number ends where JSON's grammar ends it; what follows is the caller's business.
  for (const std::string text : {"0]", "-0.0e+5}", "12x", "1.5,2", "1e5.3", "123456789.123456789 ",
                                 "3.14159265358979323846264338327950288,"}) {
    const size_t stop = text.find_first_of("]},x ") != std::string::npos
                            ? text.find_first_of("]},x ")
                            : text.rfind('.');
    double ours = 0, lib = 0;
    const char* e = fast_json_number_to_double(text.data(), text.data() + text.size(), &ours);
    ASSERT_EQ(e, text.data() + stop) << text;
    std::from_chars(text.data(), e, lib);
    EXPECT_EQ(ours, lib) << text;
  }
}

}  // namespace
}  // namespace torvex
