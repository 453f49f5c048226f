// ovilex._native.WordCounts: the distinct chunks of training text and how
// often each occurs, counted natively (no Python object per chunk), and
// training from them.
#include <Python.h>

#include <array>
#include <memory>
#include <string>

#include "bindings.h"
#include "engine/count.h"
#include "engine/count_file.h"
#include "module/args.h"
#include "module/errors.h"

namespace ovilex::bindings {

using py::check;
using py::guarded_call;

namespace {

struct CountsState {
  WordCounter counter;
  // Set while a call works on the counter without the interpreter lock; a
  // second call meanwhile is refused rather than racing it.
  bool busy = false;
};

struct CountsObject {
  PyObject_HEAD
  CountsState state;
};

PyTypeObject* the_type = nullptr;

CountsState& state_of(PyObject* self) { return reinterpret_cast<CountsObject*>(self)->state; }

// Marks the counter in use for the life of the object.
class Busy {
 public:
  explicit Busy(CountsState& state) : state_(state) {
    if (state_.busy) {
      PyErr_SetString(PyExc_RuntimeError, "the WordCounts is in use by another call");
      throw py::PythonError{};
    }
    state_.busy = true;
  }
  Busy(const Busy&) = delete;
  Busy& operator=(const Busy&) = delete;
  ~Busy() { state_.busy = false; }

 private:
  CountsState& state_;
};

PyObject* counts_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) noexcept {
  return guarded_call([&]() -> PyRef {
    if (!PyArg_ParseTuple(args, ":WordCounts") ||
        (kwargs != nullptr && !PyArg_ValidateKeywordArguments(kwargs))) {
      throw py::PythonError{};
    }
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) {
      PyErr_SetString(PyExc_TypeError, "WordCounts() takes no keyword arguments");
      throw py::PythonError{};
    }
    PyRef self = check(cls->tp_alloc(cls, 0));
    std::construct_at(&state_of(self.get()));
    return self;
  });
}

void counts_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(&state_of(self));
  type->tp_free(self);
  Py_DECREF(type);
}

constexpr std::string_view ADD_FILES_PARAMS[] = {"paths", "threads", "progress", "errors"};
constexpr py::Signature ADD_FILES_SIG{"add_files", ADD_FILES_PARAMS, 1, 0};

text::InvalidBytes to_invalid_bytes(PyObject* obj) {
  if (obj == nullptr) return text::InvalidBytes::Fail;
  if (PyUnicode_Check(obj) && PyUnicode_CompareWithASCIIString(obj, "strict") == 0) {
    return text::InvalidBytes::Fail;
  }
  if (PyUnicode_Check(obj) && PyUnicode_CompareWithASCIIString(obj, "replace") == 0) {
    return text::InvalidBytes::Replace;
  }
  py::throw_format(PyExc_ValueError, "errors must be 'strict' or 'replace', found %R", obj);
}

// The paths of an iterable, as the file system's bytes. A str or bytes
// would be taken as one path per character: TypeError instead.
std::vector<std::string> paths_of(PyObject* obj, const char* function) {
  if (PyUnicode_Check(obj) || PyBytes_Check(obj)) {
    py::throw_format(PyExc_TypeError,
                     "%s() argument 'paths' must be an iterable of paths, not a single %.200s",
                     function, Py_TYPE(obj)->tp_name);
  }
  const PyRef items = check(PySequence_Tuple(obj));
  std::vector<std::string> paths;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
    paths.push_back(fs_path(PyTuple_GET_ITEM(items.get(), i)));
  }
  return paths;
}

