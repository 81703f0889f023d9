// Key paths of nested dictionaries: flattening, rebuilding, the questions
// the defaults and fallbacks ask about the data's key paths, and the
// copy-on-write builder of the completed data.
//
// The data's key paths are not materialised unless needed: presence, the
// wildcard expansion and the clash tests walk the data's dicts along the
// collected key path, with hash lookups.  Dict lookups decide like the tuple
// and wildcard comparisons as long as the keys compare sanely; data holding
// keys that may not (schema objects such as Any() used as data keys, NaN,
// objects with comparisons of their own) is answered by the literal
// comparisons over the flattened key paths.
#include "key_paths.hpp"
#include "knowledge.hpp"

#include <cmath>

namespace ordalin {

namespace {

// The (key, value) pairs of a mapping, as ListDict reads them: the dict's
// own storage for an exact dict, its items() for a subclass.
bool items_of(PyObject *mapping, std::vector<std::pair<Ref, Ref>> &out) {
    if (PyDict_CheckExact(mapping)) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        out.reserve(static_cast<size_t>(PyDict_Size(mapping)));
        while (PyDict_Next(mapping, &pos, &key, &value)) out.emplace_back(Ref::borrow(key), Ref::borrow(value));
        return true;
    }
    static PyObject *items_name = quarn::intern("items");
    if (!items_name) return false;
    note_user_code();
    Ref items = quarn::call_method(mapping, items_name);
    Ref iter = items ? Ref::steal(PyObject_GetIter(items.get())) : Ref();
    if (!iter) return false;
    while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
        Ref pair = Ref::steal(PySequence_Tuple(item.get()));
        if (!pair) return false;
        if (PyTuple_GET_SIZE(pair.get()) != 2) {
            PyErr_Format(PyExc_ValueError, "expected 2 values to unpack, got %zd", PyTuple_GET_SIZE(pair.get()));
            return false;
        }
        out.emplace_back(Ref::borrow(PyTuple_GET_ITEM(pair.get(), 0)), Ref::borrow(PyTuple_GET_ITEM(pair.get(), 1)));
    }
    return !PyErr_Occurred();
}

Ref tuple_from(const RefVec &keys) {
    Ref t = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(keys.size())));
    if (!t) return t;
    for (size_t i = 0; i < keys.size(); ++i) PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(i), keys[i].dup().release());
    return t;
}

// prefix + keys[from:], as a tuple.
Ref joined_tuple(const RefVec &prefix, const RefVec &keys, size_t from) {
    size_t n = prefix.size() + (keys.size() - from);
    Ref t = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(n)));
    if (!t) return t;
    Py_ssize_t i = 0;
    for (const Ref &k : prefix) PyTuple_SET_ITEM(t.get(), i++, k.dup().release());
    for (size_t j = from; j < keys.size(); ++j) PyTuple_SET_ITEM(t.get(), i++, keys[j].dup().release());
    return t;
}

bool flatten_into(PyObject *mapping, RefVec &prefix, Entries &out) {
    quarn::RecursionGuard guard(" while flattening a dictionary");
    if (!guard.ok()) return false;
    std::vector<std::pair<Ref, Ref>> items;
    if (!items_of(mapping, items)) return false;
    for (auto &item : items) {
        int nested = is_nonempty_dict(item.second.get());
        if (nested < 0) return false;
        prefix.push_back(item.first.dup());
        bool ok = true;
        if (nested) {
            ok = flatten_into(item.second.get(), prefix, out);
        } else {
            Ref path = tuple_from(prefix);
            ok = bool(path);
            if (ok) out.push_back({std::move(path), std::move(item.second)});
        }
        prefix.pop_back();
        if (!ok) return false;
    }
    return true;
}

bool scan_into(PyObject *mapping, RefVec &prefix, LeafKind wanted, Entries *out, SchemaLeaves &counts);

