// The dictionary walk: matches each data key against the schema keys,
// validates its value, then reports missing and unsupported keys.
//
// Data keys are taken in priority order (ordinary keys, then Optional, then
// Any).  A key that is not itself a schema key is tried against the schema
// keys in priority order; that order is computed once per dictionary and
// computed again only after Python code ran (which may have changed the
// schema dictionary).  Key tests that the engine can answer itself (Any,
// type keys, plain values) are answered without raising an exception.
#include "ordalin.hpp"

#include <unordered_set>

namespace ordalin {

namespace {

bool is_optional_typed(PyObject *o) {
    return PyType_IsSubtype(Py_TYPE(o), reinterpret_cast<PyTypeObject *>(g.Optional));
}

// Snapshot of an iterable's elements (owned), as sorted() would take it.
bool snapshot_keys(PyObject *mapping, RefVec &out) {
    if (PyDict_CheckExact(mapping)) {
        out.reserve(static_cast<size_t>(PyDict_GET_SIZE(mapping)));
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(mapping, &pos, &key, &value)) out.push_back(Ref::borrow(key));
        return true;
    }
    note_user_code();
    Ref iter = Ref::steal(PyObject_GetIter(mapping));
    if (!iter) return false;
    while (Ref item = Ref::steal(PyIter_Next(iter.get()))) out.push_back(std::move(item));
    return !PyErr_Occurred();
}

// sorted(keys, key=Schema.priority): a stable sort on three priorities.
bool order_by_priority(RefVec &keys) {
    std::vector<int> priorities;
    priorities.reserve(keys.size());
    bool mixed = false;
    for (const Ref &k : keys) {
        int p = key_priority(k.get());
        if (p < 0) return false;
        priorities.push_back(p);
        mixed |= p != 1;
    }
    if (!mixed) return true;
    RefVec ordered;
    ordered.reserve(keys.size());
    for (int p = 1; p <= 3; ++p)
        for (size_t i = 0; i < keys.size(); ++i)
            if (priorities[i] == p) ordered.push_back(std::move(keys[i]));
    keys.swap(ordered);
    return true;
}

// mapping[key]: the dict's own lookup for an exact dict, else subscription.
Ref get_item(PyObject *mapping, PyObject *key) {
    if (PyDict_CheckExact(mapping)) {
        PyObject *v = PyDict_GetItemWithError(mapping, key);
        if (v) return Ref::borrow(v);
        if (!PyErr_Occurred()) {
            Ref k = Ref::steal(PyTuple_Pack(1, key));
            if (k) PyErr_SetObject(PyExc_KeyError, k.get());
        }
        return Ref();
    }
    return Ref::steal(PyObject_GetItem(mapping, key));
}

// The schema's value for `key` if `key in schema`, empty (no error) if not.
Ref direct_hit(PyObject *schema, PyObject *key) {
    if (PyDict_CheckExact(schema)) return Ref::borrow(PyDict_GetItemWithError(schema, key));
    int has = PySequence_Contains(schema, key);
    if (has <= 0) return Ref();
    return Ref::steal(PyObject_GetItem(schema, key));
}

enum class KeyTest { Accept, Reject, Error };

// Does the schema key `sk` accept the data key `key`?  On Accept, `out` is
// the key to store (converted when the key schema converts).
KeyTest test_key(PyObject *sk, PyObject *key, PathCtx &path, Ref &out) {
    PyTypeObject *st = Py_TYPE(sk);
    // An exact Optional key validates as the key it wraps.
    if (st == reinterpret_cast<PyTypeObject *>(g.Optional) &&
        uses_builtin(sk, g.s_validate, g.schema_validate)) {
        Ref inner_type = quarn::getattr(sk, g.s_schemaType);
        Ref inner = inner_type ? quarn::getattr(sk, g.s_schema) : Ref();
        if (!inner) return KeyTest::Error;
        if (inner_type.get() == reinterpret_cast<PyObject *>(Py_TYPE(inner.get()))) {
            PathCtx own = PathCtx::of_owner(sk);
            return test_key(inner.get(), key, own, out);
        }
    }
    if (PyType_IsSubtype(st, reinterpret_cast<PyTypeObject *>(g.Any))) {
        out = Ref::borrow(key);
        return KeyTest::Accept;
    }
    if (is_plain(key)) {
        if (st == &PyType_Type) {
            if (sk == reinterpret_cast<PyObject *>(&PyUnicode_Type) ||
                sk == reinterpret_cast<PyObject *>(&PyLong_Type) ||
                sk == reinterpret_cast<PyObject *>(&PyTuple_Type) ||
                sk == reinterpret_cast<PyObject *>(&PyFloat_Type) ||
                sk == reinterpret_cast<PyObject *>(&PyBool_Type) ||
                sk == reinterpret_cast<PyObject *>(&PyList_Type) ||
                sk == reinterpret_cast<PyObject *>(&PySet_Type) ||
                sk == reinterpret_cast<PyObject *>(&PyDict_Type)) {
                if (!PyObject_TypeCheck(key, reinterpret_cast<PyTypeObject *>(sk))) return KeyTest::Reject;
                out = Ref::borrow(key);
                return KeyTest::Accept;
            }
        } else if (is_plain(sk) && !PyType_IsSubtype(st, reinterpret_cast<PyTypeObject *>(g.Schema))) {
            Ref eq = Ref::steal(PyObject_RichCompare(sk, key, Py_EQ));
            if (!eq) return KeyTest::Error;
            int truth = PyObject_IsTrue(eq.get());
            if (truth < 0) return KeyTest::Error;
            if (!truth) return KeyTest::Reject;
            out = Ref::borrow(key);
            return KeyTest::Accept;
        }
    }
    // The general road: the dispatcher, a SchemaError meaning "no".
    out = dispatch(sk, reinterpret_cast<PyObject *>(st), key, path);
    if (out) return KeyTest::Accept;
    if (PyErr_ExceptionMatches(g.SchemaError)) {
        PyErr_Clear();
        return KeyTest::Reject;
    }
    return KeyTest::Error;
}

// The schema keys in priority order, computed again when Python code may
// have changed the schema since.
class SchemaKeys {
public:
    explicit SchemaKeys(PyObject *schema) : schema_(schema) {}
    const RefVec *get() {
        if (built_ && epoch_ == g_user_epoch) return &keys_;
        keys_.clear();
        if (!snapshot_keys(schema_, keys_) || !order_by_priority(keys_)) return nullptr;
        built_ = true;
        epoch_ = g_user_epoch;
        return &keys_;
    }

private:
    PyObject *schema_;
    RefVec keys_;
    bool built_ = false;
    uint64_t epoch_ = 0;
};

// What the walk matched: the coverage set's additions, in order.
struct Coverage {
    RefVec added;                              // every coverage.add(), in order
    size_t direct = 0;                         // direct hits on non-Optional keys
    std::unordered_set<PyObject *> matched;    // distinct schema keys matched by key tests
};

// Facts about a schema dict gathered before the walk.
struct SchemaFacts {
    bool plain_keys = true;   // every key is plain (lookups run no Python code)
    size_t required = 0;      // keys whose type is not Optional
};

SchemaFacts scan_schema(PyObject *schema) {
    SchemaFacts facts;
    if (!PyDict_CheckExact(schema)) {
        facts.plain_keys = false;
        return facts;
    }
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(schema, &pos, &key, &value)) {
        facts.plain_keys &= is_plain(key);
        if (!is_optional_typed(key)) ++facts.required;
    }
    return facts;
}

