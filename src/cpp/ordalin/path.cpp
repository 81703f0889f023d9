// Path: a tuple of keys in which Any() elements match any key.  (Placeholder.)
#include "ordalin.hpp"

namespace ordalin {
namespace {
PyObject *not_yet(PyObject *, PyObject *, PyObject *) {
    PyErr_SetString(PyExc_NotImplementedError, "not yet");
    return nullptr;
}
}  // namespace

PyMethodDef path_hash_def = {"__hash__", (PyCFunction)(void (*)(void))not_yet, METH_VARARGS | METH_KEYWORDS,
                             "__hash__($self, /)\n--\n\nReturn hash(self)."};
PyMethodDef path_eq_def = {"__eq__", (PyCFunction)(void (*)(void))not_yet, METH_VARARGS | METH_KEYWORDS,
                           "__eq__($self, other, /)\n--\n\nReturn self==other."};
PyMethodDef path_is_dynamic_def = {"is_dynamic", (PyCFunction)(void (*)(void))not_yet,
                                   METH_VARARGS | METH_KEYWORDS, "is_dynamic($self)\n--\n\n"};
PyMethodDef path_missing_from_def = {"missing_from", (PyCFunction)(void (*)(void))not_yet,
                                     METH_VARARGS | METH_KEYWORDS, "missing_from($self, paths)\n--\n\n"};

}  // namespace ordalin