// One (key, value) of a schema dict: descended into, or counted as a leaf.
bool scan_item(Ref key, Ref value, RefVec &prefix, LeafKind wanted, Entries *out, SchemaLeaves &counts) {
    int nested = is_nonempty_dict(value.get());
    if (nested < 0) return false;
    prefix.push_back(std::move(key));
    bool ok = true;
    if (nested) {
        ok = scan_into(value.get(), prefix, wanted, out, counts);
    } else {
        int is_default = instance_of(value.get(), g.Default);
        int is_fallback = is_default < 0 ? -1 : instance_of(value.get(), g.Fallback);
        ok = is_fallback >= 0;
        counts.defaults += is_default > 0;
        counts.fallbacks += is_fallback > 0;
        if (ok && out && (wanted == LeafKind::Default ? is_default : is_fallback) > 0) {
            Ref path = tuple_from(prefix);
            ok = bool(path);
            if (ok) out->push_back({std::move(path), std::move(value)});
        }
    }
    prefix.pop_back();
    return ok;
}

bool scan_into(PyObject *mapping, RefVec &prefix, LeafKind wanted, Entries *out, SchemaLeaves &counts) {
    quarn::RecursionGuard guard(" while looking for defaults and fallbacks");
    if (!guard.ok()) return false;
    if (PyDict_CheckExact(mapping)) {
        // Straight over the dict: PyDict_Next stays in bounds even if Python
        // code run meanwhile changes it, and each item is owned while used.
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(mapping, &pos, &key, &value))
            if (!scan_item(Ref::borrow(key), Ref::borrow(value), prefix, wanted, out, counts)) return false;
        return true;
    }
    std::vector<std::pair<Ref, Ref>> items;
    if (!items_of(mapping, items)) return false;
    for (auto &item : items)
        if (!scan_item(std::move(item.first), std::move(item.second), prefix, wanted, out, counts)) return false;
    return true;
}

bool not_a_dict(PyObject *mapping) {
    PyErr_Format(PyExc_TypeError, "ListDict() argument must be a dict or None, not %.200s", Py_TYPE(mapping)->tp_name);
    return false;
}

// A class of the user's, or one it derives from, defines == or !=.
int defines_comparison(PyTypeObject *type) {
    static PyObject *eq = quarn::intern("__eq__");
    static PyObject *ne = quarn::intern("__ne__");
    if (!eq || !ne) return -1;
    PyObject *mro = type->tp_mro;
    Py_ssize_t n = mro && PyTuple_Check(mro) ? PyTuple_GET_SIZE(mro) : 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        auto *base = reinterpret_cast<PyTypeObject *>(PyTuple_GET_ITEM(mro, i));
        if (!(base->tp_flags & Py_TPFLAGS_HEAPTYPE) || !base->tp_dict) continue;
        if (PyDict_GetItemWithError(base->tp_dict, eq) || PyDict_GetItemWithError(base->tp_dict, ne)) return 1;
        if (PyErr_Occurred()) return -1;
    }
    return 0;
}

// Keys that lookup_safe() finds safe, told without running any code.
bool plainly_safe(PyObject *key) {
    PyTypeObject *t = Py_TYPE(key);
    if (t == &PyUnicode_Type || t == &PyLong_Type || t == &PyBool_Type || t == &PyBytes_Type || key == Py_None)
        return true;
    if (t == &PyFloat_Type) return !std::isnan(PyFloat_AS_DOUBLE(key));
    if (t != &PyTuple_Type) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(key); ++i)
        if (!plainly_safe(PyTuple_GET_ITEM(key, i))) return false;
    return true;
}

// A key that dict lookups treat exactly as the tuple and wildcard
// comparisons do: not a schema object (unwrapped, or matching anything),
// not NaN (unequal to itself), no comparison of the user's own.  1 yes,
// 0 no, -1 on error.
int lookup_safe(PyObject *key) {
    if (plainly_safe(key)) return 1;
    PyTypeObject *t = Py_TYPE(key);
    if (t == &PyFloat_Type) return 0;  // a NaN
    if (t == &PyTuple_Type) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(key); ++i) {
            int safe = lookup_safe(PyTuple_GET_ITEM(key, i));
            if (safe <= 0) return safe;
        }
        return 1;
    }
    // Built-in types keep their comparisons and hashes consistent.
    if (!(t->tp_flags & Py_TPFLAGS_HEAPTYPE)) return 1;
    int schema_object = instance_of(key, g.Optional);
    if (schema_object) return schema_object < 0 ? -1 : 0;
    int own = defines_comparison(t);
    return own < 0 ? -1 : !own;
}

