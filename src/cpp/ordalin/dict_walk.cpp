// The dictionary walk: matches each data key against the schema keys,
// validates its value, then reports missing and unsupported keys.
//
// A schema dict with a user's code in its values has a compiled plan
// (plan.hpp) that the walk goes by: keys matched and values validated as
// compiled, the user's code dispatched.  After any Python code it checks
// that the plan and the data still hold, and goes on without the plan
// otherwise.
//
// Data keys are taken in priority order (ordinary keys, then Optional, then
// Any).  A key that is not itself a schema key is tried against the schema
// keys in priority order; that order is computed once per dictionary and
// computed again only after Python code ran (which may have changed the
// schema dictionary).  Key tests that the engine can answer itself (Any,
// type keys, plain values) are answered without raising an exception.
#include "plan.hpp"
#include "schema_view.hpp"

#include <memory>

namespace ordalin {

namespace {

enum class KeyVerdict { Accept, Reject, Error };

// Does the schema key `sk` accept the data key `key`?  On Accept, `out` is
// the key to store (converted when the key schema converts).
KeyVerdict test_key(PyObject *sk, PyObject *key, PathCtx &path, Ref &out) {
    PyTypeObject *st = Py_TYPE(sk);
    // An exact Optional key validates as the key it wraps.
    if (Ref inner = optional_key_target(sk)) {
        PathCtx own = PathCtx::of_owner(sk);
        return test_key(inner.get(), key, own, out);
    }
    if (PyErr_Occurred()) return KeyVerdict::Error;
    if (PyType_IsSubtype(st, reinterpret_cast<PyTypeObject *>(g.Any))) {
        out = Ref::borrow(key);
        return KeyVerdict::Accept;
    }
    if (is_plain(key)) {
        if (st == &PyType_Type) {
            if (is_type_test(sk)) {
                if (!PyObject_TypeCheck(key, reinterpret_cast<PyTypeObject *>(sk))) return KeyVerdict::Reject;
                out = Ref::borrow(key);
                return KeyVerdict::Accept;
            }
        } else if (is_plain_value(sk)) {
            int equal = values_equal(sk, key);
            if (equal < 0) return KeyVerdict::Error;
            if (!equal) return KeyVerdict::Reject;
            out = Ref::borrow(key);
            return KeyVerdict::Accept;
        }
    }
    // The general road: the dispatcher, a SchemaError meaning "no".
    out = dispatch(sk, reinterpret_cast<PyObject *>(st), key, path);
    if (out) return KeyVerdict::Accept;
    if (PyErr_ExceptionMatches(g.SchemaError)) {
        PyErr_Clear();
        return KeyVerdict::Reject;
    }
    return KeyVerdict::Error;
}

// What the walk matched: the coverage set's additions, in order.
struct Coverage {
    SmallVec<Ref, 16> added;           // coverage.add() of new objects, in order
    size_t direct = 0;                 // direct hits on non-Optional keys
    SmallVec<PyObject *, 4> matched;   // distinct schema keys matched by key tests

    void add_direct(PyObject *key) {
        added.push_back(Ref::borrow(key));
        if (!is_optional_typed(key)) ++direct;
    }
    // A data key taken by the schema key `sk`, or by its own direct hit
    // when `sk` is null.
    void add(PyObject *key, PyObject *sk) {
        if (sk) add_matched(sk);
        else add_direct(key);
    }
    void add_matched(PyObject *sk) {
        // Adding the same object again changes no set: record it once.
        for (PyObject *m : matched)
            if (m == sk) return;
        matched.push_back(sk);
        added.push_back(Ref::borrow(sk));
    }
};

// An empty dict for `size` entries: made with room for them on the releases
// up to 3.11, whose internals no longer change; grown as it fills on later
// ones, which offer no public way to size it.
inline Ref new_result_dict(Py_ssize_t size) {
#if PY_VERSION_HEX < 0x030C0000
    return Ref::steal(_PyDict_NewPresized(size));
#else
    (void)size;
    return Ref::steal(PyDict_New());
#endif
}

// Builds the result dictionary.  While every result is the data's own key
// and value, in the data's order, nothing is inserted: when that holds to
// the end, the result is a copy of the data made in one go.  Otherwise, at
// the first other result, the identical prefix is inserted into a new dict;
// or, when the data is an exact dict still as the walk found it and walked
// in its own order, the result starts as a copy of the data, in which each
// other result replaces the data's value and each data key left out is
// deleted (the data's keys keep their places, as they would in a dict
// built by inserting the results in order).  A result stored under another
// key than the data's ends that: the results so far are taken out of the
// copy into a new dict.
class ResultBuilder {
public:
    explicit ResultBuilder(PyObject *data) : data_(data) {}

