#include "split_binding.h"

#include <array>
#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

#include "bindings.h"
#include "module/args.h"
#include "module/errors.h"
#include "module/py_ref.h"
#include "text/char_class.h"
#include "text/split.h"
#include "tokenizer_args.h"

namespace ovilex::bindings {
namespace {

using text::CharClass;
using text::SplitPattern;

// The pattern named by |arg|: None or a name of text::split_pattern_named.
SplitPattern pattern_of(PyObject* arg, const char* function) {
  if (arg == nullptr || arg == Py_None) return SplitPattern::Ovilex;
  if (!PyUnicode_Check(arg)) {
    py::throw_format(PyExc_TypeError, "%s() argument 'pattern' must be str or None, not %.200s",
                     function, Py_TYPE(arg)->tp_name);
  }
  Py_ssize_t size = 0;
  const char* name = PyUnicode_AsUTF8AndSize(arg, &size);
  if (name != nullptr) {
    if (const auto p = text::split_pattern_named(std::string_view(name, static_cast<std::size_t>(size)))) {
      return *p;
    }
  }
  PyErr_Clear();  // a name that is not UTF-8 is unknown too
  py::throw_format(PyExc_ValueError, "unknown split pattern %R: the supported ones are %s", arg,
                   text::SPLIT_PATTERN_NAMES);
}

// Where each chunk ends, in code points. The str is immutable and its
// caller holds it, so its data may be read without the interpreter lock.
template <class Unit>
std::vector<Py_ssize_t> chunk_ends(SplitPattern pattern, PyObject* text) {
  const std::span<const Unit> units(static_cast<const Unit*>(PyUnicode_DATA(text)),
                                    static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)));
  std::vector<Py_ssize_t> ends;
  GilReleased released(units.size_bytes() >= RELEASE_FROM_BYTES);
  text::split_code_points(pattern, units, [&](std::size_t, std::size_t end) {
    ends.push_back(static_cast<Py_ssize_t>(end));
  });
  return ends;
}

PyRef split_str(SplitPattern pattern, PyObject* text) {
  std::vector<Py_ssize_t> ends;
  switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
      ends = chunk_ends<Py_UCS1>(pattern, text);
      break;
    case PyUnicode_2BYTE_KIND:
      ends = chunk_ends<Py_UCS2>(pattern, text);
      break;
    case PyUnicode_4BYTE_KIND:
      ends = chunk_ends<Py_UCS4>(pattern, text);
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

// The chunks of |text| under split steps: the str as UTF-8 (lone
// surrogates refused), the chunks' byte offsets back to code points.
PyRef split_str_by_steps(const text::RegexSplitter& splitter, PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) throw py::PythonError{};
  const std::string_view bytes(data, static_cast<std::size_t>(size));
  PyRef list = py::check(PyList_New(0));
  std::size_t byte_at = 0;
  Py_ssize_t code_point_at = 0;
  const auto to_code_points = [&](std::size_t b) {
    for (; byte_at < b; ++byte_at) {
      if ((static_cast<unsigned char>(bytes[byte_at]) & 0xC0) != 0x80) ++code_point_at;
    }
    return code_point_at;
  };
  splitter.split(bytes, [&](std::size_t begin, std::size_t end) {
    const Py_ssize_t b = to_code_points(begin);
    const Py_ssize_t e = to_code_points(end);
    PyRef chunk = py::check(PyUnicode_Substring(text, b, e));
    if (PyList_Append(list.get(), chunk.get()) != 0) throw py::PythonError{};
  });
  return list;
}

PyRef class_ranges(SplitPattern pattern) {
  std::array<PyRef, 4> lists;
  for (PyRef& list : lists) list = py::check(PyList_New(0));
  const auto add = [&](CharClass cls, char32_t first, char32_t last) {
    PyRef range = py::check(Py_BuildValue("(kk)", static_cast<unsigned long>(first),
                                          static_cast<unsigned long>(last)));
    if (PyList_Append(lists[static_cast<std::size_t>(cls)].get(), range.get()) != 0) {
      throw py::PythonError{};
    }
  };
  char32_t first = 0;
  CharClass cls = text::char_class(pattern, 0);
  for (char32_t cp = 1; cp <= text::detail::MAX_CODE_POINT; ++cp) {
    const CharClass here = text::char_class(pattern, cp);
    if (here == cls) continue;
    add(cls, first, cp - 1);
    first = cp;
    cls = here;
  }
  add(cls, first, text::detail::MAX_CODE_POINT);
  static constexpr const char* NAMES[] = {"symbol", "letter", "digit", "space"};
  PyRef dict = py::check(PyDict_New());
  for (const CharClass c : {CharClass::Letter, CharClass::Digit, CharClass::Space, CharClass::Symbol}) {
    const auto k = static_cast<std::size_t>(c);
    PyRef ranges = py::check(PyList_AsTuple(lists[k].get()));
    if (PyDict_SetItemString(dict.get(), NAMES[k], ranges.get()) != 0) throw py::PythonError{};
  }
  return dict;
}

constexpr std::string_view SPLIT_PARAMS[] = {"text", "pattern"};
constexpr py::Signature SPLIT_SIG{"split", SPLIT_PARAMS, 1, 1};
constexpr std::string_view CLASS_RANGES_PARAMS[] = {"pattern"};
constexpr py::Signature CLASS_RANGES_SIG{"char_class_ranges", CLASS_RANGES_PARAMS, 0, 0};

}  // namespace

text::SplitPattern split_pattern_arg(PyObject* arg, const char* function) {
  return pattern_of(arg, function);
}

}  // namespace ovilex::bindings

PyObject* ovilex_split_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept {
  using namespace ovilex::bindings;
  return ovilex::py::guarded_call([&]() -> ovilex::py::PyRef {
    std::array<PyObject*, 2> slots;
    ovilex::py::parse_args(SPLIT_SIG, args, nargs, kwnames, slots);
    if (!PyUnicode_Check(slots[0])) {
      ovilex::py::throw_format(PyExc_TypeError, "split() argument must be str, not %.200s",
                               Py_TYPE(slots[0])->tp_name);
    }
    if (slots[1] != nullptr && (PyTuple_Check(slots[1]) || PyList_Check(slots[1]))) {
      return split_str_by_steps(*split_steps_arg(slots[1]), slots[0]);
    }
    return split_str(pattern_of(slots[1], "split"), slots[0]);
  });
}

PyObject* ovilex_char_class_ranges_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) noexcept {
  using namespace ovilex::bindings;
  return ovilex::py::guarded_call([&]() -> ovilex::py::PyRef {
    std::array<PyObject*, 1> slots;
    ovilex::py::parse_args(CLASS_RANGES_SIG, args, nargs, kwnames, slots);
    return class_ranges(pattern_of(slots[0], "char_class_ranges"));
  });
}
