// ovilex._native.normalize: a text as a tokenizer's normalizer gives it.
#include <Python.h>

#include <array>
#include <string>

#include "bindings.h"
#include "module/args.h"
#include "module/errors.h"
#include "text/nfc.h"
#include "tokenizer_args.h"

namespace ovilex::bindings {

namespace {

constexpr std::string_view NORMALIZE_PARAMS[] = {"text", "normalizer"};
constexpr py::Signature NORMALIZE_SIG{"normalize", NORMALIZE_PARAMS, 1, 0};

}  // namespace

PyObject* normalize_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
  return py::guarded_call([&]() -> PyRef {
    std::array<PyObject*, 2> slots;
    py::parse_args(NORMALIZE_SIG, args, nargs, kwnames, slots);
    const std::string_view text = utf8_of(slots[0], "normalize", "text");
    const char* name = "nfc";
    if (slots[1] != nullptr && slots[1] != Py_None) {
      if (!PyUnicode_Check(slots[1])) {
        py::throw_format(PyExc_TypeError, "normalize() argument 'normalizer' must be str, not %.200s",
                         Py_TYPE(slots[1])->tp_name);
      }
      name = PyUnicode_AsUTF8(slots[1]);
      if (name == nullptr) throw py::PythonError{};
    } else if (slots[1] == Py_None) {
      name = nullptr;
    }
    std::string scratch;
    const std::string_view out = text::normalized(normalizer_arg(name), text, scratch);
    // Text that is normalized already comes back as the same object.
    if (out.data() == text.data()) return PyRef::borrow(slots[0]);
    return py::check(PyUnicode_DecodeUTF8(out.data(), static_cast<Py_ssize_t>(out.size()), "strict"));
  });
}

}  // namespace ovilex::bindings
