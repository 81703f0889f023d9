// Checks that what a remembered result read is still as it was.
#include "read_checks.hpp"

namespace ordalin {

bool watch_object(PyObject *obj, ReadCheck &out) {
    PyTypeObject *t = Py_TYPE(obj);
    if (t->tp_getattro != PyObject_GenericGetAttr || !class_stamp(t, out.class_version)) return false;
    out.object = Ref::borrow(obj);
    out.type = t;
    // The attribute dict is made now if the object has none yet, and its
    // stamp taken before any attribute is read from it.
    out.own_dict = own_dict_of(obj);
    if (!out.own_dict || !PyDict_CheckExact(out.own_dict.get())) return false;
    if (writes_move_own_dict_stamp()) out.own_dict_version = schema_stamp(out.own_dict.get());
    // A `validate` set on the object wins over its class's: such an object
    // is not watched, and the absence is recorded so that one set later is
    // noticed.
    if (own_dict_holds(out.own_dict.get(), g.s_validate)) return false;
    out.attrs.reserve(4);  // the most read of one: `validate` (absent), a value, `schemaType`, `schema`
    out.attrs.emplace_back(g.s_validate, Ref());
    return true;
}

PyObject *read_attribute(ReadCheck &c, PyObject *name) {
    if (class_attribute(c.type, name)) return nullptr;
    // No class attribute of that name, and the generic lookup: the object's
    // own dict answers, as that lookup would.
    PyObject *v = PyDict_GetItemWithError(c.own_dict.get(), name);
    if (!v) {
        PyErr_Clear();
        return nullptr;
    }
    c.attrs.emplace_back(name, Ref::borrow(v));
    return v;
}

}  // namespace ordalin
