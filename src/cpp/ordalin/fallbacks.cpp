// Fallbacks: Fallback, collect_fallbacks, apply_fallback.  (Placeholder.)
#include "ordalin.hpp"

namespace ordalin {

Ref apply_fallback_for(PyObject *, PyObject *, PyObject *, PyObject *data) { return Ref::borrow(data); }

namespace {
PyObject *not_yet(PyObject *, PyObject *, PyObject *) {
    PyErr_SetString(PyExc_NotImplementedError, "not yet");
    return nullptr;
}
// Fallback(schema, fallback): `fallback` is the source key path, given as
// keys joined by ".".
PyObject *fallback_init(PyObject *self, PyObject *args, PyObject *kwargs) {
    static const char *kwlist[] = {"schema", "fallback", nullptr};
    PyObject *schema, *fallback;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:__init__", const_cast<char **>(kwlist), &schema,
                                     &fallback))
        return nullptr;
    Ref pieces = quarn::call_method(fallback, g.s_split, g.s_dot);
    Ref path = pieces ? Ref::steal(PySequence_Tuple(pieces.get())) : Ref();
    if (!path || PyObject_SetAttr(self, g.s_fallback, path.get()) < 0) return nullptr;
    Ref init_args = Ref::steal(PyTuple_Pack(1, schema));
    if (!init_args) return nullptr;
    return super_init(g.Fallback, self, init_args.get(), nullptr).release();
}
}  // namespace

PyMethodDef schema_collect_fallbacks_def = {"collect_fallbacks", (PyCFunction)(void (*)(void))not_yet,
                                            METH_VARARGS | METH_KEYWORDS, "collect_fallbacks($self)\n--\n\n"};
PyMethodDef schema_apply_fallback_def = {"apply_fallback", (PyCFunction)(void (*)(void))not_yet,
                                         METH_VARARGS | METH_KEYWORDS, "apply_fallback($self, data)\n--\n\n"};
PyMethodDef fallback_init_def = {"__init__", (PyCFunction)(void (*)(void))fallback_init,
                                 METH_VARARGS | METH_KEYWORDS, "__init__($self, schema, fallback)\n--\n\n"};

}  // namespace ordalin
