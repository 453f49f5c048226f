#include "args.h"

#include <algorithm>
#include <string>

#include "errors.h"
#include "once.h"

namespace ovilex::py {

namespace {

// Messages fixed by the module's contract, word for word: callers match on
// them, so they keep the wording of the conversions they were first made by.
constexpr const char* STR_TO_SEQUENCE_MESSAGE = "Can't extract `str` to `Vec`";
constexpr const char* OUT_OF_RANGE_MESSAGE = "out of range integral type conversion attempted";
constexpr const char* PAIR_LENGTH_MESSAGE = "expected tuple of length 2, but got tuple of length ";
// PyUnicode_FromFormat formats: a value of the wrong type, and the argument
// name put in front of a conversion's message.
constexpr const char* CAST_FORMAT = "'%U' object cannot be cast as '%s'";
constexpr const char* ARGUMENT_FORMAT = "argument '%s': %U";

// ---------------------------------------------------------------- parsing

std::string display_name(const Signature& sig) { return std::string(sig.function) + "()"; }

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string name_list(const std::vector<std::string_view>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) out += ',';
      out += i + 1 == names.size() ? " and " : " ";
    }
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

[[noreturn]] void throw_type_error(const std::string& message) {
  throw_new(PyExc_TypeError, message.c_str());
}

[[noreturn]] void throw_missing(const Signature& sig, const std::vector<std::string_view>& missing,
                                const char* kind) {
  throw_type_error(display_name(sig) + " missing " + std::to_string(missing.size()) +
                   " required " + kind + (missing.size() == 1 ? " argument: " : " arguments: ") +
                   name_list(missing));
}

// Index of |name| in |names|, or -1.
std::ptrdiff_t find_name(std::span<const std::string_view> names, std::string_view name) {
  const auto it = std::find(names.begin(), names.end(), name);
  return it == names.end() ? -1 : it - names.begin();
}

}  // namespace

void parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                std::span<PyObject*> slots) {
  const std::size_t n_positional = sig.positional.size();
  const auto given = static_cast<std::size_t>(nargs);
  std::fill(slots.begin(), slots.end(), nullptr);
  std::copy_n(args, std::min(given, n_positional), slots.begin());

  if (given > n_positional) {
    const std::string counts =
        sig.required_positional == n_positional
            ? std::to_string(n_positional)
            : "from " + std::to_string(sig.required_positional) + " to " +
                  std::to_string(n_positional);
    throw_type_error(display_name(sig) + " takes " + counts + " positional arguments but " +
                     std::to_string(given) + (given == 1 ? " was" : " were") + " given");
  }

  std::vector<std::string_view> positional_only_by_keyword;
  const Py_ssize_t n_keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < n_keywords; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    PyObject* value = args[nargs + k];
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
    if (utf8 == nullptr) PyErr_Clear();  // an unreadable name matches no parameter
    const std::string_view name =
        utf8 == nullptr ? std::string_view() : std::string_view(utf8, static_cast<std::size_t>(size));

    std::ptrdiff_t slot = -1;
    if (utf8 != nullptr) {
      if (const auto j = find_name(sig.keyword_only, name); j >= 0) {
        slot = static_cast<std::ptrdiff_t>(n_positional) + j;
      } else if (const auto p = find_name(sig.positional, name); p >= 0) {
        if (static_cast<std::size_t>(p) < sig.positional_only) {
          positional_only_by_keyword.push_back(sig.positional[static_cast<std::size_t>(p)]);
          continue;
        }
        slot = p;
      }
    }
    if (slot < 0) {
      PyRef shown = check(PyObject_Str(key));
      PyRef message = check(PyUnicode_FromFormat("%s got an unexpected keyword argument '%U'",
                                                 display_name(sig).c_str(), shown.get()));
      PyErr_SetObject(PyExc_TypeError, message.get());
      throw PythonError{};
    }
    if (slots[static_cast<std::size_t>(slot)] != nullptr) {
      throw_type_error(display_name(sig) + " got multiple values for argument '" +
                       std::string(name) + "'");
    }
    slots[static_cast<std::size_t>(slot)] = value;
  }

  if (!positional_only_by_keyword.empty()) {
    throw_type_error(display_name(sig) +
                     " got some positional-only arguments passed as keyword arguments: " +
                     name_list(positional_only_by_keyword));
  }

  if (given < sig.required_positional) {
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < sig.required_positional; ++i) {
      if (slots[i] == nullptr) missing.push_back(sig.positional[i]);
    }
    if (!missing.empty()) throw_missing(sig, missing, "positional");
  }

  std::vector<std::string_view> missing_keywords;
  for (std::size_t j = 0; j < sig.required_keyword_only; ++j) {
    if (slots[n_positional + j] == nullptr) missing_keywords.push_back(sig.keyword_only[j]);
  }
  if (!missing_keywords.empty()) throw_missing(sig, missing_keywords, "keyword");
}

