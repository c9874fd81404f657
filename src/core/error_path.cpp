#include "core/error_path.h"

namespace torvex {

namespace {

// One step as text: ".name", "[index]" or "[repr(key)]". A new reference or nullptr.
template <class Step>
PyObject* step_text(const Step& s) noexcept {
  if (s.name) return PyUnicode_FromFormat(".%U", s.name);
  if (!s.key) return PyUnicode_FromFormat("[%zd]", s.index);
  return PyUnicode_FromFormat("[%R]", s.key.get());
}

}  // namespace

ErrorPath& decoding_path() noexcept {
  thread_local ErrorPath path;
  return path;
}

void attach_decoding_note(std::string_view root) noexcept {
  decoding_path().attach_note("while decoding ", root);
}

bool decoding_failed_in(PyObject* field_name) noexcept {
  decoding_path().field(field_name);
  return false;
}

bool decoding_failed_at_end_of(PyObject* list) noexcept {
  decoding_path().index(PyList_GET_SIZE(list));
  return false;
}

bool decoding_failed_at_key(PyObject* key) noexcept {
  if (key) decoding_path().key(key);
  return false;
}

void ErrorPath::attach_note(const char* prefix, std::string_view root) noexcept {
  if (!PyErr_Occurred()) steps_.clear();  // a step whose failure was handled: stale
  if (steps_.empty() || !PyErr_Occurred()) return;
  PyObject* exc = PyErr_GetRaisedException();
  Ref pieces(PyList_New(0));
  bool ok = static_cast<bool>(pieces);
  if (ok) {
    Ref head(PyUnicode_FromFormat("%s%.*s", prefix, static_cast<int>(root.size()), root.data()));
    ok = head && PyList_Append(pieces.get(), head.get()) == 0;
  }
  for (size_t i = steps_.size(); ok && i-- > 0;) {
    Ref piece(step_text(steps_[i]));
    ok = piece && PyList_Append(pieces.get(), piece.get()) == 0;
  }
  if (ok) {
    Ref empty(PyUnicode_FromStringAndSize(nullptr, 0));
    Ref note(empty ? PyUnicode_Join(empty.get(), pieces.get()) : nullptr);
    Ref r(note ? PyObject_CallMethod(exc, "add_note", "O", note.get()) : nullptr);
    ok = static_cast<bool>(r);
  }
  // Keep the original exception: a note that cannot be made must not replace it.
  if (!ok) PyErr_Clear();
  steps_.clear();
  PyErr_SetRaisedException(exc);
}

}  // namespace torvex
