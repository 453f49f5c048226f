// ovilex._native.Tokenizer: a CompiledTokenizer and one int object per id,
// so that a list of ids costs a reference per token, not an allocation.
#include <Python.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <variant>

#include "bindings.h"
#include "engine/count.h"
#include "engine/file_tokens.h"
#include "engine/shards.h"
#include "module/args.h"
#include "module/errors.h"
#include "text/split.h"
#include "tokenizer/decode.h"
#include "tokenizer/records.h"

namespace ovilex::bindings {

using py::check;
using py::guarded_call;
using Merging = engine::EncodingRules::Merging;

// make_tokenizer for a tokenizer that encodes by |rules|.
PyRef make_tokenizer(PyTypeObject* cls, std::vector<Merge> merges, VocabList vocab,
                     std::vector<SpecialToken> specials, const engine::EncodingRules& rules);

namespace {

struct TokenizerState {
  std::unique_ptr<engine::CompiledTokenizer> core;
  // ints[id] is the int object of id, for the ids of the dense part of the
  // vocabulary and the special tokens among them.
  std::vector<PyRef> ints;
};

struct TokenizerObject {
  PyObject_HEAD
  TokenizerState state;
};

PyTypeObject* the_type = nullptr;

TokenizerState& state_of(PyObject* self) {
  return reinterpret_cast<TokenizerObject*>(self)->state;
}

const engine::CompiledTokenizer& core_of(PyObject* self) {
  const auto& core = state_of(self).core;
  if (!core) {
    PyErr_SetString(PyExc_ValueError, "the Tokenizer has not been initialised");
    throw py::PythonError{};
  }
  return *core;
}

// A new list of the ids' int objects.
PyRef id_list(const TokenizerState& state, std::span<const TokenId> ids) {
  PyRef list = check(PyList_New(static_cast<Py_ssize_t>(ids.size())));
  PyObject** items = reinterpret_cast<PyListObject*>(list.get())->ob_item;
  const std::vector<PyRef>& ints = state.ints;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const TokenId id = ids[i];
    items[i] = id < ints.size() ? Py_NewRef(ints[id].get()) : check(PyLong_FromUnsignedLong(id)).release();
  }
  return list;
}

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

PyRef decoded_text(std::string_view bytes) {
  PyObject* text = PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), nullptr);
  if (text != nullptr) return PyRef::steal(text);
  if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw py::PythonError{};
  PyErr_Clear();
  const auto fault =
      validate_utf8({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
  if (!fault) fail_internal("the interpreter refused bytes that are valid UTF-8");
  py::throw_error(Error{ErrorKind::InvalidUtf8,
                        "decoded bytes are not valid UTF-8: " + describe(*fault)});
}

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
      PyErr_Format(PyExc_ValueError,
                   "%s() argument 'allowed_special' must be 'all' or a collection of special "
                   "token texts, not the str %R", function, obj);
      throw py::PythonError{};
    }
    PyObject* listed = PySequence_Tuple(obj);
    if (listed == nullptr) {
      if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::PythonError{};
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError,
                   "%s() argument 'allowed_special' must be 'all' or a collection of special "
                   "token texts, not %.200s", function, Py_TYPE(obj)->tp_name);
      throw py::PythonError{};
    }
    const PyRef items = PyRef::steal(listed);
    std::vector<SpecialToken> tokens;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
      PyObject* item = PyTuple_GET_ITEM(items.get(), i);
      if (!PyUnicode_Check(item)) {
        PyErr_Format(PyExc_TypeError,
                     "%s() argument 'allowed_special' must hold str, found %.200s", function,
                     Py_TYPE(item)->tp_name);
        throw py::PythonError{};
      }
      const std::string_view text = utf8_of(item, function, "allowed_special");
      const auto id = core.specials().id_of(text);
      if (!id) {
        PyErr_Format(PyExc_ValueError, "%s() argument 'allowed_special': %R is not a special token "
                     "of this tokenizer", function, item);
        throw py::PythonError{};
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

// An exact int as an id of the constructor's arguments: 0 to MAX_TOKEN_ID,
// nothing for any other value.
std::optional<TokenId> id_of(PyObject* exact_int) {
  int overflow = 0;
  const long long id = PyLong_AsLongLongAndOverflow(exact_int, &overflow);
  if (id == -1 && PyErr_Occurred()) throw py::PythonError{};
  if (overflow != 0 || id < 0 || id > static_cast<long long>(MAX_TOKEN_ID)) return std::nullopt;
  return static_cast<TokenId>(id);
}

// MAX_TOKEN_ID for PyErr_Format's %lu.
constexpr unsigned long MAX_ID = MAX_TOKEN_ID;

// The items of a mapping argument (a dict, or anything with items()) as a
// list; TypeError "<name> must be a mapping of <what>, not <type>" else.
PyRef mapping_items(PyObject* obj, const char* name, const char* what) {
  const int mapping = PyDict_Check(obj) ? 1 : PyObject_HasAttrStringWithError(obj, "items");
  if (mapping < 0) throw py::PythonError{};
  if (mapping == 0) {
    PyErr_Format(PyExc_TypeError, "%s must be a mapping of %s, not %.200s", name, what,
                 Py_TYPE(obj)->tp_name);
    throw py::PythonError{};
  }
  return check(PyMapping_Items(obj));
}

// An item of mapping_items as (key, value), borrowed from the item.
std::pair<PyObject*, PyObject*> mapping_pair(PyObject* item, const char* name, const char* what) {
  if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) {
    PyErr_Format(PyExc_TypeError, "%s.items() must give (%s) pairs, found %R", name, what, item);
    throw py::PythonError{};
  }
  return {PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1)};
}

// |obj| as a list or tuple of two items (any iterable of two); null, with
// no error set, for anything else.
PyRef two_items(PyObject* obj) {
  PyObject* seq = PySequence_Fast(obj, "");
  if (seq == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::PythonError{};
    PyErr_Clear();
    return PyRef{};
  }
  PyRef held = PyRef::steal(seq);
  if (PySequence_Fast_GET_SIZE(seq) != 2) return PyRef{};
  return held;
}

