// The validation dispatcher: decides, by the kind of schema, how one piece
// of data is checked (wildcard, path-aware object, schema object, built-in
// type, dictionary, callable, plain value) and raises the schema exceptions.
#include "arguments.hpp"
#include "plan.hpp"
#include "schema_view.hpp"
#include "key_paths.hpp"

namespace ordalin {

uint64_t g_user_epoch = 0;

namespace {

// The built-in types that a schema tests by isinstance(), in the order the
// schema is compared with them.
PyTypeObject *const TYPE_TESTS[] = {&PyList_Type,  &PySet_Type,   &PyLong_Type, &PyFloat_Type,
                                    &PyUnicode_Type, &PyTuple_Type, &PyBool_Type, &PyDict_Type};

}  // namespace

bool is_engine_class(PyTypeObject *t) {
    return t == reinterpret_cast<PyTypeObject *>(g.Optional) ||
           t == reinterpret_cast<PyTypeObject *>(g.Any) ||
           t == reinterpret_cast<PyTypeObject *>(g.Default) ||
           t == reinterpret_cast<PyTypeObject *>(g.Fallback) ||
           t == reinterpret_cast<PyTypeObject *>(g.Schema) ||
           t == reinterpret_cast<PyTypeObject *>(g.Use) ||
           t == reinterpret_cast<PyTypeObject *>(g.PathAwareUse) ||
           t == reinterpret_cast<PyTypeObject *>(g.Or) || t == reinterpret_cast<PyTypeObject *>(g.And);
}

namespace {

// Objects whose `==` with a class object is decided without running Python
// code: they compare unequal to every class.
bool never_equals_a_class(PyObject *o) {
    PyTypeObject *t = Py_TYPE(o);
    return is_plain(o) || t == &PyDict_Type || t == &PyList_Type || t == &PyTuple_Type ||
           t == &PySet_Type || t == &PyFunction_Type || t == &PyCFunction_Type ||
           t == &PyMethod_Type;
}

// issubclass(schema_type, cls); schema_type normally is a class.
int is_subclass(PyObject *schema_type, PyObject *cls) {
    if (PyType_Check(schema_type))
        return PyType_IsSubtype(reinterpret_cast<PyTypeObject *>(schema_type),
                                reinterpret_cast<PyTypeObject *>(cls));
    return PyObject_IsSubclass(schema_type, cls);
}

// Index in TYPE_TESTS of the class `cls` itself, -1 for none.
int index_of_type_test(PyObject *cls) {
    for (int i = 0; i < 8; ++i)
        if (cls == reinterpret_cast<PyObject *>(TYPE_TESTS[i])) return i;
    return -1;
}

// Index in TYPE_TESTS of the type the schema equals, -1 for none, -2 on error.
int type_test_index(PyObject *schema) {
    if (Py_TYPE(schema) == &PyType_Type) return index_of_type_test(schema);
    if (never_equals_a_class(schema)) return -1;
    note_user_code();
    for (int i = 0; i < 8; ++i) {
        Ref eq = Ref::steal(
            PyObject_RichCompare(schema, reinterpret_cast<PyObject *>(TYPE_TESTS[i]), Py_EQ));
        if (!eq) return -2;
        int truth = PyObject_IsTrue(eq.get());
        if (truth < 0) return -2;
        if (truth) return i;
    }
    return -1;
}

// A type schema: isinstance(data, type) or SchemaTypeError.
Ref type_test(PyObject *type, PyObject *data, PathCtx &path) {
    int ok;
    if (is_plain(data)) {
        ok = PyObject_TypeCheck(data, reinterpret_cast<PyTypeObject *>(type));
    } else {
        note_user_code();
        ok = PyObject_IsInstance(data, type);
        if (ok < 0) return Ref();
    }
    if (ok) return Ref::borrow(data);
    return raise_at(g.SchemaTypeError, path, {type, data});
}

// A callable schema: its result, or SchemaClassError from its Exception.
Ref call_schema(PyObject *schema, PyObject *data, PathCtx &path) {
    if (!is_pure_call(schema, data)) note_user_code();
    Ref result = call_converter(schema, data);
    if (result || !PyErr_ExceptionMatches(PyExc_Exception) || out_of_memory()) return result;
    quarn::SavedError caught;
    Ref error = caught.value();
    Ref p = path.as_list();
    if (!p) return p;
    Ref exc = quarn::call(g.SchemaClassError, p.get(), schema, data, error.get());
    quarn::raise_from(std::move(exc), std::move(error));
    return Ref();
}

// A plain value schema: `schema == data` by its truth value.
Ref value_test(PyObject *schema, PyObject *data, PathCtx &path) {
    if (!is_plain(schema) || !is_plain(data)) note_user_code();
    int equal = values_equal(schema, data);
    if (equal < 0) return Ref();
    if (equal) return Ref::borrow(data);
    return raise_at(g.SchemaValueError, path, {schema, data});
}

// A path-aware schema object: `schema.validate(path, data, False)`.
Ref path_aware_call(PyObject *schema, PyObject *data, PathCtx &path) {
    Ref p = path.as_list();
    if (!p) return p;
    note_user_code();
    if (uses_builtin(schema, g.s_validate, g.path_aware_validate))
        return path_aware_validate_impl(schema, p.get(), data);
    return quarn::call_method(schema, g.s_validate, p.get(), data, Py_False);
}

}  // namespace

Ref PathCtx::as_list() const {
    Ref base;
    if (base_) {
        base = base_.dup();
    } else if (owner_) {
        base = quarn::getattr(owner_.get(), g.s_path);
        if (!base) return base;
    }
    if (keys_.empty()) return base ? std::move(base) : Ref::steal(PyList_New(0));
    Ref list = base ? Ref::steal(PySequence_List(base.get())) : Ref::steal(PyList_New(0));
    if (!list) return list;
    for (PyObject *k : keys_)
        if (PyList_Append(list.get(), k) < 0) return Ref();
    return list;
}

int values_equal(PyObject *a, PyObject *b) {
    PyTypeObject *t = Py_TYPE(a);
    if (a == b && (t == &PyUnicode_Type || t == &PyLong_Type)) return 1;
    Ref eq = Ref::steal(PyObject_RichCompare(a, b, Py_EQ));
    return eq ? PyObject_IsTrue(eq.get()) : -1;
}

bool is_type_test(PyObject *schema) { return index_of_type_test(schema) >= 0; }

int plain_verdict(PyObject *schema, PyObject *data) {
    if (!is_plain(data)) return -1;
    PyTypeObject *st = Py_TYPE(schema);
    if (st == &PyType_Type) {
        if (!is_type_test(schema)) return -1;
        return PyObject_TypeCheck(data, reinterpret_cast<PyTypeObject *>(schema)) ? 1 : 0;
    }
    if (PyType_IsSubtype(st, reinterpret_cast<PyTypeObject *>(g.Any))) return 1;
    if (is_plain_value(schema)) {
        int equal = values_equal(schema, data);
        return equal < 0 ? -2 : equal;  // the full road would raise this same error
    }
    return -1;
}

Ref raise_at(PyObject *exc_class, PathCtx &path, std::initializer_list<PyObject *> rest) {
    Ref p = path.as_list();
    if (!p) return p;
    RefVec args;
    args.push_back(std::move(p));
    for (PyObject *o : rest) args.push_back(Ref::borrow(o));
    return raise_schema_error(exc_class, args);
}

Ref raise_schema_error(PyObject *exc_class, RefVec &args) {
    Ref t = quarn::tuple_of(args);
    if (!t) return t;
    Ref exc = Ref::steal(PyObject_Call(exc_class, t.get(), nullptr));
    if (exc) PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.get())), exc.get());
    return Ref();
}

