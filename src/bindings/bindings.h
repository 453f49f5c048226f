// The package's native module, ovilex._native: what its files share.
//
// The module is the thin Python face of text/ and engine/: it converts
// arguments, releases the interpreter lock around long work, and turns
// failures into the package's exceptions (ovilex.errors).
#pragma once

#include <Python.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/compiled.h"
#include "module/py_ref.h"
#include "text/source.h"
#include "tokenizer/records.h"
#include "tokenizer/train.h"
#include "tokenizer/types.h"

namespace ovilex::bindings {

using py::PyRef;

// Releases the interpreter lock for the life of the object, when |release|.
class GilReleased {
 public:
  explicit GilReleased(bool release = true) noexcept
      : state_(release ? PyEval_SaveThread() : nullptr) {}
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;
  ~GilReleased() {
    if (state_ != nullptr) PyEval_RestoreThread(state_);
  }
  // Holds the lock again for the life of the returned object.
  class Held {
   public:
    explicit Held(GilReleased& outer) noexcept : outer_(outer) {
      if (outer_.state_ != nullptr) PyEval_RestoreThread(outer_.state_);
    }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    ~Held() {
      if (outer_.state_ != nullptr) outer_.state_ = PyEval_SaveThread();
    }

   private:
    GilReleased& outer_;
  };

 private:
  PyThreadState* state_;
};

// Inputs at least this long are worth giving up the interpreter lock for.
inline constexpr std::size_t RELEASE_FROM_BYTES = 16 * 1024;

// Raises the package's exception for |error|: RecordError, SourceError and
// CountFileError for those kinds (classes of ovilex.errors), the module's
// usual one for the others.
[[noreturn]] void throw_package_error(const Error& error);
// OSError(errno, strerror, path) for a file that could not be read, else
// SourceError.
[[noreturn]] void throw_source_failure(const text::SourceFailure& failure);

// The UTF-8 text of a str, borrowed from the object (which caches it).
// TypeError "FUNCTION() argument 'NAME' must be str, not TYPE" for another
// type; UnicodeEncodeError for a str with lone surrogates.
std::string_view utf8_of(PyObject* obj, const char* function, const char* name);

// A tuple holding every item of the iterable |obj|, each checked to be a
// str (TypeError "FUNCTION() argument 'NAME' must hold str, found TYPE at
// index I"), and their UTF-8 views. The tuple keeps the views alive.
struct TextViews {
  PyRef holder;
  std::vector<std::string_view> views;
  std::size_t bytes = 0;
};
TextViews text_views(PyObject* obj, const char* function, const char* name);

// |obj| as the Tokenizer type or a subclass of it: TypeError "FUNCTION()
// argument 'cls' must be a Tokenizer class" for anything else.
PyTypeObject* tokenizer_class(PyObject* obj, const char* function);

// A new dict of every id of |vocab| to its bytes.
PyRef vocab_dict(const VocabList& vocab);

// A path (str, bytes or os.PathLike) as the file system's bytes, as open()
// takes it: ValueError for an embedded null byte.
std::string fs_path(PyObject* obj);

// The threads= argument: None (or absent) for every usable processor, else
// an int of 1 or more (ValueError "threads must be 1 or more, found N").
std::size_t to_threads(PyObject* obj);

// A new array.array of typecode 'H' or 'Q' holding |data|.
PyRef make_array(const char* typecode, const void* data, std::size_t bytes);
// A new array.array of the ids of |pieces| joined, typecode 'H' (Bits16) or
// 'I' (Bits32). ValueError "dtype uint16 cannot hold the id N; ask for
// uint32" for an id that does not fit.
PyRef make_id_array(std::span<const std::vector<TokenId>> pieces, IdWidth width);
// The same from 16-bit ids, typecode 'H'.
PyRef make_id_array(std::span<const std::vector<std::uint16_t>> pieces);

// The types, made by the module's initialisation. Each returns a borrowed
// reference to the type.
PyTypeObject* tokenizer_type();
PyTypeObject* word_counts_type();
bool add_tokenizer_type(PyObject* module);
bool add_word_counts_type(PyObject* module);

// A new instance of |cls| (the Tokenizer type or a subclass) over the
// merges and vocabulary, which must fit together, and special tokens whose
// ids are outside the vocabulary.
PyRef make_tokenizer(PyTypeObject* cls, std::vector<Merge> merges, VocabList vocab,
                     std::vector<SpecialToken> specials = {});
// The same, encoding by |rules|.
PyRef make_tokenizer(PyTypeObject* cls, std::vector<Merge> merges, VocabList vocab,
                     std::vector<SpecialToken> specials, const engine::EncodingRules& rules);
// The same over a tokenizer made beforehand.
PyRef make_tokenizer(PyTypeObject* cls, std::unique_ptr<engine::CompiledTokenizer> core);

// load_ranks(cls, data, compact, where, special_tokens, pattern): a new cls
// over the ranks of a tiktoken rank file's text (bytes or str; compact: the
// bpe_ranks of the JSON form), merging by token rank and taking whole
// chunks, with special_tokens (a dict of str to int) and the split pattern
// named. TokenizerFileError "WHERE: ..." for a file that is not one.
PyObject* load_ranks_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept;

// The special_tokens argument of training: None, or an iterable of texts,
// each non-empty and given once, no more than fit between |learned_bound|,
// above every id the training can make, and the greatest id (ValueError,
// TypeError otherwise).
std::vector<std::string> special_texts(PyObject* obj, std::size_t learned_bound);

// train(cls, counts, workdir, check=False, special_tokens=None, *,
// vocab_size=8000, min_frequency=3, max_token_length=None): learns the
// merges of a WordCounts, writes the record files into workdir/data as a
// set, and returns a new cls; with check, (that cls, (tokens, bytes, ok)).
PyObject* train_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept;
// check_training(*, vocab_size=8000, min_frequency=3, max_token_length=None,
// special_tokens=None): the special tokens' texts, after checking every
// argument as train does; for a check before any work.
PyObject* check_training_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) noexcept;

// normalize(text, normalizer='nfc'): text as the normalizer gives it, the
// same object when that changes nothing (None: no normalizer).
PyObject* normalize_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept;

// The counter inside a WordCounts object; TypeError for anything else.
WordCounter& word_counter_of(PyObject* obj, const char* function, const char* name);

}  // namespace ovilex::bindings
