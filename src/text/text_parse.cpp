// The text format parser: a lexer over the UTF-8 input and a recursive descent over messages,
// storing values as they are read. Syntax errors are kept as a status with the input offset and
// raised once, at the top, as ValueError with line and column.
#include "text/text_parse.h"

#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <string_view>

#include "binary/serializer.h"
#include "binary/wire.h"
#include "core/args.h"
#include "core/errors.h"
#include "core/float_parse.h"
#include "core/portable.h"
#include "message/field_access.h"
#include "message/instance.h"
#include "message/oneof.h"
#include "text/text_escape.h"

namespace torvex {

namespace {

// ---- lexer ------------------------------------------------------------------------------

enum class Tok : uint8_t { End, Ident, Number, String, Symbol, Unterminated };

struct Token {
  Tok kind = Tok::End;
  std::string_view text;  // the token's bytes (a string's with its quotes)
  size_t offset = 0;      // in the input, for error positions

  bool is(char c) const noexcept { return kind == Tok::Symbol && text[0] == c; }
};

inline bool ident_start(char c) noexcept {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
inline bool digit(char c) noexcept { return c >= '0' && c <= '9'; }
inline bool ident_char(char c) noexcept { return ident_start(c) || digit(c); }

class Lexer {
 public:
  Lexer(const char* data, size_t n) noexcept : begin_(data), p_(data), end_(data + n) { scan(); }

  const Token& peek() const noexcept { return cur_; }
  Token next() noexcept {
    Token t = cur_;
    scan();
    return t;
  }
  // Consumes the current token when it is the symbol `c`.
  bool accept(char c) noexcept {
    if (!cur_.is(c)) return false;
    scan();
    return true;
  }
  const char* begin() const noexcept { return begin_; }

 private:
  void scan() noexcept {
    for (;;) {
      while (p_ < end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\t' || *p_ == '\r' || *p_ == '\v' ||
                           *p_ == '\f')) {
        ++p_;
      }
      if (p_ < end_ && *p_ == '#') {
        while (p_ < end_ && *p_ != '\n') ++p_;
        continue;
      }
      break;
    }
    const char* start = p_;
    cur_.offset = static_cast<size_t>(p_ - begin_);
    if (p_ >= end_) {
      cur_.kind = Tok::End;
      cur_.text = {};
      return;
    }
    const char c = *p_;
    if (ident_start(c)) {
      while (++p_ < end_ && ident_char(*p_)) {
      }
      cur_.kind = Tok::Ident;
    } else if (digit(c) || (c == '.' && p_ + 1 < end_ && digit(p_[1]))) {
      // Digits, letters (hex digits, exponents, the f suffix), dots, and a sign right after an
      // exponent: the value readers decide what the text means.
      const bool hex = c == '0' && p_ + 1 < end_ && (p_[1] == 'x' || p_[1] == 'X');
      while (++p_ < end_ &&
             (ident_char(*p_) || *p_ == '.' ||
              ((*p_ == '-' || *p_ == '+') && !hex && (p_[-1] == 'e' || p_[-1] == 'E')))) {
      }
      cur_.kind = Tok::Number;
    } else if (c == '"' || c == '\'') {
      cur_.kind = Tok::Unterminated;
      while (++p_ < end_ && *p_ != '\n') {
        if (*p_ == '\\') {
          if (p_ + 1 < end_ && p_[1] != '\n') ++p_;
        } else if (*p_ == c) {
          ++p_;
          cur_.kind = Tok::String;
          break;
        }
      }
    } else {
      ++p_;
      cur_.kind = Tok::Symbol;
    }
    cur_.text = std::string_view(start, static_cast<size_t>(p_ - start));
  }

  const char* begin_;
  const char* p_;
  const char* end_;
  Token cur_;
};

// ---- the parser -------------------------------------------------------------------------

enum class TextStatus : uint8_t { Ok, Python, Syntax, TooDeep };

class TextParser {
 public:
  TextParser(const char* data, size_t n, const TextReadOptions& opts) noexcept
      : lex_(data, n), opts_(opts) {}

