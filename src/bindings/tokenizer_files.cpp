// ovilex._native.Tokenizer: the methods on files (token counts, shards) and
// the training check.
#include <Python.h>

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "bindings.h"
#include "engine/count.h"
#include "engine/file_tokens.h"
#include "engine/shards.h"
#include "module/args.h"
#include "module/errors.h"
#include "text/source.h"
#include "text/split.h"
#include "tokenizer/decode.h"
#include "tokenizer_args.h"
#include "tokenizer_object.h"

namespace ovilex::bindings {

using py::check;
using py::guarded_call;

namespace {

// Files are read in pieces cut at the safe cuts of the tokenizer's split
// pattern: the one check of every call that reads them, here and in the
// package (check_read_in_pieces of the module).
void check_read_in_pieces(const engine::CompiledTokenizer& core, const char* function) {
  if (core.rules().regex) {
    py::throw_format(PyExc_ValueError,
                     "%s cannot read files in pieces under a regular expression split pattern: "
                     "it has no safe cuts", function);
  }
  const text::SplitPattern pattern = core.rules().pattern;
  if (text::reads_in_pieces(pattern)) return;
  const std::string name(text::split_pattern_name(pattern));
  py::throw_format(PyExc_ValueError, "%s cannot read text in pieces under split pattern '%s'",
                   function, name.c_str());
}

constexpr std::string_view COUNT_IN_FILES_PARAMS[] = {"paths", "threads"};
constexpr py::Signature COUNT_IN_FILES_SIG{"count_in_files", COUNT_IN_FILES_PARAMS, 1, 0};

}  // namespace

PyObject* count_in_files_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept {
  return guarded_call([&] {
    const engine::CompiledTokenizer& core = core_of(self);
    std::array<PyObject*, 2> slots;
    py::parse_args(COUNT_IN_FILES_SIG, args, nargs, kwnames, slots);
    check_read_in_pieces(core, "count_in_files");
    if (PyUnicode_Check(slots[0]) || PyBytes_Check(slots[0])) {
      py::throw_format(PyExc_TypeError,
                       "count_in_files() argument 'paths' must be an iterable of paths, not a single "
                       "%.200s", Py_TYPE(slots[0])->tp_name);
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

namespace {

constexpr std::string_view CHECK_PARAMS[] = {"counts", "threads"};
constexpr py::Signature CHECK_SIG{"check_round_trip", CHECK_PARAMS, 1, 0};

}  // namespace

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

namespace {

// The jobs of write_shards: (source, bin, idx) path triples, each with the
// other width's data file to remove as a fourth path, if given.
std::vector<engine::ShardJob> shard_jobs(PyObject* obj) {
  const PyRef items = check(PySequence_Tuple(obj));
  std::vector<engine::ShardJob> jobs;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
    PyObject* item = PyTuple_GET_ITEM(items.get(), i);
    const Py_ssize_t size = PyTuple_Check(item) ? PyTuple_GET_SIZE(item) : 0;
    if (size != 3 && size != 4) {
      py::throw_format(PyExc_TypeError,
                       "write_shards() argument 'jobs' must hold (source, bin, idx) or (source, bin, "
                       "idx, other) tuples, found %.200s at index %zd", Py_TYPE(item)->tp_name, i);
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
    py::throw_format(PyExc_ValueError, "eot: %R is not a special token of this tokenizer", obj);
  }
  int overflow = 0;
  const long long id = PyLong_Check(obj) ? PyLong_AsLongLongAndOverflow(obj, &overflow) : -1;
  if (PyErr_Occurred()) throw py::PythonError{};
  if (overflow != 0 || id < 0 || id > UINT32_MAX || !core.token_bytes(static_cast<TokenId>(id))) {
    py::throw_format(PyExc_ValueError, "eot: unknown token id %R", obj);
  }
  return static_cast<TokenId>(id);
}

constexpr std::string_view WRITE_SHARDS_PARAMS[] = {"jobs", "eot", "threads", "progress"};
constexpr py::Signature WRITE_SHARDS_SIG{"write_shards", WRITE_SHARDS_PARAMS, 1, 0};

}  // namespace

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
    check_read_in_pieces(core, "write_shards");
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

namespace {

constexpr std::string_view CHECK_PIECES_PARAMS[] = {"tokenizer", "function"};
constexpr py::Signature CHECK_PIECES_SIG{"check_read_in_pieces", CHECK_PIECES_PARAMS, 2, 0};

}  // namespace

PyObject* check_read_in_pieces_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) noexcept {
  return guarded_call([&]() -> PyRef {
    std::array<PyObject*, 2> slots;
    py::parse_args(CHECK_PIECES_SIG, args, nargs, kwnames, slots);
    if (!PyObject_TypeCheck(slots[0], tokenizer_type())) {
      py::throw_format(PyExc_TypeError,
                       "check_read_in_pieces() argument 'tokenizer' must be a Tokenizer, not %.200s",
                       Py_TYPE(slots[0])->tp_name);
    }
    const std::string function(utf8_of(slots[1], "check_read_in_pieces", "function"));
    check_read_in_pieces(core_of(slots[0]), function.c_str());
    return PyRef::borrow(Py_None);
  });
}

}  // namespace ovilex::bindings