namespace {

// ------------------------------------------------------------- conversion

// Only an exact TypeError gets the argument prefix; other types, subclasses
// included, pass unchanged. The new exception's cause is set explicitly to
// the old one's, which also suppresses the context.
void add_argument_prefix(const char* name) {
  PyRef exc = PyRef::steal(PyErr_GetRaisedException());
  if (!exc || !Py_IS_TYPE(exc.get(), reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
    PyErr_SetRaisedException(exc.release());
    return;
  }
  PyRef text = PyRef::steal(PyObject_Str(exc.get()));
  if (!text) {
    PyErr_WriteUnraisable(exc.get());
    text = PyRef::steal(PyUnicode_FromFormat("<unprintable %s object>", Py_TYPE(exc.get())->tp_name));
    if (!text) return;
  }
  PyRef message = PyRef::steal(PyUnicode_FromFormat(ARGUMENT_FORMAT, name, text.get()));
  if (!message) return;
  PyRef prefixed = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!prefixed) return;
  PyException_SetCause(prefixed.get(), PyException_GetCause(exc.get()));
  PyErr_SetRaisedException(prefixed.release());
}

template <class Convert>
auto named(const char* name, Convert&& convert) {
  try {
    return convert();
  } catch (const PythonError&) {
    add_argument_prefix(name);
    throw;
  }
}

}  // namespace

void throw_cast_error(PyObject* obj, const char* target) {
  PyRef type_name = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
  if (!type_name) {
    PyErr_Clear();
    type_name = check(PyUnicode_FromString("<failed to extract type name>"));
  }
  PyRef message = check(
      PyUnicode_FromFormat(CAST_FORMAT, type_name.get(), target));
  PyErr_SetObject(PyExc_TypeError, message.get());
  throw PythonError{};
}

namespace {

[[noreturn]] void throw_str_to_vec() { throw_new(PyExc_TypeError, STR_TO_SEQUENCE_MESSAGE); }

GilOnce<PyObject*> sequence_abc_cell;

// collections.abc.Sequence names the expected type in messages; the check
// itself is PySequence_Check.
PyObject* sequence_abc() {
  return sequence_abc_cell.get([] {
    const PyRef module = PyRef::steal(PyImport_ImportModule("collections.abc"));
    PyRef cls = module ? PyRef::steal(PyObject_GetAttrString(module.get(), "Sequence")) : PyRef();
    if (!cls) {
      const PyRef exc = PyRef::steal(PyErr_GetRaisedException());
      const PyRef text = PyRef::steal(PyObject_Str(exc.get()));
      const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
      const std::string message = utf8 != nullptr ? utf8 : "collections.abc could not be imported";
      PyErr_Clear();
      fail_internal(message);
    }
    return cls.release();  // kept for the life of the process
  });
}

[[noreturn]] void throw_not_a_sequence(PyObject* obj) {
  PyRef qualname = PyRef::steal(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(sequence_abc())));
  const char* target = qualname ? PyUnicode_AsUTF8(qualname.get()) : nullptr;
  if (target == nullptr) {
    PyErr_Clear();
    target = "Sequence";
  }
  throw_cast_error(obj, target);
}

// A claimed length is only a hint: a list or tuple knows its own, any other
// object may claim far more than it yields, so trust it only so far.
std::size_t capacity_hint(PyObject* seq) {
  const Py_ssize_t n = PyObject_Size(seq);
  if (n < 0) {
    PyErr_Clear();
    return 0;
  }
  constexpr std::size_t UNTRUSTED_CAP = std::size_t{1} << 20;
  if (PyList_CheckExact(seq) || PyTuple_CheckExact(seq)) return static_cast<std::size_t>(n);
  return std::min(static_cast<std::size_t>(n), UNTRUSTED_CAP);
}