  // The fields of one message up to `close` (0: the end of the input).
  bool fields(const MessageMarshaler* m, PyObject* msg, uint32_t depth, char close) noexcept;
  // Raises the pending syntax error (Python errors are already set).
  void raise() noexcept;

 private:
  // Syntax errors: the message is built here (cold) and raised by raise().
  TORVEX_COLD bool fail(size_t offset, const char* fmt, ...) noexcept;
  bool fail_at(const Token& t, const char* what) noexcept {
    return fail(t.offset, "expected %s, got %s", what, describe(t).c_str());
  }
  // A value that cannot be encoded (a required field unset; extension values and Any payloads
  // are stored encoded) is bad input at `at`, reported with the encoder's reason.
  TORVEX_COLD bool encoding_failed(size_t at, const char* what) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) return python_error();
    Ref exc(PyErr_GetRaisedException());
    Ref why(PyObject_Str(exc.get()));
    if (!why) return python_error();
    return fail(at, "invalid %s: %U", what, why.get());
  }
  bool python_error() noexcept {
    status_ = TextStatus::Python;
    return false;
  }
  static RString describe(const Token& t);

  bool field(const MessageMarshaler* m, PyObject* msg, uint32_t depth) noexcept;
  bool field_value(const MessageMarshaler* m, const FieldSpec& f, PyObject* msg,
                   uint32_t depth) noexcept;
  bool separator_colon(bool message_like) noexcept;
  bool bracketed(const MessageMarshaler* m, PyObject* msg, uint32_t depth) noexcept;
  bool extension(const MessageMarshaler* m, PyObject* msg, std::string_view name, size_t at,
                 uint32_t depth) noexcept;
  bool any_payload(const MessageMarshaler* m, PyObject* msg, std::string_view url, size_t at,
                   uint32_t depth) noexcept;

  // Values: new references, or nullptr with the status set.
  PyObject* element(const ElementKind& e, uint32_t depth) noexcept;
  PyObject* scalar(ScalarType t) noexcept;
  PyObject* integer(ScalarType t) noexcept;
  PyObject* floating(bool single) noexcept;
  PyObject* boolean() noexcept;
  PyObject* enum_value(const EnumTable& t) noexcept;
  PyObject* quoted(bool bytes) noexcept;
  bool message_into(const MessageMarshaler* sm, PyObject* target, uint32_t depth) noexcept;
  PyObject* new_message(MarshalerHandle* h, uint32_t depth) noexcept;
  bool map_entry(const MapEntrySpec& e, PyObject* dict, uint32_t depth) noexcept;
  // Unknown fields being skipped.
  bool skip_value(uint32_t depth) noexcept;
  bool skip_message(uint32_t depth) noexcept;
  bool skip_scalar() noexcept;
  // An optional '-' or '+' directly before the next token: false (status set) for a sign
  // that stands apart from it.
  bool sign(bool* neg) noexcept;
  // Digits of an integer token in decimal, 0x hex or 0-prefixed octal; false when malformed,
  // *overflow when beyond 64 bits.
  static bool magnitude(std::string_view s, uint64_t* out, bool* overflow) noexcept;

  template <class F>
  bool repeated(F&& one) noexcept;

  Lexer lex_;
  const TextReadOptions& opts_;
  TextStatus status_ = TextStatus::Ok;
  size_t error_offset_ = 0;
  Ref error_text_;
};

bool TextParser::fail(size_t offset, const char* fmt, ...) noexcept {
  va_list ap;
  va_start(ap, fmt);
  error_text_ = Ref(PyUnicode_FromFormatV(fmt, ap));
  va_end(ap);
  status_ = error_text_ ? TextStatus::Syntax : TextStatus::Python;
  error_offset_ = offset;
  return false;
}

RString TextParser::describe(const Token& t) {
  switch (t.kind) {
    case Tok::End:
      return "end of input";
    case Tok::String:
      return "a string";
    case Tok::Unterminated:
      return "an unterminated string";
    default:
      break;
  }
  RString s("\"");
  s.append(t.text.substr(0, 40));
  s.push_back('"');
  return s;
}