PyObject* add_files_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept {
  return guarded_call([&]() -> PyRef {
    std::array<PyObject*, 4> slots;
    py::parse_args(ADD_FILES_SIG, args, nargs, kwnames, slots);
    const std::size_t threads = to_threads(slots[1]);
    PyObject* progress = slots[2] == Py_None ? nullptr : slots[2];
    const text::InvalidBytes invalid = to_invalid_bytes(slots[3]);
    const std::vector<std::string> paths = paths_of(slots[0], "add_files");
    CountsState& state = state_of(self);
    const Busy busy(state);
    std::optional<text::SourceFailure> failure;
    {
      GilReleased released;
      failure = engine::count_files(paths, threads, state.counter, [&](std::uint64_t bytes) {
        const GilReleased::Held held(released);
        if (PyErr_CheckSignals() != 0) throw py::PythonError{};
        if (progress != nullptr) {
          check(PyObject_CallFunction(progress, "K", static_cast<unsigned long long>(bytes)));
        }
      }, invalid);
    }
    if (failure) throw_source_failure(*failure);
    return PyRef::borrow(Py_None);
  });
}

constexpr std::string_view ADD_TEXTS_PARAMS[] = {"texts", "threads"};
constexpr py::Signature ADD_TEXTS_SIG{"add_texts", ADD_TEXTS_PARAMS, 1, 0};

PyObject* add_texts_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept {
  return guarded_call([&]() -> PyRef {
    std::array<PyObject*, 2> slots;
    py::parse_args(ADD_TEXTS_SIG, args, nargs, kwnames, slots);
    const std::size_t threads = to_threads(slots[1]);
    const TextViews texts = text_views(slots[0], "add_texts", "texts");
    CountsState& state = state_of(self);
    const Busy busy(state);
    {
      GilReleased released(texts.bytes >= RELEASE_FROM_BYTES);
      engine::count_texts(texts.views, texts.bytes >= RELEASE_FROM_BYTES ? threads : 1,
                          state.counter);
    }
    return PyRef::borrow(Py_None);
  });
}

PyObject* add_chunks_method(PyObject* self, PyObject* chunks) noexcept {
  return guarded_call([&]() -> PyRef {
    CountsState& state = state_of(self);
    const Busy busy(state);
    // Converted as encode_train converts its chunks, with its messages.
    const WordCounter added = py::to_word_counts(chunks, "chunks");
    state.counter.add_all(added);
    return PyRef::borrow(Py_None);
  });
}

constexpr std::string_view ADD_PARAMS[] = {"chunk", "count"};
constexpr py::Signature ADD_SIG{"add", ADD_PARAMS, 1, 0};

PyObject* add_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
  return guarded_call([&]() -> PyRef {
    std::array<PyObject*, 2> slots;
    py::parse_args(ADD_SIG, args, nargs, kwnames, slots);
    const std::string_view chunk = utf8_of(slots[0], "add", "chunk");
    unsigned long long count = 1;
    if (slots[1] != nullptr) {
      if (!PyLong_Check(slots[1])) {
        py::throw_format(PyExc_TypeError, "add() argument 'count' must be int, not %.200s",
                         Py_TYPE(slots[1])->tp_name);
      }
      count = PyLong_AsUnsignedLongLong(slots[1]);
      if (count == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        py::throw_format(PyExc_ValueError, "add() argument 'count' must be 0 to 2**64-1, found %R",
                         slots[1]);
      }
    }
    CountsState& state = state_of(self);
    const Busy busy(state);
    if (count > 0) state.counter.add(chunk, count);
    return PyRef::borrow(Py_None);
  });
}

PyObject* save_method(PyObject* self, PyObject* path) noexcept {
  return guarded_call([&]() -> PyRef {
    const std::string out = fs_path(path);
    CountsState& state = state_of(self);
    const Busy busy(state);
    Result<engine::CountFileInfo> written = [&] {
      GilReleased released;
      return engine::write_count_file(state.counter, out);
    }();
    if (!written.ok()) throw_package_error(written.error());
    return PyRef::borrow(Py_None);
  });
}