// Looks at the keys of the first `depth` levels: deeper keys are never
// compared with a key path that short.  Keys told safe by their type alone
// run no code, so they are read borrowed; the guard is taken only where the
// scan goes a level deeper.
int has_exotic_keys(PyObject *node, Py_ssize_t depth) {
    if (depth <= 0) return 0;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(node, &pos, &k, &v)) {
        Ref key, value;
        if (!plainly_safe(k)) {
            key = Ref::borrow(k);
            value = Ref::borrow(v);
            int safe = lookup_safe(key.get());
            if (safe <= 0) return safe < 0 ? -1 : 1;
        }
        if (depth == 1 || !PyDict_Check(v)) continue;
        // The dict is owned while code may run: a subclass's __len__ below,
        // the key tests of the level below.
        if (!value) value = Ref::borrow(v);
        int nested = is_nonempty_dict(v);
        if (nested <= 0) {
            if (nested < 0) return -1;
            continue;
        }
        quarn::RecursionGuard guard(" while reading the data's keys");
        if (!guard.ok()) return -1;
        int exotic = has_exotic_keys(v, depth - 1);
        if (exotic) return exotic;
    }
    return 0;
}

// a[:n] == b[:n] for tuples at least n long.
int prefix_equal(PyObject *a, PyObject *b, Py_ssize_t n) {
    note_user_code();
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref x = Ref::borrow(PyTuple_GET_ITEM(a, i)), y = Ref::borrow(PyTuple_GET_ITEM(b, i));
        int eq = PyObject_RichCompareBool(x.get(), y.get(), Py_EQ);
        if (eq <= 0) return eq;
    }
    return 1;
}

int is_empty_dict(PyObject *v) {
    if (!PyDict_Check(v)) return 0;
    int nested = is_nonempty_dict(v);
    return nested < 0 ? -1 : !nested;
}

// A dict value looked up by key (new reference; empty when absent, with
// the error set when the lookup failed).
Ref lookup(PyObject *dict, PyObject *key) {
    return Ref::borrow(PyDict_GetItemWithError(dict, key));
}


}  // namespace

int instance_of(PyObject *o, PyObject *cls) {
    if (PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject *>(cls))) return 1;
    if (!(Py_TYPE(o)->tp_flags & Py_TPFLAGS_HEAPTYPE) || is_plain(o)) return 0;
    note_user_code();
    return PyObject_IsInstance(o, cls);
}

int subclass_of(PyObject *schema_type, PyObject *cls) {
    if (PyType_Check(schema_type))
        return PyType_IsSubtype(reinterpret_cast<PyTypeObject *>(schema_type), reinterpret_cast<PyTypeObject *>(cls));
    note_user_code();
    return PyObject_IsSubclass(schema_type, cls);
}

bool read_schema(PyObject *self, Ref &schema, Ref &schema_type) {
    schema_type = quarn::getattr(self, g.s_schemaType);
    if (!schema_type) return false;
    schema = quarn::getattr(self, g.s_schema);
    return bool(schema);
}

bool reads_schema_plainly(PyObject *self) {
    PyTypeObject *t = Py_TYPE(self);
    return t->tp_getattro == PyObject_GenericGetAttr && !class_attribute(t, g.s_schema) &&
           !class_attribute(t, g.s_schemaType);
}

int is_nonempty_dict(PyObject *v) {
    if (!PyDict_Check(v)) return 0;
    if (PyDict_CheckExact(v)) return PyDict_Size(v) > 0;
    note_user_code();
    return PyObject_IsTrue(v);
}

bool flatten(PyObject *mapping, Entries &out) {
    if (mapping == Py_None) return true;
    if (!PyDict_Check(mapping)) return not_a_dict(mapping);
    RefVec prefix;
    return flatten_into(mapping, prefix, out);
}