void TextParser::raise() noexcept {
  if (status_ == TextStatus::TooDeep) {
    fail_too_deep("parsing");
    return;
  }
  if (status_ != TextStatus::Syntax) {
    if (!PyErr_Occurred()) raise_internal("text parse failed without an error");
    return;
  }
  // Line and column (both from 1, the column in bytes) of the offset.
  const char* begin = lex_.begin();
  unsigned line = 1;
  size_t line_start = 0;
  for (size_t i = 0; i < error_offset_; ++i) {
    if (begin[i] == '\n') ++line, line_start = i + 1;
  }
  raise_fmt(PyExc_ValueError, "%u:%zu: %U", line, error_offset_ - line_start + 1,
            error_text_.get());
}

bool TextParser::fields(const MessageMarshaler* m, PyObject* msg, uint32_t depth,
                        char close) noexcept {
  if (depth > MAX_RECURSION_DEPTH) {
    status_ = TextStatus::TooDeep;
    return false;
  }
  for (;;) {
    const Token& t = lex_.peek();
    if (t.kind == Tok::End) {
      if (close == 0) return true;
      char want[4] = {'"', close, '"', 0};
      return fail_at(t, want);
    }
    if (close != 0 && lex_.accept(close)) return true;
    if (!field(m, msg, depth)) return false;
    if (!lex_.accept(',')) lex_.accept(';');
  }
}

bool TextParser::field(const MessageMarshaler* m, PyObject* msg, uint32_t depth) noexcept {
  const Token& t = lex_.peek();
  if (t.is('[')) return bracketed(m, msg, depth);
  if (t.kind != Tok::Ident) return fail_at(t, "field name");
  uint32_t number;
  const FieldSpec* f = m->text_index.find(t.text, &number) ? m->index.find(number) : nullptr;
  if (!f) {
    if (!opts_.allow_unknown_fields) {
      RString name(t.text);
      return fail(t.offset, "message type \"%s\" has no field named \"%s\"", m->full_name.c_str(),
                  name.c_str());
    }
    lex_.next();
    return skip_value(depth);
  }
  lex_.next();
  return field_value(m, *f, msg, depth);
}

bool TextParser::separator_colon(bool message_like) noexcept {
  if (lex_.accept(':')) return true;
  return message_like || fail_at(lex_.peek(), "\":\"");
}

// `one` reads one element; a list "[a, b]" calls it per element.
template <class F>
bool TextParser::repeated(F&& one) noexcept {
  if (!lex_.accept('[')) return one();
  if (lex_.accept(']')) return true;
  for (;;) {
    if (!one()) return false;
    if (lex_.accept(']')) return true;
    if (!lex_.accept(',')) return fail_at(lex_.peek(), "\",\" or \"]\"");
  }
}

bool TextParser::field_value(const MessageMarshaler* m, const FieldSpec& f, PyObject* msg,
                             uint32_t depth) noexcept {
  const bool message_like = f.elem.kind == ElemKind::Message || f.kind == ValueKind::Map;
  if (!separator_colon(message_like)) return false;
  if (f.kind == ValueKind::Map) {
    Ref dict(f.accessor.get(msg));
    if (!dict) return python_error();
    if (!PyDict_Check(dict.get())) return fail_wrong_type(dict.get(), "dict") || python_error();
    return repeated([&] { return map_entry(*f.map, dict.get(), depth); });
  }
  if (f.kind == ValueKind::List) {
    Ref list(f.accessor.get(msg));
    if (!list) return python_error();
    if (!PyList_Check(list.get())) return fail_wrong_type(list.get(), "list") || python_error();
    return repeated([&] {
      Ref v(element(f.elem, depth));
      return v && (PyList_Append(list.get(), v.get()) == 0 || python_error());
    });
  }
  if (f.kind == ValueKind::Message) {
    MessageMarshaler* sm = resolve_handle(f.elem.handle.get());
    if (!sm) return python_error();
    Ref target(current_message(f, msg));
    if (!target) return python_error();
    if (target.get() == Py_None) {
      target = Ref(create_empty_message(sm, f.elem.handle->cls.get()));
      if (!target || !store_singular(f, msg, target.get())) return python_error();
    } else if (!is_native_message(target.get())) {
      return fail_wrong_type(target.get(), "NativeMessage") || python_error();
    } else {
      MarshalerRef own = lookup_marshaler(target.get());
      if (!own) return python_error();
      return message_into(own.get(), target.get(), depth + 1);
    }
    return message_into(sm, target.get(), depth + 1);
  }
  (void)m;
  Ref v(element(f.elem, depth));
  return v && (store_singular(f, msg, v.get()) || python_error());
}

