// ovilex._native: initialisation, the module's functions, and what the
// types share (argument helpers, error translation).
#include <Python.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <string>

#include "bindings.h"
#include "bindings/split_binding.h"
#include "bindings/tokenizer_args.h"
#include "engine/parallel.h"
#include "module/args.h"
#include "module/errors.h"
#include "module/once.h"
#include "text/nfc.h"
#include "text/source.h"
#include "text/split.h"
#include "tokenizer/records.h"
#include "tokenizer_object.h"

namespace ovilex::bindings {

using py::check;
using py::guarded_call;

namespace {

// An attribute of an importable module, kept for the life of the process.
PyObject* imported(py::GilOnce<PyObject*>& cell, const char* module, const char* name) {
  return cell.get([&] {
    PyRef mod = check(PyImport_ImportModule(module));
    return check(PyObject_GetAttrString(mod.get(), name)).release();
  });
}

py::GilOnce<PyObject*> record_error_cell;
py::GilOnce<PyObject*> source_error_cell;
py::GilOnce<PyObject*> count_file_error_cell;
py::GilOnce<PyObject*> array_cell;

// The messages of these errors name files: their bytes are decoded as the
// file system's names are, so that a name that is not UTF-8 shows as Python
// shows it.
[[noreturn]] void throw_message(PyObject* type, std::string_view message) {
  PyRef text = check(PyUnicode_DecodeFSDefaultAndSize(message.data(),
                                                      static_cast<Py_ssize_t>(message.size())));
  PyErr_SetObject(type, text.get());
  throw py::PythonError{};
}

}  // namespace

void throw_package_error(const Error& error) {
  switch (error.kind) {
    case ErrorKind::Record:
      throw_message(imported(record_error_cell, "ovilex.errors", "RecordError"), error.message);
    case ErrorKind::Source:
      throw_message(imported(source_error_cell, "ovilex.errors", "SourceError"), error.message);
    case ErrorKind::CountFile:
      throw_message(imported(count_file_error_cell, "ovilex.errors", "CountFileError"),
                    error.message);
    case ErrorKind::Io:
    case ErrorKind::UnknownTokenId:
    case ErrorKind::InvalidUtf8:
      py::throw_error(error);
  }
  py::throw_error(error);
}

void throw_source_failure(const text::SourceFailure& failure) {
  if (failure.os_error != 0) {
    PyRef path = check(PyUnicode_DecodeFSDefaultAndSize(
        failure.path.data(), static_cast<Py_ssize_t>(failure.path.size())));
    errno = failure.os_error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.get());
    throw py::PythonError{};
  }
  throw_message(imported(source_error_cell, "ovilex.errors", "SourceError"), failure.message);
}

std::string_view utf8_of(PyObject* obj, const char* function, const char* name) {
  if (!PyUnicode_Check(obj)) {
    py::throw_format(PyExc_TypeError, "%s() argument '%s' must be str, not %.200s", function, name,
                     Py_TYPE(obj)->tp_name);
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) throw py::PythonError{};
  return {data, static_cast<std::size_t>(size)};
}

TextViews text_views(PyObject* obj, const char* function, const char* name) {
  if (PyUnicode_Check(obj) || PyBytes_Check(obj)) {
    py::throw_format(PyExc_TypeError,
                     "%s() argument '%s' must be an iterable of str, not a single %.200s", function,
                     name, Py_TYPE(obj)->tp_name);
  }
  TextViews out;
  out.holder = check(PySequence_Tuple(obj));
  const Py_ssize_t n = PyTuple_GET_SIZE(out.holder.get());
  out.views.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyTuple_GET_ITEM(out.holder.get(), i);
    if (!PyUnicode_Check(item)) {
      py::throw_format(PyExc_TypeError, "%s() argument '%s' must hold str, found %.200s at index %zd",
                       function, name, Py_TYPE(item)->tp_name, i);
    }
    out.views.push_back(utf8_of(item, function, name));
    out.bytes += out.views.back().size();
  }
  return out;
}

