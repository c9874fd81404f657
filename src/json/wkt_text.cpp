// Text forms of Timestamp, Duration and FieldMask paths.
#include "json/wkt_text.h"

namespace torvex::wkt_text {

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date, and back (Hinnant's algorithms).
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) noexcept {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void civil_from_days(int64_t z, int64_t* y, unsigned* m, unsigned* d) noexcept {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = static_cast<int64_t>(yoe) + era * 400 + (*m <= 2);
}

bool is_leap(int64_t y) noexcept { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned days_in_month(int64_t y, unsigned m) noexcept {
  static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && is_leap(y) ? 29 : kDays[m - 1];
}

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// Exactly `n` decimal digits at `s`.
bool digits(std::string_view s, size_t pos, size_t n, unsigned* out) noexcept {
  if (pos + n > s.size()) return false;
  unsigned v = 0;
  for (size_t i = pos; i < pos + n; ++i) {
    if (!is_digit(s[i])) return false;
    v = v * 10 + static_cast<unsigned>(s[i] - '0');
  }
  *out = v;
  return true;
}

void put_digits(RString* out, uint64_t v, int width) {
  char buf[24];
  int n = 0;
  do {
    buf[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v);
  for (int i = n; i < width; ++i) out->push_back('0');
  while (n) out->push_back(buf[--n]);
}

// ".ddd", ".dddddd" or ".ddddddddd", or nothing for 0.
void put_fraction(RString* out, uint32_t nanos) {
  if (nanos == 0) return;
  out->push_back('.');
  if (nanos % 1000000 == 0) {
    put_digits(out, nanos / 1000000, 3);
  } else if (nanos % 1000 == 0) {
    put_digits(out, nanos / 1000, 6);
  } else {
    put_digits(out, nanos, 9);
  }
}

// "." followed by 1..max digits (padded right to nanoseconds); `allow_empty` accepts ".".
bool fraction(std::string_view s, bool allow_empty, int32_t* nanos) noexcept {
  if (s.empty() || s[0] != '.') return false;
  s.remove_prefix(1);
  if (s.size() > 9 || (s.empty() && !allow_empty)) return false;
  int32_t v = 0;
  for (size_t i = 0; i < 9; ++i) {
    if (i < s.size() && !is_digit(s[i])) return false;
    v = v * 10 + (i < s.size() ? s[i] - '0' : 0);
  }
  *nanos = v;
  return true;
}

}  // namespace

void format_timestamp(int64_t seconds, int32_t nanos, RString* out) {
  int64_t days = seconds / 86400;
  int64_t rem = seconds % 86400;
  if (rem < 0) {
    rem += 86400;
    --days;
  }
  int64_t y;
  unsigned m, d;
  civil_from_days(days, &y, &m, &d);
  put_digits(out, static_cast<uint64_t>(y), 4);
  out->push_back('-');
  put_digits(out, m, 2);
  out->push_back('-');
  put_digits(out, d, 2);
  out->push_back('T');
  put_digits(out, static_cast<uint64_t>(rem / 3600), 2);
  out->push_back(':');
  put_digits(out, static_cast<uint64_t>(rem / 60 % 60), 2);
  out->push_back(':');
  put_digits(out, static_cast<uint64_t>(rem % 60), 2);
  put_fraction(out, static_cast<uint32_t>(nanos));
  out->push_back('Z');
}

TextResult parse_timestamp(std::string_view s, int64_t* seconds, int32_t* nanos) {
  if (s.empty()) return TextResult::Invalid;
  for (char c : s) {
    if (static_cast<unsigned char>(c) >= 0x80) return TextResult::Invalid;
  }
  int64_t offset = 0;
  if (s.back() == 'Z') {
    s.remove_suffix(1);
  } else {
    if (s.size() < 6) return TextResult::Invalid;
    std::string_view zone = s.substr(s.size() - 6);
    unsigned hh, mm;
    if ((zone[0] != '+' && zone[0] != '-') || zone[3] != ':' || !digits(zone, 1, 2, &hh) ||
        !digits(zone, 4, 2, &mm) || hh > 23 || mm > 59) {
      return TextResult::Invalid;
    }
    offset = (zone[0] == '-' ? -1 : 1) * static_cast<int64_t>(hh * 3600 + mm * 60);
    s.remove_suffix(6);
  }
  size_t t = s.find('T');
  if (t == std::string_view::npos) return TextResult::Invalid;
  std::string_view date = s.substr(0, t), time = s.substr(t + 1);
  unsigned year, month, day, hour, minute, second;
  if (date.size() != 10 || date[4] != '-' || date[7] != '-' || !digits(date, 0, 4, &year) ||
      !digits(date, 5, 2, &month) || !digits(date, 8, 2, &day)) {
    return TextResult::Invalid;
  }
  if (time.size() < 8 || time[2] != ':' || time[5] != ':' || !digits(time, 0, 2, &hour) ||
      !digits(time, 3, 2, &minute) || !digits(time, 6, 2, &second)) {
    return TextResult::Invalid;
  }
  if (hour > 23 || minute > 59 || second > 59) return TextResult::Invalid;
  int32_t frac = 0;
  if (time.size() > 8 && !fraction(time.substr(8), false, &frac)) return TextResult::Invalid;
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > days_in_month(year, month)) {
    return TextResult::Invalid;
  }
  int64_t total = days_from_civil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
  total -= offset;
  if (total < kTimestampMinSeconds || total > kTimestampMaxSeconds) return TextResult::OutOfRange;
  *seconds = total;
  *nanos = frac;
  return TextResult::Ok;
}

void format_duration(int64_t seconds, int32_t nanos, RString* out) {
  if (seconds < 0 || (seconds == 0 && nanos < 0)) out->push_back('-');
  // Both magnitudes are within the limits, so negation cannot overflow.
  put_digits(out, static_cast<uint64_t>(seconds < 0 ? -seconds : seconds), 1);
  put_fraction(out, static_cast<uint32_t>(nanos < 0 ? -nanos : nanos));
  out->push_back('s');
}

TextResult parse_duration(std::string_view s, int64_t* seconds, int32_t* nanos) {
  if (s.empty() || s.back() != 's') return TextResult::Invalid;
  s.remove_suffix(1);
  bool negative = !s.empty() && s[0] == '-';
  if (negative) s.remove_prefix(1);
  size_t n = 0;
  uint64_t whole = 0;
  while (n < s.size() && is_digit(s[n])) {
    // Anything beyond the 10000-year limit is refused; stop before uint64 could overflow.
    whole = whole * 10 + static_cast<uint64_t>(s[n] - '0');
    if (whole > static_cast<uint64_t>(kDurationMaxSeconds)) return TextResult::Invalid;
    ++n;
  }
  if (n == 0) return TextResult::Invalid;
  int32_t frac = 0;
  if (n < s.size() && !fraction(s.substr(n), true, &frac)) return TextResult::Invalid;
  int64_t sec = static_cast<int64_t>(whole);
  *seconds = negative ? -sec : sec;
  *nanos = negative ? -frac : frac;
  return TextResult::Ok;
}

bool field_mask_path_to_json(std::string_view path, RString* out) {
  if (path == "*") {
    out->append(path);
    return true;
  }
  const size_t start = out->size();
  auto fail = [&] {
    out->resize(start);
    return false;
  };
  bool segment_start = true, upper_next = false;
  for (char c : path) {
    if (c == '.') {
      if (segment_start) return fail();  // empty segment
      segment_start = true;
      upper_next = false;
      out->push_back('.');
      continue;
    }
    bool lower = c >= 'a' && c <= 'z';
    if (!(lower || c == '_' || (!segment_start && is_digit(c)))) return fail();
    segment_start = false;
    if (c == '_') {
      upper_next = true;
      continue;
    }
    out->push_back(upper_next && lower ? static_cast<char>(c - 'a' + 'A') : c);
    upper_next = false;
  }
  if (segment_start) return fail();  // empty path or trailing "."
  // Reversible means: converting back gives the path again.
  RString back;
  field_mask_path_from_json(std::string_view(*out).substr(start), &back);
  return std::string_view(back) == path || fail();
}

void field_mask_path_from_json(std::string_view path, RString* out) {
  for (char c : path) {
    if (c >= 'A' && c <= 'Z') {
      out->push_back('_');
      out->push_back(static_cast<char>(c - 'A' + 'a'));
    } else {
      out->push_back(c);
    }
  }
}

}  // namespace torvex::wkt_text