// The coverage set minus Optional-typed elements equals the set of required
// schema keys: counted when nothing could have changed either dict, else
// computed with real sets.  Raises SchemaMissingKeyError when they differ.
bool check_required(PyObject *schema, PyObject *data, PathCtx &path, Coverage &cov,
                    const SchemaFacts &facts, bool counted) {
    if (counted) {
        // Every coverage element is a distinct non-Optional schema key, except
        // a matched schema key that a data key also hit directly.
        size_t n = cov.direct;
        for (PyObject *sk : cov.matched)
            if (!is_optional_typed(sk) && !PyDict_Contains(data, sk)) ++n;
        if (n == facts.required) return true;
    }
    Ref coverage = Ref::steal(PySet_New(nullptr));
    Ref required = Ref::steal(PySet_New(nullptr));
    if (!coverage || !required) return false;
    for (const Ref &k : cov.added)
        if (PySet_Add(coverage.get(), k.get()) < 0) return false;
    RefVec optional;
    {
        Ref iter = Ref::steal(PyObject_GetIter(coverage.get()));
        if (!iter) return false;
        while (Ref item = Ref::steal(PyIter_Next(iter.get())))
            if (is_optional_typed(item.get())) optional.push_back(std::move(item));
    }
    for (const Ref &o : optional)
        if (PySet_Discard(coverage.get(), o.get()) < 0) return false;
    RefVec schema_keys;
    if (!snapshot_keys(schema, schema_keys)) return false;
    for (const Ref &k : schema_keys)
        if (!is_optional_typed(k.get()) && PySet_Add(required.get(), k.get()) < 0) return false;
    Ref differ = Ref::steal(PyObject_RichCompare(coverage.get(), required.get(), Py_NE));
    if (!differ) return false;
    int truth = PyObject_IsTrue(differ.get());
    if (truth <= 0) return truth == 0;
    Ref missing = Ref::steal(PyList_New(0));
    Ref iter = Ref::steal(PyObject_GetIter(required.get()));
    if (!missing || !iter) return false;
    while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
        int has = PySet_Contains(coverage.get(), item.get());
        if (has < 0) return false;
        if (has) continue;
        Ref text = Ref::steal(PyObject_Str(item.get()));
        if (!text || PyList_Append(missing.get(), text.get()) < 0) return false;
    }
    if (PyErr_Occurred()) return false;
    Ref p = path.as_list();
    if (!p) return false;
    RefVec args;
    args.push_back(std::move(p));
    args.push_back(std::move(missing));
    raise_schema_error(g.SchemaMissingKeyError, args);
    return false;
}