PyObject* add_count_files_method(PyObject* self, PyObject* paths_arg) noexcept {
  return guarded_call([&]() -> PyRef {
    const std::vector<std::string> paths = paths_of(paths_arg, "add_count_files");
    CountsState& state = state_of(self);
    const Busy busy(state);
    std::optional<Error> error;
    {
      GilReleased released;
      error = engine::add_count_files(paths, state.counter);
    }
    if (error) throw_package_error(*error);
    return PyRef::borrow(Py_None);
  });
}

constexpr std::string_view MERGE_PARAMS[] = {"paths", "out"};
constexpr py::Signature MERGE_SIG{"merge_count_files", MERGE_PARAMS, 2, 0};

PyObject* merge_count_files_method(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) noexcept {
  return guarded_call([&]() -> PyRef {
    std::array<PyObject*, 2> slots;
    py::parse_args(MERGE_SIG, args, nargs, kwnames, slots);
    const std::vector<std::string> paths = paths_of(slots[0], "merge_count_files");
    const std::string out = fs_path(slots[1]);
    Result<engine::CountFileInfo> merged = [&] {
      GilReleased released;
      return engine::merge_count_files(paths, out);
    }();
    if (!merged.ok()) throw_package_error(merged.error());
    return PyRef::borrow(Py_None);
  });
}

PyObject* to_dict_method(PyObject* self, PyObject*) noexcept {
  return guarded_call([&]() -> PyRef {
    CountsState& state = state_of(self);
    const Busy busy(state);
    PyRef dict = check(PyDict_New());
    state.counter.for_each([&](std::string_view chunk, std::uint64_t count) {
      PyRef key = check(PyUnicode_DecodeUTF8(chunk.data(), static_cast<Py_ssize_t>(chunk.size()),
                                             nullptr));
      PyRef value = check(PyLong_FromUnsignedLongLong(count));
      if (PyDict_SetItem(dict.get(), key.get(), value.get()) != 0) throw py::PythonError{};
    });
    return dict;
  });
}

PyObject* chunks_getter(PyObject* self, void*) noexcept {
  return guarded_call(
      [&] { return check(PyLong_FromUnsignedLongLong(state_of(self).counter.chunks())); });
}

PyObject* distinct_getter(PyObject* self, void*) noexcept {
  return guarded_call(
      [&] { return check(PyLong_FromSize_t(state_of(self).counter.distinct())); });
}

template <auto Method>
constexpr PyCFunction fastcall() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Method));
}