// The merges argument of the constructor: an iterable of ((left, right),
// new), ints 0 to MAX_TOKEN_ID.
std::vector<Merge> merges_arg(PyObject* obj) {
  PyObject* iter = PyObject_GetIter(obj);
  if (iter == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::PythonError{};
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "merges must be an iterable of ((left, right), new), not %.200s",
                 Py_TYPE(obj)->tp_name);
    throw py::PythonError{};
  }
  const PyRef merges = PyRef::steal(iter);
  std::vector<Merge> out;
  for (;;) {
    const PyRef merge = PyRef::steal(PyIter_Next(merges.get()));
    if (!merge) {
      if (PyErr_Occurred()) throw py::PythonError{};
      return out;
    }
    const PyRef outer = two_items(merge.get());
    const PyRef pair = outer ? two_items(PySequence_Fast_GET_ITEM(outer.get(), 0)) : PyRef{};
    if (!pair) {
      PyErr_Format(PyExc_TypeError, "a merge must be ((left, right), new), found %R", merge.get());
      throw py::PythonError{};
    }
    PyObject* const ids[3] = {PySequence_Fast_GET_ITEM(pair.get(), 0),
                              PySequence_Fast_GET_ITEM(pair.get(), 1),
                              PySequence_Fast_GET_ITEM(outer.get(), 1)};
    if (!std::all_of(std::begin(ids), std::end(ids),
                     [](PyObject* id) { return PyLong_CheckExact(id); })) {
      PyErr_Format(PyExc_TypeError, "a merge must hold three ints, found %R", merge.get());
      throw py::PythonError{};
    }
    const auto left = id_of(ids[0]);
    const auto right = id_of(ids[1]);
    const auto new_id = id_of(ids[2]);
    if (!left || !right || !new_id) {
      PyErr_Format(PyExc_ValueError, "a merge must hold ids 0 to %lu, found %R", MAX_ID,
                   merge.get());
      throw py::PythonError{};
    }
    out.push_back({*left, *right, *new_id});
  }
}

// The vocab argument of the constructor: a mapping of ints 0 to
// MAX_TOKEN_ID to non-empty bytes.
VocabList vocab_arg(PyObject* obj) {
  const PyRef items = mapping_items(obj, "vocab", "int to bytes");
  VocabList vocab;
  vocab.reserve(static_cast<std::size_t>(PyList_GET_SIZE(items.get())), 0);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    const auto [key, value] = mapping_pair(PyList_GET_ITEM(items.get(), i), "vocab", "int, bytes");
    if (!PyLong_CheckExact(key) || !PyBytes_Check(value)) {
      PyErr_Format(PyExc_TypeError, "the vocabulary must map ints to bytes, found %R: %R", key,
                   value);
      throw py::PythonError{};
    }
    const auto id = id_of(key);
    if (!id || PyBytes_GET_SIZE(value) == 0) {
      PyErr_Format(PyExc_ValueError,
                   "the vocabulary must map ids 0 to %lu to one or more bytes, found %R: %R",
                   MAX_ID, key, value);
      throw py::PythonError{};
    }
    const auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(value));
    vocab.set(*id, {data, static_cast<std::size_t>(PyBytes_GET_SIZE(value))});
  }
  return vocab;
}

// The special_tokens argument of the constructor: None, or a mapping of
// non-empty texts to distinct ids 0 to MAX_TOKEN_ID outside |vocab|.
std::vector<SpecialToken> special_tokens_arg(PyObject* obj, const VocabList& vocab) {
  std::vector<SpecialToken> out;
  if (obj == nullptr || obj == Py_None) return out;
  const PyRef items = mapping_items(obj, "special_tokens", "str to int");
  std::unordered_map<TokenId, PyObject*> texts;  // id -> text, borrowed from |items|
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    const auto [text, id_obj] =
        mapping_pair(PyList_GET_ITEM(items.get(), i), "special_tokens", "str, int");
    if (!PyUnicode_Check(text) || !PyLong_CheckExact(id_obj)) {
      PyErr_Format(PyExc_TypeError, "special_tokens must map str to int, found %R: %R", text,
                   id_obj);
      throw py::PythonError{};
    }
    const auto in_range = id_of(id_obj);
    if (!in_range) {
      PyErr_Format(PyExc_ValueError, "special token %R has the id %R, expected 0 to %lu", text,
                   id_obj, MAX_ID);
      throw py::PythonError{};
    }
    const TokenId token_id = *in_range;
    const std::string_view utf8 = utf8_of(text, "Tokenizer", "special_tokens");
    if (utf8.empty()) {
      PyErr_SetString(PyExc_ValueError, "a special token's text must not be empty");
      throw py::PythonError{};
    }
    if (vocab.find(token_id)) {
      PyErr_Format(PyExc_ValueError, "special token %R has the id %R, which the vocabulary holds",
                   text, id_obj);
      throw py::PythonError{};
    }
    if (const auto [it, fresh] = texts.try_emplace(token_id, text); !fresh) {
      PyErr_Format(PyExc_ValueError, "special tokens %R and %R have the same id %R", it->second,
                   text, id_obj);
      throw py::PythonError{};
    }
    out.push_back({std::string(utf8), token_id});
  }
  return out;
}

constexpr std::pair<std::string_view, Merging> MERGINGS[] = {
    {"list", Merging::List},
    {"merge_rank", Merging::MergeRank},
    {"token_rank", Merging::TokenRank},
};

// The keyword arguments of the constructor that say how it encodes.
engine::EncodingRules rules_arg(const char* pattern, const char* merging, int whole_chunks,
                                int prefix_space) {
  engine::EncodingRules rules;
  if (pattern != nullptr) {
    const auto named = text::split_pattern_named(pattern);
    if (!named) {
      PyErr_Format(PyExc_ValueError,
                   "unknown split pattern '%s': the supported ones are 'ovilex' and 'gpt2'",
                   pattern);
      throw py::PythonError{};
    }
    rules.pattern = *named;
  }
  if (merging != nullptr) {
    const auto it = std::find_if(std::begin(MERGINGS), std::end(MERGINGS),
                                 [&](const auto& m) { return m.first == merging; });
    if (it == std::end(MERGINGS)) {
      PyErr_Format(PyExc_ValueError,
                   "merging must be 'list', 'merge_rank' or 'token_rank', not '%s'", merging);
      throw py::PythonError{};
    }
    rules.merging = it->second;
  }
  if (whole_chunks != 0 && rules.merging == Merging::List) {
    PyErr_SetString(PyExc_ValueError, "whole_chunks needs merging by rank");
    throw py::PythonError{};
  }
  rules.whole_chunks = whole_chunks != 0;
  rules.prefix_space = prefix_space != 0;
  return rules;
}

