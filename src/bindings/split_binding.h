// ovilex._native.split: the native splitter for a Python str.
#pragma once

#include <Python.h>

// The chunks of |text| under the split pattern (text/split.h), exactly as
// ovilex.split.SPLIT_PATTERN.findall(text) gives them, for a str of any kind,
// lone surrogates included. Returns a new list of str, or null with an
// exception set: TypeError "split() argument must be str, not TYPE" when
// |text| is not a str (a subclass is welcome; its chunks are plain str).
PyObject* ovilex_split_text(PyObject* text) noexcept;
