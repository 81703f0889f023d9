// Defaults: Default, Schema.collect_defaults and Schema.apply_defaults.
//
// A top-level validation completes the data with the default of every
// Default leaf of a dictionary schema whose key path the data lacks.  The
// data is never written to: the completed data shares everything but the
// dicts on the way to an added default, and is the data itself when
// nothing is added.
#include "key_paths.hpp"

namespace ordalin {

namespace {

// `leaf.validate(None)`: a Default's value, through an override if any.
Ref default_value(PyObject *leaf) {
    if (uses_builtin(leaf, g.s_validate, g.default_validate)) return default_validate_impl(leaf, Py_None, false);
    note_user_code();
    return quarn::call_method(leaf, g.s_validate, Py_None);
}

// The Default leaves of a schema dict with their values, by key path.
bool default_entries(const Entries &leaves, Entries &out) {
    for (const PathEntry &leaf : leaves) {
        Ref value = default_value(leaf.value.get());
        if (!value) return false;
        out.push_back({leaf.path.dup(), std::move(value)});
    }
    return true;
}

// What collect_defaults yields, in the form apply_defaults uses it.
struct Collected {
    Ref object;        // the collected defaults when not held as entries
    Entries entries;   // a dictionary schema's defaults, by key path
    bool as_entries = false;
    bool none_declared = false;   // a dictionary schema without Default leaves

    bool is_dict() const { return as_entries || PyDict_Check(object.get()); }
};

// The built-in collect_defaults for `schema` of type `schema_type`.
bool collect(PyObject *schema, PyObject *schema_type, Collected &out) {
    int r = subclass_of(schema_type, dict_type());
    if (r < 0) return false;
    if (r) {
        Entries leaves;
        SchemaLeaves counts;
        if (!scan_schema(schema, LeafKind::Default, &leaves, counts)) return false;
        out.as_entries = true;
        out.none_declared = counts.defaults == 0;
        return default_entries(leaves, out.entries);
    }
    if ((r = subclass_of(schema_type, g.Default)) < 0) return false;
    out.object = r ? default_value(schema) : Ref::borrow(Py_None);
    return bool(out.object);
}

// collect_defaults on a Schema instance (its override, if any) or on the
// plain wrapper of `schema`.
bool collect_for(PyObject *self, PyObject *schema, PyObject *schema_type, Collected &out) {
    if (self && !uses_builtin(self, g.s_collect_defaults, g.schema_collect_defaults)) {
        note_user_code();
        out.object = quarn::call_method(self, g.s_collect_defaults);
        return bool(out.object);
    }
    Ref own_schema, own_type;
    if (self && !schema) {
        if (!read_schema(self, own_schema, own_type)) return false;
        schema = own_schema.get();
        schema_type = own_type.get();
    }
    return collect(schema, schema_type, out);
}

// Whether the schema is itself a Default (whose value None stands for).
int is_default_schema(PyObject *self, PyObject *schema_type) {
    Ref own_type;
    if (self && !schema_type) {
        own_type = quarn::getattr(self, g.s_schemaType);
        if (!own_type) return -1;
        schema_type = own_type.get();
    }
    return subclass_of(schema_type, g.Default);
}

// The built-in apply_defaults.
Ref apply_defaults_impl(PyObject *self, PyObject *schema, PyObject *schema_type, PyObject *data,
                        Completion *completion = nullptr) {
    Collected collected;
    if (!collect_for(self, schema, schema_type, collected)) return Ref();
    Ref current = Ref::borrow(data);
    if (data == Py_None) {
        // None is completed as an empty dict, except by a top-level Default.
        int default_schema = collected.is_dict() ? is_default_schema(self, schema_type) : 1;
        if (default_schema < 0) return Ref();
        if (default_schema) return collected.as_entries ? reconstruct(collected.entries) : std::move(collected.object);
        current = Ref::steal(PyDict_New());
        if (!current) return current;
    }
    if (!collected.is_dict() || !PyDict_Check(current.get()) || collected.none_declared) return current;
    if (collected.as_entries ? !split_dict_values(collected.entries) : !flatten(collected.object.get(), collected.entries))
        return Ref();
    DataPaths view(current.get());
    std::unique_ptr<DictBuilder> own;
    DictBuilder &completed = builder_for(completion, own, current.get());
    RefVec targets;
    for (const PathEntry &entry : collected.entries) {
        targets.clear();
        if (!view.targets(entry.path.get(), targets)) return Ref();
        for (const Ref &path : targets)
            if (!completed.add(path.get(), entry.value.get())) return Ref();
    }
    // What the view learnt of the data's keys holds for the completed data
    // too, unless an addition brought keys of another kind: the fallbacks
    // pass that follows need not look at them again.
    completed.note_plain_depth(view.plain_depth());
    return completed.result();
}

PyObject *schema_collect_defaults(PyObject *self, PyObject *) {
    Ref schema, schema_type;
    if (!read_schema(self, schema, schema_type)) return nullptr;
    Collected collected;
    if (!collect(schema.get(), schema_type.get(), collected)) return nullptr;
    return (collected.as_entries ? reconstruct(collected.entries) : std::move(collected.object)).release();
}

PyObject *schema_apply_defaults(PyObject *self, PyObject *args, PyObject *kwargs) {
    static const char *kwlist[] = {"data", nullptr};
    PyObject *data;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:apply_defaults", const_cast<char **>(kwlist), &data))
        return nullptr;
    return apply_defaults_impl(self, nullptr, nullptr, data).release();
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
    ValidationScope scope;
    return default_validate_impl(self, data, truth != 0).release();
}

}  // namespace

Ref apply_defaults_for(PyObject *self, PyObject *schema, PyObject *schema_type, PyObject *data,
                       Completion *completion) {
    if (self && !uses_builtin(self, g.s_apply_defaults, g.schema_apply_defaults)) {
        note_user_code();
        return quarn::call_method(self, g.s_apply_defaults, data);
    }
    return apply_defaults_impl(self, schema, schema_type, data, completion);
}

// None stands for "absent": it is replaced by the default itself, unchecked.
Ref default_validate_impl(PyObject *self, PyObject *data, bool top) {
    if (data == Py_None) return quarn::getattr(self, g.s_default);
    return schema_validate_impl(self, data, top);
}

PyMethodDef schema_collect_defaults_def = {
    "collect_defaults", schema_collect_defaults, METH_NOARGS,
    "collect_defaults($self)\n--\n\n"
    "The defaults the schema declares: for a dictionary schema a nested dict\n"
    "of the default values under the key paths of its Default leaves; for a\n"
    "Default its value; else None."};
PyMethodDef schema_apply_defaults_def = {
    "apply_defaults", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(schema_apply_defaults)),
    METH_VARARGS | METH_KEYWORDS,
    "apply_defaults($self, data)\n--\n\n"
    "Returns the data completed with the defaults whose key paths it lacks\n"
    "(the data itself when none is added; the caller's dicts are never\n"
    "changed)."};
PyMethodDef default_init_def = {"__init__", (PyCFunction)(void (*)(void))default_init,
                                METH_VARARGS | METH_KEYWORDS, "__init__($self, schema, default)\n--\n\n"};
PyMethodDef default_validate_def = {"validate", (PyCFunction)(void (*)(void))default_validate,
                                    METH_VARARGS | METH_KEYWORDS, "validate($self, data, top=False)\n--\n\n"};

}  // namespace ordalin