// ------------------------------------------------------------------ methods

PyObject* tokenizer_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) noexcept {
  return guarded_call([&]() -> PyRef {
    static const char* keywords[] = {"merges",  "vocab",        "special_tokens", "pattern",
                                     "merging", "whole_chunks", "prefix_space",   nullptr};
    PyObject* merges_obj = nullptr;
    PyObject* vocab_obj = nullptr;
    PyObject* specials_arg = nullptr;
    const char* pattern = nullptr;
    const char* merging = nullptr;
    int whole_chunks = 0;
    int prefix_space = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O$zzpp:Tokenizer",
                                     const_cast<char**>(keywords), &merges_obj, &vocab_obj,
                                     &specials_arg, &pattern, &merging, &whole_chunks,
                                     &prefix_space)) {
      throw py::PythonError{};
    }
    // None: the merge list that the ranks make.
    const bool derived = merges_obj == Py_None;
    std::vector<Merge> merges = derived ? std::vector<Merge>{} : merges_arg(merges_obj);
    VocabList vocab = vocab_arg(vocab_obj);
    const engine::EncodingRules rules = rules_arg(pattern, merging, whole_chunks, prefix_space);
    if (derived && rules.merging != Merging::TokenRank) {
      PyErr_SetString(PyExc_TypeError, "merges may be None only with merging='token_rank'");
      throw py::PythonError{};
    }
    if (rules.merging != Merging::List) {
      if (const auto problem = engine::RankedMerges::vocab_problem(vocab)) {
        PyErr_Format(PyExc_ValueError, "the vocabulary cannot be merged by rank: %s",
                     problem->c_str());
        throw py::PythonError{};
      }
      if (derived) merges = engine::RankedMerges::merges_by_rank(vocab);
    } else {
      for (unsigned b = 0; b < 256; ++b) {
        const auto bytes = vocab.find(static_cast<TokenId>(b));
        if (!bytes || bytes->size() != 1 || (*bytes)[0] != b) {
          PyErr_Format(PyExc_ValueError, "the vocabulary must map id %u to the single byte %u", b,
                       b);
          throw py::PythonError{};
        }
      }
    }
    if (const auto problem = check_merges(merges, vocab, "the vocabulary")) {
      const Merge& m = merges[problem->index];
      const std::string message = "merge " + std::to_string(problem->index) + " ((" +
                                  std::to_string(m.left) + ", " + std::to_string(m.right) + "), " +
                                  std::to_string(m.new_id) + "): " + problem->message;
      PyErr_SetString(PyExc_ValueError, message.c_str());
      throw py::PythonError{};
    }
    std::vector<SpecialToken> specials = special_tokens_arg(specials_arg, vocab);
    return make_tokenizer(cls, std::move(merges), std::move(vocab), std::move(specials), rules);
  });
}

void tokenizer_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(&state_of(self));
  type->tp_free(self);
  Py_DECREF(type);
}

constexpr std::string_view TEXT_PARAMS[] = {"text"};
constexpr std::string_view ALLOWED_PARAMS[] = {"allowed_special"};

// The text and allowed_special of encode and encode_array. A call with the
// text alone, the common one, skips the parsing.
std::array<PyObject*, 2> text_args(const char* function, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  if (nargs == 1 && kwnames == nullptr) return {args[0], nullptr};
  const py::Signature sig{function, TEXT_PARAMS, 1, 1, ALLOWED_PARAMS};
  std::array<PyObject*, 2> slots;
  py::parse_args(sig, args, nargs, kwnames, slots);
  return slots;
}

PyObject* encode_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
  return guarded_call([&] {
    const engine::CompiledTokenizer& core = core_of(self);
    const auto [text, allowed_arg] = text_args("encode", args, nargs, kwnames);
    const std::string_view utf8 = utf8_of(text, "encode", "text");
    const AllowedSpecial allowed(allowed_arg, core, "encode");
    if (utf8.size() < RELEASE_FROM_BYTES) {
      thread_local std::vector<TokenId> ids;
      ids.clear();
      allowed.encode(core, utf8, ids);
      return id_list(state_of(self), ids);
    }
    std::vector<TokenId> ids;
    {
      GilReleased released;
      allowed.encode(core, utf8, ids);
    }
    return id_list(state_of(self), ids);
  });
}

// The dtype argument of the array calls: None (or absent) for the
// tokenizer's own width, uint16 when every id of it fits, else uint32, so
// that one tokenizer always gives one type; else one asked for by name:
// "uint16" or "H", "uint32" or "I", a type of that name (numpy.uint16), or
// an object whose str() is that name (numpy.dtype("uint16")). Nothing is
// imported to tell.
IdWidth dtype_arg(PyObject* obj, const engine::CompiledTokenizer& core, const char* function) {
  if (obj == nullptr || obj == Py_None) return width_for(core.id_bound());
  PyRef name;
  if (PyUnicode_Check(obj)) {
    if (PyUnicode_CompareWithASCIIString(obj, "H") == 0) return IdWidth::Bits16;
    if (PyUnicode_CompareWithASCIIString(obj, "I") == 0) return IdWidth::Bits32;
    name = PyRef::borrow(obj);
  } else if (PyType_Check(obj)) {
    name = check(PyType_GetName(reinterpret_cast<PyTypeObject*>(obj)));
  } else {
    name = check(PyObject_Str(obj));
  }
  if (PyUnicode_CompareWithASCIIString(name.get(), "uint16") == 0) return IdWidth::Bits16;
  if (PyUnicode_CompareWithASCIIString(name.get(), "uint32") == 0) return IdWidth::Bits32;
  PyErr_Format(PyExc_ValueError,
               "%s() argument 'dtype' must be 'uint16', 'uint32', 'H', 'I', numpy.uint16 or "
               "numpy.uint32, not %R", function, obj);
  throw py::PythonError{};
}

constexpr std::string_view ARRAY_KEYWORDS[] = {"allowed_special", "dtype"};