bool split_dict_values(Entries &entries) {
    bool any = false;
    for (const PathEntry &e : entries) {
        int nested = is_nonempty_dict(e.value.get());
        if (nested < 0) return false;
        any |= nested > 0;
    }
    if (!any) return true;
    Entries split;
    for (PathEntry &e : entries) {
        int nested = is_nonempty_dict(e.value.get());
        if (nested < 0) return false;
        if (!nested) {
            split.push_back(std::move(e));
            continue;
        }
        RefVec prefix;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(e.path.get()); ++i)
            prefix.push_back(Ref::borrow(PyTuple_GET_ITEM(e.path.get(), i)));
        if (!flatten_into(e.value.get(), prefix, split)) return false;
    }
    entries.swap(split);
    return true;
}

Ref reconstruct(const Entries &entries) {
    DictBuilder builder(Py_None);
    for (const PathEntry &e : entries)
        if (!builder.add(e.path.get(), e.value.get())) return Ref();
    return builder.current();
}

namespace {

// Whether the exact dict `schema` is known to hold no Default and no
// Fallback leaf: every dict of its tree is as it was when that was found.
// No dict is held (knowledge.hpp), but an unchanged
// parent still holds its child dicts, and a new dict at the address of a
// freed one never shows an old stamp, so each stamp is read from a live
// dict, parents first.
bool known_marker_free(PyObject *schema) {
    DictKnowledge *k = in_validation() ? known(schema) : nullptr;
    if (!k || k->marker_free.empty()) return false;
    for (const auto &d : k->marker_free)
        if (schema_stamp(d.first) != d.second) return false;
    return true;
}

// Every dict of an exact-dict tree (leaves that are empty dicts included);
// false when a dict subclass is met (its contents are its own business).
bool dicts_of_tree(PyObject *d, std::vector<std::pair<PyObject *, uint64_t>> &out) {
    if (!PyDict_CheckExact(d)) return false;
    quarn::RecursionGuard guard(" while looking for defaults and fallbacks");
    if (!guard.ok()) {
        PyErr_Clear();
        return false;
    }
    out.emplace_back(d, schema_stamp(d));
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(d, &pos, &key, &value))
        if (PyDict_Check(value) && !dicts_of_tree(value, out)) return false;
    return true;
}

}  // namespace

bool completes_nothing(bool builtin_passes, PyObject *schema, PyObject *schema_type, PyObject *data) {
    // None is completed as an empty dict, so only a dict is left as it is.
    return builtin_passes && PyDict_Check(data) && schema_type == dict_type() && PyDict_CheckExact(schema) &&
           known_marker_free(schema);
}

namespace {
// Whether the class `t` looks up attributes generically and resolves each
// pass's name to the built-in method.
bool class_uses_builtin_passes(PyTypeObject *t) {
    return t->tp_getattro == PyObject_GenericGetAttr &&
           class_attribute(t, g.s_apply_defaults) == g.schema_apply_defaults &&
           class_attribute(t, g.s_collect_defaults) == g.schema_collect_defaults &&
           class_attribute(t, g.s_apply_fallback) == g.schema_apply_fallback &&
           class_attribute(t, g.s_collect_fallbacks) == g.schema_collect_fallbacks;
}

// Whether the attribute dict `own` has none of the passes' names, which
// would win over the class's methods.
bool lacks_own_passes(PyObject *own) {
    return !own_dict_holds(own, g.s_apply_defaults) && !own_dict_holds(own, g.s_collect_defaults) &&
           !own_dict_holds(own, g.s_apply_fallback) && !own_dict_holds(own, g.s_collect_fallbacks);
}
}  // namespace

bool uses_builtin_passes(PyObject *self) {
    if (!class_uses_builtin_passes(Py_TYPE(self))) return false;
    Ref own = own_dict_of(self);
    return own && lacks_own_passes(own.get());
}

