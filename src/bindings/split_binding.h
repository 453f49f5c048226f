// ovilex._native.split and ovilex._native.char_class_ranges: the native
// splitter for a Python str, and the classes behind it.
#pragma once

#include <Python.h>

#include "text/char_class.h"

namespace ovilex::bindings {

// The split pattern that a |function|'s 'pattern' argument names: None (or
// nullptr, not given) for ovilex's own; TypeError or ValueError (as split
// raises them) for anything else. Throws py::PythonError.
text::SplitPattern split_pattern_arg(PyObject* arg, const char* function);

}  // namespace ovilex::bindings

// split(text, /, pattern=None): the chunks of |text| under a split pattern
// (text/split.h), None or "ovilex" for ours, exactly as
// ovilex.split.SPLIT_PATTERN.findall(text) gives them, or "gpt2" for GPT-2's,
// for a str of any kind, lone surrogates included. Returns a new list of str,
// or null with an exception set: TypeError "split() argument must be str, not
// TYPE" when |text| is not a str (a subclass is welcome; its chunks are plain
// str); ValueError for any other pattern name. |pattern| may also be split
// steps (a tuple, as the Tokenizer takes them), run by PCRE2 on the text as
// UTF-8.
PyObject* ovilex_split_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept;

// char_class_ranges(pattern=None): the classes of every code point under a
// split pattern, as a dict of "letter", "digit", "space" and "symbol" to
// tuples of inclusive (first, last) ranges of code points, in order,
// surrogates included.
PyObject* ovilex_char_class_ranges_entry(PyObject* module, PyObject* const* args,
                                         Py_ssize_t nargs, PyObject* kwnames) noexcept;
