// The dictionary walk: matches each data key against the schema keys,
// validates its value, then reports missing and unsupported keys.
//
// Data keys are taken in priority order (ordinary keys, then Optional, then
// Any).  A key that is not itself a schema key is tried against the schema
// keys in priority order; that order is computed once per dictionary and
// computed again only after Python code ran (which may have changed the
// schema dictionary).  Key tests that the engine can answer itself (Any,
// type keys, plain values) are answered without raising an exception.
#include "schema_view.hpp"

namespace ordalin {

namespace {

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

// What the walk matched: the coverage set's additions, in order.
struct Coverage {
    SmallVec<Ref, 8> added;            // coverage.add() of new objects, in order
    size_t direct = 0;                 // direct hits on non-Optional keys
    SmallVec<PyObject *, 4> matched;   // distinct schema keys matched by key tests

    void add_direct(PyObject *key) {
        added.push_back(Ref::borrow(key));
        if (!is_optional_typed(key)) ++direct;
    }
    void add_matched(PyObject *sk) {
        // Adding the same object again changes no set: record it once.
        for (PyObject *m : matched)
            if (m == sk) return;
        matched.push_back(sk);
        added.push_back(Ref::borrow(sk));
    }
};

// Builds the result dictionary.  While the results are the data's own keys
// and values, in the data's order, nothing is inserted: when that holds to
// the end the result is a copy of the data, made in one go; otherwise the
// identical prefix is inserted when the first other result comes.
class ResultBuilder {
public:
    // The first `same` entries are known to give back themselves.
    ResultBuilder(PyObject *data, const EntryVec &entries, size_t same)
        : data_(data), entries_(entries), same_(same) {}

    // Stores the result for entries[index] under `key`.
    bool add(size_t index, PyObject *key, Ref value) {
        if (!dict_) {
            const Entry &e = entries_[index];
            if (index == same_ && key == e.key.get() && value.get() == e.value.get() && is_plain(key)) {
                ++same_;
                return true;
            }
            if (!flush()) return false;
        }
        return PyDict_SetItem(dict_.get(), key, value.get()) == 0;
    }

    // The result; `as_copy` tells that the data was walked in its own
    // order and has not changed since its snapshot.
    Ref finish(bool as_copy) {
        if (!dict_ && as_copy && same_ == entries_.size() && PyDict_CheckExact(data_))
            return Ref::steal(PyDict_Copy(data_));
        if (!dict_ && !flush()) return Ref();
        return std::move(dict_);
    }

private:
    bool flush() {
        dict_ = Ref::steal(_PyDict_NewPresized(static_cast<Py_ssize_t>(entries_.size())));
        if (!dict_) return false;
        for (size_t i = 0; i < same_; ++i)
            if (PyDict_SetItem(dict_.get(), entries_[i].key.get(), entries_[i].value.get()) < 0) return false;
        return true;
    }