namespace {
// The usual instance's dict holds only what its constructor set, `schema`,
// `schemaType` and `path` (names the attribute store interned): one pass
// over it reads the first two and tells that no attribute of its own hides
// a method of its class.  False, with nothing read, for any other dict.
bool read_constructed(PyObject *own, Ref &schema, Ref &schema_type) {
    if (PyDict_GET_SIZE(own) > 3) return false;
    PyObject *found_schema = nullptr, *found_type = nullptr;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(own, &pos, &key, &value)) {
        if (key == g.s_schema) found_schema = value;
        else if (key == g.s_schemaType) found_type = value;
        else if (key != g.s_path) return false;
    }
    if (!found_schema || !found_type) return false;
    schema_type = Ref::borrow(found_type);
    schema = Ref::borrow(found_schema);
    return true;
}
}  // namespace

bool read_schema_plainly(PyObject *self, Ref &schema, Ref &schema_type, bool &builtin_passes) {
    builtin_passes = false;
    Ref own = own_dict_of(self);
    // No dict to read: the generic lookup reads them, and the passes are
    // called as methods.
    if (!own) return read_schema(self, schema, schema_type);
    bool class_passes = class_uses_builtin_passes(Py_TYPE(self));
    if (class_passes && read_constructed(own.get(), schema, schema_type)) return builtin_passes = true;
    schema_type = Ref::borrow(PyDict_GetItemWithError(own.get(), g.s_schemaType));
    if (schema_type) schema = Ref::borrow(PyDict_GetItemWithError(own.get(), g.s_schema));
    // Absent: the generic lookup raises the error.
    if (!schema) return !PyErr_Occurred() && read_schema(self, schema, schema_type);
    builtin_passes = class_passes && lacks_own_passes(own.get());
    return true;
}

bool scan_schema(PyObject *schema, LeafKind wanted, Entries *out, SchemaLeaves &counts) {
    if (!PyDict_Check(schema)) return schema == Py_None || not_a_dict(schema);
    if (known_marker_free(schema)) return true;
    RefVec prefix;
    uint64_t epoch = g_user_epoch;
    if (!scan_into(schema, prefix, wanted, out, counts)) return false;
    if (in_validation() && counts.defaults == 0 && counts.fallbacks == 0 && epoch == g_user_epoch) {
        std::vector<std::pair<PyObject *, uint64_t>> dicts;
        if (dicts_of_tree(schema, dicts)) knowledge_of(schema).marker_free = std::move(dicts);
    }
    return true;
}

// ---- DataPaths --------------------------------------------------------------

// A collected key path taken apart: the keys to look up (wrapped key of an
// Optional) and the wildcard positions.
struct DataPaths::Pattern {
    RefVec keys;
    std::vector<char> wild;
    Py_ssize_t last_wild = -1;
    bool lookup_safe = true;
    bool made_up_key = false;   // a schema object or callable to be put in the data

    bool build(PyObject *key_path) {
        Py_ssize_t n = PyTuple_GET_SIZE(key_path);
        for (Py_ssize_t i = 0; i < n; ++i) {
            Ref element = Ref::borrow(PyTuple_GET_ITEM(key_path, i));
            int any = instance_of(element.get(), g.Any);
            if (any < 0) return false;
            wild.push_back(static_cast<char>(any));
            if (any) {
                last_wild = i;
                keys.push_back(std::move(element));
                continue;
            }
            Ref key = unwrap_optional(element.get());
            if (!key) return false;
            int schema_object = instance_of(key.get(), g.Schema);
            if (schema_object < 0) return false;
            made_up_key |= schema_object || PyCallable_Check(key.get());
            int safe = ordalin::lookup_safe(key.get());
            if (safe < 0) return false;
            lookup_safe &= safe > 0;
            keys.push_back(std::move(key));
        }
        return true;
    }
};

DataPaths::DataPaths(PyObject *data, Py_ssize_t plain_depth)
    : data_(PyDict_Check(data) ? Ref::borrow(data) : Ref::steal(PyDict_New())),
      scanned_depth_(plain_depth),
      made_epoch_(g_user_epoch) {}