std::size_t to_threads(PyObject* obj) {
  if (obj == nullptr || obj == Py_None) return engine::usable_processors();
  if (!PyLong_Check(obj)) {
    py::throw_format(PyExc_TypeError, "threads must be an int or None, not %.200s",
                     Py_TYPE(obj)->tp_name);
  }
  int overflow = 0;
  const long long n = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (n == -1 && PyErr_Occurred()) throw py::PythonError{};
  if (overflow < 0 || (overflow == 0 && n < 1)) {
    py::throw_format(PyExc_ValueError, "threads must be 1 or more, found %R", obj);
  }
  // More threads than this only wait on each other.
  constexpr long long MOST = 1024;
  return overflow > 0 || n > MOST ? MOST : static_cast<std::size_t>(n);
}

PyRef make_array(const char* typecode, const void* data, std::size_t bytes) {
  PyObject* array_type = imported(array_cell, "array", "array");
  PyRef array = check(PyObject_CallFunction(array_type, "s", typecode));
  if (bytes == 0) return array;
  // frombytes copies straight out of the buffer: no Python object per item.
  PyRef view = check(PyMemoryView_FromMemory(static_cast<char*>(const_cast<void*>(data)),
                                             static_cast<Py_ssize_t>(bytes), PyBUF_READ));
  check(PyObject_CallMethod(array.get(), "frombytes", "O", view.get()));
  return array;
}

PyTypeObject* tokenizer_class(PyObject* obj, const char* function) {
  if (!PyType_Check(obj) ||
      !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(obj), tokenizer_type())) {
    py::throw_format(PyExc_TypeError, "%s() argument 'cls' must be a Tokenizer class", function);
  }
  return reinterpret_cast<PyTypeObject*>(obj);
}

PyRef vocab_dict(const VocabList& vocab) {
  PyRef dict = check(PyDict_New());
  for (const TokenId id : vocab.ids()) {
    const auto bytes = vocab.find(id);
    PyRef key = check(PyLong_FromLong(id));
    PyRef value = check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes->data()),
                                                  static_cast<Py_ssize_t>(bytes->size())));
    if (PyDict_SetItem(dict.get(), key.get(), value.get()) != 0) throw py::PythonError{};
  }
  return dict;
}

