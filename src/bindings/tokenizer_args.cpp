#include "tokenizer_args.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "text/split.h"

namespace ovilex::bindings {

using py::check;
using Merging = engine::EncodingRules::Merging;

namespace {

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
    py::throw_format(PyExc_TypeError, "%s must be a mapping of %s, not %.200s", name, what,
                     Py_TYPE(obj)->tp_name);
  }
  return check(PyMapping_Items(obj));
}

// An item of mapping_items as (key, value), borrowed from the item.
std::pair<PyObject*, PyObject*> mapping_pair(PyObject* item, const char* name, const char* what) {
  if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) {
    py::throw_format(PyExc_TypeError, "%s.items() must give (%s) pairs, found %R", name, what, item);
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

}  // namespace

std::vector<Merge> merges_arg(PyObject* obj) {
  PyObject* iter = PyObject_GetIter(obj);
  if (iter == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::PythonError{};
    PyErr_Clear();
    py::throw_format(PyExc_TypeError, "merges must be an iterable of ((left, right), new), not %.200s",
                     Py_TYPE(obj)->tp_name);
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
      py::throw_format(PyExc_TypeError, "a merge must be ((left, right), new), found %R", merge.get());
    }
    PyObject* const ids[3] = {PySequence_Fast_GET_ITEM(pair.get(), 0),
                              PySequence_Fast_GET_ITEM(pair.get(), 1),
                              PySequence_Fast_GET_ITEM(outer.get(), 1)};
    if (!std::all_of(std::begin(ids), std::end(ids),
                     [](PyObject* id) { return PyLong_CheckExact(id); })) {
      py::throw_format(PyExc_TypeError, "a merge must hold three ints, found %R", merge.get());
    }
    const auto left = id_of(ids[0]);
    const auto right = id_of(ids[1]);
    const auto new_id = id_of(ids[2]);
    if (!left || !right || !new_id) {
      py::throw_format(PyExc_ValueError, "a merge must hold ids 0 to %lu, found %R", MAX_ID,
                       merge.get());
    }
    out.push_back({*left, *right, *new_id});
  }
}

VocabList vocab_arg(PyObject* obj) {
  const PyRef items = mapping_items(obj, "vocab", "int to bytes");
  VocabList vocab;
  vocab.reserve(static_cast<std::size_t>(PyList_GET_SIZE(items.get())), 0);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    const auto [key, value] = mapping_pair(PyList_GET_ITEM(items.get(), i), "vocab", "int, bytes");
    if (!PyLong_CheckExact(key) || !PyBytes_Check(value)) {
      py::throw_format(PyExc_TypeError, "the vocabulary must map ints to bytes, found %R: %R", key,
                       value);
    }
    const auto id = id_of(key);
    if (!id || PyBytes_GET_SIZE(value) == 0) {
      py::throw_format(PyExc_ValueError,
                       "the vocabulary must map ids 0 to %lu to one or more bytes, found %R: %R",
                       MAX_ID, key, value);
    }
    const auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(value));
    vocab.set(*id, {data, static_cast<std::size_t>(PyBytes_GET_SIZE(value))});
  }
  return vocab;
}

std::vector<SpecialToken> special_tokens_arg(PyObject* obj, const VocabList& vocab) {
  std::vector<SpecialToken> out;
  if (obj == nullptr || obj == Py_None) return out;
  const PyRef items = mapping_items(obj, "special_tokens", "str to int");
  std::unordered_map<TokenId, PyObject*> texts;  // id -> text, borrowed from |items|
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    const auto [text, id_obj] =
        mapping_pair(PyList_GET_ITEM(items.get(), i), "special_tokens", "str, int");
    if (!PyUnicode_Check(text) || !PyLong_CheckExact(id_obj)) {
      py::throw_format(PyExc_TypeError, "special_tokens must map str to int, found %R: %R", text,
                       id_obj);
    }
    const auto in_range = id_of(id_obj);
    if (!in_range) {
      py::throw_format(PyExc_ValueError, "special token %R has the id %R, expected 0 to %lu", text,
                       id_obj, MAX_ID);
    }
    const TokenId token_id = *in_range;
    const std::string_view utf8 = utf8_of(text, "Tokenizer", "special_tokens");
    if (utf8.empty()) {
      PyErr_SetString(PyExc_ValueError, "a special token's text must not be empty");
      throw py::PythonError{};
    }
    if (vocab.find(token_id)) {
      py::throw_format(PyExc_ValueError, "special token %R has the id %R, which the vocabulary holds",
                       text, id_obj);
    }
    if (const auto [it, fresh] = texts.try_emplace(token_id, text); !fresh) {
      py::throw_format(PyExc_ValueError, "special tokens %R and %R have the same id %R", it->second,
                       text, id_obj);
    }
    out.push_back({std::string(utf8), token_id});
  }
  return out;
}

