#include "split_binding.h"

#include <cstddef>
#include <span>
#include <vector>

#include "bindings.h"
#include "module/errors.h"
#include "module/py_ref.h"
#include "text/split.h"

namespace ovilex::bindings {
namespace {

// Where each chunk ends, in code points. The str is immutable and its
// caller holds it, so its data may be read without the interpreter lock.
template <class Unit>
std::vector<Py_ssize_t> chunk_ends(PyObject* text) {
  const std::span<const Unit> units(static_cast<const Unit*>(PyUnicode_DATA(text)),
                                    static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)));
  std::vector<Py_ssize_t> ends;
  GilReleased released(units.size_bytes() >= RELEASE_FROM_BYTES);
  text::split_code_points(units, [&](std::size_t, std::size_t end) {
    ends.push_back(static_cast<Py_ssize_t>(end));
  });
  return ends;
}

PyRef split_str(PyObject* text) {
  std::vector<Py_ssize_t> ends;
  switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
      ends = chunk_ends<Py_UCS1>(text);
      break;
    case PyUnicode_2BYTE_KIND:
      ends = chunk_ends<Py_UCS2>(text);
      break;
    case PyUnicode_4BYTE_KIND:
      ends = chunk_ends<Py_UCS4>(text);
      break;
  }
  PyRef list = py::check(PyList_New(static_cast<Py_ssize_t>(ends.size())));
  Py_ssize_t begin = 0;
  for (std::size_t i = 0; i < ends.size(); ++i) {
    // Substring gives each chunk the narrowest kind that holds it, as re's
    // slices are, and shares the one-character strings.
    PyRef chunk = py::check(PyUnicode_Substring(text, begin, ends[i]));
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), chunk.release());
    begin = ends[i];
  }
  return list;
}

}  // namespace
}  // namespace ovilex::bindings

PyObject* ovilex_split_text(PyObject* text) noexcept {
  return ovilex::py::guarded_call([&]() -> ovilex::py::PyRef {
    if (!PyUnicode_Check(text)) {
      PyErr_Format(PyExc_TypeError, "split() argument must be str, not %.200s",
                   Py_TYPE(text)->tp_name);
      return {};
    }
    return ovilex::bindings::split_str(text);
  });
}
