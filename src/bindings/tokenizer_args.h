// The arguments of ovilex._native.Tokenizer's constructor and methods,
// converted from Python objects, with their messages.
#pragma once

#include <Python.h>

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "bindings.h"
#include "engine/compiled.h"
#include "module/args.h"
#include "module/errors.h"
#include "tokenizer/records.h"

namespace ovilex::bindings {

// The ids of a call's argument: a list or tuple of ints, a buffer of
// unsigned 16- or 32-bit items (array('H') or array('I'), a numpy uint16 or
// uint32 array), or any sequence of ints, converted as _ovilex converts its
// ids, with its messages, but to 2^32 - 1.
class IdsArg {
 public:
  explicit IdsArg(PyObject* obj) {
    if (fast_sequence(obj) || fast_buffer(obj)) return;
    owned_ = py::to_token_ids(obj, "ids", IdWidth::Bits32);
    ids_ = owned_;
  }
  IdsArg(const IdsArg&) = delete;
  IdsArg& operator=(const IdsArg&) = delete;
  ~IdsArg() {
    if (has_view_) PyBuffer_Release(&view_);
  }
  std::span<const TokenId> ids() const noexcept { return ids_; }

 private:
  bool fast_sequence(PyObject* obj) {
    if (!PyList_CheckExact(obj) && !PyTuple_CheckExact(obj)) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(obj);
    PyObject** items = PySequence_Fast_ITEMS(obj);
    owned_.resize(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = items[i];
      if (!PyLong_CheckExact(item) || !PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(item))) {
        return false;
      }
      const Py_ssize_t v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(item));
      if (v < 0 || v > Py_ssize_t{UINT32_MAX}) return false;
      owned_[static_cast<std::size_t>(i)] = static_cast<TokenId>(v);
    }
    ids_ = owned_;
    return true;
  }

  bool fast_buffer(PyObject* obj) {
    if (!PyObject_CheckBuffer(obj) || PyBytes_Check(obj) || PyByteArray_Check(obj)) return false;
    if (PyObject_GetBuffer(obj, &view_, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) != 0) {
      PyErr_Clear();
      return false;
    }
    has_view_ = true;
    const char code = native_unsigned(view_.format == nullptr ? "B" : view_.format);
    if ((code != 'H' && code != 'I') || view_.ndim != 1 ||
        view_.itemsize != (code == 'H' ? 2 : 4)) {
      PyBuffer_Release(&view_);
      has_view_ = false;
      return false;
    }
    const std::size_t n = static_cast<std::size_t>(view_.len / view_.itemsize);
    if (code == 'I') {
      ids_ = {static_cast<const TokenId*>(view_.buf), n};
      return true;
    }
    const auto* narrow = static_cast<const std::uint16_t*>(view_.buf);
    owned_.assign(narrow, narrow + n);
    ids_ = owned_;
    return true;
  }

  // 'H' or 'I' for a struct format of one native-order unsigned 16- or
  // 32-bit item, '\0' for any other.
  static char native_unsigned(const char* format) {
    if (*format == '=' || *format == '<' || *format == '@') ++format;
    if ((format[0] == 'H' || format[0] == 'I') && format[1] == '\0') return format[0];
    return '\0';
  }

  std::vector<TokenId> owned_;
  std::span<const TokenId> ids_;
  Py_buffer view_{};
  bool has_view_ = false;
};

