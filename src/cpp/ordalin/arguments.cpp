// The argument tuple and dict of a vectorcall, for calls of a shape that
// only the argument parser words the errors of (arguments.hpp).
#include "arguments.hpp"

namespace ordalin {

#if PY_VERSION_HEX >= 0x03070000
PyObject *call_parsing(PyCFunctionWithKeywords parse, PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                       PyObject *kwnames) {
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    quarn::Ref positional = quarn::Ref::steal(PyTuple_New(nargs));
    quarn::Ref keywords = quarn::Ref::steal(nkw ? PyDict_New() : nullptr);
    if (!positional || (nkw && !keywords)) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i)
        PyTuple_SET_ITEM(positional.get(), i, quarn::Ref::borrow(args[i]).release());
    for (Py_ssize_t i = 0; i < nkw; ++i)
        if (PyDict_SetItem(keywords.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) return nullptr;
    return parse(self, positional.get(), keywords.get());
}
#endif

}  // namespace ordalin