PyObject* encode_array_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept {
  return guarded_call([&] {
    const engine::CompiledTokenizer& core = core_of(self);
    std::array<PyObject*, 3> slots{nargs > 0 ? args[0] : nullptr, nullptr, nullptr};
    if (nargs != 1 || kwnames != nullptr) {
      const py::Signature sig{"encode_array", TEXT_PARAMS, 1, 1, ARRAY_KEYWORDS};
      py::parse_args(sig, args, nargs, kwnames, slots);
    }
    const std::string_view utf8 = utf8_of(slots[0], "encode_array", "text");
    const AllowedSpecial allowed(slots[1], core, "encode_array");
    const IdWidth width = dtype_arg(slots[2], core, "encode_array");
    if (width == IdWidth::Bits16 && core.narrow()) {
      std::vector<std::uint16_t> ids;
      {
        GilReleased released(utf8.size() >= RELEASE_FROM_BYTES);
        allowed.encode(core, utf8, ids);
      }
      return make_id_array(std::span(&ids, 1));
    }
    std::vector<TokenId> ids;
    {
      GilReleased released(utf8.size() >= RELEASE_FROM_BYTES);
      allowed.encode(core, utf8, ids);
    }
    return make_id_array(std::span(&ids, 1), width);
  });
}

PyObject* count_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  return guarded_call([&] {
    const engine::CompiledTokenizer& core = core_of(self);
    const auto [text, allowed_arg] = text_args("count", args, nargs, kwnames);
    const std::string_view utf8 = utf8_of(text, "count", "text");
    const AllowedSpecial allowed(allowed_arg, core, "count");
    std::uint64_t n = 0;
    {
      GilReleased released(utf8.size() >= RELEASE_FROM_BYTES);
      n = core.count_text(utf8, allowed.matcher());
    }
    return check(PyLong_FromUnsignedLongLong(n));
  });
}

constexpr std::string_view BATCH_PARAMS[] = {"texts", "threads"};

// Parses a batch call's texts, threads= and the keyword-only |keywords|
// (allowed_special, and dtype where it is the second), then returns
// encode(texts, threads, allowed, dtype), dtype null when not given.
template <class Encode>
PyRef batch_call(const char* function, const engine::CompiledTokenizer& core,
                 PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 std::span<const std::string_view> keywords, Encode&& encode) {
  const py::Signature sig{function, BATCH_PARAMS, 1, 0, keywords};
  std::array<PyObject*, 4> slots{};
  py::parse_args(sig, args, nargs, kwnames, std::span(slots).first(2 + keywords.size()));
  const std::size_t threads = to_threads(slots[1]);
  const TextViews texts = text_views(slots[0], function, "texts");
  const AllowedSpecial allowed(slots[2], core, function);
  return encode(texts, threads, allowed.matcher(), slots[3]);
}

PyObject* encode_batch_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept {
  return guarded_call([&] {
    const engine::CompiledTokenizer& core = core_of(self);
    return batch_call("encode_batch", core, args, nargs, kwnames, ALLOWED_PARAMS,
                      [&](const TextViews& texts, std::size_t threads,
                          const engine::SpecialMatcher* allowed, PyObject*) {
      std::vector<std::vector<TokenId>> ids;
      {
        GilReleased released(texts.bytes >= RELEASE_FROM_BYTES);
        ids = core.encode_batch(texts.views, texts.bytes >= RELEASE_FROM_BYTES ? threads : 1,
                                allowed);
      }
      PyRef lists = check(PyList_New(static_cast<Py_ssize_t>(ids.size())));
      for (std::size_t i = 0; i < ids.size(); ++i) {
        PyList_SET_ITEM(lists.get(), static_cast<Py_ssize_t>(i),
                        id_list(state_of(self), ids[i]).release());
        std::vector<TokenId>().swap(ids[i]);
      }
      return lists;
    });
  });
}

PyObject* encode_batch_array_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) noexcept {
  return guarded_call([&] {
    const engine::CompiledTokenizer& core = core_of(self);
    return batch_call("encode_batch_array", core, args, nargs, kwnames, ARRAY_KEYWORDS,
                      [&](const TextViews& texts, std::size_t threads,
                          const engine::SpecialMatcher* allowed, PyObject* dtype) {
      const IdWidth width = dtype_arg(dtype, core, "encode_batch_array");
      const bool release = texts.bytes >= RELEASE_FROM_BYTES;
      // Ids (and their pieces) of the width asked for, made by |encode|.
      const auto arrays = [&]<class Id>(std::type_identity<Id>, auto&& make_ids) {
        engine::FlatIds<Id> flat;
        {
          GilReleased released(release);
          flat = core.encode_batch_flat<Id>(texts.views, release ? threads : 1, allowed);
        }
        PyRef ids = make_ids(flat.pieces);
        PyRef offsets =
            make_array("Q", flat.offsets.data(), flat.offsets.size() * sizeof(std::uint64_t));
        return check(PyTuple_Pack(2, ids.get(), offsets.get()));
      };
      if (width == IdWidth::Bits16 && core.narrow()) {
        return arrays(std::type_identity<std::uint16_t>{}, [](const auto& pieces) {
          return make_id_array(std::span(pieces));
        });
      }
      return arrays(std::type_identity<TokenId>{}, [&](const auto& pieces) {
        return make_id_array(std::span(pieces), width);
      });
    });
  });
}

// A new list of the counts as ints.
PyRef count_list(std::span<const std::uint64_t> counts) {
  PyRef list = check(PyList_New(static_cast<Py_ssize_t>(counts.size())));
  for (std::size_t i = 0; i < counts.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                    check(PyLong_FromUnsignedLongLong(counts[i])).release());
  }
  return list;
}

PyObject* count_batch_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept {
  return guarded_call([&] {
    const engine::CompiledTokenizer& core = core_of(self);
    return batch_call("count_batch", core, args, nargs, kwnames, ALLOWED_PARAMS,
                      [&](const TextViews& texts, std::size_t threads,
                          const engine::SpecialMatcher* allowed, PyObject*) {
      std::vector<std::uint64_t> counts;
      {
        GilReleased released(texts.bytes >= RELEASE_FROM_BYTES);
        counts = core.count_batch(texts.views, texts.bytes >= RELEASE_FROM_BYTES ? threads : 1,
                                  allowed);
      }
      return count_list(counts);
    });
  });
}

