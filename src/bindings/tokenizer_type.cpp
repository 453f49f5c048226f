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
#include "tokenizer_object.h"
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

PyTypeObject* the_type = nullptr;

// A new int for an id past the table of the tokenizer's ints: rare, and
// kept out of the loop below.
[[gnu::noinline]] PyObject* far_int(TokenId id) {
  return check(PyLong_FromUnsignedLong(id)).release();
}

}  // namespace

PyRef id_list(const TokenizerState& state, std::span<const TokenId> ids) {
  if (state.ints.size() < state.ints_bound) {
    std::vector<PyRef> ints(state.ints_bound);
    for (std::size_t id = 0; id < ints.size(); ++id) ints[id] = check(PyLong_FromSize_t(id));
    state.ints = std::move(ints);
  }
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


namespace {

// ------------------------------------------------------------------ methods

PyObject* tokenizer_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) noexcept {
  return guarded_call([&]() -> PyRef {
    static const char* keywords[] = {"merges",       "vocab",        "special_tokens",
                                     "pattern",      "merging",      "whole_chunks",
                                     "prefix_space", "normalizer",   nullptr};
    PyObject* merges_obj = nullptr;
    PyObject* vocab_obj = nullptr;
    PyObject* specials_arg = nullptr;
    PyObject* pattern = nullptr;
    const char* merging = nullptr;
    int whole_chunks = 0;
    int prefix_space = 0;
    const char* normalizer = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O$Ozppz:Tokenizer",
                                     const_cast<char**>(keywords), &merges_obj, &vocab_obj,
                                     &specials_arg, &pattern, &merging, &whole_chunks,
                                     &prefix_space, &normalizer)) {
      throw py::PythonError{};
    }
    // None: the merge list that the ranks make.
    const bool derived = merges_obj == Py_None;
    std::vector<Merge> merges = derived ? std::vector<Merge>{} : merges_arg(merges_obj);
    VocabList vocab = vocab_arg(vocab_obj);
    const engine::EncodingRules rules = rules_arg(pattern, merging, whole_chunks, prefix_space,
                                                       normalizer);
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

PyObject* rules_getter(PyObject* self, void* which) noexcept {
  return guarded_call([&]() -> PyRef {
    const engine::EncodingRules& rules = core_of(self).rules();
    const std::string_view field(static_cast<const char*>(which));
    const auto str = [](std::string_view s) {
      return check(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
    };
    if (field == "pattern") {
      if (rules.regex) return split_steps_object(*rules.regex);
      return str(text::split_pattern_name(rules.pattern));
    }
    if (field == "merging") {
      return str(merging_name(rules.merging));
    }
    if (field == "normalizer") {
      if (rules.normalizer == text::Normalizer::None) return PyRef::borrow(Py_None);
      return str(text::normalizer_name(rules.normalizer));
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
     "split, one list per chunk (a chunk is never split again, nor normalized: normalizing "
     "comes before splitting)."},
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
    {"pattern", rules_getter, nullptr,
     "The split pattern's name: 'ovilex', 'gpt2', 'cl100k', 'llama3', 'qwen2' or 'o200k'; or "
     "the regular expression whose matches are the chunks, or a tuple of split steps.",
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
    {"normalizer", rules_getter, nullptr,
     "How text is normalized before it is split: None, or 'nfc' (Unicode's NFC).",
     const_cast<char*>("normalizer")},
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
                    "merging='list', whole_chunks=False, prefix_space=False, normalizer=None)\n--\n\nA "
                    "merge "
                    "list and its vocabulary, and special tokens (text -> id, ids outside the "
                    "vocabulary), ids 0 to 4294967294, compiled for encoding text and decoding ids. pattern: 'ovilex' "
                    "(None), 'gpt2', 'cl100k', 'llama3', 'qwen2' or 'o200k', or split steps run by "
                    "PCRE2 (see the pattern attribute). merging: 'list', or by rank "
                    "for the rules of other "
                    "libraries, 'merge_rank' or 'token_rank' (merges None: the merge list that "
                    "the ranks make); the vocabulary then holds each byte as one id, any id. "
                    "whole_chunks, prefix_space and normalizer: see their attributes.")},
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
  return make_tokenizer(cls, std::make_unique<engine::CompiledTokenizer>(
                                 std::move(merges), std::move(vocab), std::move(specials), rules));
}

PyRef make_tokenizer(PyTypeObject* cls, std::unique_ptr<engine::CompiledTokenizer> core) {
  const std::size_t dense = std::max(core->vocab().dense_bound(), std::size_t{0x10000});
  const std::size_t ints_bound = std::min(core->id_bound(), dense);
  PyRef self = check(cls->tp_alloc(cls, 0));
  std::construct_at(&state_of(self.get()), TokenizerState{std::move(core), {}, ints_bound});
  return self;
}

}  // namespace ovilex::bindings