namespace {

constexpr std::pair<std::string_view, Merging> MERGINGS[] = {
    {"list", Merging::List},
    {"merge_rank", Merging::MergeRank},
    {"token_rank", Merging::TokenRank},
};

}  // namespace

std::string_view merging_name(Merging merging) noexcept {
  return std::find_if(std::begin(MERGINGS), std::end(MERGINGS),
                      [&](const auto& m) { return m.second == merging; })->first;
}

std::shared_ptr<const text::RegexSplitter> split_steps_arg(PyObject* steps) {
  const PyRef items = check(PySequence_Tuple(steps));
  std::vector<text::SplitStep> out;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
    PyObject* item = PyTuple_GET_ITEM(items.get(), i);
    const Py_ssize_t n = PyTuple_Check(item) ? PyTuple_GET_SIZE(item) : 0;
    const auto field = [&](Py_ssize_t k) { return PyTuple_GET_ITEM(item, k); };
    const auto is = [&](const char* kind) {
      return n > 0 && PyUnicode_Check(field(0)) && PyUnicode_CompareWithASCIIString(field(0), kind) == 0;
    };
    text::SplitStep step;
    if (is("split") && n == 4 && PyUnicode_Check(field(1)) && PyUnicode_Check(field(2)) &&
        PyBool_Check(field(3))) {
      step.regex = std::string(utf8_of(field(1), "Tokenizer", "pattern"));
      const std::string_view behavior = utf8_of(field(2), "Tokenizer", "pattern");
      if (!text::split_behavior_named(behavior, step.behavior)) {
        py::throw_format(PyExc_ValueError,
                         "unknown split behavior %R: the supported ones are 'isolated', "
                         "'removed', 'merged_with_previous', 'merged_with_next' and 'contiguous'",
                         field(2));
      }
      step.invert = field(3) == Py_True;
    } else if (is("digits") && n == 2 && PyBool_Check(field(1))) {
      step.kind = text::SplitStep::Kind::Digits;
      step.individual_digits = field(1) == Py_True;
    } else {
      py::throw_format(PyExc_TypeError,
                       "a split step must be ('split', regex, behavior, invert) or ('digits', "
                       "individual_digits), not %.200R", item);
    }
    out.push_back(std::move(step));
  }
  try {
    return std::make_shared<const text::RegexSplitter>(std::move(out));
  } catch (const text::RegexError& e) {
    py::throw_new(PyExc_ValueError, ("split pattern: " + std::string(e.what())).c_str());
  }
}

