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
#include "tokenizer_args.h"
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
// A new int for an id past the table of the tokenizer's ints: rare, and
// kept out of the loop below.
[[gnu::noinline]] PyObject* far_int(TokenId id) {
  return check(PyLong_FromUnsignedLong(id)).release();
}

PyRef id_list(const TokenizerState& state, std::span<const TokenId> ids) {
  PyRef list = check(PyList_New(static_cast<Py_ssize_t>(ids.size())));
  PyObject** items = reinterpret_cast<PyListObject*>(list.get())->ob_item;
  const PyRef* const ints = state.ints.data();
  const std::size_t dense = state.ints.size();
  // Every id of the tokenizer has its int in the table: no id to check.
  if (dense >= state.core->id_bound()) {
    for (std::size_t i = 0; i < ids.size(); ++i) items[i] = Py_NewRef(ints[ids[i]].get());
    return list;
  }
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const TokenId id = ids[i];
    items[i] = id < dense ? Py_NewRef(ints[id].get()) : far_int(id);
  }
  return list;
}


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
        py::throw_format(PyExc_ValueError, "the vocabulary cannot be merged by rank: %s",
                         problem->c_str());
      }
      if (derived) merges = engine::RankedMerges::merges_by_rank(vocab);
    } else {
      for (unsigned b = 0; b < 256; ++b) {
        const auto bytes = vocab.find(static_cast<TokenId>(b));
        if (!bytes || bytes->size() != 1 || (*bytes)[0] != b) {
          py::throw_format(PyExc_ValueError, "the vocabulary must map id %u to the single byte %u", b,
                           b);
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
  py::throw_format(PyExc_ValueError,
                   "%s takes only tokenizers with ovilex's own split pattern and no prefix space",
                   function);
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
      py::throw_format(PyExc_TypeError, "id_to_bytes() argument must be int, not %.200s",
                       Py_TYPE(id_arg)->tp_name);
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
      return str(merging_name(rules.merging));
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
     "encode($self, text, /, *, allowed_special=())\n--\n\nThe token ids of text: its chunks under "
     "the split pattern, each encoded with the merges. A list of ints.\n\nSpecial tokens' text "
     "is ordinary text unless allowed_special names them: 'all', or a collection (set, "
     "frozenset, list) of their texts (ValueError for a text that is none). Each occurrence of "
     "an allowed one is its id: the leftmost first, of those that start at the same character "
     "the longest, never overlapping; the text between two is encoded on its own, as if a "
     "document ended there."},
    {"encode_array", fastcall<encode_array_method>(), METH_FASTCALL | METH_KEYWORDS,
     "encode_array($self, text, /, *, allowed_special=(), dtype=None)\n--\n\nThe token ids of text "
     "(see encode) as an array.array: 'H' (unsigned 16-bit) when every id of the tokenizer, "
     "special tokens included, is below 65536, else 'I' (unsigned 32-bit), whatever the text; "
     "numpy.frombuffer(a, dtype=a.typecode) views it without a copy. dtype asks for one: "
     "'uint16' or 'H', 'uint32' or 'I', or numpy's uint16 or uint32 (type or dtype); "
     "ValueError for any other, and for uint16 when an id is above 65535."},
    {"encode_batch", fastcall<encode_batch_method>(), METH_FASTCALL | METH_KEYWORDS,
     "encode_batch($self, texts, threads=None, *, allowed_special=())\n--\n\nThe token ids of every "
     "text (see encode), a list per text, encoded on up to threads native threads (None: every "
     "usable processor) with the interpreter lock released."},
    {"encode_batch_array", fastcall<encode_batch_array_method>(), METH_FASTCALL | METH_KEYWORDS,
     "encode_batch_array($self, texts, threads=None, *, allowed_special=(), dtype=None)\n--\n\nThe "
     "token ids of every text (see encode) in one flat array.array, of the type that "
     "encode_array gives (dtype likewise), and an array.array('Q') of len(texts) + 1 offsets: "
     "text i's ids are ids[offsets[i]:offsets[i + 1]]."},
    {"count", fastcall<count_method>(), METH_FASTCALL | METH_KEYWORDS,
     "count($self, text, /, *, allowed_special=())\n--\n\nThe number of token ids that encode gives "
     "for text, found without making them (a long text with the interpreter lock released)."},
    {"count_batch", fastcall<count_batch_method>(), METH_FASTCALL | METH_KEYWORDS,
     "count_batch($self, texts, threads=None, *, allowed_special=())\n--\n\nThe number of token ids "
     "of every text (see count), a list of ints, on up to threads native threads as "
     "encode_batch."},
    {"count_in_files", fastcall<count_in_files_method>(), METH_FASTCALL | METH_KEYWORDS,
     "count_in_files($self, paths, threads=None)\n--\n\nThe number of token ids of every UTF-8 text "
     "file of paths, each one document, as count gives for its whole text: a list of ints. "
     "Read in blocks, as write_shards reads, and counted on up to threads native threads with "
     "the interpreter lock released; ValueError for a tokenizer whose split pattern is not "
     "ovilex's own or that puts a space before text, OSError for a file that cannot be read, "
     "SourceError for one that is not UTF-8."},
    {"encode_chunks", encode_chunks_method, METH_O,
     "encode_chunks($self, chunks, /)\n--\n\nThe token ids of every chunk of a text that is already "
     "split, one list per chunk (a chunk is never split again)."},
    {"decode", decode_method, METH_O,
     "decode($self, ids, /)\n--\n\nThe text of token ids (a sequence of ints 0 to 2**32 - 1, or a "
     "buffer of unsigned 16- or 32-bit ids such as array('H') or array('I')); a special token's "
     "id gives its text. KeyError 'unknown "
     "token id N in vocab_list' for an id that is neither learned nor special, ValueError when "
     "the bytes are not UTF-8."},
    {"decode_bytes", decode_bytes_method, METH_O,
     "decode_bytes($self, ids, /)\n--\n\nThe bytes of token ids, concatenated, without the UTF-8 "
     "check."},
    {"id_to_bytes", id_to_bytes_method, METH_O,
     "id_to_bytes($self, token_id, /)\n--\n\nThe bytes that token_id stands for (a special token's "
     "text in UTF-8); KeyError 'unknown token id N' for an id that is neither."},
    {"write_shards", fastcall<write_shards_method>(), METH_FASTCALL | METH_KEYWORDS,
     "write_shards($self, jobs, eot=None, threads=None, progress=None)\n--\n\nFor every (source, bin, "
     "idx) or (source, bin, idx, other) of jobs, the ids of the UTF-8 text file source, one "
     "document, into bin as little-endian uint16 (uint32 when an id of the tokenizer is above "
     "65535), then eot (an id, or a special token's text) when given, and the document's end "
     "in tokens as one little-endian uint64 into idx. Read in blocks and encoded on up to "
     "threads native threads with the interpreter lock released; the outputs are renamed into "
     "place only once all are complete, and each other file is then removed. progress(job, "
     "bytes, tokens, done) is called along the way. OSError for a file that cannot be read, "
     "written or removed, SourceError for one that is not UTF-8."},
    {"check_round_trip", fastcall<check_round_trip_method>(), METH_FASTCALL | METH_KEYWORDS,
     "check_round_trip($self, counts, threads=None)\n--\n\nEncodes every distinct chunk of a "
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
  auto core = std::make_unique<engine::CompiledTokenizer>(std::move(merges), std::move(vocab),
                                                          std::move(specials), rules);
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
