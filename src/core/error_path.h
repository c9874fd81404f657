// Where in a message tree an encoder or decoder failed, told to the user as an exception note such
// as "while encoding shop.Order.items[1].unit_price.units" or "while decoding shop.Order.items[2]
// .price". The exception itself (class, text, traceback) is left exactly as raised.
//
// The path is collected while the failure unwinds, so encoders pay nothing on success: each
// level that returns an error pushes its own step (innermost first), and the entry point that
// started the walk attaches the note once, at the top. Usage, for any recursive encoder:
//
//   if (!encode_field(...)) { path.field(spec.proto_name.get()); return false; }   // per level
//   if (!encode_list_element(...)) { path.index(i); return false; }
//   ...
//   if (!ok) path.attach_note("while encoding ", marshaler->full_name);             // at the top
#pragma once

#include <Python.h>

#include <cstdint>
#include <string_view>

#include "core/memory.h"
#include "core/portable.h"
#include "core/ref.h"

namespace torvex {

class ErrorPath {
 public:
  ErrorPath() noexcept = default;
  ErrorPath(const ErrorPath&) = delete;
  ErrorPath& operator=(const ErrorPath&) = delete;

  // A field, by a `str` name that outlives the path (the schema's own name objects do).
  void field(PyObject* name) noexcept { steps_.push_back(Step{name, 0, Ref()}); }
  // An element of a list.
  void index(Py_ssize_t i) noexcept { steps_.push_back(Step{nullptr, i, Ref()}); }
  // An entry of a map; the key is held and shown by repr().
  void key(PyObject* k) noexcept { steps_.push_back(Step{nullptr, 0, Ref::borrow(k)}); }

  bool empty() const noexcept { return steps_.empty(); }
  size_t size() const noexcept { return steps_.size(); }
  // Drops the steps pushed after the path had `n`: a reader that failed and handed its input
  // over to another, which will push its own.
  void truncate(size_t n) noexcept {
    if (n < steps_.size())
      steps_.erase(steps_.begin() + static_cast<std::ptrdiff_t>(n), steps_.end());
  }

  // With an exception set and at least one step collected, adds the note
  // prefix + root + ".field" / "[index]" / "[repr(key)]" ... (outermost step first) to it.
  // Whatever goes wrong while building the note is dropped: the original exception is what
  // the caller must see.
  void attach_note(const char* prefix, std::string_view root) noexcept;

 private:
  struct Step {
    PyObject* name;    // borrowed field name, or null for an index or a key
    Py_ssize_t index;  // the list index when name and key are null
    Ref key;           // a map key, held: Python code may drop it from its dict meanwhile
  };
  RVec<Step> steps_;  // innermost first, as pushed while unwinding
};

// The decoders keep no per-call state to carry a path in: their failure forwarders push onto this
// thread's path (touched only while a failure unwinds, never on success), and the entry point
// that started the decoding attaches it with attach_decoding_note. No Python code runs between a
// push and that attach, so a nested decode cannot mix its steps in.
ErrorPath& decoding_path() noexcept;
// "while decoding " + root + the steps collected, when there are any; empties the path.
TORVEX_COLD void attach_decoding_note(std::string_view root) noexcept;

// The decoders' forwarders: each pushes its step and returns false. A failed list element takes
// the list's next index (the elements before it were appended); a null key pushes nothing.
TORVEX_COLD bool decoding_failed_in(PyObject* field_name) noexcept;
TORVEX_COLD bool decoding_failed_at_end_of(PyObject* list) noexcept;
TORVEX_COLD bool decoding_failed_at_key(PyObject* key) noexcept;

}  // namespace torvex
