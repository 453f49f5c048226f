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
#include "tokenizer/decode.h"
#include "tokenizer_args.h"
#include "tokenizer_object.h"

namespace ovilex::bindings {

using py::check;
using py::guarded_call;

namespace {

// Files are read in pieces cut where ovilex's own pattern may be cut: the
// calls that read them take only tokenizers that split so.
void check_read_in_pieces(const engine::CompiledTokenizer& core, const char* function) {
  if (core.rules().regex) {
    py::throw_format(PyExc_ValueError,
                     "%s cannot read files in pieces under a regular expression split pattern: "
                     "it has no safe cuts", function);
  }
  if (core.rules().pattern == text::SplitPattern::Ovilex && !core.rules().prefix_space) return;
  py::throw_format(PyExc_ValueError,
                   "%s takes only tokenizers with ovilex's own split pattern and no prefix space",
                   function);
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
    // Files are read in pieces cut where ovilex's own pattern may be cut.
    if (core.rules().regex) check_read_in_pieces(core, "write_shards");
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

}  // namespace ovilex::bindings