bool DataPaths::literal_mode(Py_ssize_t depth, bool &literal) {
    if (!data_) return false;
    if (!exotic_ && depth > scanned_depth_) {
        int exotic = has_exotic_keys(data_.get(), depth);
        if (exotic < 0) return false;
        exotic_ = exotic > 0;
        scanned_depth_ = depth;
    }
    literal = exotic_;
    return true;
}

bool DataPaths::flat_entries() {
    if (flat_done_) return true;
    if (!flatten(data_.get(), flat_)) return false;
    flat_paths_ = Ref::steal(PyList_New(0));
    if (!flat_paths_) return false;
    for (const PathEntry &e : flat_)
        if (PyList_Append(flat_paths_.get(), e.path.get()) < 0) return false;
    flat_done_ = true;
    return true;
}

DataPaths::Presence DataPaths::walk_tail(Ref node, const RefVec &keys, size_t from) {
    for (size_t t = from; t < keys.size(); ++t) {
        // A leaf on the way: a value stands where a dict is needed, unless
        // it is an empty dict, which receives the entry.
        if (!PyDict_Check(node.get())) return Presence::Blocked;
        int nested = is_nonempty_dict(node.get());
        if (nested <= 0) return nested < 0 ? Presence::Error : Presence::Absent;
        Ref child = lookup(node.get(), keys[t].get());
        if (!child) return PyErr_Occurred() ? Presence::Error : Presence::Absent;
        node = std::move(child);
    }
    // A non-empty dict here: the path leads into present data.
    int nested = is_nonempty_dict(node.get());
    if (nested < 0) return Presence::Error;
    return nested ? Presence::Blocked : Presence::Present;
}

// `node`, a non-empty dict, stands at the first `level` keys of the path.
bool DataPaths::expand(PyObject *node, size_t level, const Pattern &pattern, RefVec &prefix, RefVec &out) {
    quarn::RecursionGuard guard(" while expanding a wildcard");
    if (!guard.ok()) return false;
    size_t last = static_cast<size_t>(pattern.last_wild);
    if (!pattern.wild[level]) {
        Ref child = lookup(node, pattern.keys[level].get());
        if (!child) return !PyErr_Occurred();
        int nested = is_nonempty_dict(child.get());
        if (nested <= 0) return nested == 0;
        prefix.push_back(pattern.keys[level].dup());
        bool ok = expand(child.get(), level + 1, pattern, prefix, out);
        prefix.pop_back();
        return ok;
    }
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(node, &pos, &k, &v)) {
        Ref key = Ref::borrow(k), value = Ref::borrow(v);
        prefix.push_back(std::move(key));
        bool ok = true;
        if (level == last) {
            Presence presence = walk_tail(value.dup(), pattern.keys, level + 1);
            ok = presence != Presence::Error;
            if (presence == Presence::Absent) {
                Ref path = joined_tuple(prefix, pattern.keys, level + 1);
                ok = bool(path);
                if (ok) out.push_back(std::move(path));
            }
        } else {
            int nested = is_nonempty_dict(value.get());
            ok = nested >= 0 && (!nested || expand(value.get(), level + 1, pattern, prefix, out));
        }
        prefix.pop_back();
        if (!ok) return false;
    }
    return true;
}

// Whether some data key path begins with the first n keys of `path`.
bool DataPaths::begins_data_path(PyObject *path, Py_ssize_t n, bool &found) {
    found = false;
    for (const PathEntry &e : flat_) {
        if (PyTuple_GET_SIZE(e.path.get()) < n) continue;
        int eq = prefix_equal(e.path.get(), path, n);
        if (eq < 0) return false;
        if (eq) return found = true;
    }
    return true;
}