PyObject* TextParser::element(const ElementKind& e, uint32_t depth) noexcept {
  switch (e.kind) {
    case ElemKind::Scalar:
      return scalar(e.scalar);
    case ElemKind::Enum:
      return enum_value(*e.enum_table.get());
    case ElemKind::Message:
      return new_message(e.handle.get(), depth + 1);
  }
  return nullptr;
}

PyObject* TextParser::new_message(MarshalerHandle* h, uint32_t depth) noexcept {
  MessageMarshaler* sm = resolve_handle(h);
  if (!sm) return python_error(), nullptr;
  Ref target(create_empty_message(sm, h->cls.get()));
  if (!target) return python_error(), nullptr;
  if (!message_into(sm, target.get(), depth)) return nullptr;
  return target.release();
}

bool TextParser::message_into(const MessageMarshaler* sm, PyObject* target,
                              uint32_t depth) noexcept {
  const Token& t = lex_.peek();
  char close = t.is('{') ? '}' : t.is('<') ? '>' : 0;
  if (!close) return fail_at(t, "\"{\" or \"<\"");
  lex_.next();
  return fields(sm, target, depth, close);
}

bool TextParser::map_entry(const MapEntrySpec& e, PyObject* dict, uint32_t depth) noexcept {
  const Token& open = lex_.peek();
  char close = open.is('{') ? '}' : open.is('<') ? '>' : 0;
  if (!close) return fail_at(open, "\"{\" or \"<\"");
  lex_.next();
  Ref key = e.key_zero;
  Ref value;
  while (!lex_.accept(close)) {
    const Token& t = lex_.peek();
    if (t.kind == Tok::Ident && t.text == "key") {
      lex_.next();
      if (!separator_colon(false) || !(key = Ref(scalar(e.key_type)))) return false;
    } else if (t.kind == Tok::Ident && t.text == "value") {
      lex_.next();
      if (!separator_colon(e.value.kind == ElemKind::Message)) return false;
      if (!(value = Ref(element(e.value, depth)))) return false;
    } else {
      return fail_at(t, "\"key\" or \"value\"");
    }
    if (!lex_.accept(',')) lex_.accept(';');
  }
  if (!value) {
    value = e.value.kind == ElemKind::Message
                ? Ref(create_empty_message(resolve_handle(e.value.handle.get()),
                                           e.value.handle->cls.get()))
                : e.value_zero;
    if (!value) return python_error();
  }
  return PyDict_SetItem(dict, key.get(), value.get()) == 0 || python_error();
}

// ---- scalars --------------------------------------------------------------------------------

bool TextParser::sign(bool* neg) noexcept {
  const Token& t = lex_.peek();
  *neg = t.is('-');
  if (!*neg && !t.is('+')) return true;
  const size_t at = t.offset;
  lex_.next();
  // A sign belongs to the value only when nothing separates them.
  if (lex_.peek().offset != at + 1) return fail(at, "expected a number after the sign");
  return true;
}

