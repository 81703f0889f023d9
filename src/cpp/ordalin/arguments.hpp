// The arguments of a vectorcall bound by hand for the usual shapes of a
// call, so that `s.validate(x)` and `Schema(d)` build no argument tuple and
// skip the argument parser.  Any other shape is handed to the method's own
// parser, which words the error exactly as it always has.
#pragma once

#include "py_ref.hpp"

#include <cstddef>

namespace ordalin {

#if PY_VERSION_HEX >= 0x03070000
// Binds at most N positional arguments, then keywords among `names`, none
// given twice, into `out` (its unbound parameters left as they are: null).
// False for any other shape, with no error set.
template <size_t N>
bool bind_plainly(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, const char *const (&names)[N],
                  PyObject *(&out)[N]) {
    if (nargs > static_cast<Py_ssize_t>(N)) return false;
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject *name = PyTuple_GET_ITEM(kwnames, i);
        size_t at = 0;
        while (at < N && PyUnicode_CompareWithASCIIString(name, names[at]) != 0) ++at;
        if (at == N || out[at]) return false;
        out[at] = args[nargs + i];
    }
    return true;
}

// Calls the tuple-and-dict form `parse` of a method with the arguments of
// a vectorcall.
PyObject *call_parsing(PyCFunctionWithKeywords parse, PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                       PyObject *kwnames);
#endif

}  // namespace ordalin
