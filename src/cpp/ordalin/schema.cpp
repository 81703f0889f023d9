// The Schema object itself: construction, text forms and the key priority.
#include "arguments.hpp"
#include "ordalin.hpp"

namespace ordalin {

namespace {

// str() of each path element, joined with ".".
Ref join_path(PyObject *path) {
    Ref iter = Ref::steal(PyObject_GetIter(path));
    if (!iter) return iter;
    Ref parts = Ref::steal(PyList_New(0));
    if (!parts) return parts;
    while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
        Ref text = Ref::steal(PyObject_Str(item.get()));
        if (!text || PyList_Append(parts.get(), text.get()) < 0) return Ref();
    }
    if (PyErr_Occurred()) return Ref();
    return Ref::steal(PyUnicode_Join(g.s_dot, parts.get()));
}

// Keeps the schema, its type and a path of the object's own.
PyObject *init_schema(PyObject *self, PyObject *schema, PyObject *path) {
    if (PyObject_SetAttr(self, g.s_schema, schema) < 0 ||
        PyObject_SetAttr(self, g.s_schemaType, reinterpret_cast<PyObject *>(Py_TYPE(schema))) < 0)
        return nullptr;
    int truth = PyObject_IsTrue(path);
    if (truth < 0) return nullptr;
    // A new list, or a copy of the caller's, so later changes to it stay theirs.
    Ref stored = truth ? quarn::call_method(path, g.s_copy) : Ref::steal(PyList_New(0));
    if (!stored || PyObject_SetAttr(self, g.s_path, stored.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject *schema_init(PyObject *self, PyObject *args, PyObject *kwargs) {
    static const char *kwlist[] = {"schema", "path", nullptr};
    PyObject *schema, *path = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:__init__", const_cast<char **>(kwlist), &schema,
                                     &path))
        return nullptr;
    return init_schema(self, schema, path);
}

#if PY_VERSION_HEX >= 0x03070000
// The vectorcall form of __init__ for __init__(schema) and
// __init__(schema, path), with or without keywords; any other shape goes
// through the parser above, which words the errors.
PyObject *schema_init_fast(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const char *const names[] = {"schema", "path"};
    PyObject *bound[2] = {nullptr, nullptr};
    if (bind_plainly(args, nargs, kwnames, names, bound) && bound[0])
        return init_schema(self, bound[0], bound[1] ? bound[1] : Py_None);
    return call_parsing(schema_init, self, args, nargs, kwnames);
}
#endif

PyObject *schema_str(PyObject *self, PyObject *) {
    Ref class_name = quarn::getattr(reinterpret_cast<PyObject *>(Py_TYPE(self)), g.s_name);
    if (!class_name) return nullptr;
    Ref path = quarn::getattr(self, g.s_path);
    if (!path) return nullptr;
    Ref joined = join_path(path.get());
    if (!joined) return nullptr;
    Ref schema_type = quarn::getattr(self, g.s_schemaType);
    if (!schema_type) return nullptr;
    Ref type_name = quarn::getattr(schema_type.get(), g.s_name);
    if (!type_name) return nullptr;
    Ref schema = quarn::getattr(self, g.s_schema);
    if (!schema) return nullptr;
    return schema_text(class_name.get(), joined.get(), type_name.get(), schema.get()).release();
}

PyObject *schema_repr(PyObject *self, PyObject *) {
    // The instance's own __str__, so subclasses' texts serve as their repr.
    Ref str = quarn::getattr(self, g.s_str);
    if (!str) return nullptr;
    return PyObject_CallObject(str.get(), nullptr);
}

PyObject *schema_priority(PyObject *, PyObject *args, PyObject *kwargs) {
    static const char *kwlist[] = {"obj", nullptr};
    PyObject *obj;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:priority", const_cast<char **>(kwlist), &obj))
        return nullptr;
    int p = key_priority(obj);
    return p < 0 ? nullptr : PyLong_FromLong(p);
}

}  // namespace

Ref schema_text(PyObject *class_name, PyObject *path, PyObject *type_name, PyObject *schema) {
    // "{class_name} {path} {schema_type} {schema}", schema_type = "({})".
    PyObject *pieces_in[] = {class_name, path, type_name, schema};
    Ref formatted[4];
    for (int i = 0; i < 4; ++i)
        if (!(formatted[i] = Ref::steal(PyObject_Format(pieces_in[i], g.s_empty)))) return Ref();
    return Ref::steal(PyUnicode_FromFormat("%U %U (%U) %U", formatted[0].get(), formatted[1].get(),
                                           formatted[2].get(), formatted[3].get()));
}

int key_priority(PyObject *key) {
    if (is_plain(key)) {
        PyTypeObject *t = Py_TYPE(key);
        if (PyType_IsSubtype(t, reinterpret_cast<PyTypeObject *>(g.Any))) return 3;
        if (PyType_IsSubtype(t, reinterpret_cast<PyTypeObject *>(g.Optional))) return 2;
        return 1;
    }
    note_user_code();
    int r = PyObject_IsInstance(key, g.Any);
    if (r != 0) return r < 0 ? -1 : 3;
    r = PyObject_IsInstance(key, g.Optional);
    if (r != 0) return r < 0 ? -1 : 2;
    return 1;
}

PyMethodDef schema_init_def = {
#if PY_VERSION_HEX >= 0x03070000
    "__init__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(schema_init_fast)),
    METH_FASTCALL | METH_KEYWORDS,
#else
    "__init__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(schema_init)),
    METH_VARARGS | METH_KEYWORDS,
#endif
    "__init__($self, schema, path=None)\n--\n\nInitialize self."};
PyMethodDef schema_str_def = {"__str__", schema_str, METH_NOARGS, "__str__($self, /)\n--\n\nReturn str(self)."};
PyMethodDef schema_repr_def = {"__repr__", schema_repr, METH_NOARGS,
                               "__repr__($self, /)\n--\n\nReturn repr(self)."};
PyMethodDef schema_priority_def = {
    "priority", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(schema_priority)),
    METH_VARARGS | METH_KEYWORDS,
    "priority($self, obj)\n--\n\n"
    "Sort key of dictionary schema keys: 3 for Any, 2 for Optional, 1 otherwise."};

}  // namespace ordalin
