// The markers and combinators: Any, Or and And.
#include "schema_view.hpp"

namespace ordalin {

namespace {

// The `schemas` of an Or or And as a tuple, which keeps its items alive
// and unchanged whatever the alternatives do.
Ref schemas_of(PyObject *self) {
    Ref schemas = quarn::getattr(self, g.s_schemas);
    if (!schemas || PyTuple_CheckExact(schemas.get())) return schemas;
    return Ref::steal(PySequence_Tuple(schemas.get()));
}

// str() of the plain wrapper Schema(schema): "Schema  (type) schema".
Ref wrapper_text(PyObject *schema) {
    Ref type_name = quarn::getattr(reinterpret_cast<PyObject *>(Py_TYPE(schema)), g.s_name);
    if (!type_name) return type_name;
    Ref class_name = quarn::getattr(g.Schema, g.s_name);
    if (!class_name) return class_name;
    return schema_text(class_name.get(), g.s_empty, type_name.get(), schema);
}

// "{wrapper} does not match {data}".
Ref mismatch_text(PyObject *schema, PyObject *data) {
    Ref text = wrapper_text(schema);
    Ref data_text = text ? Ref::steal(PyObject_Str(data)) : Ref();
    if (!data_text) return data_text;
    return Ref::steal(PyUnicode_FromFormat("%U%U%U", text.get(), g.s_does_not_match, data_text.get()));
}

// Appends the mismatch text while the alternative's exception is being
// handled (an error in building it gets that exception as its context).
bool add_mismatch(PyObject *messages, PyObject *schema, PyObject *data) {
    quarn::SavedError caught;
    note_user_code();  // str() of the schema and of the data
    Ref message = mismatch_text(schema, data);
    if (message && PyList_Append(messages, message.get()) == 0) return true;
    if (PyErr_Occurred()) {
        quarn::SavedError raised;
        Ref exc = raised.value();
        quarn::raise_with_context(std::move(exc), caught.value());
    }
    return false;
}

PyObject *any_init(PyObject *self, PyObject *args, PyObject *kwargs) {
    static const char *kwlist[] = {nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, ":__init__", const_cast<char **>(kwlist))) return nullptr;
    Ref no_args = Ref::steal(PyTuple_New(0));
    Ref kw = Ref::steal(Py_BuildValue("{s:O}", "schema", g.s_star));
    if (!no_args || !kw) return nullptr;
    return super_init(g.Any, self, no_args.get(), kw.get()).release();
}

// Or(*args) and And(*args): positional arguments only, kept as `schemas`.
PyObject *store_schemas(PyObject *self, PyObject *args, PyObject *kwargs, const char *name) {
    if (kwargs && PyDict_GET_SIZE(kwargs)) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        PyDict_Next(kwargs, &pos, &key, &value);
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name, key);
        return nullptr;
    }
    if (PyObject_SetAttr(self, g.s_schemas, args) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject *or_init(PyObject *self, PyObject *args, PyObject *kwargs) {
    return store_schemas(self, args, kwargs, "__init__");
}

// "{class_name} {schemas}"
PyObject *combinator_str(PyObject *self, PyObject *) {
    Ref class_name = quarn::getattr(reinterpret_cast<PyObject *>(Py_TYPE(self)), g.s_name);
    if (!class_name) return nullptr;
    Ref schemas = quarn::getattr(self, g.s_schemas);
    if (!schemas) return nullptr;
    Ref name_text = Ref::steal(PyObject_Format(class_name.get(), g.s_empty));
    Ref schemas_text = name_text ? Ref::steal(PyObject_Format(schemas.get(), g.s_empty)) : Ref();
    if (!schemas_text) return nullptr;
    return PyUnicode_FromFormat("%U %U", name_text.get(), schemas_text.get());
}

bool parse_validate(PyObject *args, PyObject *kwargs, PyObject **data, bool *top) {
    static const char *kwlist[] = {"data", "top", nullptr};
    PyObject *top_obj = Py_False;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:validate", const_cast<char **>(kwlist), data,
                                     &top_obj))
        return false;
    int truth = PyObject_IsTrue(top_obj);
    if (truth < 0) return false;
    *top = truth != 0;
    return true;
}

PyObject *or_validate(PyObject *self, PyObject *args, PyObject *kwargs) {
    PyObject *data;
    bool top;
    if (!parse_validate(args, kwargs, &data, &top)) return nullptr;
    ValidationScope scope;
    return or_validate_impl(self, data, top).release();
}