bool TextParser::magnitude(std::string_view s, uint64_t* out, bool* overflow) noexcept {
  unsigned base = 10;
  size_t i = 0;
  if (s.size() > 1 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    i = 2;
  } else if (s.size() > 1 && s[0] == '0') {
    base = 8;
    i = 1;
  }
  if (i >= s.size()) return false;
  uint64_t v = 0;
  *overflow = false;
  for (; i < s.size(); ++i) {
    char c = s[i];
    unsigned d = digit(c)                 ? static_cast<unsigned>(c - '0')
                 : (c >= 'a' && c <= 'f') ? static_cast<unsigned>(c - 'a' + 10)
                 : (c >= 'A' && c <= 'F') ? static_cast<unsigned>(c - 'A' + 10)
                                          : 99;
    if (d >= base) return false;
    if (!mul_add_fits(v, base, d, &v)) *overflow = true;
  }
  *out = v;
  return true;
}

const char* type_label(ScalarType t) noexcept {
  switch (t) {
    case ScalarType::Int32:
    case ScalarType::Sint32:
    case ScalarType::Sfixed32:
      return "int32";
    case ScalarType::Uint32:
    case ScalarType::Fixed32:
      return "uint32";
    case ScalarType::Int64:
    case ScalarType::Sint64:
    case ScalarType::Sfixed64:
      return "int64";
    default:
      return "uint64";
  }
}

PyObject* TextParser::integer(ScalarType t) noexcept {
  const size_t at = lex_.peek().offset;
  bool neg;
  if (!sign(&neg)) return nullptr;
  const Token tok = lex_.next();
  uint64_t mag = 0;
  bool overflow = false;
  const char* label = type_label(t);
  if (tok.kind != Tok::Number || !magnitude(tok.text, &mag, &overflow)) {
    return fail_at(tok, label), nullptr;
  }
  uint64_t limit;
  switch (t) {
    case ScalarType::Int32:
    case ScalarType::Sint32:
    case ScalarType::Sfixed32:
      limit = neg ? uint64_t{1} << 31 : INT32_MAX;
      break;
    case ScalarType::Uint32:
    case ScalarType::Fixed32:
      limit = neg ? 0 : UINT32_MAX;
      break;
    case ScalarType::Int64:
    case ScalarType::Sint64:
    case ScalarType::Sfixed64:
      limit = neg ? uint64_t{1} << 63 : INT64_MAX;
      break;
    default:
      limit = neg ? 0 : UINT64_MAX;
      break;
  }
  if (overflow || mag > limit) {
    RString text(neg ? "-" : "");
    text.append(tok.text);
    return fail(at, "value %s out of range for %s", text.c_str(), label), nullptr;
  }
  PyObject* v =
      neg ? PyLong_FromLongLong(static_cast<long long>(0 - mag)) : PyLong_FromUnsignedLongLong(mag);
  if (!v) python_error();
  return v;
}

inline bool equals_lower(std::string_view s, std::string_view lower) noexcept {
  if (s.size() != lower.size()) return false;
  for (size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c) != lower[i]) return false;
  }
  return true;
}

PyObject* TextParser::floating(bool single) noexcept {
  bool neg;
  if (!sign(&neg)) return nullptr;
  const Token tok = lex_.next();
  double d;
  if (tok.kind == Tok::Ident) {
    if (equals_lower(tok.text, "inf") || equals_lower(tok.text, "infinity")) {
      d = HUGE_VAL;
    } else if (equals_lower(tok.text, "nan")) {
      d = Py_NAN;
    } else {
      return fail_at(tok, "a number"), nullptr;
    }
  } else if (tok.kind == Tok::Number) {
    std::string_view s = tok.text;
    const bool hex = s.size() > 1 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
    if (!hex && (s.back() == 'f' || s.back() == 'F')) s.remove_suffix(1);
    // Plain decimal forms only: the digits with a dot and an exponent, nothing else.
    bool plain = !hex && !s.empty();
    for (char c : s) {
      if (!digit(c) && c != '.' && c != 'e' && c != 'E' && c != '+' && c != '-') plain = false;
    }
    if (!plain || !fast_decimal_to_double(s.data(), s.size(), &d)) {
      const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), d);
      if (!plain || end != s.data() + s.size() ||
          (ec != std::errc() && ec != std::errc::result_out_of_range)) {
        return fail_at(tok, single ? "float" : "double"), nullptr;
      }
      if (ec == std::errc::result_out_of_range) {
        // Beyond the double range: infinity or zero, as the reference reads such text.
        RString text(s);
        d = PyOS_string_to_double(text.c_str(), nullptr, nullptr);
        if (d == -1.0 && PyErr_Occurred()) return python_error(), nullptr;
      }
    }
  } else {
    return fail_at(tok, single ? "float" : "double"), nullptr;
  }
  if (neg) d = -d;
  // A float field holds the float32 nearest the text (infinity beyond its range).
  if (single) d = static_cast<double>(static_cast<float>(d));
  PyObject* v = PyFloat_FromDouble(d);
  if (!v) python_error();
  return v;
}