// Data keys that no schema key accepted: SchemaUnsupportedKeyError.
bool check_unsupported(PyObject *data, PyObject *result, PathCtx &path) {
    Py_ssize_t n_data = PyDict_CheckExact(data) ? PyDict_GET_SIZE(data) : PyObject_Size(data);
    if (n_data < 0) return false;
    if (PyDict_GET_SIZE(result) >= n_data) return true;
    Ref data_keys = Ref::steal(PySet_New(data));
    Ref result_keys = data_keys ? Ref::steal(PySet_New(result)) : Ref();
    if (!result_keys) return false;
    Ref wrong = Ref::steal(PyNumber_Subtract(data_keys.get(), result_keys.get()));
    Ref p = wrong ? path.as_list() : Ref();
    if (!p) return false;
    RefVec args;
    args.push_back(std::move(p));
    args.push_back(std::move(wrong));
    raise_schema_error(g.SchemaUnsupportedKeyError, args);
    return false;
}

// Validates one data entry; false on error.
bool walk_entry(PyObject *schema, PyObject *key, PyObject *value, PathCtx &path, SchemaKeys &order,
                PyObject *result, Coverage &cov) {
    Ref hit = direct_hit(schema, key);
    if (hit) {
        path.push(key);
        Ref checked = dispatch(hit.get(), reinterpret_cast<PyObject *>(Py_TYPE(hit.get())), value, path);
        path.pop();
        if (!checked) return false;
        cov.added.push_back(Ref::borrow(key));
        if (!is_optional_typed(key)) ++cov.direct;
        return PyDict_SetItem(result, key, checked.get()) == 0;
    }
    if (PyErr_Occurred()) return false;
    const RefVec *keys = order.get();
    if (!keys) return false;
    for (size_t i = 0; i < keys->size(); ++i) {
        Ref sk = (*keys)[i].dup();
        Ref stored_key;
        KeyTest t = test_key(sk.get(), key, path, stored_key);
        if (t == KeyTest::Error) return false;
        if (t == KeyTest::Reject) continue;
        Ref sub_schema = get_item(schema, sk.get());
        if (!sub_schema) return false;
        path.push(key);
        Ref checked = dispatch(sub_schema.get(), reinterpret_cast<PyObject *>(Py_TYPE(sub_schema.get())),
                               value, path);
        path.pop();
        if (!checked) return false;
        cov.matched.insert(sk.get());
        cov.added.push_back(std::move(sk));
        return PyDict_SetItem(result, stored_key.get(), checked.get()) == 0;
    }
    return true;
}

}  // namespace

Ref validate_dict(PyObject *schema, PyObject *data, PathCtx &path) {
    if (!PyDict_Check(data)) {
        int r = is_plain(data) ? 0 : PyObject_IsInstance(data, reinterpret_cast<PyObject *>(&PyDict_Type));
        if (r < 0) return Ref();
        if (!r) {
            Ref p = path.as_list();
            if (!p) return p;
            RefVec args;
            args.push_back(std::move(p));
            args.push_back(Ref::borrow(schema));
            args.push_back(Ref::borrow(data));
            return raise_schema_error(g.SchemaTypeError, args);
        }
    }
    quarn::RecursionGuard guard(" while validating a dictionary");
    if (!guard.ok()) return Ref();

    const uint64_t epoch_at_start = g_user_epoch;
    SchemaFacts facts = scan_schema(schema);
    if (!facts.plain_keys) note_user_code();
    Ref result = Ref::steal(PyDict_New());
    if (!result) return result;

    RefVec data_keys;
    if (!snapshot_keys(data, data_keys)) return Ref();
    for (const Ref &k : data_keys)
        if (!is_plain(k.get())) {
            note_user_code();
            break;
        }
    if (!order_by_priority(data_keys)) return Ref();

    SchemaKeys order(schema);
    Coverage cov;
    for (const Ref &k : data_keys) {
        Ref value = get_item(data, k.get());
        if (!value || !walk_entry(schema, k.get(), value.get(), path, order, result.get(), cov))
            return Ref();
    }
    // Counting is exact only while no Python code could change either dict.
    bool counted = epoch_at_start == g_user_epoch && PyDict_CheckExact(data) && PyDict_CheckExact(schema);
    if (!check_required(schema, data, path, cov, facts, counted)) return Ref();
    if (!check_unsupported(data, result.get(), path)) return Ref();
    return result;
}

}  // namespace ordalin