// Files are read in pieces cut where ovilex's own pattern may be cut: the
// calls that read them take only tokenizers that split so.
void check_read_in_pieces(const engine::CompiledTokenizer& core, const char* function) {
  if (core.rules().pattern == text::SplitPattern::Ovilex && !core.rules().prefix_space) return;
  PyErr_Format(PyExc_ValueError,
               "%s takes only tokenizers with ovilex's own split pattern and no prefix space",
               function);
  throw py::PythonError{};
}

constexpr std::string_view COUNT_IN_FILES_PARAMS[] = {"paths", "threads"};
constexpr py::Signature COUNT_IN_FILES_SIG{"count_in_files", COUNT_IN_FILES_PARAMS, 1, 0};

PyObject* count_in_files_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept {
  return guarded_call([&] {
    const engine::CompiledTokenizer& core = core_of(self);
    std::array<PyObject*, 2> slots;
    py::parse_args(COUNT_IN_FILES_SIG, args, nargs, kwnames, slots);
    check_read_in_pieces(core, "count_in_files");
    if (PyUnicode_Check(slots[0]) || PyBytes_Check(slots[0])) {
      PyErr_Format(PyExc_TypeError,
                   "count_in_files() argument 'paths' must be an iterable of paths, not a single "
                   "%.200s", Py_TYPE(slots[0])->tp_name);
      throw py::PythonError{};
    }
    const PyRef items = check(PySequence_Tuple(slots[0]));
    std::vector<std::string> paths;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
      paths.push_back(fs_path(PyTuple_GET_ITEM(items.get(), i)));
    }
    engine::FileTokensOptions options;
    options.threads = to_threads(slots[1]);
    std::variant<std::vector<std::uint64_t>, text::SourceFailure> counted;
    {
      GilReleased released;
      // Where an interruption (Ctrl-C) is noticed: its KeyboardInterrupt
      // stops the reading.
      options.on_read = [&] {
        const GilReleased::Held held(released);
        if (PyErr_CheckSignals() != 0) throw py::PythonError{};
      };
      counted = engine::count_file_tokens(core, paths, options);
    }
    if (const auto* failure = std::get_if<text::SourceFailure>(&counted)) {
      throw_source_failure(*failure);
    }
    return count_list(std::get<std::vector<std::uint64_t>>(counted));
  });
}

PyObject* encode_chunks_method(PyObject* self, PyObject* chunks_arg) noexcept {
  return guarded_call([&] {
    const engine::CompiledTokenizer& core = core_of(self);
    const TextViews chunks = text_views(chunks_arg, "encode_chunks", "chunks");
    PyRef lists = check(PyList_New(static_cast<Py_ssize_t>(chunks.views.size())));
    std::vector<TokenId> ids;
    for (std::size_t i = 0; i < chunks.views.size(); ++i) {
      ids.clear();
      core.encode_chunk(chunks.views[i], ids);
      PyList_SET_ITEM(lists.get(), static_cast<Py_ssize_t>(i), id_list(state_of(self), ids).release());
    }
    return lists;
  });
}

PyObject* decode_method(PyObject* self, PyObject* ids_arg) noexcept {
  return guarded_call([&] {
    const engine::CompiledTokenizer& core = core_of(self);
    const IdsArg ids(ids_arg);
    thread_local std::string bytes;
    bytes.clear();
    if (const auto unknown = core.decode_bytes(ids.ids(), bytes)) {
      py::throw_error(Error{ErrorKind::UnknownTokenId,
                            "unknown token id " + std::to_string(*unknown) + " in vocab_list"});
    }
    PyRef text = decoded_text(bytes);
    if (bytes.capacity() > (std::size_t{1} << 20)) std::string().swap(bytes);
    return text;
  });
}

PyObject* decode_bytes_method(PyObject* self, PyObject* ids_arg) noexcept {
  return guarded_call([&] {
    const engine::CompiledTokenizer& core = core_of(self);
    const IdsArg ids(ids_arg);
    std::string bytes;
    if (const auto unknown = core.decode_bytes(ids.ids(), bytes)) {
      py::throw_error(Error{ErrorKind::UnknownTokenId,
                            "unknown token id " + std::to_string(*unknown) + " in vocab_list"});
    }
    return check(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
  });
}

PyObject* id_to_bytes_method(PyObject* self, PyObject* id_arg) noexcept {
  return guarded_call([&] {
    const engine::CompiledTokenizer& core = core_of(self);
    int overflow = 0;
    const long long id = PyLong_Check(id_arg) ? PyLong_AsLongLongAndOverflow(id_arg, &overflow) : -1;
    if (!PyLong_Check(id_arg)) {
      PyErr_Format(PyExc_TypeError, "id_to_bytes() argument must be int, not %.200s",
                   Py_TYPE(id_arg)->tp_name);
      throw py::PythonError{};
    }
    if (id == -1 && PyErr_Occurred()) throw py::PythonError{};
    const auto bytes = overflow == 0 && id >= 0 && id <= static_cast<long long>(MAX_TOKEN_ID)
                           ? core.token_bytes(static_cast<TokenId>(id))
                           : std::nullopt;
    if (!bytes) {
      PyRef message = check(PyUnicode_FromFormat("unknown token id %S", id_arg));
      PyErr_SetObject(PyExc_KeyError, message.get());
      throw py::PythonError{};
    }
    return check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes->data()),
                                           static_cast<Py_ssize_t>(bytes->size())));
  });
}

PyObject* merges_getter(PyObject* self, void*) noexcept {
  return guarded_call([&] { return py::from_merges(core_of(self).merges()); });
}

PyObject* vocab_size_getter(PyObject* self, void*) noexcept {
  return guarded_call([&] { return check(PyLong_FromSize_t(core_of(self).vocab().size())); });
}

PyObject* vocab_getter(PyObject* self, void*) noexcept {
  return guarded_call([&] { return vocab_dict(core_of(self).vocab()); });
}