namespace {

// Schemas whose kind their exact type already decides: a class (a type test
// or a call), an exact dict (the walk), a plain value (a comparison).
bool dispatch_by_exact_type(PyObject *schema, PyTypeObject *t, PyObject *data, PathCtx &path, Ref &out) {
    if (t == &PyType_Type) {
        out = is_type_test(schema) ? type_test(schema, data, path) : call_schema(schema, data, path);
        return true;
    }
    if (t == &PyDict_Type) {
        out = validate_dict(schema, data, path);
        return true;
    }
    if (is_plain_value(schema)) {
        out = value_test(schema, data, path);
        return true;
    }
    // The engine's own classes, exactly: their step is known.
    if (t == reinterpret_cast<PyTypeObject *>(g.Any)) {
        out = Ref::borrow(data);
        return true;
    }
    if (t == reinterpret_cast<PyTypeObject *>(g.PathAwareUse)) {
        out = path_aware_call(schema, data, path);
        return true;
    }
    if (is_engine_class(t)) {
        out = validate_schema_object(schema, data, false);
        return true;
    }
    return false;
}

}  // namespace

Ref dispatch(PyObject *schema, PyObject *schema_type, PyObject *data, PathCtx &path) {
    if (schema_type == reinterpret_cast<PyObject *>(Py_TYPE(schema))) {
        Ref out;
        if (dispatch_by_exact_type(schema, Py_TYPE(schema), data, path, out)) return out;
    } else if (!PyType_Check(schema_type)) {
        note_user_code();
    }
    int r = is_subclass(schema_type, g.Any);
    if (r) return r < 0 ? Ref() : Ref::borrow(data);
    if ((r = is_subclass(schema_type, g.PathValidatingSchema)))
        return r < 0 ? Ref() : path_aware_call(schema, data, path);
    if ((r = is_subclass(schema_type, g.Schema)))
        return r < 0 ? Ref() : validate_schema_object(schema, data, false);
    int index = type_test_index(schema);
    if (index == -2) return Ref();
    if (index >= 0) return type_test(reinterpret_cast<PyObject *>(TYPE_TESTS[index]), data, path);
    if ((r = is_subclass(schema_type, reinterpret_cast<PyObject *>(&PyDict_Type))))
        return r < 0 ? Ref() : validate_dict(schema, data, path);
    if (PyCallable_Check(schema)) return call_schema(schema, data, path);
    return value_test(schema, data, path);
}