PyObject* TextParser::boolean() noexcept {
  const Token tok = lex_.next();
  std::string_view s = tok.text;
  if (tok.kind == Tok::Ident || tok.kind == Tok::Number) {
    if (s == "true" || s == "True" || s == "t" || s == "1") Py_RETURN_TRUE;
    if (s == "false" || s == "False" || s == "f" || s == "0") Py_RETURN_FALSE;
  }
  return fail_at(tok, "\"true\" or \"false\""), nullptr;
}

PyObject* TextParser::enum_value(const EnumTable& t) noexcept {
  const Token& peeked = lex_.peek();
  const size_t at = peeked.offset;
  if (peeked.kind == Tok::Ident) {
    const Token tok = lex_.next();
    auto it = t.by_proto_name.find(tok.text);
    PyObject* member = it == t.by_proto_name.end() ? nullptr : t.by_number.find(it->second);
    if (!member) {
      RString name(tok.text);
      return fail(at, "enum %S has no value named \"%s\"", t.type_name.get(), name.c_str()),
             nullptr;
    }
    return Py_NewRef(member);
  }
  Ref n(integer(ScalarType::Int32));
  if (!n) return nullptr;
  const long number = PyLong_AsLong(n.get());
  if (PyObject* member = t.by_number.find(static_cast<int32_t>(number))) return Py_NewRef(member);
  if (!t.open) {
    return fail(at, "enum %S has no value with number %ld", t.type_name.get(), number), nullptr;
  }
  PyObject* v = PyObject_CallOneArg(t.cls.get(), n.get());
  if (!v) python_error();
  return v;
}

PyObject* TextParser::quoted(bool bytes) noexcept {
  const Token& first = lex_.peek();
  if (first.kind != Tok::String) return fail_at(first, "a string"), nullptr;
  const size_t at = first.offset;
  RString buf;
  // Adjacent literals are one value.
  while (lex_.peek().kind == Tok::String) {
    const Token tok = lex_.next();
    size_t where = 0;
    UnescapeStatus st = unescape_text(tok.text.substr(1, tok.text.size() - 2), buf, &where);
    if (st != UnescapeStatus::Ok) {
      return fail(tok.offset + 1 + where,
                  st == UnescapeStatus::BadHex ? "invalid \\x escape" : "invalid \\u escape"),
             nullptr;
    }
  }
  if (bytes) {
    PyObject* v = PyBytes_FromStringAndSize(buf.data(), static_cast<Py_ssize_t>(buf.size()));
    if (!v) python_error();
    return v;
  }
  PyObject* v = PyUnicode_DecodeUTF8(buf.data(), static_cast<Py_ssize_t>(buf.size()), nullptr);
  if (!v) {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return python_error(), nullptr;
    PyErr_Clear();
    return fail(at, "invalid UTF-8 in string"), nullptr;
  }
  return v;
}

PyObject* TextParser::scalar(ScalarType t) noexcept {
  switch (t) {
    case ScalarType::Double:
      return floating(false);
    case ScalarType::Float:
      return floating(true);
    case ScalarType::Bool:
      return boolean();
    case ScalarType::String:
      return quoted(false);
    case ScalarType::Bytes:
      return quoted(true);
    default:
      return integer(t);
  }
}

// ---- extensions and Any -----------------------------------------------------------------