PyObject* special_tokens_getter(PyObject* self, void*) noexcept {
  return guarded_call([&] {
    PyRef dict = check(PyDict_New());
    for (const SpecialToken& token : core_of(self).specials().tokens()) {
      PyRef text = check(PyUnicode_DecodeUTF8(token.text.data(),
                                              static_cast<Py_ssize_t>(token.text.size()), nullptr));
      PyRef id = check(PyLong_FromLong(token.id));
      if (PyDict_SetItem(dict.get(), text.get(), id.get()) != 0) throw py::PythonError{};
    }
    return dict;
  });
}

constexpr std::string_view CHECK_PARAMS[] = {"counts", "threads"};
constexpr py::Signature CHECK_SIG{"check_round_trip", CHECK_PARAMS, 1, 0};

PyObject* check_round_trip_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) noexcept {
  return guarded_call([&] {
    const engine::CompiledTokenizer& core = core_of(self);
    std::array<PyObject*, 2> slots;
    py::parse_args(CHECK_SIG, args, nargs, kwnames, slots);
    const WordCounter& counter = word_counter_of(slots[0], "check_round_trip", "counts");
    const std::size_t threads = to_threads(slots[1]);
    engine::RoundTrip result;
    {
      GilReleased released;
      result = engine::check_round_trip(counter, core, threads);
    }
    return check(Py_BuildValue("(KKO)", static_cast<unsigned long long>(result.tokens),
                               static_cast<unsigned long long>(result.bytes),
                               result.ok ? Py_True : Py_False));
  });
}

// The jobs of write_shards: (source, bin, idx) path triples, each with the
// other width's data file to remove as a fourth path, if given.
std::vector<engine::ShardJob> shard_jobs(PyObject* obj) {
  const PyRef items = check(PySequence_Tuple(obj));
  std::vector<engine::ShardJob> jobs;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
    PyObject* item = PyTuple_GET_ITEM(items.get(), i);
    const Py_ssize_t size = PyTuple_Check(item) ? PyTuple_GET_SIZE(item) : 0;
    if (size != 3 && size != 4) {
      PyErr_Format(PyExc_TypeError,
                   "write_shards() argument 'jobs' must hold (source, bin, idx) or (source, bin, "
                   "idx, other) tuples, found %.200s at index %zd", Py_TYPE(item)->tp_name, i);
      throw py::PythonError{};
    }
    jobs.push_back({fs_path(PyTuple_GET_ITEM(item, 0)), fs_path(PyTuple_GET_ITEM(item, 1)),
                    fs_path(PyTuple_GET_ITEM(item, 2)),
                    size == 4 ? fs_path(PyTuple_GET_ITEM(item, 3)) : std::string()});
  }
  return jobs;
}

// The eot argument: None, an id (learned or special), or a special token's
// text.
std::optional<TokenId> eot_of(PyObject* obj, const engine::CompiledTokenizer& core) {
  if (obj == nullptr || obj == Py_None) return std::nullopt;
  if (PyUnicode_Check(obj)) {
    if (const auto id = core.specials().id_of(utf8_of(obj, "write_shards", "eot"))) return *id;
    PyErr_Format(PyExc_ValueError, "eot: %R is not a special token of this tokenizer", obj);
    throw py::PythonError{};
  }
  int overflow = 0;
  const long long id = PyLong_Check(obj) ? PyLong_AsLongLongAndOverflow(obj, &overflow) : -1;
  if (PyErr_Occurred()) throw py::PythonError{};
  if (overflow != 0 || id < 0 || id > UINT32_MAX || !core.token_bytes(static_cast<TokenId>(id))) {
    PyErr_Format(PyExc_ValueError, "eot: unknown token id %R", obj);
    throw py::PythonError{};
  }
  return static_cast<TokenId>(id);
}

constexpr std::string_view WRITE_SHARDS_PARAMS[] = {"jobs", "eot", "threads", "progress"};
constexpr py::Signature WRITE_SHARDS_SIG{"write_shards", WRITE_SHARDS_PARAMS, 1, 0};

PyObject* write_shards_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept {
  return guarded_call([&]() -> PyRef {
    const engine::CompiledTokenizer& core = core_of(self);
    std::array<PyObject*, 4> slots;
    py::parse_args(WRITE_SHARDS_SIG, args, nargs, kwnames, slots);
    const std::vector<engine::ShardJob> jobs = shard_jobs(slots[0]);
    engine::ShardOptions options;
    options.eot = eot_of(slots[1], core);
    options.width = width_for(core.id_bound());
    // Files are read in pieces cut where ovilex's own pattern may be cut.
    if (core.rules().pattern != text::SplitPattern::Ovilex || core.rules().prefix_space) {
      PyErr_SetString(PyExc_ValueError,
                      "write_shards takes only tokenizers with ovilex's own split pattern and no "
                      "prefix space");
      throw py::PythonError{};
    }
    options.threads = to_threads(slots[2]);
    PyObject* progress = slots[3] == Py_None ? nullptr : slots[3];
    std::optional<engine::ShardFailure> failure;
    {
      GilReleased released;
      // Also where an interruption (Ctrl-C) is noticed: its KeyboardInterrupt
      // stops the writing, which leaves nothing behind.
      options.on_progress = [&](const engine::ShardProgress& p) {
        const GilReleased::Held held(released);
        if (PyErr_CheckSignals() != 0) throw py::PythonError{};
        if (progress != nullptr) {
          check(PyObject_CallFunction(progress, "nKKO", static_cast<Py_ssize_t>(p.job),
                                      static_cast<unsigned long long>(p.bytes),
                                      static_cast<unsigned long long>(p.tokens),
                                      p.done ? Py_True : Py_False));
        }
      };
      failure = engine::write_shards(core, jobs, options);
    }
    if (failure) {
      if (const auto* source = std::get_if<text::SourceFailure>(&*failure)) {
        throw_source_failure(*source);
      }
      throw_package_error(std::get<Error>(*failure));
    }
    return PyRef::borrow(Py_None);
  });
}

PyObject* rules_getter(PyObject* self, void* which) noexcept {
  return guarded_call([&]() -> PyRef {
    const engine::EncodingRules& rules = core_of(self).rules();
    const std::string_view field(static_cast<const char*>(which));
    const auto str = [](std::string_view s) {
      return check(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
    };
    if (field == "pattern") return str(text::split_pattern_name(rules.pattern));
    if (field == "merging") {
      return str(std::find_if(std::begin(MERGINGS), std::end(MERGINGS), [&](const auto& m) {
                   return m.second == rules.merging;
                 })->first);
    }
    const bool value = field == "whole_chunks" ? rules.whole_chunks : rules.prefix_space;
    return PyRef::borrow(value ? Py_True : Py_False);
  });
}

PyObject* cache_size_getter(PyObject* self, void*) noexcept {
  return guarded_call([&] { return check(PyLong_FromSize_t(core_of(self).cache_size())); });
}

template <auto Method>
constexpr PyCFunction fastcall() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Method));
}