// The sequence protocol as the conversions use it: a str is refused, the
// object must pass PySequence_Check, and its items are taken by iterating.
// |on_size| gets the capacity hint before the first item.
template <class OnSize, class OnItem>
void for_each_item(PyObject* seq, OnSize&& on_size, OnItem&& on_item) {
  if (PyUnicode_Check(seq)) throw_str_to_vec();
  if (!PySequence_Check(seq)) throw_not_a_sequence(seq);
  on_size(capacity_hint(seq));
  PyRef iter = check(PyObject_GetIter(seq));
  for (;;) {
    PyRef item = PyRef::steal(PyIter_Next(iter.get()));
    if (!item) {
      if (PyErr_Occurred()) throw_pending();
      return;
    }
    on_item(item.get());
  }
}

template <unsigned long MAX>
unsigned long to_unsigned(PyObject* obj) {
  const long v = PyLong_AsLong(obj);
  if (v == -1 && PyErr_Occurred()) throw_pending();
  if (v < 0 || static_cast<unsigned long>(v) > MAX) {
    throw_new(PyExc_OverflowError, OUT_OF_RANGE_MESSAGE);
  }
  return static_cast<unsigned long>(v);
}

template <unsigned long MAX = 65535>
TokenId to_token_id(PyObject* obj) { return static_cast<TokenId>(to_unsigned<MAX>(obj)); }

std::uint8_t to_byte(PyObject* obj) { return static_cast<std::uint8_t>(to_unsigned<255>(obj)); }

// A tuple of length 2; refuses anything else.
PyObject* expect_pair_tuple(PyObject* obj) {
  if (!PyTuple_Check(obj)) throw_cast_error(obj, "tuple");
  const Py_ssize_t size = PyTuple_GET_SIZE(obj);
  if (size != 2) {
    const std::string message = PAIR_LENGTH_MESSAGE + std::to_string(size);
    throw_new(PyExc_ValueError, message.c_str());
  }
  return obj;
}

Merge to_merge(PyObject* item) {
  PyObject* outer = expect_pair_tuple(item);
  PyObject* inner = expect_pair_tuple(PyTuple_GET_ITEM(outer, 0));
  Merge m;
  m.left = to_token_id(PyTuple_GET_ITEM(inner, 0));
  m.right = to_token_id(PyTuple_GET_ITEM(inner, 1));
  m.new_id = to_token_id(PyTuple_GET_ITEM(outer, 1));
  return m;
}

// bytes and bytearray are copied whole; a str is refused; anything else is
// a sequence of integers 0..255.
void to_bytes(PyObject* obj, std::vector<std::uint8_t>& scratch, VocabList& vocab, TokenId id) {
  if (PyBytes_Check(obj)) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(obj));
    vocab.set(id, {data, static_cast<std::size_t>(PyBytes_GET_SIZE(obj))});
    return;
  }
  if (PyType_IsSubtype(Py_TYPE(obj), &PyByteArray_Type)) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(PyByteArray_AS_STRING(obj));
    vocab.set(id, {data, static_cast<std::size_t>(PyByteArray_GET_SIZE(obj))});
    return;
  }
  if (PyUnicode_Check(obj)) throw_str_to_vec();
  scratch.clear();
  for_each_item(
      obj, [&](std::size_t hint) { scratch.reserve(hint); },
      [&](PyObject* item) { scratch.push_back(to_byte(item)); });
  vocab.set(id, scratch);
}

}  // namespace

namespace {

// Each item must be a str; |sink| gets its UTF-8 bytes, valid only during
// the call.
template <class OnSize, class Sink>
void for_each_string(PyObject* obj, OnSize&& on_size, Sink&& sink) {
  for_each_item(obj, on_size, [&](PyObject* item) {
    if (!PyUnicode_Check(item)) throw_cast_error(item, "str");
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(item, &size);
    if (data == nullptr) throw_pending();
    sink(std::string_view(data, static_cast<std::size_t>(size)));
  });
}

}  // namespace

ChunkList to_chunks(PyObject* obj, const char* name) {
  return named(name, [&] {
    ChunkList chunks;
    for_each_string(
        obj, [&](std::size_t hint) { chunks.reserve(hint); },
        [&](std::string_view chunk) { chunks.push_back(chunk); });
    return chunks;
  });
}

WordCounter to_word_counts(PyObject* obj, const char* name) {
  return named(name, [&] {
    WordCounter counter;
    for_each_string(
        obj, [](std::size_t) {}, [&](std::string_view chunk) { counter.add(chunk); });
    return counter;
  });
}

