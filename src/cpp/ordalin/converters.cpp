// The converters: Use calls its callable with the data, PathAwareUse with
// the path and the data; the result replaces the data.  And Check, which
// calls its predicate with the data and keeps the data unchanged.
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

}  // namespace

Ref convert_failure(PyObject *callable, PyObject *data) {
    // A RecursionError passes too: describing the data would recurse again.
    if (PyErr_ExceptionMatches(g.SchemaError) || !PyErr_ExceptionMatches(PyExc_Exception) ||
        PyErr_ExceptionMatches(PyExc_RecursionError) || out_of_memory())
        return Ref();
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

namespace {

PyObject *use_validate(PyObject *self, PyObject *args, PyObject *kwargs) {
    static const char *kwlist[] = {"data", "top", nullptr};
    PyObject *data, *top = Py_False;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:validate", const_cast<char **>(kwlist), &data, &top))
        return nullptr;
    return use_validate_impl(self, data).release();
}

// validate(self, path, data, top=False) of a path-aware class, by `impl`.
template <Ref (*impl)(PyObject *, PyObject *, PyObject *)>
PyObject *validate_with_path(PyObject *self, PyObject *args, PyObject *kwargs) {
    static const char *kwlist[] = {"path", "data", "top", nullptr};
    PyObject *path, *data, *top = Py_False;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O:validate", const_cast<char **>(kwlist), &path, &data,
                                     &top))
        return nullptr;
    return impl(self, path, data).release();
}

// Check(predicate, message=None).
PyObject *check_init(PyObject *self, PyObject *args, PyObject *kwargs) {
    static const char *kwlist[] = {"predicate", "message", nullptr};
    PyObject *predicate, *message = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:__init__", const_cast<char **>(kwlist), &predicate,
                                     &message))
        return nullptr;
    Ref init_args = Ref::steal(PyTuple_Pack(1, predicate));
    Ref done = init_args ? super_init(g.Check, self, init_args.get(), nullptr) : Ref();
    if (!done || PyObject_SetAttr(self, g.s_message, message) < 0) return nullptr;
    return done.release();
}

// The predicate's failure: a SchemaError (and what is not an ordinary
// Exception, or is MemoryError) passes; another Exception becomes
// SchemaClassError(path, predicate, data, e) from e, as for a callable.
Ref predicate_failure(PyObject *path, PyObject *predicate, PyObject *data) {
    if (PyErr_ExceptionMatches(g.SchemaError) || !PyErr_ExceptionMatches(PyExc_Exception) || out_of_memory())
        return Ref();
    quarn::SavedError caught;
    Ref error = caught.value();
    Ref exc = quarn::call(g.SchemaClassError, path, predicate, data, error.get());
    quarn::raise_from(std::move(exc), std::move(error));
    return Ref();
}

Ref check_validate_impl(PyObject *self, PyObject *path, PyObject *data) {
    Ref predicate = quarn::getattr(self, g.s_schema);
    if (!predicate) return predicate;
    note_user_code();
    Ref verdict = quarn::call_fast(predicate.get(), data);
    if (!verdict) return predicate_failure(path, predicate.get(), data);
    int passed = PyObject_IsTrue(verdict.get());
    if (passed < 0) return Ref();
    if (passed) return Ref::borrow(data);
    Ref message = quarn::getattr(self, g.s_message);
    if (!message) return message;
    Ref exc = message.get() == Py_None
                  ? quarn::call(g.SchemaValueError, path, predicate.get(), data)
                  : quarn::call(g.SchemaValueError, path, predicate.get(), data, message.get());
    if (exc) PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.get())), exc.get());
    return Ref();
}

// int() of an exact str that is an optional sign and at most 18 ASCII
// digits, read here: such a number fits a long long, and int() reads it the
// same.  Anything else (spaces, underscores, other digits, more digits) is
// left to int() itself: false, with nothing set.
bool short_decimal(PyObject *s, Ref &out) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(s) < 0) {
        PyErr_Clear();
        return false;
    }
#endif
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    if (PyUnicode_KIND(s) != PyUnicode_1BYTE_KIND || n == 0 || n > 19) return false;
    const Py_UCS1 *c = PyUnicode_1BYTE_DATA(s), *end = c + n;
    bool negative = *c == '-';
    if (negative || *c == '+') ++c;
    if (c == end || end - c > 18) return false;
    long long value = 0;
    for (; c != end; ++c) {
        if (*c < '0' || *c > '9') return false;
        value = value * 10 + (*c - '0');
    }
    out = Ref::steal(PyLong_FromLongLong(negative ? -value : value));
    return true;
}

}  // namespace

Ref call_converter(PyObject *callable, PyObject *data) {
    PyTypeObject *t = Py_TYPE(data);
    if (callable == reinterpret_cast<PyObject *>(&PyLong_Type)) {
        // What int() does with an exact str or int, without looking for
        // the special methods a str or int does not have.
        Ref number;
        if (t == &PyUnicode_Type && short_decimal(data, number)) return number;
        if (t == &PyUnicode_Type) return Ref::steal(PyLong_FromUnicodeObject(data, 10));
        if (t == &PyLong_Type) return Ref::borrow(data);
        return Ref::steal(PyNumber_Long(data));
    }
    if (callable == reinterpret_cast<PyObject *>(&PyFloat_Type)) {
        if (t == &PyFloat_Type) return Ref::borrow(data);
        return Ref::steal(PyNumber_Float(data));
    }
    if (callable == reinterpret_cast<PyObject *>(&PyUnicode_Type)) return Ref::steal(PyObject_Str(data));
    if (callable == g.builtin_len) {
        Py_ssize_t n = PyObject_Size(data);
        return n < 0 ? Ref() : Ref::steal(PyLong_FromSsize_t(n));
    }
    return quarn::call_fast(callable, data);
}

Ref use_validate_impl(PyObject *self, PyObject *data) {
    Ref callable = quarn::getattr(self, g.s_schema);
    if (!callable) return callable;
    if (!is_pure_call(callable.get(), data)) note_user_code();
    Ref result = call_converter(callable.get(), data);
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
    "validate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(validate_with_path<path_aware_validate_impl>)),
    METH_VARARGS | METH_KEYWORDS,
    "validate($self, path, data, top=False)\n--\n\n"
    "Returns the callable's result for the path and the data."};
PyMethodDef check_init_def = {
    "__init__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(check_init)),
    METH_VARARGS | METH_KEYWORDS, "__init__($self, predicate, message=None)\n--\n\n"};
PyMethodDef check_validate_def = {
    "validate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(validate_with_path<check_validate_impl>)),
    METH_VARARGS | METH_KEYWORDS,
    "validate($self, path, data, top=False)\n--\n\n"
    "Returns the data unchanged when predicate(data) is true; else raises\n"
    "SchemaValueError(path, predicate, data), with the message if one was given."};

}  // namespace ordalin
