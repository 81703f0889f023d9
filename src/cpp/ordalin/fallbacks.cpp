// Fallbacks: Fallback, Schema.collect_fallbacks and Schema.apply_fallback.
//
// A Fallback leaf of a dictionary schema names another key path of the
// top-level data; a top-level validation that lacks the Fallback's own key
// path takes the value found there.  Chains of fallbacks are flattened once
// per collection (the rewritten `fallback` attributes stay rewritten), and
// loops are reported.
#include "key_paths.hpp"

namespace ordalin {

namespace {

Ref raise_loop(PyObject *fallback, PyObject *key_path) {
    RefVec args;
    args.push_back(Ref::borrow(fallback));
    args.push_back(Ref::borrow(key_path));
    return raise_schema_error(g.SchemaFallbackLoopError, args);
}

// The lists of one pass: key paths, Fallback objects, their `fallback`s.
struct Chains {
    Ref paths, objs, targets;

    bool build(const Entries &fallbacks) {
        paths = Ref::steal(PyList_New(0));
        objs = Ref::steal(PyList_New(0));
        targets = Ref::steal(PyList_New(0));
        if (!paths || !objs || !targets) return false;
        for (const PathEntry &e : fallbacks) {
            Ref target = quarn::getattr(e.value.get(), g.s_fallback);
            if (!target || PyList_Append(paths.get(), e.path.get()) < 0 ||
                PyList_Append(objs.get(), e.value.get()) < 0 || PyList_Append(targets.get(), target.get()) < 0)
                return false;
        }
        return true;
    }

    // set(paths) & set(targets) is not empty.
    int linked() const {
        Ref a = Ref::steal(PySet_New(paths.get()));
        Ref b = a ? Ref::steal(PySet_New(targets.get())) : Ref();
        Ref both = b ? Ref::steal(PyNumber_And(a.get(), b.get())) : Ref();
        if (!both) return -1;
        return PyObject_Size(both.get()) > 0;
    }

    // Points every object whose fallback is another fallback's key path at
    // that one's fallback; changes are seen by the later objects.
    bool shorten() const {
        Py_ssize_t n = PyList_GET_SIZE(objs.get());
        for (Py_ssize_t i = 0; i < n; ++i) {
            Ref obj = Ref::borrow(PyList_GET_ITEM(objs.get(), i));
            Ref target = quarn::getattr(obj.get(), g.s_fallback);
            if (!target) return false;
            int linked = PySequence_Contains(paths.get(), target.get());
            if (linked <= 0) {
                if (linked < 0) return false;
                continue;
            }
            Py_ssize_t index = PySequence_Index(paths.get(), target.get());
            if (index < 0) return false;
            Ref next = Ref::borrow(PyList_GET_ITEM(objs.get(), index));
            Ref next_target = quarn::getattr(next.get(), g.s_fallback);
            if (!next_target) return false;
            int loop = values_equal(target.get(), next_target.get());
            if (loop < 0) return false;
            if (loop) {
                Py_ssize_t at = PySequence_Index(objs.get(), obj.get());
                if (at < 0) return false;
                Ref key_path = Ref::borrow(PyList_GET_ITEM(paths.get(), at));
                raise_loop(target.get(), key_path.get());
                return false;
            }
            if (PyObject_SetAttr(obj.get(), g.s_fallback, next_target.get()) < 0) return false;
        }
        return true;
    }
};

// Replaces chains of fallbacks by direct references to their last key,
// pass after pass until no fallback names another fallback's key path.
bool flatten_chains(const Entries &fallbacks) {
    for (;;) {
        if (PyErr_CheckSignals() < 0) return false;
        Chains chains;
        if (!chains.build(fallbacks)) return false;
        int linked = chains.linked();
        if (linked <= 0) return linked == 0;
        if (!chains.shorten()) return false;
    }
}

// A tuple of plain keys: comparing and hashing it runs no Python code.
bool is_plain_path(PyObject *path) {
    if (!PyTuple_CheckExact(path)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(path); ++i)
        if (!is_plain(PyTuple_GET_ITEM(path, i))) return false;
    return true;
}

// Whether checking the fallbacks' targets and flattening their chains runs
// no Python code: exact Fallback objects whose `fallback`, an instance
// attribute, is a str or a tuple of plain keys, at key paths of plain keys.
bool chains_run_no_code(const Entries &fallbacks) {
    auto *fallback_type = reinterpret_cast<PyTypeObject *>(g.Fallback);
    if (fallback_type->tp_getattro != PyObject_GenericGetAttr ||
        fallback_type->tp_setattro != PyObject_GenericSetAttr || class_attribute(fallback_type, g.s_fallback))
        return false;
    for (const PathEntry &e : fallbacks) {
        if (Py_TYPE(e.value.get()) != fallback_type || !is_plain_path(e.path.get())) return false;
        Ref target = quarn::getattr(e.value.get(), g.s_fallback);
        if (!target) {
            PyErr_Clear();  // the check of the targets reports it
            return false;
        }
        if (!PyUnicode_CheckExact(target.get()) && !is_plain_path(target.get())) return false;
    }
    return true;
}

// A Fallback naming its own key path, or naming its source as neither
// keys joined by "." nor a tuple of keys.
bool check_fallback_targets(const Entries &fallbacks) {
    for (const PathEntry &e : fallbacks) {
        Ref target = quarn::getattr(e.value.get(), g.s_fallback);
        if (!target) return false;
        if (!PyTuple_Check(target.get())) {
            Ref message = Ref::steal(PyUnicode_FromFormat(
                "the Fallback at key path %R names its source as %R: give keys joined by \".\" or a tuple "
                "of keys",
                e.path.get(), target.get()));
            if (!message) return false;
            RefVec args;
            args.push_back(std::move(message));
            raise_schema_error(g.SchemaError, args);
            return false;
        }
        int loop = values_equal(target.get(), e.path.get());
        if (loop < 0) return false;
        if (loop) {
            raise_loop(target.get(), e.path.get());
            return false;
        }
    }
    return true;
}

// What collect_fallbacks yields, in the form apply_fallback uses it.
struct Collected {
    Ref object;        // the collected fallbacks when not held as entries
    Entries entries;   // a dictionary schema's fallbacks, by key path
    bool as_entries = false;