// "[name]" or "[domain/type]" has been seen.
bool TextParser::bracketed(const MessageMarshaler* m, PyObject* msg, uint32_t depth) noexcept {
  const size_t at = lex_.next().offset;
  RString name;
  bool url = false;
  for (;;) {
    const Token t = lex_.next();
    if (t.kind != Tok::Ident && t.kind != Tok::Number) return fail_at(t, "a name");
    name.append(t.text);
    if (lex_.accept(']')) break;
    const Token sep = lex_.next();
    if (!sep.is('.') && !sep.is('/')) return fail_at(sep, "\"]\"");
    url |= sep.is('/');
    name.append(sep.text);
  }
  if (url) return any_payload(m, msg, name, at, depth);
  return extension(m, msg, name, at, depth);
}

bool TextParser::extension(const MessageMarshaler* m, PyObject* msg, std::string_view name,
                           size_t at, uint32_t depth) noexcept {
  const DescriptorVocabulary* v = m->vocab;
  Ref ext;
  if (opts_.registry) {
    Ref key(PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), nullptr));
    if (!key) return python_error();
    ext = Ref(PyObject_CallMethodOneArg(opts_.registry, v->extension, key.get()));
    if (!ext) return python_error();
  }
  RString text(name);
  if (!ext || ext.get() == Py_None) {
    if (opts_.allow_unknown_fields) return skip_value(depth);
    return fail(at, "extension \"%s\" is not in the registry", text.c_str());
  }
  Ref extendee(PyObject_GetAttr(ext.get(), v->extendee));
  Ref target(extendee ? PyObject_GetAttr(extendee.get(), v->type_name) : nullptr);
  std::string_view target_name;
  if (!target || !str_utf8(target.get(), &target_name)) return python_error();
  if (target_name != std::string_view(m->full_name)) {
    return fail(at, "extension \"%s\" does not extend %s", text.c_str(), m->full_name.c_str());
  }
  Ref value_desc(PyObject_GetAttr(ext.get(), v->value));
  Ref key(value_desc ? PyObject_GetAttr(ext.get(), v->type) : nullptr);
  if (!key) return python_error();
  FieldSpec f;
  if (!read_value(v, Py_None, value_desc.get(), &f)) return python_error();
  if (f.kind == ValueKind::Map) {
    PyErr_SetString(PyExc_ValueError, "map extensions are not supported");
    return python_error();
  }
  if (!separator_colon(f.elem.kind == ElemKind::Message)) return false;
  Ref value;
  if (f.kind == ValueKind::List) {
    // The extension's list is a decoded copy: extended here and stored back.
    value = Ref(PyObject_GetItem(msg, key.get()));
    if (!value) return python_error();
    if (!PyList_Check(value.get())) return fail_wrong_type(value.get(), "list") || python_error();
    if (!repeated([&] {
          Ref item(element(f.elem, depth));
          return item && (PyList_Append(value.get(), item.get()) == 0 || python_error());
        })) {
      return false;
    }
  } else if (f.elem.kind == ElemKind::Message) {
    value = Ref(PyObject_GetItem(msg, key.get()));
    if (!value) return python_error();
    MessageMarshaler* sm = resolve_handle(f.elem.handle.get());
    if (!sm) return python_error();
    if (value.get() == Py_None) {
      value = Ref(create_empty_message(sm, f.elem.handle->cls.get()));
      if (!value) return python_error();
    }
    if (!message_into(sm, value.get(), depth + 1)) return false;
  } else if (!(value = Ref(element(f.elem, depth)))) {
    return false;
  }
  return PyObject_SetItem(msg, key.get(), value.get()) == 0 || encoding_failed(at, "extension");
}