// Whether adding `path` would replace or lose data: it is a proper prefix
// of a data key path, or a data key path holding anything but an empty dict
// is a proper prefix of it.
bool DataPaths::clashes(PyObject *path, bool &clash) {
    clash = false;
    Py_ssize_t n = PyTuple_GET_SIZE(path);
    for (const PathEntry &e : flat_) {
        Py_ssize_t len = PyTuple_GET_SIZE(e.path.get());
        int hit = 0;
        if (len > n) {
            hit = prefix_equal(e.path.get(), path, n);
        } else if (len < n) {
            hit = prefix_equal(path, e.path.get(), len);
            if (hit > 0) {
                int empty = is_empty_dict(e.value.get());
                hit = empty < 0 ? -1 : !empty;
            }
        }
        if (hit < 0) return false;
        if (hit) return clash = true;
    }
    return true;
}

bool DataPaths::literal_targets(PyObject *key_path, const Pattern &pattern, RefVec &out) {
    if (!flat_entries()) return false;
    Py_ssize_t n = PyTuple_GET_SIZE(key_path);
    RefVec candidates;
    if (pattern.last_wild < 0) {
        for (const PathEntry &e : flat_) {
            if (PyTuple_GET_SIZE(e.path.get()) != n) continue;
            int present = keys_match(e.path.get(), key_path, n);
            if (present) return present > 0;
        }
        Ref path = tuple_from(pattern.keys);
        if (!path) return false;
        candidates.push_back(std::move(path));
    } else {
        Ref missing = missing_from_impl(key_path, flat_paths_.get());
        if (!missing) return false;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(missing.get()); ++i) {
            Ref path = Ref::borrow(PyList_GET_ITEM(missing.get(), i));
            bool keep = true;
            for (Py_ssize_t w = 0; keep && w <= pattern.last_wild; ++w)
                if (pattern.wild[static_cast<size_t>(w)] && !begins_data_path(path.get(), w + 1, keep))
                    return false;
            if (keep) candidates.push_back(std::move(path));
        }
    }
    for (Ref &path : candidates) {
        bool clash;
        if (!clashes(path.get(), clash)) return false;
        if (!clash) out.push_back(std::move(path));
    }
    return true;
}

bool DataPaths::targets(PyObject *key_path, RefVec &out) {
    Pattern pattern;
    if (!pattern.build(key_path)) return false;
    Py_ssize_t n = static_cast<Py_ssize_t>(pattern.keys.size());
    // No key is made up for a schema object; a wildcard in last place only
    // names present data.
    if (n == 0 || pattern.made_up_key || pattern.last_wild == n - 1) return true;
    bool literal;
    if (!literal_mode(n, literal)) return false;
    if (literal || !pattern.lookup_safe) return literal_targets(key_path, pattern, out);
    if (pattern.last_wild < 0) {
        Presence presence = walk_tail(data_.dup(), pattern.keys, 0);
        if (presence == Presence::Error) return false;
        if (presence != Presence::Absent) return true;
        Ref path = tuple_from(pattern.keys);
        if (!path) return false;
        out.push_back(std::move(path));
        return true;
    }
    int nested = is_nonempty_dict(data_.get());
    if (nested <= 0) return nested == 0;
    RefVec prefix;
    return expand(data_.get(), 0, pattern, prefix, out);
}

bool DataPaths::leaf_value(PyObject *path, Ref &value) {
    value.reset();
    bool safe = PyTuple_CheckExact(path) && PyTuple_GET_SIZE(path) > 0;
    for (Py_ssize_t i = 0; safe && i < PyTuple_GET_SIZE(path); ++i) {
        int key_safe = lookup_safe(PyTuple_GET_ITEM(path, i));
        if (key_safe < 0) return false;
        safe = key_safe > 0;
    }
    bool literal = true;
    if (safe && !literal_mode(PyTuple_GET_SIZE(path), literal)) return false;
    if (literal || !safe) {
        if (!flat_entries()) return false;
        note_user_code();
        for (const PathEntry &e : flat_) {
            int eq = PyObject_RichCompareBool(e.path.get(), path, Py_EQ);
            if (eq < 0) return false;
            if (eq) {
                value = e.value.dup();
                return true;
            }
        }
        return true;
    }
    Ref node = data_.dup();
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(path); ++i) {
        int nested = is_nonempty_dict(node.get());
        if (nested <= 0) return nested == 0;
        node = lookup(node.get(), PyTuple_GET_ITEM(path, i));
        if (!node) return !PyErr_Occurred();
    }
    int nested = is_nonempty_dict(node.get());
    if (nested < 0) return false;
    if (!nested) value = std::move(node);
    return true;
}