namespace {
// Validates the data that `completion` completed (in epoch `completed`).
// For a dict schema, which the dispatcher would walk straight away, the
// walk may take the dicts the completion made as its results in place:
// no one has seen them as long as no Python code ran since.
Ref validate_completed(PyObject *schema, PyObject *schema_type, PyObject *data, PathCtx &path,
                       const Completion &completion, uint64_t completed) {
    if (completion.builder && completed == g_user_epoch &&
        schema_type == reinterpret_cast<PyObject *>(&PyDict_Type) && PyDict_CheckExact(schema))
        return validate_dict(schema, data, path, true, completion.builder.get());
    return dispatch(schema, schema_type, data, path);
}
}  // namespace

namespace {
// What one validation walks: the data (completed by a top-level one) and
// the schema it is walked with.
struct Prepared {
    Ref data;
    Completion completion;  // outlives the walk: it keeps the dicts it made
    Ref schema, schema_type;
    uint64_t completed = 0;  // the epoch once the data was completed
    Ref walked;  // the result, when the walk completed the data itself
};

// The top-level validation of the exact dict `data` by the exact dict
// `schema` in one walk that completes the data as it goes, when `self`
// uses the built-in passes (`builtin_passes`) and the schema's tree can
// (every leaf of theirs one the walk adds alike).  Abort and Fail leave it
// to the passes and the walk.
Fast complete_in_walk(PyObject *self, bool builtin_passes, PyObject *schema, PyObject *schema_type, PyObject *data,
                      Ref &out) {
    if (!g_fast_walk_enabled || !builtin_passes || schema_type != reinterpret_cast<PyObject *>(&PyDict_Type) ||
        !PyDict_CheckExact(schema) || !PyDict_CheckExact(data) || !in_validation())
        return Fast::Abort;
    const DictPlan *plan = plan_of(schema);
    if (!plan || !plan->completes_in_walk) return Fast::Abort;
    quarn::RecursionGuard guard(" while validating a dictionary");
    if (!guard.ok()) return Fast::Error;
    PathCtx path = PathCtx::of_owner(self);
    return fast_complete_validate(*plan, schema, data, path, out);
}

// Completes `data` when `top` (defaults, then fallbacks) and reads the
// schema; false with an error set.
// With `whole`, the data may be completed and validated in one walk
// (complete_in_walk), whose result is then `p.walked`.
__attribute__((always_inline)) inline bool prepare(PyObject *self, PyObject *data, bool top, Prepared &p,
                                                   bool whole = false) {
    p.data = Ref::borrow(data);
    // `schema` and `schemaType`, read once for the two passes and the walk
    // when reading them runs no Python code; read again by each step after
    // Python code has run (which may have assigned them).
    Ref &schema = p.schema, &schema_type = p.schema_type;
    if (top) {
        bool builtin_passes = false;  // known where the schema is read plainly
        if (reads_schema_plainly(self) && !read_schema_plainly(self, schema, schema_type, builtin_passes))
            return false;
        uint64_t epoch = g_user_epoch;
        auto forget_if_code_ran = [&]() {
            if (epoch == g_user_epoch) return;
            schema = Ref();
            schema_type = Ref();
        };
        if (!schema || !completes_nothing(builtin_passes, schema.get(), schema_type.get(), data)) {
            if (whole && schema) {
                switch (complete_in_walk(self, builtin_passes, schema.get(), schema_type.get(), data, p.walked)) {
                case Fast::Ok: return true;
                case Fast::Error: return false;
                case Fast::Fail:
                case Fast::Abort: break;  // nothing was done: the passes start
                }
            }
            p.data = apply_defaults_for(self, schema.get(), schema_type.get(), p.data.get(), &p.completion);
            if (!p.data) return false;
            forget_if_code_ran();
            p.data = apply_fallback_for(self, schema.get(), schema_type.get(), p.data.get(), &p.completion);
            if (!p.data) return false;
            forget_if_code_ran();
        }
    }
    p.completed = g_user_epoch;
    return schema || read_schema(self, schema, schema_type);
}

Ref validate_body(PyObject *self, PyObject *data, bool top) {
    Prepared p;
    if (!prepare(self, data, top, p, true)) return Ref();
    if (p.walked) return std::move(p.walked);
    PathCtx path = PathCtx::of_owner(self);
    return validate_completed(p.schema.get(), p.schema_type.get(), p.data.get(), path, p.completion, p.completed);
}

// The walk of iter_errors over the prepared data: a dict schema collects
// the errors of its values; any other fails as one.
Ref collect_prepared(PyObject *self, Prepared &p, ErrorCollector &collector) {
    PathCtx path = PathCtx::of_owner(self);
    PyObject *schema = p.schema.get();
    if (p.schema_type.get() != reinterpret_cast<PyObject *>(&PyDict_Type) || !PyDict_CheckExact(schema))
        return dispatch(schema, p.schema_type.get(), p.data.get(), path);
    // As in validate_completed: dicts that no one has seen may be taken in place.
    const DictBuilder *private_dicts = p.completed == g_user_epoch ? p.completion.builder.get() : nullptr;
    return collect_dict(schema, p.data.get(), path, collector, private_dicts);
}

// iter_errors of an object whose class has a `validate` of its own: the
// one error of `validate(data)`, if it raises one.
Ref error_of_own_validate(PyObject *self, PyObject *data) {
    Ref errors = Ref::steal(PyList_New(0));
    if (!errors) return errors;
    note_user_code();
    Ref result = quarn::call_method(self, g.s_validate, data);
    if (!result) {
        if (!PyErr_ExceptionMatches(g.SchemaError)) return Ref();
        quarn::SavedError saved;
        Ref exc = saved.value();
        if (!exc || PyList_Append(errors.get(), exc.get()) < 0) return Ref();
    }
    return Ref::steal(PyObject_GetIter(errors.get()));
}

// Every error of a top-level validation, in the order the walk meets them.
// An error of the completion is the only one; so is that of a schema that
// is not a dict.
Ref iter_errors_impl(PyObject *self, PyObject *data) {
    if (validate_of_object(self) != g.schema_validate) return error_of_own_validate(self, data);
    ErrorLocation location;
    ErrorCollector collector(location);
    if (!collector.ready()) return Ref();
    Prepared p;
    Ref walked = prepare(self, data, true, p) ? collect_prepared(self, p, collector) : Ref();
    if (!walked && !collector.record()) return Ref();
    return collector.iterator();
}
}  // namespace