bool TextParser::any_payload(const MessageMarshaler* m, PyObject* msg, std::string_view url,
                             size_t at, uint32_t depth) noexcept {
  const DescriptorVocabulary* v = m->vocab;
  const FieldSpec* url_f = m->wkt == WellKnownKind::Any ? m->index.find(1) : nullptr;
  const FieldSpec* value_f = url_f ? m->index.find(2) : nullptr;
  RString text(url);
  if (!value_f) return fail(at, "\"[%s]\" is only valid in an Any", text.c_str());
  Ref url_obj(PyUnicode_DecodeUTF8(url.data(), static_cast<Py_ssize_t>(url.size()), nullptr));
  if (!url_obj) return python_error();
  const size_t slash = url.rfind('/');
  Ref type_name(PyUnicode_DecodeUTF8(url.data() + slash + 1,
                                     static_cast<Py_ssize_t>(url.size() - slash - 1), nullptr));
  if (!type_name) return python_error();
  Ref desc;
  if (opts_.registry) {
    desc = Ref(PyObject_CallMethodOneArg(opts_.registry, v->message, type_name.get()));
    if (!desc) return python_error();
  }
  if (!desc || desc.get() == Py_None) {
    return fail(at, "type \"%U\" of \"%s\" is not in the registry", type_name.get(), text.c_str());
  }
  Ref cls(PyObject_GetAttr(desc.get(), v->type));
  Ref marshaler_obj(cls ? PyObject_GetAttr(cls.get(), v->ext_marshaler) : nullptr);
  if (!marshaler_obj) return python_error();
  const MessageMarshaler* pm = marshaler_from_object(marshaler_obj.get());
  if (!pm) return python_error();
  Ref payload(create_empty_message(pm, cls.get()));
  if (!payload) return python_error();
  if (!separator_colon(true) || !message_into(pm, payload.get(), depth + 1)) return false;
  Ref data(serialize_message(pm, payload.get(), true));
  if (!data) return encoding_failed(at, "Any payload");
  return (store_singular(*url_f, msg, url_obj.get()) &&
          store_singular(*value_f, msg, data.get())) ||
         python_error();
}

// ---- skipping unknown fields ------------------------------------------------------------

bool TextParser::skip_scalar() noexcept {
  bool neg;
  if (!sign(&neg)) return false;
  const Token t = lex_.next();
  if (t.kind == Tok::String) {
    while (lex_.peek().kind == Tok::String) lex_.next();
    return true;
  }
  if (t.kind == Tok::Ident || t.kind == Tok::Number) return true;
  return fail_at(t, "a value");
}

bool TextParser::skip_message(uint32_t depth) noexcept {
  if (depth > MAX_RECURSION_DEPTH) {
    status_ = TextStatus::TooDeep;
    return false;
  }
  const Token& open = lex_.peek();
  const char close = open.is('{') ? '}' : open.is('<') ? '>' : 0;
  if (!close) return fail_at(open, "\"{\" or \"<\"");
  lex_.next();
  while (!lex_.accept(close)) {
    const Token t = lex_.next();
    if (t.is('[')) {
      // A bracketed name: everything up to "]".
      while (!lex_.peek().is(']')) {
        if (lex_.peek().kind == Tok::End) return fail_at(lex_.peek(), "\"]\"");
        lex_.next();
      }
      lex_.next();
    } else if (t.kind != Tok::Ident && t.kind != Tok::Number) {
      return fail_at(t, "field name");
    }
    if (!skip_value(depth)) return false;
    if (!lex_.accept(',')) lex_.accept(';');
  }
  return true;
}

// The value of an unknown field whose name has been read.
bool TextParser::skip_value(uint32_t depth) noexcept {
  const bool colon = lex_.accept(':');
  const Token& t = lex_.peek();
  if (t.is('{') || t.is('<')) return skip_message(depth + 1);
  if (!colon && !t.is('[')) return fail_at(t, "\":\"");
  return repeated([&] {
    const Token& e = lex_.peek();
    return e.is('{') || e.is('<') ? skip_message(depth + 1) : skip_scalar();
  });
}

}  // namespace

bool parse_text(const MessageMarshaler* m, PyObject* msg, const char* data, size_t n,
                const TextReadOptions& opts) noexcept {
  TextParser p(data, n, opts);
  if (p.fields(m, msg, 0, 0)) return true;
  p.raise();
  return false;
}

}  // namespace torvex