py::PyRef split_steps_object(const text::RegexSplitter& splitter) {
  const auto str = [](std::string_view s) {
    return check(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
  };
  const std::vector<text::SplitStep>& steps = splitter.steps();
  if (steps.size() == 1 && steps[0] == text::SplitStep{.regex = steps[0].regex}) {
    return str(steps[0].regex);
  }
  PyRef out = check(PyTuple_New(static_cast<Py_ssize_t>(steps.size())));
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const text::SplitStep& step = steps[i];
    PyRef item;
    if (step.kind == text::SplitStep::Kind::Digits) {
      item = check(Py_BuildValue("(sO)", "digits", step.individual_digits ? Py_True : Py_False));
    } else {
      const PyRef regex = str(step.regex);
      const PyRef behavior = str(text::split_behavior_name(step.behavior));
      item = check(Py_BuildValue("(sOOO)", "split", regex.get(), behavior.get(),
                                 step.invert ? Py_True : Py_False));
    }
    PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return out;
}

engine::EncodingRules rules_arg(PyObject* pattern, const char* merging, int whole_chunks,
                                int prefix_space, const char* normalizer) {
  engine::EncodingRules rules;
  if (pattern != nullptr && PyUnicode_Check(pattern)) {
    const std::string_view name = utf8_of(pattern, "Tokenizer", "pattern");
    const auto named = text::split_pattern_named(name);
    if (!named) {
      py::throw_format(PyExc_ValueError, "unknown split pattern %R: the supported ones are %s",
                       pattern, text::SPLIT_PATTERN_NAMES);
    }
    rules.pattern = *named;
  } else if (pattern != nullptr && pattern != Py_None) {
    if (!PyTuple_Check(pattern) && !PyList_Check(pattern)) {
      py::throw_format(PyExc_TypeError,
                       "Tokenizer() argument 'pattern' must be str, a tuple of split steps or "
                       "None, not %.200s", Py_TYPE(pattern)->tp_name);
    }
    rules.regex = split_steps_arg(pattern);
  }
  if (merging != nullptr) {
    const auto it = std::find_if(std::begin(MERGINGS), std::end(MERGINGS),
                                 [&](const auto& m) { return m.first == merging; });
    if (it == std::end(MERGINGS)) {
      py::throw_format(PyExc_ValueError,
                       "merging must be 'list', 'merge_rank' or 'token_rank', not '%s'", merging);
    }
    rules.merging = it->second;
  }
  if (whole_chunks != 0 && rules.merging == Merging::List) {
    PyErr_SetString(PyExc_ValueError, "whole_chunks needs merging by rank");
    throw py::PythonError{};
  }
  rules.whole_chunks = whole_chunks != 0;
  rules.prefix_space = prefix_space != 0;
  rules.normalizer = normalizer_arg(normalizer);
  return rules;
}

text::Normalizer normalizer_arg(const char* name) {
  if (name == nullptr) return text::Normalizer::None;
  const auto named = text::normalizer_named(name);
  if (!named) py::throw_format(PyExc_ValueError, "normalizer must be None or 'nfc', not '%s'", name);
  return *named;
}

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
  py::throw_format(PyExc_ValueError,
                   "%s() argument 'dtype' must be 'uint16', 'uint32', 'H', 'I', numpy.uint16 or "
                   "numpy.uint32, not %R", function, obj);
}

std::vector<std::string> special_texts(PyObject* obj, std::size_t learned_bound) {
  std::vector<std::string> out;
  if (obj == nullptr || obj == Py_None) return out;
  if (PyUnicode_Check(obj) || PyBytes_Check(obj)) {
    py::throw_format(PyExc_TypeError, "special_tokens must be a list of str, not a single %.200s",
                     Py_TYPE(obj)->tp_name);
  }
  const PyRef items = check(PySequence_Tuple(obj));
  const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
  // Training makes ids below |learned_bound|; the special tokens come after,
  // up to the greatest id.
  const std::size_t room = std::size_t{MAX_TOKEN_ID} + 1 - learned_bound;
  if (static_cast<std::size_t>(n) > room) {
    py::throw_format(PyExc_ValueError,
                     "%zd special tokens are too many: their ids follow the learned ones (up to %zu) "
                     "and end at 4294967294, which leaves room for %zu", n, learned_bound - 1, room);
  }
  PyRef seen = check(PySet_New(nullptr));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyTuple_GET_ITEM(items.get(), i);
    if (!PyUnicode_Check(item)) {
      py::throw_format(PyExc_TypeError, "special_tokens must hold str, found %.200s at index %zd",
                       Py_TYPE(item)->tp_name, i);
    }
    const std::string_view text = utf8_of(item, "train", "special_tokens");
    if (text.empty()) {
      py::throw_format(PyExc_ValueError, "a special token's text must not be empty (index %zd)", i);
    }
    const int known = PySet_Contains(seen.get(), item);
    if (known < 0 || (known == 0 && PySet_Add(seen.get(), item) != 0)) throw py::PythonError{};
    if (known == 1) {
      py::throw_format(PyExc_ValueError, "special token %R is given twice", item);
    }
    out.emplace_back(text);
  }
  return out;
}

}  // namespace ovilex::bindings