    // The walk takes the data's entries in the data's order; `version` is
    // the data's stamp when they were taken.
    void may_copy(uint64_t version) {
        may_copy_ = true;
        version_ = version;
    }

    // The result for the data entry `e` (an element of `entries`), to be
    // stored under `key`.
    bool add(const Entry &e, PyObject *key, Ref value, const EntryVec &entries) {
        if (!dict_) {
            if (!broken_ && key == e.key.get() && value.get() == e.value.get() && is_plain(key)) {
                ++same_;
                return true;
            }
            if (!start(key == e.key.get(), entries)) return false;
        }
        if (copied_) {
            if (key == e.key.get()) {
                if (value.get() == e.value.get()) return true;  // the copy holds it
            } else if (!take_out(e, entries)) {
                return false;
            }
        }
        if (!is_plain(key)) note_user_code();
        return PyDict_SetItem(dict_.get(), key, value.get()) == 0;
    }
    // A data entry that no schema key accepted.
    bool skip(const Entry &e) {
        broken_ = true;
        if (!copied_) return true;
        if (!is_plain(e.key.get())) note_user_code();
        return PyDict_DelItem(dict_.get(), e.key.get()) == 0;
    }
    // Whether the results so far are all held back (identical).
    bool holds_back() const { return !dict_ && !broken_; }
    // The result for the next entry is its own key and value.
    bool add_same() {
        ++same_;
        return true;
    }

    // The result; `as_copy` tells that the data was walked in its own
    // order and has not changed since the walk began.
    Ref finish(bool as_copy, const EntryVec &entries) {
        if (!dict_ && !broken_ && as_copy && PyDict_CheckExact(data_) &&
            same_ == static_cast<size_t>(PyDict_GET_SIZE(data_)))
            return Ref::steal(PyDict_Copy(data_));
        if (!dict_ && !start(false, entries)) return Ref();
        return std::move(dict_);
    }

private:
    // The dict for the results, made at the first that is not the data's
    // own: a copy of the data when it can be (see above), else a new dict
    // with the identical prefix, the first entries walked, inserted.
    bool start(bool same_key, const EntryVec &entries) {
        if (same_key && may_copy_ && !broken_ && PyDict_CheckExact(data_) && data_stamp(data_) == version_ &&
            static_cast<size_t>(PyDict_GET_SIZE(data_)) == entries.size()) {
            copied_ = true;
            dict_ = Ref::steal(PyDict_Copy(data_));
            return static_cast<bool>(dict_);
        }
        dict_ = new_result_dict(PyDict_Check(data_) ? PyDict_GET_SIZE(data_) : 0);
        if (!dict_) return false;
        for (size_t i = 0; i < same_; ++i)
            if (PyDict_SetItem(dict_.get(), entries[i].key.get(), entries[i].value.get()) < 0) return false;
        return true;
    }
    // Before the entry `e`: the results so far, taken out of the copy (the
    // keys still there) into a new dict, in order.
    bool take_out(const Entry &e, const EntryVec &entries) {
        Ref copy = std::move(dict_);
        copied_ = false;
        dict_ = new_result_dict(PyDict_GET_SIZE(copy.get()));
        if (!dict_) return false;
        for (const Entry *done = entries.begin(); done != &e; ++done) {
            Ref value = Ref::borrow(PyDict_GetItemWithError(copy.get(), done->key.get()));
            if (!value) {
                if (PyErr_Occurred()) return false;
                continue;  // left out
            }
            if (PyDict_SetItem(dict_.get(), done->key.get(), value.get()) < 0) return false;
        }
        return true;
    }

