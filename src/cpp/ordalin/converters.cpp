// The converters: Use calls its callable with the data, PathAwareUse with
// the path and the data; the result replaces the data.
#include "ordalin.hpp"

namespace ordalin {

namespace {

// The callable's name for the failure message: str(__name__), or repr() of
// a callable that has no name (a partial, an instance with __call__).
Ref callable_name(PyObject *callable) {
    Ref name = quarn::getattr(callable, g.s_name);
    if (name) return Ref::steal(PyObject_Str(name.get()));
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Ref();
    PyErr_Clear();
    return Ref::steal(PyObject_Repr(callable));
}

// The converter failed: a SchemaError passes unchanged; another Exception
// becomes SchemaError("name(repr(data)) raised repr(e)") from e.
Ref convert_failure(PyObject *callable, PyObject *data) {
    if (PyErr_ExceptionMatches(g.SchemaError) || !PyErr_ExceptionMatches(PyExc_Exception)) return Ref();
    quarn::SavedError caught;
    Ref error = caught.value();
    Ref name = callable_name(callable);
    Ref data_text = name ? Ref::steal(PyObject_Repr(data)) : Ref();
    Ref error_text = data_text ? Ref::steal(PyObject_Repr(error.get())) : Ref();
    Ref message = error_text ? Ref::steal(PyUnicode_FromFormat("%U(%U) raised %U", name.get(),
                                                                  data_text.get(), error_text.get()))
                             : Ref();
    Ref exc = message ? quarn::call(g.SchemaError, message.get()) : Ref();
    if (exc) {
        quarn::raise_from(std::move(exc), std::move(error));
    } else {
        quarn::SavedError raised;
        quarn::raise_with_context(raised.value(), std::move(error));
    }
    return Ref();
}

PyObject *use_validate(PyObject *self, PyObject *args, PyObject *kwargs) {
    static const char *kwlist[] = {"data", "top", nullptr};
    PyObject *data, *top = Py_False;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:validate", const_cast<char **>(kwlist), &data, &top))
        return nullptr;
    return use_validate_impl(self, data).release();
}

PyObject *path_aware_use_validate(PyObject *self, PyObject *args, PyObject *kwargs) {
    static const char *kwlist[] = {"path", "data", "top", nullptr};
    PyObject *path, *data, *top = Py_False;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O:validate", const_cast<char **>(kwlist), &path, &data,
                                     &top))
        return nullptr;
    return path_aware_validate_impl(self, path, data).release();
}

}  // namespace

Ref use_validate_impl(PyObject *self, PyObject *data) {
    Ref callable = quarn::getattr(self, g.s_schema);
    if (!callable) return callable;
    if (!is_pure_call(callable.get(), data)) note_user_code();
    Ref result = quarn::call_fast(callable.get(), data);
    return result ? std::move(result) : convert_failure(callable.get(), data);
}

Ref path_aware_validate_impl(PyObject *self, PyObject *path, PyObject *data) {
    Ref callable = quarn::getattr(self, g.s_schema);
    if (!callable) return callable;
    note_user_code();
    Ref result = quarn::call_fast(callable.get(), path, data);
    return result ? std::move(result) : convert_failure(callable.get(), data);
}

PyMethodDef use_validate_def = {
    "validate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(use_validate)),
    METH_VARARGS | METH_KEYWORDS,
    "validate($self, data, top=False)\n--\n\nReturns the callable's result for the data."};
PyMethodDef path_aware_use_validate_def = {
    "validate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(path_aware_use_validate)),
    METH_VARARGS | METH_KEYWORDS,
    "validate($self, path, data, top=False)\n--\n\n"
    "Returns the callable's result for the path and the data."};

}  // namespace ordalin