std::string fs_path(PyObject* obj) {
  PyObject* converted = nullptr;
  if (!PyUnicode_FSConverter(obj, &converted)) throw py::PythonError{};
  const PyRef bytes = PyRef::steal(converted);
  return std::string(PyBytes_AS_STRING(bytes.get()),
                     static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
}

namespace {

// A new array.array of |n| ids of |width|, its items written by
// fill(pointer to the first).
template <class Fill>
PyRef new_id_array(std::size_t n, IdWidth width, Fill&& fill) {
  const char* typecode = width == IdWidth::Bits16 ? "H" : "I";
  PyObject* array_type = imported(array_cell, "array", "array");
  PyRef one = check(PyObject_CallFunction(array_type, "s(i)", typecode, 0));
  // Repeating a one-item array makes n items in a few block copies.
  PyRef array = check(PySequence_Repeat(one.get(), static_cast<Py_ssize_t>(n)));
  Py_buffer view;
  if (PyObject_GetBuffer(array.get(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) != 0) {
    throw py::PythonError{};
  }
  const std::unique_ptr<Py_buffer, decltype(&PyBuffer_Release)> held(&view, PyBuffer_Release);
  if (static_cast<std::size_t>(view.len) != n * static_cast<std::size_t>(width)) {
    fail_internal("array items are not of the id width");
  }
  fill(view.buf);
  return array;
}

template <class Id>
std::size_t joined_size(std::span<const std::vector<Id>> pieces) {
  std::size_t n = 0;
  for (const std::vector<Id>& piece : pieces) n += piece.size();
  return n;
}

}  // namespace

PyRef make_id_array(std::span<const std::vector<std::uint16_t>> pieces) {
  return new_id_array(joined_size(pieces), IdWidth::Bits16, [&](void* items) {
    auto* out = static_cast<std::uint16_t*>(items);
    for (const std::vector<std::uint16_t>& piece : pieces) out = std::ranges::copy(piece, out).out;
  });
}

PyRef make_id_array(std::span<const std::vector<TokenId>> pieces, IdWidth width) {
  // The bits above 16 of every id, gathered while narrowing, tell whether
  // one did not fit.
  TokenId high = 0;
  PyRef array = new_id_array(joined_size(pieces), width, [&](void* items) {
    if (width == IdWidth::Bits32) {
      auto* out = static_cast<TokenId*>(items);
      for (const std::vector<TokenId>& piece : pieces) out = std::ranges::copy(piece, out).out;
      return;
    }
    auto* out = static_cast<std::uint16_t*>(items);
    for (const std::vector<TokenId>& piece : pieces) {
      for (const TokenId id : piece) {
        high |= id;
        *out++ = static_cast<std::uint16_t>(id);
      }
    }
  });
  if (high > 0xFFFF) {
    for (const std::vector<TokenId>& piece : pieces) {
      if (const auto it = std::ranges::find_if(piece, [](TokenId id) { return id > 0xFFFF; });
          it != piece.end()) {
        py::throw_format(PyExc_ValueError, "dtype uint16 cannot hold the id %lu; ask for uint32",
                         static_cast<unsigned long>(*it));
      }
    }
  }
  return array;
}

namespace {

// ------------------------------------------------------------- functions

// The records at two paths, read with the interpreter lock released.
Records records_at(PyObject* merges_arg, PyObject* vocab_arg) {
  const std::string merges_path = fs_path(merges_arg);
  const std::string vocab_path = fs_path(vocab_arg);
  Result<Records> records = [&] {
    GilReleased released;
    return read_records(merges_path, vocab_path);
  }();
  if (!records.ok()) throw_package_error(records.error());
  return std::move(records.value());
}

constexpr std::string_view LOAD_RECORDS_PARAMS[] = {"cls", "merges_path", "vocab_path",
                                                     "special_tokens_path"};
constexpr py::Signature LOAD_RECORDS_SIG{"load_records", LOAD_RECORDS_PARAMS, 3, 0};

// load_records(cls, merges_path, vocab_path, special_tokens_path=None): a
// new cls over the records.
PyObject* load_records_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept {
  return guarded_call([&]() -> PyRef {
    std::array<PyObject*, 4> slots;
    py::parse_args(LOAD_RECORDS_SIG, args, nargs, kwnames, slots);
    PyTypeObject* cls = tokenizer_class(slots[0], "load_records");
    Records records = records_at(slots[1], slots[2]);
    std::vector<SpecialToken> specials;
    if (slots[3] != nullptr && slots[3] != Py_None) {
      const std::string path = fs_path(slots[3]);
      const std::string vocab_path = fs_path(slots[2]);
      Result<std::vector<SpecialToken>> read = [&] {
        GilReleased released;
        return read_special_tokens(path, records.vocab, vocab_path);
      }();
      if (!read.ok()) throw_package_error(read.error());
      specials = std::move(read.value());
    }
    return make_tokenizer(cls, std::move(records.merges), std::move(records.vocab),
                          std::move(specials));
  });
}

constexpr std::string_view READ_RECORDS_PARAMS[] = {"merges_path", "vocab_path"};
constexpr py::Signature READ_RECORDS_SIG{"read_records", READ_RECORDS_PARAMS, 2, 0};

// read_records(merges_path, vocab_path): (merges, vocab) as Python values.
PyObject* read_records_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept {
  return guarded_call([&]() -> PyRef {
    std::array<PyObject*, 2> slots;
    py::parse_args(READ_RECORDS_SIG, args, nargs, kwnames, slots);
    const Records records = records_at(slots[0], slots[1]);
    PyRef merges = py::from_merges(records.merges);
    PyRef vocab = vocab_dict(records.vocab);
    return check(PyTuple_Pack(2, merges.get(), vocab.get()));
  });
}

constexpr std::string_view LAST_SAFE_CUT_PARAMS[] = {"data", "floor", "pattern", "text_start",
                                                     "normalizer"};
constexpr py::Signature LAST_SAFE_CUT_SIG{"last_safe_cut", LAST_SAFE_CUT_PARAMS, 1, 0};

// last_safe_cut(data, floor=0, pattern=None, text_start=False, normalizer=None):
// text::last_piece_cut over bytes that the caller has checked as UTF-8, under
// a split pattern and a normalizer; text_start names the text's start under
// prefix_space.
PyObject* last_safe_cut_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept {
  return guarded_call([&]() -> PyRef {
    std::array<PyObject*, 5> slots;
    py::parse_args(LAST_SAFE_CUT_SIG, args, nargs, kwnames, slots);
    const char* normalizer = nullptr;
    if (slots[4] != nullptr && slots[4] != Py_None) {
      normalizer = PyUnicode_Check(slots[4]) ? PyUnicode_AsUTF8(slots[4]) : nullptr;
      if (normalizer == nullptr) {
        if (!PyErr_Occurred()) {
          py::throw_format(PyExc_TypeError, "last_safe_cut() argument 'normalizer' must be str or "
                           "None, not %.200s", Py_TYPE(slots[4])->tp_name);
        }
        throw py::PythonError{};
      }
    }
    const Py_ssize_t floor = slots[1] == nullptr ? 0 : PyLong_AsSsize_t(slots[1]);
    if (floor == -1 && PyErr_Occurred()) throw py::PythonError{};
    if (floor < 0) {
      PyErr_SetString(PyExc_ValueError, "last_safe_cut() floor must be 0 or more");
      throw py::PythonError{};
    }
    text::PieceCuts cuts;
    cuts.pattern = split_pattern_arg(slots[2], "last_safe_cut");
    const int text_start = slots[3] == nullptr ? 0 : PyObject_IsTrue(slots[3]);
    if (text_start < 0) throw py::PythonError{};
    cuts.prefix_space = text_start != 0;
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(slots[0], &data, &size) != 0) throw py::PythonError{};
    cuts.normalizer = normalizer_arg(normalizer);
    const std::size_t cut =
        text::last_piece_cut(cuts, std::string_view(data, static_cast<std::size_t>(size)),
                             static_cast<std::size_t>(floor), true);
    return check(PyLong_FromSize_t(cut));
  });
}

PyObject* usable_processors_entry(PyObject*, PyObject*) noexcept {
  return guarded_call(
      [] { return check(PyLong_FromSize_t(engine::usable_processors())); });
}

PyMethodDef FUNCTIONS[] = {
    {"split", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ovilex_split_entry)),
     METH_FASTCALL | METH_KEYWORDS,
     "split(text, /, pattern=None)\n--\n\nThe chunks of text under a split pattern: 'ovilex' "
     "(None), 'gpt2', 'cl100k', 'llama3', 'qwen2' or 'o200k' (see ovilex.split)."},
    {"char_class_ranges",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ovilex_char_class_ranges_entry)),
     METH_FASTCALL | METH_KEYWORDS,
     "char_class_ranges(pattern=None)\n--\n\nThe code points of each class of a split "
     "pattern: a dict of 'letter', 'digit', 'space' and 'symbol' to tuples of inclusive "
     "(first, last) ranges."},
    {"load_records", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(load_records_entry)),
     METH_FASTCALL | METH_KEYWORDS,
     "load_records(cls, merges_path, vocab_path, special_tokens_path=None)\n--\n\n"
     "A new cls (a Tokenizer class) over the record files of a training (no special tokens "
     "when special_tokens_path is None or names no file); RecordError, naming the file and "
     "line, when they do not hold what training writes."},
    {"train", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(train_entry)),
     METH_FASTCALL | METH_KEYWORDS,
     "train(cls, counts, workdir, check=False, special_tokens=None, *, vocab_size=8000, "
     "min_frequency=3, max_token_length=None)\n--\n\nLearns the merges "
     "of a WordCounts, writes workdir/data/merges_record.json and workdir/data/vocab_list.json "
     "(both or neither), and workdir/data/special_tokens.json for special_tokens (texts, given "
     "ids from one above the greatest learned id on; without them an earlier file goes), and "
     "returns a new cls over them. vocab_size: the learned ids, 256 and the merges; "
     "min_frequency: the least count of a merged pair; max_token_length: the most bytes of a "
     "learned token (None: no limit). With check, returns (tokenizer, (tokens, "
     "bytes, ok)): every distinct chunk's final ids from the merge loop decoded back, and "
     "the encoder checked against them on a sample."},
    {"check_training", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(check_training_entry)),
     METH_FASTCALL | METH_KEYWORDS,
     "check_training(*, vocab_size=8000, min_frequency=3, max_token_length=None, "
     "special_tokens=None)\n--\n\nChecks the settings of a training as train does, before any "
     "work, and returns the special tokens' texts as a list. TypeError or ValueError for a "
     "setting out of range, or special tokens that are not str, empty, given twice or more "
     "than the ids left."},
    {"load_ranks", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(load_ranks_entry)),
     METH_FASTCALL | METH_KEYWORDS,
     "load_ranks(cls, data, compact, where, special_tokens, pattern, n_vocab=None)\n--\n\nA new "
     "cls over the ranks of a tiktoken rank file's text (compact: the bpe_ranks string of the "
     "JSON form), merging by token rank and taking whole chunks; n_vocab, when given, the "
     "number of ids the file says it holds. TokenizerFileError naming where and the line for a "
     "file that is not one."},
    {"read_records", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_records_entry)),
     METH_FASTCALL | METH_KEYWORDS,
     "read_records(merges_path, vocab_path)\n--\n\nThe merges and the vocabulary of two record "
     "files, checked as load_records checks them: (list of ((left, right), new), dict of id -> "
     "bytes)."},
    {"last_safe_cut",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(last_safe_cut_entry)),
     METH_FASTCALL | METH_KEYWORDS,
     "last_safe_cut(data, floor=0, pattern=None, text_start=False, normalizer=None)\n--\n\n"
     "The greatest position p, floor < p < len(data), at which UTF-8 data may be cut so that "
     "splitting the two sides apart under the split pattern (None: ovilex's own) gives the "
     "chunks of the whole, whatever follows; 0 when there is none. text_start: data begins a "
     "text that a tokenizer with prefix_space encodes, so the cut holds with the space before "
     "it too. With a normalizer ('nfc'), the sides are also normalized apart as the whole is."},
    {"normalize", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(normalize_entry)),
     METH_FASTCALL | METH_KEYWORDS,
     "normalize(text, normalizer='nfc')\n--\n\ntext as a tokenizer's normalizer gives it before "
     "splitting: 'nfc', Unicode's NFC at NFC_UNICODE_VERSION, or None (text as it is); the "
     "same object when nothing changes."},
    {"check_read_in_pieces",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(check_read_in_pieces_entry)),
     METH_FASTCALL | METH_KEYWORDS,
     "check_read_in_pieces(tokenizer, function)\n--\n\nNone when the calls that read files "
     "in pieces (count_in_files, write_shards, the Dask pieces) take the tokenizer; else the "
     "ValueError that function (its name in the message) raises."},
    {"usable_processors", usable_processors_entry, METH_NOARGS,
     "usable_processors()\n--\n\nThe processors this process may run on."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef MODULE = {
    PyModuleDef_HEAD_INIT,
    "ovilex._native",
    "The native side of the ovilex package: splitting, the compiled tokenizer, counting and "
    "training from files.",
    -1,
    FUNCTIONS,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace ovilex::bindings

PyMODINIT_FUNC PyInit__native() {
  using namespace ovilex::bindings;
  return guarded_call([]() -> PyRef {
    PyRef module = check(PyModule_Create(&MODULE));
    if (!add_tokenizer_type(module.get()) || !add_word_counts_type(module.get())) {
      throw ovilex::py::PythonError{};
    }
    // The defaults of training, for the signatures of the package.
    if (PyModule_AddIntConstant(module.get(), "DEFAULT_VOCAB_SIZE",
                                static_cast<long>(ovilex::FIRST_MERGE_ID + ovilex::MAX_MERGES)) != 0 ||
        PyModule_AddIntConstant(module.get(), "DEFAULT_MIN_FREQUENCY",
                                static_cast<long>(ovilex::MIN_MERGE_FREQ)) != 0 ||
        PyModule_AddStringConstant(module.get(), "NFC_UNICODE_VERSION",
                                   std::string(ovilex::text::nfc_unicode_version()).c_str()) != 0) {
      throw ovilex::py::PythonError{};
    }
    return module;
  });
}