Ref schema_validate_impl(PyObject *self, PyObject *data, bool top) {
    if (!top) return validate_body(self, data, false);
    ErrorLocation location;
    Ref result = validate_body(self, data, true);
    if (!result) location.attach();
    return result;
}

Ref validate_wrapped(PyObject *schema, PyObject *data, bool top) {
    PyObject *schema_type = reinterpret_cast<PyObject *>(Py_TYPE(schema));
    Ref current = Ref::borrow(data);
    Completion completion;
    if (top) {
        current = apply_defaults_for(nullptr, schema, schema_type, current.get(), &completion);
        if (!current) return current;
        current = apply_fallback_for(nullptr, schema, schema_type, current.get(), &completion);
        if (!current) return current;
    }
    PathCtx path{Ref()};
    return validate_completed(schema, schema_type, current.get(), path, completion, g_user_epoch);
}

// The `validate` an object's class resolves to (a lookup remembered while
// the class and its bases are unchanged).
PyObject *validate_of(PyTypeObject *t) { return class_attribute(t, g.s_validate); }

PyObject *validate_of_object(PyObject *obj) { return method_of(obj, g.s_validate); }

Ref validate_schema_object(PyObject *obj, PyObject *data, bool top) {
    // Schema objects nest (Optional(Optional(...)), Or(And(...))): deep
    // chains give RecursionError.
    quarn::RecursionGuard guard(" while validating a schema object");
    if (!guard.ok()) return Ref();
    // A user's subclass may compute its attributes in Python.
    if (!is_engine_class(Py_TYPE(obj))) note_user_code();
    PyObject *validate = validate_of_object(obj);
    if (validate == g.schema_validate) return schema_validate_impl(obj, data, top);
    if (validate == g.or_validate) return or_validate_impl(obj, data, top);
    if (validate == g.and_validate) return and_validate_impl(obj, data, top);
    if (validate == g.use_validate) return use_validate_impl(obj, data);
    if (validate == g.default_validate) return default_validate_impl(obj, data, top);
    if (validate == g.each_validate) return each_validate_impl(obj, data, top);
    note_user_code();
    return quarn::call_method(obj, g.s_validate, data, top ? Py_True : Py_False);
}

