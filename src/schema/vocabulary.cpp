#include "schema/vocabulary.h"

#include <atomic>

#include "core/errors.h"
#include "core/memory.h"
#include "core/once.h"
#include "core/ref.h"

namespace torvex {

namespace {

std::atomic<const DescriptorVocabulary*> g_vocab{nullptr};
OnceMutex g_vocab_once;

bool load(DescriptorVocabulary& v) noexcept {
#define TORVEX_LOAD_NAME(field, text)         \
  v.field = PyUnicode_InternFromString(text); \
  if (!v.field) return false;
  TORVEX_VOCAB_NAMES(TORVEX_LOAD_NAME)
#undef TORVEX_LOAD_NAME
  Ref mod(PyImport_ImportModule("torvex._descriptors"));
  if (!mod) return false;
#define TORVEX_LOAD_CLASS(cls)                     \
  v.cls = PyObject_GetAttrString(mod.get(), #cls); \
  if (!v.cls) return false;                        \
  if (!PyType_Check(v.cls)) {                      \
    raise_wrong_type(v.cls, "type");               \
    return false;                                  \
  }
  TORVEX_VOCAB_CLASSES(TORVEX_LOAD_CLASS)
#undef TORVEX_LOAD_CLASS
  Ref scope(PyImport_ImportModule("torvex._scope"));
  if (!scope) return false;
  v.default_registry = PyObject_GetAttrString(scope.get(), "DEFAULT_REGISTRY");
  return v.default_registry != nullptr;
}

void drop(DescriptorVocabulary& v) noexcept {
#define TORVEX_DROP_NAME(field, text) Py_CLEAR(v.field);
  TORVEX_VOCAB_NAMES(TORVEX_DROP_NAME)
#undef TORVEX_DROP_NAME
#define TORVEX_DROP_CLASS(cls) Py_CLEAR(v.cls);
  TORVEX_VOCAB_CLASSES(TORVEX_DROP_CLASS)
#undef TORVEX_DROP_CLASS
  Py_CLEAR(v.default_registry);
}

}  // namespace

const DescriptorVocabulary* vocabulary() noexcept {
  if (auto* v = g_vocab.load(std::memory_order_acquire)) return v;
  // Re-entry happens when importing torvex._descriptors defines message types; that fails
  // with RuntimeError rather than deadlocking.
  if (!g_vocab_once.acquire()) return nullptr;
  const DescriptorVocabulary* result = g_vocab.load(std::memory_order_acquire);
  if (!result) {
    DescriptorVocabulary tmp{};
    if (load(tmp)) {
      auto* stored = raw_new<DescriptorVocabulary>(tmp);  // process lifetime, never freed
      g_vocab.store(stored, std::memory_order_release);
      result = stored;
    } else {
      drop(tmp);
    }
  }
  g_vocab_once.release();
  return result;
}

}  // namespace torvex