// ---- AddressSet ---------------------------------------------------------------

namespace {
size_t address_hash(const void *p) {
    uint64_t x = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p));
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    return static_cast<size_t>(x);
}
}  // namespace

bool AddressSet::contains(const void *p) const {
    if (slots_.empty()) return false;
    size_t mask = slots_.size() - 1;
    for (size_t i = address_hash(p) & mask; slots_[i]; i = (i + 1) & mask)
        if (slots_[i] == p) return true;
    return false;
}

void AddressSet::insert(const void *p) {
    if ((size_ + 1) * 2 > slots_.size()) grow();
    size_t mask = slots_.size() - 1;
    size_t i = address_hash(p) & mask;
    while (slots_[i]) {
        if (slots_[i] == p) return;
        i = (i + 1) & mask;
    }
    slots_[i] = p;
    ++size_;
}

void AddressSet::grow() {
    std::vector<const void *> old;
    old.swap(slots_);
    slots_.assign(old.empty() ? 16 : old.size() * 4, nullptr);
    size_ = 0;
    for (const void *p : old)
        if (p) insert(p);
}

// ---- DictBuilder --------------------------------------------------------------

Ref DictBuilder::own_copy(PyObject *source) {
    if (source && !PyDict_CheckExact(source)) note_user_code();
    Ref copy = Ref::steal(source ? PyDict_Copy(source) : PyDict_New());
    if (!copy) return copy;
    made_ids_.insert(copy.get());
    made_.push_back(copy.dup());
    return copy;
}

bool DictBuilder::add(PyObject *path, PyObject *value) {
    Py_ssize_t n = PyTuple_GET_SIZE(path);
    if (n == 0) return true;
    // A new key, or a dict value with keys of its own, may need the literal
    // comparisons: what was known of the data's keys no longer holds.
    for (Py_ssize_t i = 0; plain_additions_ && i < n; ++i) plain_additions_ = plainly_safe(PyTuple_GET_ITEM(path, i));
    if (PyDict_Check(value) && !(PyDict_CheckExact(value) && PyDict_GET_SIZE(value) == 0)) plain_additions_ = false;
    if (!root_) {
        root_ = own_copy(PyDict_Check(base_.get()) ? base_.get() : nullptr);
        if (!root_) return false;
    }
    // Every dict walked here was made here and is kept alive by made_.
    PyObject *node = root_.get();
    for (Py_ssize_t i = 0; i + 1 < n; ++i) {
        PyObject *key = PyTuple_GET_ITEM(path, i);
        Ref child = lookup(node, key);
        if (!child && PyErr_Occurred()) return false;
        if (child && made_ids_.contains(child.get())) {
            node = child.get();
            continue;
        }
        Ref fresh = own_copy(child && PyDict_Check(child.get()) ? child.get() : nullptr);
        if (!fresh || PyDict_SetItem(node, key, fresh.get()) < 0) return false;
        node = fresh.get();
    }
    return PyDict_SetItem(node, PyTuple_GET_ITEM(path, n - 1), value) == 0;
}

Completion::Completion() = default;
Completion::~Completion() = default;

DictBuilder &builder_for(Completion *completion, std::unique_ptr<DictBuilder> &own, PyObject *data) {
    std::unique_ptr<DictBuilder> &slot = completion ? completion->builder : own;
    if (!slot || slot->result_ptr() != data) slot.reset(new DictBuilder(data));
    return *slot;
}

bool made_alone(const DictBuilder *builder, PyObject *d, Py_ssize_t held) {
    // One reference from the parent dict, one from the builder's list.
    return Py_REFCNT(d) == 2 + held && builder->made(d);
}

Ref DictBuilder::current() const {
    if (root_) return root_.dup();
    if (PyDict_Check(base_.get())) return base_.dup();
    return Ref::steal(PyDict_New());
}

}  // namespace ordalin
