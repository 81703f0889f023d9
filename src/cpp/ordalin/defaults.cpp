// Defaults: Default, collect_defaults, apply_defaults.  (Placeholder.)
#include "ordalin.hpp"

namespace ordalin {

Ref apply_defaults_for(PyObject *, PyObject *, PyObject *, PyObject *data) { return Ref::borrow(data); }

namespace {
PyObject *not_yet(PyObject *, PyObject *, PyObject *) {
    PyErr_SetString(PyExc_NotImplementedError, "not yet");
    return nullptr;
}
PyObject *default_init(PyObject *self, PyObject *args, PyObject *kwargs) {
    PyObject *schema, *dflt;
    static const char *kw[] = {"schema", "default", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:__init__", const_cast<char **>(kw), &schema, &dflt))
        return nullptr;
    if (PyObject_SetAttr(self, g.s_default, dflt) < 0) return nullptr;
    Ref a = Ref::steal(PyTuple_Pack(1, schema));
    return super_init(g.Default, self, a.get(), nullptr).release();
}
PyObject *default_validate(PyObject *self, PyObject *args, PyObject *kwargs) {
    static const char *kwlist[] = {"data", "top", nullptr};
    PyObject *data, *top = Py_False;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:validate", const_cast<char **>(kwlist), &data, &top))
        return nullptr;
    int truth = PyObject_IsTrue(top);
    if (truth < 0) return nullptr;
    return default_validate_impl(self, data, truth != 0).release();
}
}  // namespace

// None stands for "absent": it is replaced by the default itself, unchecked.
Ref default_validate_impl(PyObject *self, PyObject *data, bool top) {
    if (data == Py_None) return quarn::getattr(self, g.s_default);
    return schema_validate_impl(self, data, top);
}

PyMethodDef schema_collect_defaults_def = {"collect_defaults", (PyCFunction)(void (*)(void))not_yet,
                                           METH_VARARGS | METH_KEYWORDS, "collect_defaults($self)\n--\n\n"};
PyMethodDef schema_apply_defaults_def = {"apply_defaults", (PyCFunction)(void (*)(void))not_yet,
                                         METH_VARARGS | METH_KEYWORDS, "apply_defaults($self, data)\n--\n\n"};
PyMethodDef default_init_def = {"__init__", (PyCFunction)(void (*)(void))default_init,
                                METH_VARARGS | METH_KEYWORDS, "__init__($self, schema, default)\n--\n\n"};
PyMethodDef default_validate_def = {"validate", (PyCFunction)(void (*)(void))default_validate,
                                    METH_VARARGS | METH_KEYWORDS, "validate($self, data, top=False)\n--\n\n"};

}  // namespace ordalin