    PyObject *data_;
    Ref dict_;
    size_t same_ = 0;       // length of the prefix of identical results
    bool broken_ = false;   // an entry was left out
    bool may_copy_ = false; // the walk takes the data in its own order
    bool copied_ = false;   // `dict_` is a copy of the data
    uint64_t version_ = 0;
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
    note_user_code();  // the sets below hash and compare keys of any kind
    Ref coverage = Ref::steal(PySet_New(nullptr));
    if (!coverage) return false;
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
    return require_covered(schema, coverage.get(), path);
}

}  // namespace

bool require_covered(PyObject *schema, PyObject *coverage, PathCtx &path) {
    Ref required = Ref::steal(PySet_New(nullptr));
    if (!required) return false;
    EntryVec schema_keys;
    if (!snapshot_entries(schema, schema_keys)) return false;
    for (const Entry &k : schema_keys)
        if (!is_optional_typed(k.key.get()) && PySet_Add(required.get(), k.key.get()) < 0) return false;
    Ref differ = Ref::steal(PyObject_RichCompare(coverage, required.get(), Py_NE));
    if (!differ) return false;
    int truth = PyObject_IsTrue(differ.get());
    if (truth <= 0) return truth == 0;
    // Named in the order of the set of required keys, which is the order
    // the message shows them in.
    Ref missing = Ref::steal(PyList_New(0));
    Ref iter = Ref::steal(PyObject_GetIter(required.get()));
    if (!missing || !iter) return false;
    while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
        int has = PySet_Contains(coverage, item.get());
        if (has < 0) return false;
        if (has) continue;
        Ref text = Ref::steal(PyObject_Str(item.get()));
        if (!text || PyList_Append(missing.get(), text.get()) < 0) return false;
    }
    if (PyErr_Occurred()) return false;
    raise_at(g.SchemaMissingKeyError, path, {missing.get()});
    return false;
}

void raise_unsupported(PyObject *data, PyObject *taken, PathCtx &path) {
    Ref data_keys = Ref::steal(PySet_New(data));
    Ref taken_keys = data_keys ? Ref::steal(PySet_New(taken)) : Ref();
    if (!taken_keys) return;
    Ref wrong = Ref::steal(PyNumber_Subtract(data_keys.get(), taken_keys.get()));
    if (wrong) raise_at(g.SchemaUnsupportedKeyError, path, {wrong.get()});
}

namespace {

// Data keys that no schema key accepted: SchemaUnsupportedKeyError.
bool check_unsupported(PyObject *data, PyObject *result, PathCtx &path) {
    if (!PyDict_CheckExact(data)) note_user_code();  // a subclass's __len__
    Py_ssize_t n_data = PyDict_CheckExact(data) ? PyDict_GET_SIZE(data) : PyObject_Size(data);
    if (n_data < 0) return false;
    if (PyDict_GET_SIZE(result) >= n_data) return true;
    note_user_code();  // the sets below hash and compare keys of any kind
    raise_unsupported(data, result, path);
    return false;
}

enum class Match;

// The walk over one data dictionary.
//
// The data keys are taken, with their values, in priority order before any
// value is validated, as sorted() takes them: Python code that a value's
// validation runs may change the dict, and the walk goes on over the keys it
// had.  A value is read again only when the dict changed since.
class DictWalk {
public:
    // With a `collector`, the walk records the errors and goes on (collect_dict).
    DictWalk(PyObject *schema, PyObject *data, PathCtx &path, ErrorCollector *collector = nullptr)
        : schema_(schema), data_(data), path_(path), collector_(collector), result_(data) {}
    // A walk that goes by the schema's compiled plan while it can.
    DictWalk(PyObject *schema, PyObject *data, PathCtx &path, const DictPlan *plan)
        : schema_(schema), data_(data), path_(path), collector_(nullptr), result_(data), plan_(plan) {}

    Ref run();

private:
    Py_ssize_t walk_planned();
    const SchemaView *view();
    Match match_plain(PyObject *key, PyObject *&sub_schema, PyObject *&matched);
    bool walk_plain_entry(const Entry &e);
    Ref direct_hit(PyObject *key);
    bool walk_entry(const Entry &e, PyObject *value);
    bool try_schema_keys(const Entry &e, PyObject *value);
    bool try_candidates(const Entry &e, PyObject *value, const SchemaView &v);
    int candidate_takes(const Candidate &c, PyObject *key, Ref &stored, bool general);
    bool accept(const Entry &e, PyObject *sk, PyObject *sub_schema, PyObject *stored_key, PyObject *value);
    bool take(const Entry &e, PyObject *sk, PyObject *stored_key, Ref checked);
    Ref check_value(PyObject *key, PyObject *sub_schema, PyObject *value);
    Ref check_collecting(PyObject *key, PyObject *sub_schema, PyObject *value);
    bool recorded() { return collector_ && collector_->record(); }
    Ref finish(Ref built);