// The allowed_special argument of the encoding calls: absent, None or empty
// for none; "all"; or an iterable (set, frozenset, list, ...) of special
// tokens' texts, each one of the tokenizer's (ValueError otherwise).
class AllowedSpecial {
 public:
  AllowedSpecial(PyObject* obj, const engine::CompiledTokenizer& core, const char* function) {
    if (obj == nullptr || obj == Py_None) return;
    if (PyUnicode_Check(obj)) {
      if (PyUnicode_CompareWithASCIIString(obj, "all") == 0) {
        matcher_ = &core.all_specials();
        return;
      }
      py::throw_format(PyExc_ValueError,
                       "%s() argument 'allowed_special' must be 'all' or a collection of special "
                       "token texts, not the str %R", function, obj);
    }
    PyObject* listed = PySequence_Tuple(obj);
    if (listed == nullptr) {
      if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::PythonError{};
      PyErr_Clear();
      py::throw_format(PyExc_TypeError,
                       "%s() argument 'allowed_special' must be 'all' or a collection of special "
                       "token texts, not %.200s", function, Py_TYPE(obj)->tp_name);
    }
    const PyRef items = PyRef::steal(listed);
    std::vector<SpecialToken> tokens;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
      PyObject* item = PyTuple_GET_ITEM(items.get(), i);
      if (!PyUnicode_Check(item)) {
        py::throw_format(PyExc_TypeError,
                         "%s() argument 'allowed_special' must hold str, found %.200s", function,
                         Py_TYPE(item)->tp_name);
      }
      const std::string_view text = utf8_of(item, function, "allowed_special");
      const auto id = core.specials().id_of(text);
      if (!id) {
        py::throw_format(PyExc_ValueError, "%s() argument 'allowed_special': %R is not a special token "
                         "of this tokenizer", function, item);
      }
      tokens.push_back({std::string(text), *id});
    }
    if (tokens.empty()) return;
    matcher_ = &owned_.emplace(tokens);
  }
  AllowedSpecial(const AllowedSpecial&) = delete;
  AllowedSpecial& operator=(const AllowedSpecial&) = delete;

  // Appends the ids of |text| to |out|.
  template <class Id>
  void encode(const engine::CompiledTokenizer& core, std::string_view text,
              std::vector<Id>& out) const {
    if (matcher_ == nullptr) return core.encode_text(text, out);
    core.encode_text(text, *matcher_, out);
  }
  // Null for none.
  const engine::SpecialMatcher* matcher() const noexcept { return matcher_; }

 private:
  std::optional<engine::SpecialMatcher> owned_;
  const engine::SpecialMatcher* matcher_ = nullptr;
};

// The merges argument of the constructor: an iterable of ((left, right),
// new), ints 0 to MAX_TOKEN_ID.
std::vector<Merge> merges_arg(PyObject* obj);

// The vocab argument of the constructor: a mapping of ints 0 to
// MAX_TOKEN_ID to non-empty bytes.
VocabList vocab_arg(PyObject* obj);

// The special_tokens argument of the constructor: None, or a mapping of
// non-empty texts to distinct ids 0 to MAX_TOKEN_ID outside |vocab|.
std::vector<SpecialToken> special_tokens_arg(PyObject* obj, const VocabList& vocab);

// The keyword arguments of the constructor that say how it encodes.
// |pattern|: null or None, a name of text::split_pattern_named, or split
// steps (split_steps_arg).
engine::EncodingRules rules_arg(PyObject* pattern, const char* merging, int whole_chunks,
                                int prefix_space, const char* normalizer);
// The normalizer of its name, None (nullptr) for none.
text::Normalizer normalizer_arg(const char* name);

// A chain of split steps: a tuple or list of ("split", regex, behavior,
// invert) and ("digits", individual_digits) tuples, compiled; TypeError for
// another shape, ValueError for an unknown behaviour or a pattern that
// text::RegexSplitter refuses (its message).
std::shared_ptr<const text::RegexSplitter> split_steps_arg(PyObject* steps);
// The pattern as the constructor takes it back: the regex of a single step
// that keeps its matches alone, else the tuple of steps.
py::PyRef split_steps_object(const text::RegexSplitter& splitter);
// The name rules_arg takes for a way of merging.
std::string_view merging_name(engine::EncodingRules::Merging merging) noexcept;

// The dtype argument of the array calls: None (or absent) for the
// tokenizer's own width, uint16 when every id of it fits, else uint32, so
// that one tokenizer always gives one type; else one asked for by name:
// "uint16" or "H", "uint32" or "I", a type of that name (numpy.uint16), or
// an object whose str() is that name (numpy.dtype("uint16")). Nothing is
// imported to tell.
IdWidth dtype_arg(PyObject* obj, const engine::CompiledTokenizer& core, const char* function);

}  // namespace ovilex::bindings