PyObject *and_validate(PyObject *self, PyObject *args, PyObject *kwargs) {
    PyObject *data;
    bool top;
    if (!parse_validate(args, kwargs, &data, &top)) return nullptr;
    ValidationScope scope;
    return and_validate_impl(self, data, top).release();
}

}  // namespace

Ref or_validate_impl(PyObject *self, PyObject *data, bool top) {
    Ref schemas = schemas_of(self);
    if (!schemas) return schemas;
    Ref data_ref = Ref::borrow(data);
    Ref messages;  // made at the first failure
    // Mismatches of plain alternatives on plain data: their text has no
    // side effects, so it is made only if every alternative fails.
    std::vector<Py_ssize_t> deferred;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(schemas.get()); ++i) {
        Ref schema = Ref::borrow(PyTuple_GET_ITEM(schemas.get(), i));
        int verdict = top ? -1 : plain_verdict(schema.get(), data_ref.get());
        if (verdict > 0) return data_ref;
        Ref result;
        if (verdict < 0) {
            // -2: the comparison failed, as the wrapped validation would.
            if (verdict == -1) result = validate_wrapped(schema.get(), data_ref.get(), top);
            if (result) return result;
            // Only ordinary exceptions mean "no match"; Ctrl-C and exits go
            // on, and so does running out of stack or of memory, which no
            // other alternative can mend (describing it would only recurse
            // again).
            if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_RecursionError) ||
                out_of_memory())
                return Ref();
        }
        if (verdict == 0) {
            if (!messages && !(messages = Ref::steal(PyList_New(0)))) return Ref();
            deferred.push_back(PyList_GET_SIZE(messages.get()));
            if (PyList_Append(messages.get(), schema.get()) < 0) return Ref();
            continue;
        }
        if (!messages) {
            quarn::SavedError caught;  // the alternative's error waits
            messages = Ref::steal(PyList_New(0));
            if (!messages) return Ref();
            caught.restore();
        }
        if (!add_mismatch(messages.get(), schema.get(), data_ref.get())) return Ref();
        PyErr_Clear();
    }
    if (!messages && !(messages = Ref::steal(PyList_New(0)))) return Ref();
    return raise_or_error(messages.get(), deferred, data_ref.get());
}

Ref raise_or_error(PyObject *messages, const std::vector<Py_ssize_t> &deferred, PyObject *data) {
    for (Py_ssize_t i : deferred) {
        Ref text = mismatch_text(PyList_GET_ITEM(messages, i), data);
        if (!text) return text;
        PyList_SetItem(messages, i, text.release());
    }
    Ref message = Ref::steal(PyUnicode_Join(g.s_and, messages));
    if (!message) return message;
    Ref exc = quarn::call(g.SchemaError, message.get());
    if (exc) PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.get())), exc.get());
    return Ref();
}

Ref and_validate_impl(PyObject *self, PyObject *data, bool top) {
    Ref schemas = schemas_of(self);
    if (!schemas) return schemas;
    Ref current = Ref::borrow(data);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(schemas.get()); ++i) {
        current = validate_wrapped(PyTuple_GET_ITEM(schemas.get(), i), current.get(), top);
        if (!current) return current;
    }
    return current;
}

PyMethodDef any_init_def = {"__init__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(any_init)),
                            METH_VARARGS | METH_KEYWORDS, "__init__($self)\n--\n\nInitialize self."};
PyMethodDef and_init_def = {"__init__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(or_init)),
                            METH_VARARGS | METH_KEYWORDS, "__init__($self, *args)\n--\n\nInitialize self."};
PyMethodDef and_str_def = {"__str__", combinator_str, METH_NOARGS, "__str__($self, /)\n--\n\nReturn str(self)."};
PyMethodDef and_validate_def = {
    "validate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(and_validate)),
    METH_VARARGS | METH_KEYWORDS,
    "validate($self, data, top=False)\n--\n\n"
    "Passes the data through every schema in turn; returns the last result."};
PyMethodDef or_init_def = {"__init__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(or_init)),
                           METH_VARARGS | METH_KEYWORDS, "__init__($self, *args)\n--\n\nInitialize self."};
PyMethodDef or_str_def = {"__str__", combinator_str, METH_NOARGS, "__str__($self, /)\n--\n\nReturn str(self)."};
PyMethodDef or_validate_def = {
    "validate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(or_validate)),
    METH_VARARGS | METH_KEYWORDS,
    "validate($self, data, top=False)\n--\n\n"
    "Returns the result of the first schema that accepts the data."};

}  // namespace ordalin