namespace {

PyObject *validate_with(PyObject *self, PyObject *data, PyObject *top) {
    int truth = PyObject_IsTrue(top);
    if (truth < 0) return nullptr;
    ValidationScope scope;
    return schema_validate_impl(self, data, truth != 0).release();
}

PyObject *schema_iter_errors(PyObject *self, PyObject *args, PyObject *kwargs) {
    static const char *kwlist[] = {"data", nullptr};
    PyObject *data;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:iter_errors", const_cast<char **>(kwlist), &data))
        return nullptr;
    ValidationScope scope;
    return iter_errors_impl(self, data).release();
}

PyObject *schema_validate(PyObject *self, PyObject *args, PyObject *kwargs) {
    static const char *kwlist[] = {"data", "top", nullptr};
    PyObject *data, *top = Py_True;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:validate", const_cast<char **>(kwlist), &data,
                                     &top))
        return nullptr;
    return validate_with(self, data, top);
}

#if PY_VERSION_HEX >= 0x03070000
// The vectorcall form: no argument tuple is built for the usual calls,
// validate(data), validate(data, top) and the same with keywords.  Any
// other shape goes through the argument parser above, which words the
// errors.
PyObject *schema_validate_fast(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const char *const names[] = {"data", "top"};
    PyObject *bound[2] = {nullptr, nullptr};
    if (bind_plainly(args, nargs, kwnames, names, bound) && bound[0])
        return validate_with(self, bound[0], bound[1] ? bound[1] : Py_True);
    return call_parsing(schema_validate, self, args, nargs, kwnames);
}
#endif

}  // namespace

PyMethodDef schema_validate_def = {
#if PY_VERSION_HEX >= 0x03070000
    "validate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(schema_validate_fast)),
    METH_FASTCALL | METH_KEYWORDS,
#else
    "validate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(schema_validate)),
    METH_VARARGS | METH_KEYWORDS,
#endif
    "validate($self, data, top=True)\n--\n\n"
    "Validates data against the schema and returns the validated data.\n\n"
    "A top-level call first completes the data with the schema's defaults\n"
    "and fallbacks."};

PyMethodDef schema_iter_errors_def = {
    "iter_errors", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(schema_iter_errors)),
    METH_VARARGS | METH_KEYWORDS,
    "iter_errors($self, data)\n--\n\n"
    "Returns an iterator over every violation in the data, each the schema\n"
    "exception that validate would raise for that element alone, with its\n"
    "location, in the order the walk meets them; nothing for valid data.\n\n"
    "The data is first completed with the schema's defaults and fallbacks,\n"
    "as by validate (an error there is the only one).  The walk goes on only\n"
    "through values whose schema is a dictionary: the failure of any other\n"
    "schema (Or, And, Use, a callable, a schema object) is one error.  The\n"
    "first error is the one validate raises."};

}  // namespace ordalin