    PyObject *data_;
    const EntryVec &entries_;
    Ref dict_;
    size_t same_;  // length of the prefix of identical results
};

// The coverage set minus Optional-typed elements equals the set of required
// schema keys: counted when nothing could have changed either dict, else
// computed with real sets.  Raises SchemaMissingKeyError when they differ.
bool check_required(PyObject *schema, PyObject *data, PathCtx &path, Coverage &cov, size_t required_count,
                    bool counted) {
    if (counted) {
        // Every coverage element is a distinct non-Optional schema key, except
        // a matched schema key that a data key also hit directly.
        size_t n = cov.direct;
        for (PyObject *sk : cov.matched)
            if (!is_optional_typed(sk) && !PyDict_Contains(data, sk)) ++n;
        if (n == required_count) return true;
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
    EntryVec schema_keys;
    if (!snapshot_entries(schema, schema_keys)) return false;
    for (const Entry &k : schema_keys)
        if (!is_optional_typed(k.key.get()) && PySet_Add(required.get(), k.key.get()) < 0) return false;
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

// The walk over one data dictionary.
class DictWalk {
public:
    DictWalk(PyObject *schema, PyObject *data, PathCtx &path) : schema_(schema), data_(data), path_(path) {}

    Ref run();

private:
    size_t pure_prefix();
    bool pure_entry(PyObject *key, PyObject *value);
    Ref finish(Ref built, bool unchanged);
    const SchemaView *view();
    Ref direct_hit(PyObject *key);
    bool walk_entry(size_t index, const Entry &e, PyObject *value, ResultBuilder &result);
    bool try_schema_keys(size_t index, const Entry &e, PyObject *value, ResultBuilder &result);
    bool try_candidates(size_t index, const Entry &e, PyObject *value, ResultBuilder &result, const SchemaView &v);
    bool accept(size_t index, const Entry &e, PyObject *sk, PyObject *sub_schema, PyObject *stored_key,
                PyObject *value, ResultBuilder &result);

    PyObject *schema_, *data_;
    PathCtx &path_;
    std::shared_ptr<SchemaView> view_;
    Coverage cov_;
};

// The schema's view for the current epoch.
const SchemaView *DictWalk::view() {
    if (!view_ || !view_->fresh()) view_ = view_of(schema_);
    return view_.get();
}

// The schema's value for `key` if `key in schema`, empty (no error) if not.
Ref DictWalk::direct_hit(PyObject *key) {
    if (!PyDict_CheckExact(schema_)) {
        int has = PySequence_Contains(schema_, key);
        if (has <= 0) return Ref();
        return Ref::steal(PyObject_GetItem(schema_, key));
    }
    if (view_->fresh() && view_->exact && is_plain(key) && !view_->may_hold(key)) return Ref();
    return Ref::borrow(PyDict_GetItemWithError(schema_, key));
}

// The key test of `sk` passed: validate the value with the schema's value
// for `sk` and store the result under the key test's result.
bool DictWalk::accept(size_t index, const Entry &e, PyObject *sk, PyObject *sub_schema, PyObject *stored_key,
                      PyObject *value, ResultBuilder &result) {
    path_.push(e.key.get());
    Ref checked = dispatch(sub_schema, reinterpret_cast<PyObject *>(Py_TYPE(sub_schema)), value, path_);
    path_.pop();
    if (!checked) return false;
    cov_.add_matched(sk);
    return result.add(index, stored_key, std::move(checked));
}

// The general road: every schema key in priority order, the order taken
// again if Python code ran since it was taken.
bool DictWalk::try_schema_keys(size_t index, const Entry &e, PyObject *value, ResultBuilder &result) {
    const SchemaView *v = view();
    if (!v) return false;
    std::shared_ptr<SchemaView> keep = view_;
    for (const Entry &entry : v->ordered) {
        Ref sk = entry.key.dup();
        Ref stored_key;
        KeyTest t = test_key(sk.get(), e.key.get(), path_, stored_key);
        if (t == KeyTest::Error) return false;
        if (t == KeyTest::Reject) continue;
        Ref sub_schema = entry.value && keep->fresh() ? entry.value.dup() : get_item(schema_, sk.get());
        if (!sub_schema) return false;
        return accept(index, e, sk.get(), sub_schema.get(), stored_key.get(), value, result);
    }
    return true;
}

// A plain data key that is not a schema key, against an unchanged exact
// schema: only the candidates can accept it.
bool DictWalk::try_candidates(size_t index, const Entry &e, PyObject *value, ResultBuilder &result,
                              const SchemaView &v) {
    PyObject *key = e.key.get();
    for (const Candidate &c : v.candidates) {
        Ref stored_key;
        switch (c.kind) {
        case KeyKind::Accept:
            break;
        case KeyKind::TypeTest:
            if (!PyObject_TypeCheck(key, c.type)) continue;
            break;
        case KeyKind::Equals: {
            Ref eq = Ref::steal(PyObject_RichCompare(c.inner.get(), key, Py_EQ));
            int truth = eq ? PyObject_IsTrue(eq.get()) : -1;
            if (truth < 0) return false;
            if (!truth) continue;
            break;
        }
        case KeyKind::General: {
            KeyTest t = test_key(c.key, key, path_, stored_key);
            if (t == KeyTest::Error) return false;
            if (t == KeyTest::Reject) continue;
            break;
        }
        }
        Ref sk = Ref::borrow(c.key);
        Ref sub_schema = view_->fresh() ? Ref::borrow(c.value) : get_item(schema_, c.key);
        if (!sub_schema) return false;
        return accept(index, e, sk.get(), sub_schema.get(), stored_key ? stored_key.get() : key, value, result);
    }
    return true;
}

bool DictWalk::walk_entry(size_t index, const Entry &e, PyObject *value, ResultBuilder &result) {
    PyObject *key = e.key.get();
    Ref hit = direct_hit(key);
    if (hit) {
        path_.push(key);
        Ref checked = dispatch(hit.get(), reinterpret_cast<PyObject *>(Py_TYPE(hit.get())), value, path_);
        path_.pop();
        if (!checked) return false;
        cov_.add_direct(key);
        return result.add(index, key, std::move(checked));
    }
    if (PyErr_Occurred()) return false;
    if (view_->fresh() && view_->exact && is_plain(key)) {
        std::shared_ptr<SchemaView> keep = view_;
        return try_candidates(index, e, value, result, *keep);
    }
    return try_schema_keys(index, e, value, result);
}

// The plain value `schema` equals the plain `data`, no Python code run.
bool plain_equal(PyObject *schema, PyObject *data) {
    Ref eq = Ref::steal(PyObject_RichCompare(schema, data, Py_EQ));
    if (!eq) {
        PyErr_Clear();  // the general road reports it
        return false;
    }
    return eq.get() == Py_True;
}

// Whether validating `data` with the value schema `schema` surely gives
// back `data` itself without running Python code.
bool passes_purely(PyObject *schema, PyObject *data) {
    PyTypeObject *st = Py_TYPE(schema);
    if (st == &PyType_Type) return is_type_test(schema) && PyObject_TypeCheck(data, reinterpret_cast<PyTypeObject *>(schema));
    if (PyType_IsSubtype(st, reinterpret_cast<PyTypeObject *>(g.Any))) return true;
    if (st == &PyUnicode_Type || st == &PyLong_Type || st == &PyBool_Type || schema == Py_None)
        return is_plain(data) && plain_equal(schema, data);
    return false;
}

// One entry, taken straight from an unchanged exact data dict, checked
// without running Python code; false (nothing done) when it needs more.
bool DictWalk::pure_entry(PyObject *key, PyObject *value) {
    PyTypeObject *kt = Py_TYPE(key);
    if (kt != &PyUnicode_Type && kt != &PyLong_Type) return false;
    PyObject *sub_schema = nullptr, *matched = nullptr;
    if (view_->may_hold(key)) {
        sub_schema = PyDict_GetItemWithError(schema_, key);
        if (!sub_schema && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
    }
    if (!sub_schema) {
        for (const Candidate &c : view_->candidates) {
            bool accepts;
            switch (c.kind) {
            case KeyKind::Accept: accepts = true; break;
            case KeyKind::TypeTest: accepts = PyObject_TypeCheck(key, c.type); break;
            case KeyKind::Equals: accepts = plain_equal(c.inner.get(), key); break;
            default: return false;
            }
            if (accepts) {
                sub_schema = c.value;
                matched = c.key;
                break;
            }
        }
        if (!sub_schema) return false;
    }
    if (!passes_purely(sub_schema, value)) return false;
    if (matched) cov_.add_matched(matched);
    else cov_.add_direct(key);
    return true;
}

// The leading entries of an exact data dict that check purely, in the
// dict's own order (they all have the first priority).
size_t DictWalk::pure_prefix() {
    if (!PyDict_CheckExact(data_) || !view_->exact || !view_->fresh()) return 0;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    size_t done = 0;
    while (PyDict_Next(data_, &pos, &key, &value) && pure_entry(key, value)) ++done;
    return done;
}

Ref DictWalk::finish(Ref built, bool unchanged) {
    if (!built) return built;
    // Counting is exact only while no Python code could change either dict.
    bool counted = unchanged && view_->exact && PyDict_CheckExact(data_);
    if (!check_required(schema_, data_, path_, cov_, view_->required, counted)) return Ref();
    if (!check_unsupported(data_, built.get(), path_)) return Ref();
    return built;
}

Ref DictWalk::run() {
    const uint64_t epoch_at_start = g_user_epoch;
    if (!view()) return Ref();
    const size_t done = pure_prefix();
    if (done && done == static_cast<size_t>(PyDict_GET_SIZE(data_)))
        return finish(Ref::steal(PyDict_Copy(data_)), true);

    // The rest takes the general road, on a snapshot of the keys (the data
    // is unchanged so far, so the snapshot is the one taken at the start).
    EntryVec entries;
    if (!snapshot_entries(data_, entries)) return Ref();
    for (size_t i = done; i < entries.size(); ++i)
        if (!is_plain(entries[i].key.get())) {
            note_user_code();
            break;
        }
    const uint64_t epoch_of_snapshot = g_user_epoch;
    bool in_data_order;
    if (!order_by_priority(entries, &in_data_order, done)) return Ref();

    ResultBuilder result(data_, entries, done);
    for (size_t i = done; i < entries.size(); ++i) {
        const Entry &e = entries[i];
        // data[k], read anew only if Python code ran since the snapshot.
        Ref value = e.value && epoch_of_snapshot == g_user_epoch ? e.value.dup() : get_item(data_, e.key.get());
        if (!value || !walk_entry(i, e, value.get(), result)) return Ref();
    }
    const bool unchanged = epoch_at_start == g_user_epoch;
    return finish(result.finish(unchanged && in_data_order), unchanged);
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
    return DictWalk(schema, data, path).run();
}

}  // namespace ordalin