PyMethodDef METHODS[] = {
    {"encode", fastcall<encode_method>(), METH_FASTCALL | METH_KEYWORDS,
     "encode(text, /, *, allowed_special=())\n--\n\nThe token ids of text: its chunks under "
     "the split pattern, each encoded with the merges. A list of ints.\n\nSpecial tokens' text "
     "is ordinary text unless allowed_special names them: 'all', or a collection (set, "
     "frozenset, list) of their texts (ValueError for a text that is none). Each occurrence of "
     "an allowed one is its id: the leftmost first, of those that start at the same character "
     "the longest, never overlapping; the text between two is encoded on its own, as if a "
     "document ended there."},
    {"encode_array", fastcall<encode_array_method>(), METH_FASTCALL | METH_KEYWORDS,
     "encode_array(text, /, *, allowed_special=(), dtype=None)\n--\n\nThe token ids of text "
     "(see encode) as an array.array: 'H' (unsigned 16-bit) when every id of the tokenizer, "
     "special tokens included, is below 65536, else 'I' (unsigned 32-bit), whatever the text; "
     "numpy.frombuffer(a, dtype=a.typecode) views it without a copy. dtype asks for one: "
     "'uint16' or 'H', 'uint32' or 'I', or numpy's uint16 or uint32 (type or dtype); "
     "ValueError for any other, and for uint16 when an id is above 65535."},
    {"encode_batch", fastcall<encode_batch_method>(), METH_FASTCALL | METH_KEYWORDS,
     "encode_batch(texts, threads=None, *, allowed_special=())\n--\n\nThe token ids of every "
     "text (see encode), a list per text, encoded on up to threads native threads (None: every "
     "usable processor) with the interpreter lock released."},
    {"encode_batch_array", fastcall<encode_batch_array_method>(), METH_FASTCALL | METH_KEYWORDS,
     "encode_batch_array(texts, threads=None, *, allowed_special=(), dtype=None)\n--\n\nThe "
     "token ids of every text (see encode) in one flat array.array, of the type that "
     "encode_array gives (dtype likewise), and an array.array('Q') of len(texts) + 1 offsets: "
     "text i's ids are ids[offsets[i]:offsets[i + 1]]."},
    {"count", fastcall<count_method>(), METH_FASTCALL | METH_KEYWORDS,
     "count(text, /, *, allowed_special=())\n--\n\nThe number of token ids that encode gives "
     "for text, found without making them (a long text with the interpreter lock released)."},
    {"count_batch", fastcall<count_batch_method>(), METH_FASTCALL | METH_KEYWORDS,
     "count_batch(texts, threads=None, *, allowed_special=())\n--\n\nThe number of token ids "
     "of every text (see count), a list of ints, on up to threads native threads as "
     "encode_batch."},
    {"count_in_files", fastcall<count_in_files_method>(), METH_FASTCALL | METH_KEYWORDS,
     "count_in_files(paths, threads=None)\n--\n\nThe number of token ids of every UTF-8 text "
     "file of paths, each one document, as count gives for its whole text: a list of ints. "
     "Read in blocks, as write_shards reads, and counted on up to threads native threads with "
     "the interpreter lock released; ValueError for a tokenizer whose split pattern is not "
     "ovilex's own or that puts a space before text, OSError for a file that cannot be read, "
     "SourceError for one that is not UTF-8."},
    {"encode_chunks", encode_chunks_method, METH_O,
     "encode_chunks(chunks, /)\n--\n\nThe token ids of every chunk of a text that is already "
     "split, one list per chunk (a chunk is never split again)."},
    {"decode", decode_method, METH_O,
     "decode(ids, /)\n--\n\nThe text of token ids (a sequence of ints 0 to 2**32 - 1, or a "
     "buffer of unsigned 16- or 32-bit ids such as array('H') or array('I')); a special token's "
     "id gives its text. KeyError 'unknown "
     "token id N in vocab_list' for an id that is neither learned nor special, ValueError when "
     "the bytes are not UTF-8."},
    {"decode_bytes", decode_bytes_method, METH_O,
     "decode_bytes(ids, /)\n--\n\nThe bytes of token ids, concatenated, without the UTF-8 "
     "check."},
    {"id_to_bytes", id_to_bytes_method, METH_O,
     "id_to_bytes(token_id, /)\n--\n\nThe bytes that token_id stands for (a special token's "
     "text in UTF-8); KeyError 'unknown token id N' for an id that is neither."},
    {"write_shards", fastcall<write_shards_method>(), METH_FASTCALL | METH_KEYWORDS,
     "write_shards(jobs, eot=None, threads=None, progress=None)\n--\n\nFor every (source, bin, "
     "idx) or (source, bin, idx, other) of jobs, the ids of the UTF-8 text file source, one "
     "document, into bin as little-endian uint16 (uint32 when an id of the tokenizer is above "
     "65535), then eot (an id, or a special token's text) when given, and the document's end "
     "in tokens as one little-endian uint64 into idx. Read in blocks and encoded on up to "
     "threads native threads with the interpreter lock released; the outputs are renamed into "
     "place only once all are complete, and each other file is then removed. progress(job, "
     "bytes, tokens, done) is called along the way. OSError for a file that cannot be read, "
     "written or removed, SourceError for one that is not UTF-8."},
    {"check_round_trip", fastcall<check_round_trip_method>(), METH_FASTCALL | METH_KEYWORDS,
     "check_round_trip(counts, threads=None)\n--\n\nEncodes every distinct chunk of a "
     "WordCounts and decodes it back: (tokens, bytes, ok), tokens and bytes weighted by the "
     "counts."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef GETSETS[] = {
    {"merges", merges_getter, nullptr,
     "A copy of the merge list, ((left, right), new) in the order the merges apply.", nullptr},
    {"vocab_size", vocab_size_getter, nullptr, "The number of token ids in the vocabulary (special tokens apart).",
     nullptr},
    {"vocab", vocab_getter, nullptr,
     "A copy of the learned vocabulary: token id -> bytes (special tokens apart).", nullptr},
    {"special_tokens", special_tokens_getter, nullptr,
     "A copy of the special tokens: text -> id.", nullptr},
    {"pattern", rules_getter, nullptr, "The split pattern's name: 'ovilex' or 'gpt2'.",
     const_cast<char*>("pattern")},
    {"merging", rules_getter, nullptr,
     "How chunks merge: 'list' (the merge list in order, as training makes it), 'merge_rank' "
     "(the adjacent pair listed first merges first) or 'token_rank' (the adjacent pair whose "
     "joined bytes are the lowest id merges first).", const_cast<char*>("merging")},
    {"whole_chunks", rules_getter, nullptr,
     "Whether a chunk that is a token is taken whole before merging.",
     const_cast<char*>("whole_chunks")},
    {"prefix_space", rules_getter, nullptr,
     "Whether a space goes before each stretch of text that does not begin with one.",
     const_cast<char*>("prefix_space")},
    {"cache_size", cache_size_getter, nullptr,
     "The number of chunks in the shared encoding cache.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot SLOTS[] = {
    {Py_tp_new, reinterpret_cast<void*>(tokenizer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tokenizer_dealloc)},
    {Py_tp_methods, METHODS},
    {Py_tp_getset, GETSETS},
    {Py_tp_doc, const_cast<char*>(
                    "Tokenizer(merges, vocab, special_tokens=None, *, pattern=None, "
                    "merging='list', whole_chunks=False, prefix_space=False)\n--\n\nA merge "
                    "list and its vocabulary, and special tokens (text -> id, ids outside the "
                    "vocabulary), ids 0 to 4294967294, compiled for encoding text and decoding ids. pattern: 'ovilex' "
                    "(None) or 'gpt2'. merging: 'list', or by rank for the rules of other "
                    "libraries, 'merge_rank' or 'token_rank' (merges None: the merge list that "
                    "the ranks make); the vocabulary then holds each byte as one id, any id. "
                    "whole_chunks and prefix_space: see their attributes.")},
    {0, nullptr},
};

PyType_Spec TYPE_DEF = {
    "ovilex._native.Tokenizer",
    sizeof(TokenizerObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE,
    SLOTS,
};

}  // namespace

PyTypeObject* tokenizer_type() { return the_type; }

std::vector<std::string> special_texts(PyObject* obj, std::size_t learned_bound) {
  std::vector<std::string> out;
  if (obj == nullptr || obj == Py_None) return out;
  if (PyUnicode_Check(obj) || PyBytes_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "special_tokens must be a list of str, not a single %.200s",
                 Py_TYPE(obj)->tp_name);
    throw py::PythonError{};
  }
  const PyRef items = check(PySequence_Tuple(obj));
  const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
  // Training makes ids below |learned_bound|; the special tokens come after,
  // up to the greatest id.
  const std::size_t room = std::size_t{MAX_TOKEN_ID} + 1 - learned_bound;
  if (static_cast<std::size_t>(n) > room) {
    PyErr_Format(PyExc_ValueError,
                 "%zd special tokens are too many: their ids follow the learned ones (up to %zu) "
                 "and end at 4294967294, which leaves room for %zu", n, learned_bound - 1, room);
    throw py::PythonError{};
  }
  PyRef seen = check(PySet_New(nullptr));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyTuple_GET_ITEM(items.get(), i);
    if (!PyUnicode_Check(item)) {
      PyErr_Format(PyExc_TypeError, "special_tokens must hold str, found %.200s at index %zd",
                   Py_TYPE(item)->tp_name, i);
      throw py::PythonError{};
    }
    const std::string_view text = utf8_of(item, "train", "special_tokens");
    if (text.empty()) {
      PyErr_Format(PyExc_ValueError, "a special token's text must not be empty (index %zd)", i);
      throw py::PythonError{};
    }
    const int known = PySet_Contains(seen.get(), item);
    if (known < 0 || (known == 0 && PySet_Add(seen.get(), item) != 0)) throw py::PythonError{};
    if (known == 1) {
      PyErr_Format(PyExc_ValueError, "special token %R is given twice", item);
      throw py::PythonError{};
    }
    out.emplace_back(text);
  }
  return out;
}

bool add_tokenizer_type(PyObject* module) {
  PyObject* type = PyType_FromModuleAndSpec(module, &TYPE_DEF, nullptr);
  if (type == nullptr) return false;
  the_type = reinterpret_cast<PyTypeObject*>(type);
  // The module holds one reference; the_type stays valid for the process
  // because the module (single-phase) is never freed.
  return PyModule_AddObjectRef(module, "Tokenizer", type) == 0 &&
         PyModule_AddIntConstant(module, "MAX_TOKEN_ID", static_cast<long>(MAX_TOKEN_ID)) == 0;
}

PyRef make_tokenizer(PyTypeObject* cls, std::vector<Merge> merges, VocabList vocab,
                     std::vector<SpecialToken> specials) {
  return make_tokenizer(cls, std::move(merges), std::move(vocab), std::move(specials), {});
}

PyRef make_tokenizer(PyTypeObject* cls, std::vector<Merge> merges, VocabList vocab,
                     std::vector<SpecialToken> specials, const engine::EncodingRules& rules) {
  return make_tokenizer(cls, std::make_unique<engine::CompiledTokenizer>(
                                 std::move(merges), std::move(vocab), std::move(specials), rules));
}

PyRef make_tokenizer(PyTypeObject* cls, std::unique_ptr<engine::CompiledTokenizer> core) {
  const std::size_t dense = std::max(core->vocab().dense_bound(), std::size_t{0x10000});
  std::vector<PyRef> ints(std::min(core->id_bound(), dense));
  for (std::size_t id = 0; id < ints.size(); ++id) {
    ints[id] = check(PyLong_FromSize_t(id));
  }
  PyRef self = check(cls->tp_alloc(cls, 0));
  std::construct_at(&state_of(self.get()), TokenizerState{std::move(core), std::move(ints)});
  return self;
}

}  // namespace ovilex::bindings
