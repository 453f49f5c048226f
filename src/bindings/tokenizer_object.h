// The object of ovilex._native.Tokenizer, shared by the files that define
// its methods: tokenizer_type.cpp (the type, construction, attributes),
// tokenizer_encode.cpp (encoding, counting, decoding) and
// tokenizer_files.cpp (files: token counts, shards, the training check).
#pragma once

#include <Python.h>

#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "engine/compiled.h"
#include "module/errors.h"
#include "module/py_ref.h"

namespace ovilex::bindings {

using py::PyRef;

struct TokenizerState {
  std::unique_ptr<engine::CompiledTokenizer> core;
  // ints[id] is the int object of id, for the ids below ints_bound (the
  // dense part of the vocabulary and the special tokens among them), made
  // by the first list of ids (id_list, under the GIL): a tokenizer that
  // never gives one pays nothing for them.
  mutable std::vector<PyRef> ints;
  std::size_t ints_bound = 0;
};

struct TokenizerObject {
  PyObject_HEAD
  TokenizerState state;
};

inline TokenizerState& state_of(PyObject* self) {
  return reinterpret_cast<TokenizerObject*>(self)->state;
}

inline const engine::CompiledTokenizer& core_of(PyObject* self) {
  const auto& core = state_of(self).core;
  if (!core) {
    PyErr_SetString(PyExc_ValueError, "the Tokenizer has not been initialised");
    throw py::PythonError{};
  }
  return *core;
}

// A new list of the ids' int objects.
PyRef id_list(const TokenizerState& state, std::span<const TokenId> ids);

// A new list of the counts as ints.
PyRef count_list(std::span<const std::uint64_t> counts);

// A new str of decoded bytes; ValueError "decoded bytes are not valid
// UTF-8: ..." for bytes that are not.
PyRef decoded_text(std::string_view bytes);

// The methods, for the type's table.
PyObject* encode_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept;
PyObject* encode_array_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept;
PyObject* count_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept;
PyObject* encode_batch_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept;
PyObject* encode_batch_array_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) noexcept;
PyObject* count_batch_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept;
PyObject* encode_chunks_method(PyObject* self, PyObject* chunks_arg) noexcept;
PyObject* decode_method(PyObject* self, PyObject* ids_arg) noexcept;
PyObject* decode_bytes_method(PyObject* self, PyObject* ids_arg) noexcept;
PyObject* id_to_bytes_method(PyObject* self, PyObject* id_arg) noexcept;
PyObject* count_in_files_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept;
PyObject* check_round_trip_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) noexcept;
PyObject* write_shards_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept;
// check_read_in_pieces(tokenizer, function): None when the calls that read
// files in pieces take |tokenizer|, else the ValueError that |function|
// (its name in the message) raises.
PyObject* check_read_in_pieces_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) noexcept;

}  // namespace ovilex::bindings
