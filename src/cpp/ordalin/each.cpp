// Each: validates every element of a list, tuple or set with one schema and
// returns a new container of the same built-in type holding the results.
#include "ordalin.hpp"

namespace ordalin {

// The built-in container `data` is (subclasses count as their base).
Container container_of(PyObject *data) {
    if (PyList_Check(data)) return Container::List;
    if (PyTuple_Check(data)) return Container::Tuple;
    if (PySet_Check(data)) return Container::Set;
    return Container::Other;
}

// The elements as they are when the walk starts, read from the container's
// own storage (a subclass's __iter__ or __getitem__ is not called): the
// schema's code may change the container, the walk goes on over what it
// held.
bool snapshot_elements(PyObject *data, Container kind, RefVec &out) {
    if (kind == Container::Set) {
        Ref it = Ref::steal(PySet_Type.tp_iter(data));
        if (!it) return false;
        while (Ref item = Ref::steal(PyIter_Next(it.get()))) out.push_back(std::move(item));
        return !PyErr_Occurred();
    }
    Py_ssize_t n = kind == Container::List ? PyList_GET_SIZE(data) : PyTuple_GET_SIZE(data);
    out.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i)
        out.push_back(Ref::borrow(kind == Container::List ? PyList_GET_ITEM(data, i) : PyTuple_GET_ITEM(data, i)));
    return true;
}

// The results in a new container of the built-in type `kind`.
Ref rebuild_container(RefVec &results, Container kind) {
    if (kind == Container::Tuple) return quarn::tuple_of(results);
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(results.size())));
    if (!list) return list;
    for (size_t i = 0; i < results.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), results[i].release());
    if (kind == Container::List) return list;
    return Ref::steal(PySet_New(list.get()));
}

namespace {

// One element under the element schema; `index` (owned by the caller) is
// the element's step in the path and in the error's location, or null for
// a set element, which has no position of its own.
Ref validate_element(PyObject *schema, PyObject *element, PyObject *index, PathCtx &path) {
    if (index) path.push(index);
    Ref result = dispatch(schema, reinterpret_cast<PyObject *>(Py_TYPE(schema)), element, path);
    if (index) {
        path.pop();
        if (!result) note_error_key(index);
    }
    return result;
}

PyObject *each_validate(PyObject *self, PyObject *args, PyObject *kwargs) {
    static const char *kwlist[] = {"data", "top", nullptr};
    PyObject *data, *top = Py_False;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:validate", const_cast<char **>(kwlist), &data, &top))
        return nullptr;
    ValidationScope scope;
    // Called from Python, Each is an entry point: an element's error gets
    // its location here (and the callers' keys from an outer validation).
    ErrorLocation location;
    Ref result = each_validate_impl(self, data, false);
    if (!result) location.attach();
    return result.release();
}

}  // namespace

Ref each_validate_impl(PyObject *self, PyObject *data, bool) {
    quarn::RecursionGuard guard(" while validating the elements of a container");
    if (!guard.ok()) return Ref();
    PathCtx path = PathCtx::of_owner(self);
    Container kind = container_of(data);
    if (kind == Container::Other) return raise_at(g.SchemaTypeError, path, {self, data});
    Ref schema = quarn::getattr(self, g.s_schema);
    if (!schema) return schema;
    Ref container = Ref::borrow(data);  // alive, whatever the elements' code drops
    RefVec elements;
    if (!snapshot_elements(container.get(), kind, elements)) return Ref();
    RefVec results;
    results.reserve(elements.size());
    for (size_t i = 0; i < elements.size(); ++i) {
        Ref index = kind == Container::Set ? Ref() : Ref::steal(PyLong_FromSize_t(i));
        if (kind != Container::Set && !index) return index;
        Ref result = validate_element(schema.get(), elements[i].get(), index.get(), path);
        if (!result) return result;
        results.push_back(std::move(result));
    }
    return rebuild_container(results, kind);
}

PyMethodDef each_validate_def = {
    "validate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(each_validate)),
    METH_VARARGS | METH_KEYWORDS,
    "validate($self, data, top=False)\n--\n\n"
    "Validates every element of a list, tuple or set; returns a new container\n"
    "of the same built-in type holding the validated elements."};

}  // namespace ordalin