PyMethodDef METHODS[] = {
    {"add_files", fastcall<add_files_method>(), METH_FASTCALL | METH_KEYWORDS,
     "add_files($self, paths, threads=None, progress=None, errors='strict')\n--\n\nReads UTF-8 text "
     "files and counts their chunks, each file split on its own, on up to threads threads. "
     "progress(bytes), when given, is called after every block read. OSError for a file that "
     "cannot be read; for one that is not UTF-8, SourceError naming the file, line and byte, "
     "or with errors='replace' U+FFFD for each invalid sequence."},
    {"add_texts", fastcall<add_texts_method>(), METH_FASTCALL | METH_KEYWORDS,
     "add_texts($self, texts, threads=None)\n--\n\nCounts the chunks of every str, each split on its "
     "own."},
    {"add_chunks", add_chunks_method, METH_O,
     "add_chunks($self, chunks, /)\n--\n\nCounts chunks that are already split."},
    {"add", fastcall<add_method>(), METH_FASTCALL | METH_KEYWORDS,
     "add($self, chunk, count=1)\n--\n\nAdds count occurrences of one chunk."},
    {"save", save_method, METH_O,
     "save($self, path, /)\n--\n\nWrites the counts to the count file at path (see "
     "ovilex.counting), through a temporary file beside it: path is left as it was or holds "
     "the whole file. OSError when it cannot be written."},
    {"add_count_files", add_count_files_method, METH_O,
     "add_count_files($self, paths, /)\n--\n\nAdds the counts of every count file. Each is checked "
     "first as far as its header and size go: OSError for a file that cannot be read, "
     "CountFileError, naming the file, for one that is not a whole count file of this "
     "version (damage found further in leaves the entries before it added)."},
    {"merge_count_files", fastcall<merge_count_files_method>(),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "merge_count_files(paths, out)\n--\n\nWrites the sum of the count files at paths to "
     "the count file out (which may be one of them) in one streaming pass, holding one entry "
     "of each file at a time. Errors as for add_count_files and save."},
    {"to_dict", to_dict_method, METH_NOARGS,
     "to_dict($self)\n--\n\nThe counts as a dict: chunk -> count."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef GETSETS[] = {
    {"chunks", chunks_getter, nullptr, "The number of chunks counted.", nullptr},
    {"distinct", distinct_getter, nullptr, "The number of distinct chunks.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot SLOTS[] = {
    {Py_tp_new, reinterpret_cast<void*>(counts_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(counts_dealloc)},
    {Py_tp_methods, METHODS},
    {Py_tp_getset, GETSETS},
    {Py_tp_doc, const_cast<char*>("WordCounts()\n--\n\nThe distinct chunks of training text "
                                  "and their counts, held natively.")},
    {0, nullptr},
};

PyType_Spec TYPE_DEF = {
    "ovilex._native.WordCounts",
    sizeof(CountsObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    SLOTS,
};

}  // namespace

PyTypeObject* word_counts_type() { return the_type; }

bool add_word_counts_type(PyObject* module) {
  PyObject* type = PyType_FromModuleAndSpec(module, &TYPE_DEF, nullptr);
  if (type == nullptr) return false;
  the_type = reinterpret_cast<PyTypeObject*>(type);
  return PyModule_AddObjectRef(module, "WordCounts", type) == 0;
}

WordCounter& word_counter_of(PyObject* obj, const char* function, const char* name) {
  if (!PyObject_TypeCheck(obj, the_type)) {
    py::throw_format(PyExc_TypeError, "%s() argument '%s' must be WordCounts, not %.200s", function,
                     name, Py_TYPE(obj)->tp_name);
  }
  return state_of(obj).counter;
}

namespace {

constexpr std::string_view TRAIN_PARAMS[] = {"cls", "counts", "workdir", "check", "special_tokens"};
constexpr std::string_view TRAINING_PARAMS[] = {"vocab_size", "min_frequency", "max_token_length"};
constexpr py::Signature TRAIN_SIG{"train", TRAIN_PARAMS, 3, 0, TRAINING_PARAMS};
constexpr std::string_view CHECK_PARAMS[] = {"vocab_size", "min_frequency", "max_token_length",
                                             "special_tokens"};
constexpr py::Signature CHECK_SIG{"check_training", {}, 0, 0, CHECK_PARAMS};

// Learned ids go up to MAX_TOKEN_ID.
constexpr std::uint64_t ID_LIMIT = std::uint64_t{MAX_TOKEN_ID} + 1;

// An int argument of at least |low| (and at most |high|), as std::uint64_t;
// a value past the range of a 64-bit int counts as above every bound.
std::uint64_t bounded_int(PyObject* obj, const char* name, std::uint64_t low,
                          std::uint64_t high = UINT64_MAX) {
  if (!PyLong_Check(obj) || PyBool_Check(obj)) {
    py::throw_format(PyExc_TypeError, "%s must be an int, not %.200s", name, Py_TYPE(obj)->tp_name);
  }
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (v == -1 && PyErr_Occurred()) throw py::PythonError{};
  const bool below = overflow < 0 || (overflow == 0 && (v < 0 || static_cast<std::uint64_t>(v) < low));
  const bool above = overflow > 0 ? high != UINT64_MAX
                                  : overflow == 0 && v >= 0 && static_cast<std::uint64_t>(v) > high;
  if (below || above) {
    if (high == UINT64_MAX) {
      py::throw_format(PyExc_ValueError, "%s must be %llu or more, found %R", name,
                       static_cast<unsigned long long>(low), obj);
    }
    py::throw_format(PyExc_ValueError, "%s must be %llu to %llu, found %R", name,
                     static_cast<unsigned long long>(low), static_cast<unsigned long long>(high), obj);
  }
  return overflow > 0 ? UINT64_MAX : static_cast<std::uint64_t>(v);
}

// The limits of a training from its vocab_size, min_frequency and
// max_token_length arguments (null: the default).
TrainLimits train_limits(PyObject* vocab_size, PyObject* min_frequency, PyObject* max_token_length) {
  TrainLimits limits;
  if (vocab_size != nullptr) {
    limits.max_merges = bounded_int(vocab_size, "vocab_size", FIRST_MERGE_ID, ID_LIMIT) - FIRST_MERGE_ID;
  }
  if (min_frequency != nullptr) limits.min_frequency = bounded_int(min_frequency, "min_frequency", 0);
  if (max_token_length != nullptr && max_token_length != Py_None) {
    limits.max_token_length = bounded_int(max_token_length, "max_token_length", 1);
  }
  return limits;
}

}  // namespace

PyObject* check_training_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) noexcept {
  return guarded_call([&]() -> PyRef {
    std::array<PyObject*, 4> slots;
    py::parse_args(CHECK_SIG, args, nargs, kwnames, slots);
    const TrainLimits limits = train_limits(slots[0], slots[1], slots[2]);
    PyRef texts = check(PyList_New(0));
    for (const std::string& text : special_texts(slots[3], FIRST_MERGE_ID + limits.max_merges)) {
      if (PyList_Append(texts.get(), py::from_utf8(text).get()) != 0) throw py::PythonError{};
    }
    return texts;
  });
}

PyObject* train_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
  return guarded_call([&]() -> PyRef {
    std::array<PyObject*, 8> slots;
    py::parse_args(TRAIN_SIG, args, nargs, kwnames, slots);
    PyTypeObject* cls = tokenizer_class(slots[0], "train");
    const TrainLimits limits = train_limits(slots[5], slots[6], slots[7]);
    const std::vector<std::string> specials =
        special_texts(slots[4], FIRST_MERGE_ID + limits.max_merges);
    const int checking = slots[3] == nullptr ? 0 : PyObject_IsTrue(slots[3]);
    if (checking < 0) throw py::PythonError{};
    engine::RoundTrip round_trip;
    const WordCounter& counter = word_counter_of(slots[1], "train", "counts");
    const std::string workdir = fs_path(slots[2]);
    CountsState& state = state_of(slots[1]);
    const Busy busy(state);
    Result<std::vector<Merge>> merges = [&] {
      GilReleased released;
      return engine::train_counts(counter, workdir, nullptr, checking ? &round_trip : nullptr,
                                  specials, limits);
    }();
    if (!merges.ok()) {
      Error error = merges.error();
      if (error.kind == ErrorKind::Io) {
        // Named as the caller named the work directory.
        PyRef shown = check(PyObject_Str(slots[2]));
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(shown.get(), &size);
        if (text == nullptr) throw py::PythonError{};
        error.message = "in " + std::string(text, static_cast<std::size_t>(size)) + ": " +
                        error.message;
      }
      throw_package_error(error);
    }
    VocabList vocab = build_vocab(merges.value());
    std::vector<SpecialToken> special = special_tokens_after(vocab, specials);
    PyRef tokenizer =
        make_tokenizer(cls, std::move(merges.value()), std::move(vocab), std::move(special));
    if (!checking) return tokenizer;
    return check(Py_BuildValue("(O(KKO))", tokenizer.get(),
                               static_cast<unsigned long long>(round_trip.tokens),
                               static_cast<unsigned long long>(round_trip.bytes),
                               round_trip.ok ? Py_True : Py_False));
  });
}

}  // namespace ovilex::bindings