    PyObject *schema_, *data_;
    PathCtx &path_;
    ErrorCollector *collector_;  // null unless the walk collects its errors
    KeyFacts facts_;
    std::shared_ptr<SchemaView> view_;  // made when a key misses
    Coverage cov_;
    ResultBuilder result_;
    const DictPlan *plan_ = nullptr;  // the schema's compiled plan, with Code in it
    EntryVec entries_;  // the data's keys and values, in priority order
    // At the start; the snapshot's values hold while the data keeps its version.
    uint64_t data_version_ = 0, schema_version_ = 0;

    // Whether a dict is as it was at the start (exact dicts only).
    bool data_unchanged() const { return PyDict_CheckExact(data_) && data_stamp(data_) == data_version_; }
    bool schema_unchanged() const {
        return facts_.exact && schema_stamp(schema_) == schema_version_;
    }
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
    if (schema_unchanged() && is_plain(key) && !facts_.may_hold(key)) return Ref();
    return Ref::borrow(PyDict_GetItemWithError(schema_, key));
}

// The data key is taken by the schema key `sk` (null for a direct hit):
// validate the value with the schema's value for it and store the result
// under `stored_key` (the key test's result).
bool DictWalk::accept(const Entry &e, PyObject *sk, PyObject *sub_schema, PyObject *stored_key, PyObject *value) {
    Ref checked = collector_ ? check_collecting(e.key.get(), sub_schema, value)
                             : check_value(e.key.get(), sub_schema, value);
    return checked && take(e, sk, stored_key, std::move(checked));
}

// The data entry `e`, taken by `sk` (null for a direct hit), gives the
// result `checked`, stored under `stored_key`.
inline bool DictWalk::take(const Entry &e, PyObject *sk, PyObject *stored_key, Ref checked) {
    cov_.add(e.key.get(), sk);
    return result_.add(e, stored_key, std::move(checked), entries_);
}

// The value under `key`, validated with `sub_schema`.
Ref DictWalk::check_value(PyObject *key, PyObject *sub_schema, PyObject *value) {
    path_.push(key);
    Ref checked = dispatch(sub_schema, reinterpret_cast<PyObject *>(Py_TYPE(sub_schema)), value, path_);
    path_.pop();
    if (!checked) note_error_key(key);
    return checked;
}

// The same when collecting: an exact dict schema (which the dispatcher
// would walk straight away) collects its own errors; a schema error out of
// any other is recorded, and the value stands as its own result, so that
// the key counts as matched.
Ref DictWalk::check_collecting(PyObject *key, PyObject *sub_schema, PyObject *value) {
    path_.push(key);
    collector_->push(key);
    Ref checked = PyDict_CheckExact(sub_schema)
                      ? collect_dict(sub_schema, value, path_, *collector_)
                      : dispatch(sub_schema, reinterpret_cast<PyObject *>(Py_TYPE(sub_schema)), value, path_);
    if (!checked && collector_->record()) checked = Ref::borrow(value);
    collector_->pop();
    path_.pop();
    return checked;
}

// Whether the candidate `c` takes the plain data key `key`: 1 yes (under
// `stored`, if the general key test converted it, else under `key`), 0 no,
// -1 error, -2 not without the general key test (when `general` is false).
int DictWalk::candidate_takes(const Candidate &c, PyObject *key, Ref &stored, bool general) {
    switch (c.kind) {
    case KeyKind::Accept:
        return 1;
    case KeyKind::TypeTest:
        return PyObject_TypeCheck(key, c.type) ? 1 : 0;
    case KeyKind::Equals:
        return values_equal(c.inner.get(), key);
    case KeyKind::General:
        break;
    }
    if (!general) return -2;
    switch (test_key(c.key, key, path_, stored)) {
    case KeyVerdict::Accept: return 1;
    case KeyVerdict::Reject: return 0;
    default: return -1;
    }
}

// The general road: every schema key in priority order, the order taken
// again if Python code ran since it was taken.
bool DictWalk::try_schema_keys(const Entry &e, PyObject *value) {
    const SchemaView *v = view();
    if (!v) return false;
    std::shared_ptr<SchemaView> keep = view_;
    for (const Entry &entry : v->ordered) {
        Ref sk = entry.key.dup();
        Ref stored_key;
        KeyVerdict t = test_key(sk.get(), e.key.get(), path_, stored_key);
        if (t == KeyVerdict::Error) return false;
        if (t == KeyVerdict::Reject) continue;
        Ref sub_schema = get_item(schema_, sk.get());
        if (!sub_schema) return false;
        return accept(e, sk.get(), sub_schema.get(), stored_key.get(), value);
    }
    return result_.skip(e);
}

// A plain data key that is not a schema key, against an unchanged exact
// schema: only the candidates can accept it.
bool DictWalk::try_candidates(const Entry &e, PyObject *value, const SchemaView &v) {
    PyObject *key = e.key.get();
    for (const Candidate &c : v.candidates) {
        Ref stored_key;
        int takes = candidate_takes(c, key, stored_key, true);
        if (takes < 0) return false;
        if (!takes) continue;
        Ref sk = Ref::borrow(c.key);
        Ref sub_schema = get_item(schema_, c.key);
        if (!sub_schema) return false;
        return accept(e, sk.get(), sub_schema.get(), stored_key ? stored_key.get() : key, value);
    }
    return result_.skip(e);
}

bool DictWalk::walk_entry(const Entry &e, PyObject *value) {
    PyObject *key = e.key.get();
    // Looking a key up may run Python code (__hash__, __eq__) unless both
    // the key and the schema's keys are plain.
    if (!facts_.exact || !is_plain(key)) note_user_code();
    Ref hit = direct_hit(key);
    if (hit) return accept(e, nullptr, hit.get(), key, value);
    if (PyErr_Occurred()) return false;
    if (schema_unchanged() && is_plain(key)) {
        if (!view()) return false;
        std::shared_ptr<SchemaView> keep = view_;
        return try_candidates(e, value, *keep);
    }
    return try_schema_keys(e, value);
}

// Whether validating `data` with the value schema `schema` surely gives
// back `data` itself without running Python code: 1 yes, 0 not known,
// -1 error (set).
int passes_purely(PyObject *schema, PyObject *data) {
    PyTypeObject *st = Py_TYPE(schema);
    if (st == &PyType_Type)
        return is_type_test(schema) && PyObject_TypeCheck(data, reinterpret_cast<PyTypeObject *>(schema));
    if (PyType_IsSubtype(st, reinterpret_cast<PyTypeObject *>(g.Any))) return 1;
    if (st == &PyUnicode_Type || st == &PyLong_Type || st == &PyBool_Type || schema == Py_None)
        return is_plain(data) ? values_equal(schema, data) : 0;
    return 0;
}

// Which schema key takes a plain data key, found without running Python
// code against the unchanged exact schema: Found (with the schema's value
// for it, and the matched key unless it was a direct hit), None (no key
// takes it) or Unknown (a key test needs the full road).
enum class Match { Found, None, Unknown, Error };  // declared above

Match DictWalk::match_plain(PyObject *key, PyObject *&sub_schema, PyObject *&matched) {
    matched = nullptr;
    sub_schema = nullptr;
    // An error here (out of memory or stack) is the full road's error too.
    if (facts_.may_hold(key)) {
        sub_schema = PyDict_GetItemWithError(schema_, key);
        if (sub_schema) return Match::Found;
        if (PyErr_Occurred()) return Match::Error;
    }
    const SchemaView *v = view();
    if (!v) return Match::Error;
    for (const Candidate &c : v->candidates) {
        Ref unused;  // no conversion without the general key test
        int takes = candidate_takes(c, key, unused, false);
        if (takes == -2) return Match::Unknown;
        if (takes < 0) return Match::Error;
        if (takes) {
            // The dict is unchanged since the view was made: the key is in it.
            sub_schema = PyDict_GetItemWithError(schema_, c.key);
            if (!sub_schema) return PyErr_Occurred() ? Match::Error : Match::Unknown;
            matched = c.key;
            return Match::Found;
        }
    }
    return Match::None;
}

inline bool is_str_or_int(PyObject *key) {
    PyTypeObject *t = Py_TYPE(key);
    return t == &PyUnicode_Type || t == &PyLong_Type;
}

// An entry of an exact dict with an exact str or int key, its value as
// the snapshot holds it: most keys are schema keys, found without the
// general key test, and many values pass without anything to run.
bool DictWalk::walk_plain_entry(const Entry &e) {
    PyObject *key = e.key.get(), *value = e.value.get();
    PyObject *sub_schema, *matched;
    Match m = schema_unchanged() ? match_plain(key, sub_schema, matched) : Match::Unknown;
    if (m == Match::Error) return false;
    if (m == Match::None) return result_.skip(e);
    if (m == Match::Found && result_.holds_back()) {
        int pure = passes_purely(sub_schema, value);
        if (pure < 0) return false;
        if (pure) {
            // The common case: nothing to run, nothing to build.
            cov_.add(key, matched);
            return result_.add_same();
        }
    }
    if (m == Match::Unknown) return walk_entry(e, value);
    Ref sk = Ref::borrow(matched), sub = Ref::borrow(sub_schema);
    return accept(e, sk.get(), sub.get(), key, value);
}

// The entries walked with the compiled plan, from the first, for as long
// as the plan describes the schema and the data is as it was: to the same
// effect as the loop of run() (the same coverage, results, calls and
// errors), without looking keys up in the schema or dispatching what the
// plan has compiled.  Python code that an entry runs may change either
// dict; after it, both are checked again.  Returns the index of the first
// entry left to that loop, which walks it afresh (the size when none is
// left), or -1 with an error set.  Only a Code entry runs Python code
// here: keys are plain, and the compiled values run none.
Py_ssize_t DictWalk::walk_planned() {
    const DictPlan &plan = *plan_;
    bool code_ran = false;
    for (size_t i = 0; i < entries_.size(); ++i) {
        if (code_ran) {
            if (plan_of(schema_) != plan_ || !data_unchanged()) return i;
            code_ran = false;
        }
        const Entry &e = entries_[i];
        PyObject *key = e.key.get(), *value = e.value.get();
        int32_t index = match_key(plan, key);
        if (index < 0) return index == kError ? -1 : static_cast<Py_ssize_t>(i);
        const KeyEntry &entry = plan.entries[static_cast<size_t>(index)];
        PyObject *matched = entry.direct ? nullptr : entry.key;
        if (result_.holds_back() && entry.passes_quickly(value)) {
            cov_.add(key, matched);
            result_.add_same();
            continue;
        }
        if (entry.value.kind == NodeKind::Code) {
            Ref sub_schema = Ref::borrow(PyDict_GetItemWithError(schema_, entry.key));
            if (!sub_schema) return PyErr_Occurred() ? -1 : static_cast<Py_ssize_t>(i);
            if (!accept(e, matched, sub_schema.get(), key, value)) return -1;
            code_ran = true;
            continue;
        }
        Ref checked;
        path_.push(key);
        Fast r = fast_value(entry.value, value, path_, checked);
        path_.pop();
        if (r == Fast::Error) {
            note_error_key(key);
            return -1;
        }
        // Nothing was done that the loop of run() would not do again.
        if (r != Fast::Ok) return static_cast<Py_ssize_t>(i);
        if (!take(e, matched, key, checked ? std::move(checked) : e.value.dup())) return -1;
    }
    return static_cast<Py_ssize_t>(entries_.size());
}

Ref DictWalk::finish(Ref built) {
    if (!built) return built;
    // Counting is exact only while neither dict changed.
    bool counted = data_unchanged() && schema_unchanged();
    if (!check_required(schema_, data_, path_, cov_, facts_.required, counted) && !recorded()) return Ref();
    if (!check_unsupported(data_, built.get(), path_) && !recorded()) return Ref();
    return built;
}

Ref DictWalk::run() {
    DataWatch watch(data_);
    facts_ = facts_of(schema_);
    if (PyDict_Check(schema_)) schema_version_ = schema_stamp(schema_);
    data_version_ = data_stamp(data_);
    bool in_data_order;
    if (!snapshot_entries(data_, entries_) || !order_by_priority(entries_, &in_data_order)) return Ref();
    if (in_data_order) result_.may_copy(data_version_);
    bool plain_keys = true;
    for (const Entry &e : entries_)
        if (!is_plain(e.key.get())) {
            note_user_code();
            plain_keys = false;
            break;
        }
    size_t start = 0;
    if (plan_ && plain_keys) {
        Py_ssize_t next = walk_planned();
        if (next < 0) return Ref();
        start = static_cast<size_t>(next);
    }
    bool exact_data = PyDict_CheckExact(data_);
    for (size_t i = start; i < entries_.size(); ++i) {
        const Entry &e = entries_[i];
        // data[k], read anew only if the data changed since the snapshot.
        bool as_taken = e.value && data_stamp(data_) == data_version_;
        if (as_taken && is_str_or_int(e.key.get())) {
            if (!walk_plain_entry(e)) return Ref();
            continue;
        }
        Ref value;
        if (as_taken) {
            value = e.value.dup();
        } else {
            if (!is_plain(e.key.get()) || !exact_data) note_user_code();
            value = get_item(data_, e.key.get());
        }
        if (!value || !walk_entry(e, value.get())) return Ref();
    }
    return finish(result_.finish(data_unchanged() && in_data_order, entries_));
}


// Whether `data` is a dict (a subclass too): false with SchemaTypeError
// raised if not, or another error set.
__attribute__((always_inline)) inline bool is_dict_data(PyObject *schema, PyObject *data, PathCtx &path) {
    if (PyDict_Check(data)) return true;
    int r = is_plain(data) ? 0 : PyObject_IsInstance(data, reinterpret_cast<PyObject *>(&PyDict_Type));
    if (!r) raise_at(g.SchemaTypeError, path, {schema, data});
    return r > 0;
}

// The compiled tree of `schema`, when the walks may use one for `data`.
__attribute__((always_inline)) inline const DictPlan *plan_for(PyObject *schema, PyObject *data) {
    if (!g_fast_walk_enabled || !PyDict_CheckExact(schema) || !PyDict_CheckExact(data) || !in_validation())
        return nullptr;
    return plan_of(schema);
}

// The fast walk of `data` with the compiled tree `plan` of `schema`
// (raising the errors of invalid data when `raises`); Abort when it was
// not tried (no plan, or one with Code in it).
__attribute__((always_inline)) inline Fast try_fast_walk(const DictPlan *plan, PyObject *schema, PyObject *data,
                                                         PathCtx &path, Ref &out, const DictBuilder *private_dicts,
                                                         bool raises) {
    if (!plan || plan->runs_code) return Fast::Abort;
    return fast_validate(*plan, schema, data, path, out, private_dicts, raises);
}

}  // namespace

