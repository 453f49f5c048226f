// Matching a call's arguments to parameters, converting each argument into
// an owned native value, and converting native results back.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

#include "py_ref.h"
#include "tokenizer/train.h"
#include "tokenizer/types.h"

namespace ovilex::py {

// The parameters of one function. The parser handles positional-only,
// keyword-only and optional parameters, since its messages cover them,
// although every parameter of this module is required and
// positional-or-keyword.
struct Signature {
  std::string_view function;
  std::span<const std::string_view> positional;  // in order
  std::size_t required_positional;
  std::size_t positional_only;  // the first this many of |positional|
  std::span<const std::string_view> keyword_only = {};
  std::size_t required_keyword_only = 0;
};

// Fills one slot per parameter (positional, then keyword-only) with a
// borrowed reference, or null for an optional parameter not given. Throws
// PythonError with a TypeError for a call that does not fit.
void parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                std::span<PyObject*> slots);

// Sets TypeError "'<type>' object cannot be cast as '<target>'" and throws.
[[noreturn]] void throw_cast_error(PyObject* obj, const char* target);

// Conversions of one argument. Each throws PythonError, with an exception of
// exactly TypeError given the prefix "argument '<name>': ".
ChunkList to_chunks(PyObject* obj, const char* name);
// The chunks of a training call, counted as distinct words as they arrive
// rather than held one by one.
WordCounter to_word_counts(PyObject* obj, const char* name);
std::vector<Merge> to_merges(PyObject* obj, const char* name);
// _ovilex's ids are 0 to 65535 (Bits16); the package's take all of TokenId.
// Both refuse others with _ovilex's OverflowError.
std::vector<TokenId> to_token_ids(PyObject* obj, const char* name, IdWidth width = IdWidth::Bits16);
VocabList to_vocab_list(PyObject* obj, const char* name);

// Result conversions; each returns a new reference.
PyRef from_token_ids(std::span<const TokenId> ids);
PyRef from_merges(std::span<const Merge> merges);
PyRef from_utf8(std::string_view text);

}  // namespace ovilex::py