std::vector<Merge> to_merges(PyObject* obj, const char* name) {
  return named(name, [&] {
    std::vector<Merge> merges;
    for_each_item(
        obj, [&](std::size_t hint) { merges.reserve(hint); },
        [&](PyObject* item) { merges.push_back(to_merge(item)); });
    return merges;
  });
}

std::vector<TokenId> to_token_ids(PyObject* obj, const char* name, IdWidth width) {
  return named(name, [&] {
    std::vector<TokenId> ids;
    for_each_item(
        obj, [&](std::size_t hint) { ids.reserve(hint); },
        [&](PyObject* item) {
          ids.push_back(width == IdWidth::Bits16 ? to_token_id(item) : to_token_id<UINT32_MAX>(item));
        });
    return ids;
  });
}

VocabList to_vocab_list(PyObject* obj, const char* name) {
  return named(name, [&] {
    if (!PyDict_Check(obj)) throw_cast_error(obj, "dict");
    const Py_ssize_t initial = PyDict_Size(obj);
    VocabList vocab;
    vocab.reserve(static_cast<std::size_t>(initial), 0);
    std::vector<std::uint8_t> scratch;
    Py_ssize_t pos = 0;
    Py_ssize_t yielded = 0;
    for (;;) {
      // A caller's __index__ or __iter__ may change the dict under the walk.
      if (PyDict_Size(obj) != initial) fail_internal("dictionary changed size during iteration");
      if (yielded > initial) fail_internal("dictionary keys changed during iteration");
      PyObject* key = nullptr;
      PyObject* value = nullptr;
      if (!PyDict_Next(obj, &pos, &key, &value)) break;
      ++yielded;
      // Held, so that code that deletes the entry cannot free them under us.
      const PyRef held_key = PyRef::borrow(key);
      const PyRef held_value = PyRef::borrow(value);
      const TokenId id = to_token_id(held_key.get());
      to_bytes(held_value.get(), scratch, vocab, id);
    }
    return vocab;
  });
}

namespace {

// A result object could not be made. Running out of memory stays a
// MemoryError; anything else is an internal error.
[[noreturn]] void throw_result_failure() {
  if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw PythonError{};
  PyErr_Print();
  fail_internal("Python API call failed");
}

PyRef checked_result(PyObject* p) {
  if (p == nullptr) throw_result_failure();
  return PyRef::steal(p);
}

}  // namespace

PyRef from_token_ids(std::span<const TokenId> ids) {
  PyRef list = checked_result(PyList_New(static_cast<Py_ssize_t>(ids.size())));
  // Ids repeat: in a long result, each int above the interpreter's small-int
  // cache is made once and shared, instead of once per occurrence.
  constexpr std::size_t SHARE_FROM = 4096;
  std::vector<PyRef> made(ids.size() >= SHARE_FROM ? std::size_t{65536} : 0);
  for (std::size_t i = 0; i < ids.size(); ++i) {
    PyObject* value = nullptr;
    if (made.empty()) {
      value = PyLong_FromLong(ids[i]);
      if (value == nullptr) throw_result_failure();
    } else {
      PyRef& shared = made.at(ids[i]);
      if (!shared) shared = checked_result(PyLong_FromLong(ids[i]));
      value = Py_NewRef(shared.get());
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), value);
  }
  return list;
}

PyRef from_merges(std::span<const Merge> merges) {
  PyRef list = checked_result(PyList_New(static_cast<Py_ssize_t>(merges.size())));
  for (std::size_t i = 0; i < merges.size(); ++i) {
    const Merge& m = merges[i];
    PyRef left = checked_result(PyLong_FromLong(m.left));
    PyRef right = checked_result(PyLong_FromLong(m.right));
    PyRef new_id = checked_result(PyLong_FromLong(m.new_id));
    PyRef pair = checked_result(PyTuple_New(2));
    PyTuple_SET_ITEM(pair.get(), 0, left.release());
    PyTuple_SET_ITEM(pair.get(), 1, right.release());
    PyRef record = checked_result(PyTuple_New(2));
    PyTuple_SET_ITEM(record.get(), 0, pair.release());
    PyTuple_SET_ITEM(record.get(), 1, new_id.release());
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), record.release());
  }
  return list;
}

PyRef from_utf8(std::string_view text) {
  return checked_result(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

}  // namespace ovilex::py