Ref validate_dict(PyObject *schema, PyObject *data, PathCtx &path, bool try_fast,
                  const DictBuilder *private_dicts) {
    if (!is_dict_data(schema, data, path)) return Ref();
    quarn::RecursionGuard guard(" while validating a dictionary");
    if (!guard.ok()) return Ref();
    const DictPlan *plan = try_fast ? plan_for(schema, data) : nullptr;
    if (plan && plan->runs_code) return DictWalk(schema, data, path, plan).run();
    Ref out;
    switch (try_fast_walk(plan, schema, data, path, out, private_dicts, true)) {
    case Fast::Ok: return out;
    case Fast::Error: return Ref();
    case Fast::Fail:
    case Fast::Abort: break;  // the general walk decides, from the start
    }
    return DictWalk(schema, data, path).run();
}

Ref collect_dict(PyObject *schema, PyObject *data, PathCtx &path, ErrorCollector &collector,
                 const DictBuilder *private_dicts) {
    if (!is_dict_data(schema, data, path)) return Ref();
    quarn::RecursionGuard guard(" while validating a dictionary");
    if (!guard.ok()) return Ref();
    // Valid data costs what validate costs.  A fast walk that failed did
    // nothing a caller could see (an error raised by a general walk of an
    // invalid dict below is dropped): the collecting walk starts over.
    Ref out;
    switch (try_fast_walk(plan_for(schema, data), schema, data, path, out, private_dicts, false)) {
    case Fast::Ok: return out;
    case Fast::Error:
        if (!PyErr_ExceptionMatches(g.SchemaError)) return Ref();
        PyErr_Clear();
        break;
    case Fast::Fail:
    case Fast::Abort: break;
    }
    return DictWalk(schema, data, path, &collector).run();
}

}  // namespace ordalin