    int truth() const { return as_entries ? !entries.empty() : PyObject_IsTrue(object.get()); }
    bool is_dict() const { return as_entries || PyDict_Check(object.get()); }
};

// The built-in collect_fallbacks for `schema` of type `schema_type`.
bool collect(PyObject *schema, PyObject *schema_type, Collected &out) {
    int r = subclass_of(schema_type, dict_type());
    if (r < 0) return false;
    if (r) {
        SchemaLeaves counts;
        out.as_entries = true;
        if (!scan_schema(schema, LeafKind::Fallback, &out.entries, counts)) return false;
        if (out.entries.empty()) return true;
        if (!chains_run_no_code(out.entries)) note_user_code();
        return check_fallback_targets(out.entries) && flatten_chains(out.entries);
    }
    if ((r = subclass_of(schema_type, g.Fallback)) < 0) return false;
    out.object = Ref::borrow(r ? schema : Py_None);
    return true;
}

bool collect_for(PyObject *self, PyObject *schema, PyObject *schema_type, Collected &out) {
    if (self && !uses_builtin(self, g.s_collect_fallbacks, g.schema_collect_fallbacks)) {
        note_user_code();
        out.object = quarn::call_method(self, g.s_collect_fallbacks);
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

// SchemaFallbackError(fallback, data so far), raised while the failed
// lookup's ValueError is handled.
Ref raise_missing_source(PyObject *fallback, const DictBuilder &completed) {
    PyErr_Format(PyExc_ValueError, "%R is not in list", fallback);
    quarn::SavedError lookup_error;
    Ref context = lookup_error.value();
    Ref data = completed.current();
    if (!data) return data;
    Ref exc = quarn::call(g.SchemaFallbackError, fallback, data.get());
    quarn::raise_with_context(std::move(exc), std::move(context));
    return Ref();
}

// The built-in apply_fallback.
Ref apply_fallback_impl(PyObject *self, PyObject *schema, PyObject *schema_type, PyObject *data,
                        Completion *completion = nullptr) {
    Collected collected;
    if (!collect_for(self, schema, schema_type, collected)) return Ref();
    int truth = collected.truth();
    if (truth < 0) return Ref();
    if (!truth || !collected.is_dict() || (data != Py_None && !PyDict_Check(data))) return Ref::borrow(data);
    if (collected.as_entries ? !split_dict_values(collected.entries) : !flatten(collected.object.get(), collected.entries))
        return Ref();
    // Targets and sources are the key paths present when the pass starts:
    // every lookup is done before anything is added, since the builder may
    // write into the very dicts being looked at (the defaults pass's own).
    std::unique_ptr<DictBuilder> own;
    DictBuilder &completed = builder_for(completion, own, data);
    DataPaths view(data, completed.plain_depth());
    std::vector<std::pair<Ref, Ref>> additions;  // (key path, value), in order
    auto add_all = [&]() {
        for (const auto &a : additions)
            if (!completed.add(a.first.get(), a.second.get())) return false;
        return true;
    };
    RefVec targets;
    for (const PathEntry &entry : collected.entries) {
        targets.clear();
        if (!view.targets(entry.path.get(), targets)) return Ref();
        if (targets.empty()) continue;   // the source is needed only to add something
        Ref source_path = quarn::getattr(entry.value.get(), g.s_fallback);
        if (!source_path) return source_path;
        Ref value;
        if (!view.leaf_value(source_path.get(), value)) return Ref();
        // The error shows the data with the additions of the fallbacks before.
        if (!value) return add_all() ? raise_missing_source(source_path.get(), completed) : Ref();
        for (Ref &path : targets) additions.emplace_back(std::move(path), value.dup());
    }
    if (!add_all()) return Ref();
    return completed.result();
}

PyObject *schema_collect_fallbacks(PyObject *self, PyObject *) {
    Ref schema, schema_type;
    if (!read_schema(self, schema, schema_type)) return nullptr;
    Collected collected;
    if (!collect(schema.get(), schema_type.get(), collected)) return nullptr;
    return (collected.as_entries ? reconstruct(collected.entries) : std::move(collected.object)).release();
}

PyObject *schema_apply_fallback(PyObject *self, PyObject *args, PyObject *kwargs) {
    static const char *kwlist[] = {"data", nullptr};
    PyObject *data;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:apply_fallback", const_cast<char **>(kwlist), &data))
        return nullptr;
    return apply_fallback_impl(self, nullptr, nullptr, data).release();
}

// The source key path as `fallback` gives it: keys joined by "." (a str),
// or the keys themselves (a tuple, for keys with a dot in them such as IP
// addresses).  Anything else is kept as given and refused when the
// fallbacks are collected, where the error can name the fallback's key.
Ref source_path(PyObject *fallback) {
    if (PyTuple_Check(fallback)) return Ref::steal(PySequence_Tuple(fallback));
    if (!PyUnicode_Check(fallback)) return Ref::borrow(fallback);
    Ref pieces = quarn::call_method(fallback, g.s_split, g.s_dot);
    return pieces ? Ref::steal(PySequence_Tuple(pieces.get())) : Ref();
}

// Fallback(schema, fallback): `fallback` is the source key path.
PyObject *fallback_init(PyObject *self, PyObject *args, PyObject *kwargs) {
    static const char *kwlist[] = {"schema", "fallback", nullptr};
    PyObject *schema, *fallback;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:__init__", const_cast<char **>(kwlist), &schema,
                                     &fallback))
        return nullptr;
    Ref path = source_path(fallback);
    if (!path || PyObject_SetAttr(self, g.s_fallback, path.get()) < 0) return nullptr;
    Ref init_args = Ref::steal(PyTuple_Pack(1, schema));
    if (!init_args) return nullptr;
    return super_init(g.Fallback, self, init_args.get(), nullptr).release();
}

}  // namespace

Ref apply_fallback_for(PyObject *self, PyObject *schema, PyObject *schema_type, PyObject *data,
                       Completion *completion) {
    if (self && !uses_builtin(self, g.s_apply_fallback, g.schema_apply_fallback)) {
        // The override is given the dicts made so far: they are no longer private.
        if (completion) completion->builder.reset();
        note_user_code();
        return quarn::call_method(self, g.s_apply_fallback, data);
    }
    return apply_fallback_impl(self, schema, schema_type, data, completion);
}

PyMethodDef schema_collect_fallbacks_def = {
    "collect_fallbacks", schema_collect_fallbacks, METH_NOARGS,
    "collect_fallbacks($self)\n--\n\n"
    "The fallbacks the schema declares: for a dictionary schema a nested dict\n"
    "of its Fallback leaves under their key paths, chains of fallbacks\n"
    "flattened; for a Fallback the object itself; else None."};
PyMethodDef schema_apply_fallback_def = {
    "apply_fallback", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(schema_apply_fallback)),
    METH_VARARGS | METH_KEYWORDS,
    "apply_fallback($self, data)\n--\n\n"
    "Returns the data completed with the values its fallbacks name, for the\n"
    "fallback key paths it lacks (the data itself when none is added; the\n"
    "caller's dicts are never changed)."};
PyMethodDef fallback_init_def = {"__init__", (PyCFunction)(void (*)(void))fallback_init,
                                 METH_VARARGS | METH_KEYWORDS, "__init__($self, schema, fallback)\n--\n\n"};

}  // namespace ordalin
