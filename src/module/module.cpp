// The _ovilex extension module: initialisation, the function table and the
// entry of every call.
#include <Python.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <string_view>

#include "args.h"
#include "errors.h"
#include "once.h"
#include "py_ref.h"
#include "tokenizer/decode.h"
#include "tokenizer/encode.h"
#include "tokenizer/train.h"

namespace ovilex::py {
namespace {

constexpr std::string_view ENCODE_TRAIN_PARAMS[] = {"chunks"};
constexpr std::string_view ENCODE_PARAMS[] = {"s", "merges"};
constexpr std::string_view DECODE_STRING_PARAMS[] = {"ids", "vocab_list"};

constexpr Signature ENCODE_TRAIN_SIG{"encode_train", ENCODE_TRAIN_PARAMS, 1, 0};
constexpr Signature ENCODE_SIG{"encode", ENCODE_PARAMS, 2, 0};
constexpr Signature DECODE_STRING_SIG{"decode_string", DECODE_STRING_PARAMS, 2, 0};

// Fixed by the module's contract, word for word: the banner that
// build_info() returns, and the C API version the module is created with
// (1013 whatever the headers' own PYTHON_API_VERSION says).
constexpr const char* BANNER = "ovilex build: capped_encode_train_max_7744:0.1.0:src\\tokenizer";
constexpr int MODULE_API_VERSION = 1013;

PyObject* build_info_entry(PyObject*, PyObject*) noexcept {
  return guarded_call([] { return check(PyUnicode_FromString(BANNER)); });
}

PyObject* encode_train_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept {
  return guarded_call([&]() -> PyRef {
    std::array<PyObject*, 1> slots;
    parse_args(ENCODE_TRAIN_SIG, args, nargs, kwnames, slots);
    WordCounter words = to_word_counts(slots[0], "chunks");
    Result<std::vector<Merge>> merges = train(std::move(words));
    if (!merges.ok()) throw_error(merges.error());
    return from_merges(merges.value());
  });
}

PyObject* encode_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  return guarded_call([&] {
    std::array<PyObject*, 2> slots;
    parse_args(ENCODE_SIG, args, nargs, kwnames, slots);
    const ChunkList chunks = to_chunks(slots[0], "s");
    const std::vector<Merge> merges = to_merges(slots[1], "merges");
    return from_token_ids(encode(chunks, merges));
  });
}

PyObject* decode_string_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept {
  return guarded_call([&] {
    std::array<PyObject*, 2> slots;
    parse_args(DECODE_STRING_SIG, args, nargs, kwnames, slots);
    const std::vector<TokenId> ids = to_token_ids(slots[0], "ids");
    const VocabList vocab = to_vocab_list(slots[1], "vocab_list");
    Result<std::string> text = decode_string(ids, vocab);
    if (!text.ok()) throw_error(text.error());
    return from_utf8(text.value());
  });
}

// The function objects point at these records for the life of the process.
PyMethodDef FUNCTIONS[] = {
    {"build_info", build_info_entry, METH_NOARGS, "build_info()\n--\n\n"},
    {"encode_train", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encode_train_entry)),
     METH_FASTCALL | METH_KEYWORDS, "encode_train(chunks)\n--\n\n"},
    {"encode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encode_entry)),
     METH_FASTCALL | METH_KEYWORDS, "encode(s, merges)\n--\n\n"},
    {"decode_string",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decode_string_entry)),
     METH_FASTCALL | METH_KEYWORDS, "decode_string(ids, vocab_list)\n--\n\n"},
};

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT,
    "_ovilex",
    "Byte-level BPE tokenizer: train merges, encode text, decode ids.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Binds |def| to |module| and lists it in __all__.
void add_function(PyObject* module, PyMethodDef* def) {
  PyRef module_name = check(PyModule_GetNameObject(module));
  PyRef function = check(PyCMethod_New(def, module, module_name.get(), nullptr));
  PyRef name = check(PyObject_GetAttrString(function.get(), "__name__"));
  if (!PyUnicode_Check(name.get())) throw_cast_error(name.get(), "str");

  PyObject* found = nullptr;
  const int has_all = PyObject_GetOptionalAttrString(module, "__all__", &found);
  if (has_all < 0) throw_pending();
  PyRef all = PyRef::steal(found);
  if (has_all == 0) {
    all = check(PyList_New(0));
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw_pending();
  }
  if (!PyList_Check(all.get())) throw_cast_error(all.get(), "list");
  if (PyList_Append(all.get(), name.get()) < 0) {
    PyErr_Clear();
    fail_internal("could not append __name__ to __all__");
  }
  if (PyObject_SetAttr(module, name.get(), function.get()) < 0) throw_pending();
}

std::atomic<std::int64_t> owner_interpreter{-1};
GilOnce<PyObject*> module_cell;

PyObject* make_module() {
  PyRef module = check(PyModule_Create2(&MODULE_DEF, MODULE_API_VERSION));
  for (PyMethodDef& def : FUNCTIONS) add_function(module.get(), &def);
  // Held for the life of the process: a later import gets this same object.
  return module.release();
}

}  // namespace
}  // namespace ovilex::py

PyMODINIT_FUNC PyInit__ovilex() {
  using namespace ovilex::py;
  return guarded_call([]() -> PyRef {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) throw_pending();
    std::int64_t expected = -1;
    if (!owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
      throw_new(PyExc_ImportError,
                "_ovilex does not yet support sub-interpreters: it can be imported in only "
                "one interpreter per process");
    }
    return PyRef::borrow(module_cell.get(make_module));
  });
}
