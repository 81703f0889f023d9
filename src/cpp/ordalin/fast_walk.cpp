// The fast walk: validates data made of exact dicts and plain values with a
// compiled schema tree (plan.hpp), reading each dict straight and running no
// Python code.
//
// It does what the dispatcher and the dictionary walk would do, in the same
// order, and builds the same results.  No Python code of the schema's or
// the data's runs, but a collection started by any allocation may run
// finalizers that change either: the walk owns each data entry it works on
// across allocations, and the tree owns what it points to.  Where that
// would need Python code it stops (Abort) and the general walk starts over.
//
// Invalid data meets the first error the general walk would meet, taking
// the keys in the same order (plain data keys sort in their own order): a
// value refused by a type test, a plain value or a dict schema, or by
// every alternative of an Or, or one a conversion failed on; at the end of
// a dict, its missing keys, then the keys no schema key took.  The walk
// raises that error itself, as the general walk raises it.  Where it
// cannot tell the error (a dict below And or the like, a Schema object's
// inner schema), it stops (Fail), and the general walk validates again
// the dict that holds the invalid entry, to raise its error with its path
// and message; where describing a refused Or alternative in the Or's
// message may run Python code, it stops as for any such code (Abort).
// Neither stop has done anything a caller could see, so starting over
// gives what the general walk alone would have given.
//
// A top-level validation whose tree allows it walks the data once for the
// completion and the validation both (fast_complete_validate): each dict
// gets the keys the defaults and fallbacks passes would add to it, and
// those values are validated like the others.  An invalid nested dict is
// completed alone and validated again by the general walk, which raises
// the error the two passes and the walk after them would raise; any other
// stop leaves the whole validation to them.
//
// Data whose values are only tested (no conversion, nothing added) is
// checked whole before any copy is made (checked_copy).
#include "plan.hpp"
#include "schema_view.hpp"

#include <algorithm>

namespace ordalin {

namespace {

// Data whose isinstance() test and `==` with a plain value run no Python
// code: plain objects, and the built-in containers, which compare unequal
// to a plain value without looking at their items.
bool is_inert(PyObject *o) {
    if (is_plain(o)) return true;
    PyTypeObject *t = Py_TYPE(o);
    return t == &PyDict_Type || t == &PyList_Type || t == &PyTuple_Type || t == &PySet_Type ||
           t == &PyFrozenSet_Type;
}

// Counts the required schema key of `entry` once: a plain key matches one
// data key at most, a type key may match many (its bit tells if it did).
inline void count(const KeyEntry &entry, size_t &counted, uint64_t &type_keys) {
    counted += entry.counts;
    if (entry.bit && !(type_keys & entry.bit)) {
        type_keys |= entry.bit;
        ++counted;
    }
}

// A nested dict of the data checked by check_dict, in the order the check
// reached them (a dict before the dicts below it), owned until it is
// copied (a finalizer run by a collection may drop it from its parent):
// its key, the dict (its copy once made, or the result the general walk
// made of it) and the record of the dict that holds it.
struct Checked {
    Checked() = default;
    Checked(Ref &&k, Ref &&v, uint32_t p, bool c) : key(std::move(k)), value(std::move(v)), parent(p), copied(c) {}
    Ref key, value;
    uint32_t parent = 0;  // kTop: the dict the check started from
    bool copied = false;
};
constexpr uint32_t kTop = UINT32_MAX;

class FastWalk {
public:
    // `raises`: whether the walk raises the errors of invalid data itself
    // (else it stops with Fail where it meets one).
    FastWalk(PathCtx &path, const DictBuilder *private_dicts, bool raises)
        : path_(path), private_(private_dicts), raises_(raises) {}
    // A walk that completes the data as it goes, with the values of the
    // fallbacks' sources (empty where the data has none).  It raises the
    // errors of invalid data only when every source is there: else the
    // fallbacks pass fails first.
    FastWalk(PathCtx &path, const RefVec &sources) : path_(path), private_(nullptr), sources_(&sources) {
        raises_ = std::all_of(sources.begin(), sources.end(), [](const Ref &r) { return bool(r); });
    }
    // `held`: the walk owns a reference to `data` (the entry it is walking).
    // Where the walk starts, a dict whose values are only tested is walked
    // by top_dict; below a dict walked the other way, the copies are made
    // anyway.
    Fast dict(const DictPlan &plan, PyObject *schema, PyObject *data, Ref &out, bool held = false) {
        if (plan.checks_before_copying && !private_ && depth_ == 0) return top_dict(plan, schema, data, out, held);
        return copying_dict(plan, schema, data, out, held);
    }
    Fast value(const Node &n, PyObject *data, Ref &out);
    // Writes the results kept for the dicts validated in place.
    bool write_in_place();

private:
    Fast any_of(const Node &n, PyObject *data, Ref &out);
    Fast all_of(const Node &n, PyObject *data, Ref &out);
    Fast each(const Node &n, PyObject *data, Ref &out);
    // Taken on invalid data only: kept out of the walk's own code.
    __attribute__((noinline)) Fast again(PyObject *schema, PyObject *data, Ref &out);
    __attribute__((noinline)) Fast again_completed(const Node &n, PyObject *data, Ref &out);
    Fast completed(const DictPlan &plan, PyObject *data, Ref &out);
    // Invalid data: the error the general walk raises, or Fail where this
    // walk does not raise (see raises_here).
    bool raises_here() const { return raises_ && !inexact_; }
    __attribute__((noinline, cold)) Fast refused(const Node &n, PyObject *data);
    __attribute__((noinline, cold)) Fast refused_dict(const DictPlan &plan, PyObject *schema, PyObject *data,
                                                      bool all_required);
    __attribute__((noinline, cold)) Fast refused_by_all(const Node &n, PyObject *data);
    static bool str_runs_no_code(PyObject *data, size_t depth);
    __attribute__((noinline, cold)) Fast not_a_container(const Node &n, PyObject *data);
    __attribute__((noinline, cold)) Fast element_refused(const Node &n, PyObject *item, Py_ssize_t index);
    __attribute__((noinline, cold)) Fast raise_here(PyObject *exc_class, std::initializer_list<PyObject *> rest);
    Fast added_value(const Addition &a, const KeyEntry &entry, Ref &out);
    Fast added_dict(const KeyEntry &entry, Ref &out);
    static bool all_str_keys_pass(const DictPlan &plan, PyObject *data);
    template <typename WalkEntry>
    Fast read_entries(const DictPlan &plan, PyObject *data, size_t &counted, uint64_t &type_keys,
                      bool &untaken, WalkEntry &&walk_entry);
    Fast add_missing(const DictPlan &plan, PyObject *data, Ref &copy, size_t &counted,
                     uint64_t &type_keys);
    __attribute__((noinline)) Fast top_dict(const DictPlan &plan, PyObject *schema, PyObject *data, Ref &out,
                                            bool held);
    Fast checked_copy(const DictPlan &plan, PyObject *schema, PyObject *data, Ref &out);
    Fast check_dict(const DictPlan &plan, PyObject *schema, PyObject *data, uint32_t self);
    Ref copy_checked(PyObject *data);
    Fast copying_dict(const DictPlan &plan, PyObject *schema, PyObject *data, Ref &out, bool held);

    // Entered through Or, And or a Schema-like object, whose errors carry a
    // path of their own: an invalid nested dict there fails the enclosing
    // entry instead of being validated again on the spot.
    struct Inexact {
        int &depth;
        explicit Inexact(int &d) : depth(d) { ++depth; }
        ~Inexact() { --depth; }
    };

    // A result to store into a private dict once the whole walk succeeded.
    struct Pending {
        PyObject *dict;  // alive: kept by the completion
        Ref key, value;
    };

    static constexpr size_t kMaxDepth = 64;
    std::vector<Pending> pending_;
    std::vector<Checked> checked_;
    PathCtx &path_;
    const DictBuilder *private_;  // null: every result is a new dict
    const RefVec *sources_ = nullptr;  // set when the walk completes the data
    bool raises_ = false;
    PyObject *keys_[kMaxDepth];  // the data keys from the walk's dict down
    size_t depth_ = 0;
    int inexact_ = 0;
    // The path errors are raised at: the keys of keys_ from root_depth_ on
    // pushed onto root_ (the walk's own path, or an Each's).
    PathCtx *root_ = &path_;
    size_t root_depth_ = 0;

    // The path of the entry being walked, while it lives; the keys are
    // owned meanwhile (raising an error runs Python code).
    class PathHere {
    public:
        explicit PathHere(FastWalk &w) : root_(*w.root_) {
            for (size_t i = w.root_depth_; i < w.depth_; ++i) {
                keys_.push_back(Ref::borrow(w.keys_[i]));
                root_.push(w.keys_[i]);
            }
        }
        ~PathHere() {
            for (size_t i = 0; i < keys_.size(); ++i) root_.pop();
        }
        PathCtx &path() { return root_; }

    private:
        PathCtx &root_;
        RefVec keys_;
    };
};

// For a plan whose str keys all go to one type-tested entry ({str: int}):
// whether every key of `data` is an exact str and every value passes that
// test.  Reads the dict only, so a false answer leaves nothing to undo.
bool FastWalk::all_str_keys_pass(const DictPlan &plan, PyObject *data) {
    auto *type = reinterpret_cast<PyTypeObject *>(plan.entries[static_cast<size_t>(plan.any_str_test)].value.object);
    Py_ssize_t pos = 0;
    PyObject *key, *item;
    while (PyDict_Next(data, &pos, &key, &item))
        if (Py_TYPE(key) != &PyUnicode_Type || !PyObject_TypeCheck(item, type)) return false;
    return true;
}

// Reads the entries of `data` by `plan`, counting the required schema
// keys they match.  An entry whose value passes its quick test (the
// common case) is only counted; any other goes to `walk_entry(key, item,
// entry)` first, which owns what it keeps across allocations and gives Ok
// to go on.  Every key taken by the one type-tested str entry counts once.
// A key that no schema key takes sets `untaken` where the walk raises
// (that error comes after every value's), else stops the walk.
template <typename WalkEntry>
__attribute__((always_inline)) inline Fast FastWalk::read_entries(const DictPlan &plan, PyObject *data,
                                                                 size_t &counted, uint64_t &type_keys,
                                                                 bool &untaken, WalkEntry &&walk_entry) {
    if (plan.any_str_test >= 0 && all_str_keys_pass(plan, data)) {
        if (PyDict_GET_SIZE(data)) count(plan.entries[static_cast<size_t>(plan.any_str_test)], counted, type_keys);
        return Fast::Ok;
    }
    Py_ssize_t pos = 0;
    PyObject *key, *item;
    while (PyDict_Next(data, &pos, &key, &item)) {
        int32_t index = match_key(plan, key);
        if (index < 0) {
            if (index == kNoEntry && raises_here()) {
                untaken = true;
                continue;
            }
            return index == kNoEntry ? Fast::Fail : index == kAbort ? Fast::Abort : Fast::Error;
        }
        const KeyEntry &entry = plan.entries[static_cast<size_t>(index)];
        if (!entry.passes_quickly(item)) {
            Fast r = walk_entry(key, item, entry);
            if (r != Fast::Ok) return r;
        }
        count(entry, counted, type_keys);
    }
    return Fast::Ok;
}

// Checks and copies `data` in one pass: its copy is made at the first
// value whose result differs from the data's.
Fast FastWalk::copying_dict(const DictPlan &plan, PyObject *schema, PyObject *data, Ref &out, bool held) {
    if (depth_ == kMaxDepth) return Fast::Abort;
    // A dict that only the completion of the data has seen is its own
    // result; its new values are stored once the whole walk has succeeded,
    // so that a general walk after a failure reads the data as it was.  Not
    // below Or, And and the like: a later step would read the dict before.
    bool in_place = private_ && !inexact_ && made_alone(private_, data, held ? 1 : 0);
    Ref copy;  // else the result, made at the first value that differs from the data's
    size_t counted = 0;
    uint64_t type_keys = 0;
    bool untaken = false;
    Fast read = read_entries(plan, data, counted, type_keys, untaken, [&](PyObject *key, PyObject *item,
                                                                          const KeyEntry &entry) {
        // What follows may allocate: the entry is owned meanwhile.
        Ref held_key = Ref::borrow(key), held_item = Ref::borrow(item);
        Ref result;
        keys_[depth_++] = key;
        Fast r = value(entry.value, item, result);
        if (r == Fast::Fail && entry.value.kind == NodeKind::Dict && !inexact_)
            r = sources_ ? again_completed(entry.value, item, result) : again(entry.value.object, item, result);
        --depth_;
        if (r != Fast::Ok) {
            if (r == Fast::Error) note_error_key(key);
            return r;
        }
        if (!result || result.get() == item) return Fast::Ok;
        if (in_place) {
            pending_.push_back(Pending{data, std::move(held_key), std::move(result)});
            return Fast::Ok;
        }
        if (!copy && !(copy = Ref::steal(PyDict_Copy(data)))) return Fast::Error;
        return PyDict_SetItem(copy.get(), key, result.get()) < 0 ? Fast::Error : Fast::Ok;
    });
    if (read != Fast::Ok) return read;
    if (sources_ && !plan.additions.empty()) {
        Fast r = add_missing(plan, data, copy, counted, type_keys);
        if (r != Fast::Ok) return r;
    }
    // Every required key matched, every key taken?  (The completed dict
    // is the one the general walk would have walked.)
    if (counted != plan.required || untaken)
        return refused_dict(plan, schema, copy ? copy.get() : data, counted == plan.required);
    if (in_place) out = Ref::borrow(data);
    else out = copy ? std::move(copy) : Ref::steal(PyDict_Copy(data));
    return out ? Fast::Ok : Fast::Error;
}

// The top dict of a walk whose values are only tested, walked as its
// last data was: checked first after invalid data, else checked and
// copied in one pass.
Fast FastWalk::top_dict(const DictPlan &plan, PyObject *schema, PyObject *data, Ref &out, bool held) {
    bool was_invalid = plan.last_was_invalid.load(std::memory_order_relaxed);
    Fast r = g_checks_first_always || was_invalid ? checked_copy(plan, schema, data, out)
                                                  : copying_dict(plan, schema, data, out, held);
    // Written only when it changes: threads walking one schema share it.
    bool invalid = r != Fast::Ok;
    if (r != Fast::Abort && invalid != was_invalid) plan.last_was_invalid.store(invalid, std::memory_order_relaxed);
    return r;
}

// A dict whose values are only tested: the whole of it is checked first,
// making no copy, and the copies are made once it is known valid, so
// invalid data costs no copies made only to be freed.  Invalid data
// raises or stops the check as it does copying_dict.
Fast FastWalk::checked_copy(const DictPlan &plan, PyObject *schema, PyObject *data, Ref &out) {
    Fast r = check_dict(plan, schema, data, kTop);
    if (r == Fast::Ok && !(out = copy_checked(data))) r = Fast::Error;
    checked_.clear();
    return r;
}

// The copy of `data` and of the dicts recorded below it.  Each dict's copy
// is put into its parent's as soon as it is made (a parent's is made
// first), then filled with its own nested copies.
Ref FastWalk::copy_checked(PyObject *data) {
    Ref top = Ref::steal(PyDict_Copy(data));
    if (!top) return top;
    // Nothing is added to the records meanwhile: a walk started by a
    // finalizer has records of its own.
    Checked *records = checked_.data();
    for (size_t i = 0; i < checked_.size(); ++i) {
        Checked &c = records[i];
        if (!c.copied && !(c.value = Ref::steal(PyDict_Copy(c.value.get())))) return Ref();
        PyObject *parent = c.parent == kTop ? top.get() : records[c.parent].value.get();
        if (PyDict_SetItem(parent, c.key.get(), c.value.get()) < 0) return Ref();
    }
    return top;
}

// dict() without the copies: records each nested dict in checked_, the
// dicts below it after it; `self` is the record of `data`.
Fast FastWalk::check_dict(const DictPlan &plan, PyObject *schema, PyObject *data, uint32_t self) {
    if (depth_ == kMaxDepth) return Fast::Abort;
    size_t counted = 0;
    uint64_t type_keys = 0;
    bool untaken = false;
    Fast read = read_entries(plan, data, counted, type_keys, untaken, [&](PyObject *key, PyObject *item,
                                                                          const KeyEntry &entry) {
        // A comparison may allocate, the general walk runs Python code:
        // the entry is owned meanwhile (a nested dict by its record).
        Ref held_key = Ref::borrow(key), held_item = Ref::borrow(item);
        bool is_dict = entry.value.kind == NodeKind::Dict;
        Ref result;
        keys_[depth_++] = key;
        Fast r;
        if (!is_dict) {
            r = value(entry.value, item, result);
        } else if (PyDict_CheckExact(item)) {
            auto mine = static_cast<uint32_t>(checked_.size());
            checked_.emplace_back(std::move(held_key), std::move(held_item), self, false);
            r = check_dict(*entry.value.dict, entry.value.object, item, mine);
            if (r != Fast::Ok) {
                held_key = std::move(checked_[mine].key);
                held_item = std::move(checked_[mine].value);
                checked_.resize(mine);
            }
        } else {
            r = is_inert(item) ? refused(entry.value, item) : Fast::Abort;
        }
        if (r == Fast::Fail && is_dict && !inexact_) {
            r = sources_ ? again_completed(entry.value, item, result) : again(entry.value.object, item, result);
            if (r == Fast::Ok) checked_.emplace_back(std::move(held_key), std::move(result), self, true);
        }
        --depth_;
        if (r == Fast::Error) note_error_key(key);
        return r;
    });
    if (read != Fast::Ok) return read;
    if (counted != plan.required || untaken) return refused_dict(plan, schema, data, counted == plan.required);
    return Fast::Ok;
}

// 1 when `data` lacks the added key `key`, 0 when it has it, -1 on error.
// Every key of `data` was found plain by the walk: the lookup compares no
// key in Python.
int lacks(PyObject *data, PyObject *key) {
    if (PyDict_GetItemWithError(data, key)) return 0;
    return PyErr_Occurred() ? -1 : 1;
}

// 1 when `key` was missing from `dict`, now holding `value` under it; 0
// when it was there (and is left alone); -1 on error.  One lookup.
int put_if_missing(PyObject *dict, PyObject *key, PyObject *value) {
    Py_ssize_t size = PyDict_GET_SIZE(dict);
    if (!PyDict_SetDefault(dict, key, value)) return -1;
    return PyDict_GET_SIZE(dict) != size;
}

// The keys the completion adds to `data`, which lacks them, validated
// into the result `copy`.  Each is added as the passes would add it (see
// added_value); a nested dict made is walked from empty, so that what is
// added below it is added.
Fast FastWalk::add_missing(const DictPlan &plan, PyObject *data, Ref &copy, size_t &counted,
                           uint64_t &type_keys) {
    // The result is a new dict in any case: made now, it is where a key is
    // looked for and added in one lookup.  It has the data's keys, and no
    // two additions add the same key.
    if (!copy && !(copy = Ref::steal(PyDict_Copy(data)))) return Fast::Error;
    for (const Addition &a : plan.additions) {
        const KeyEntry &entry = plan.entries[a.entry];
        // A Default's value, or a source's that the data has, goes in with
        // the lookup that tells the key missing; a nested dict is made
        // only once the key is known to be missing.
        Ref added;
        bool known = a.kind != Addition::Nested && added_value(a, entry, added) == Fast::Ok;
        int missing = known ? put_if_missing(copy.get(), a.key, added.get()) : lacks(data, a.key);
        if (missing <= 0) {
            if (missing < 0) return Fast::Error;
            continue;
        }
        Ref result;
        Fast r = Fast::Ok;
        keys_[depth_++] = a.key;
        if (!known)
            r = a.kind == Addition::Nested ? added_dict(entry, result) : Fast::Fail;  // no source: the pass fails
        else if (!entry.passes_quickly(added.get()))
            r = value(entry.value, added.get(), result);
        --depth_;
        if (r != Fast::Ok) {
            if (r == Fast::Error) note_error_key(a.key);
            return r;
        }
        count(entry, counted, type_keys);
        if (result && result.get() != added.get() && PyDict_SetItem(copy.get(), a.key, result.get()) < 0)
            return Fast::Error;
    }
    return Fast::Ok;
}

// The dict the completion makes for the nested schema dict of `entry`,
// walked from empty so that what is added below it is added.
Fast FastWalk::added_dict(const KeyEntry &entry, Ref &out) {
    Ref empty = Ref::steal(PyDict_New());
    if (!empty) return Fast::Error;
    Fast r = dict(*entry.value.dict, entry.value.object, empty.get(), out, true);
    return r == Fast::Fail ? again_completed(entry.value, empty.get(), out) : r;
}

// A Default's value or a Fallback's source value, as the passes add it.
// A missing source fails: the fallbacks pass raises its error.
Fast FastWalk::added_value(const Addition &a, const KeyEntry &entry, Ref &out) {
    out = a.kind == Addition::Default ? Ref::borrow(entry.value.object) : (*sources_)[a.source].dup();
    return out ? Fast::Ok : Fast::Fail;
}

// The dict `data` (of `plan`, below which something is added) as the two
// passes complete it: what is added is not validated.  Abort where only
// the passes can tell.
Fast FastWalk::completed(const DictPlan &plan, PyObject *data, Ref &out) {
    Ref copy;
    Py_ssize_t pos = 0;
    PyObject *key, *item;
    while (PyDict_Next(data, &pos, &key, &item)) {
        int32_t index = match_key(plan, key);
        if (index == kAbort || index == kError) return index == kAbort ? Fast::Abort : Fast::Error;
        if (index == kNoEntry) continue;
        const Node &n = plan.entries[static_cast<size_t>(index)].value;
        // A value that is no dict is a leaf: nothing is added below it.
        if (n.kind != NodeKind::Dict || !n.dict->completes || !PyDict_Check(item)) continue;
        if (!PyDict_CheckExact(item)) return Fast::Abort;
        Ref held_key = Ref::borrow(key), held_item = Ref::borrow(item);
        Ref result;
        Fast r = completed(*n.dict, item, result);
        if (r != Fast::Ok) return r;
        if (result.get() == item) continue;
        if (!copy && !(copy = Ref::steal(PyDict_Copy(data)))) return Fast::Error;
        if (PyDict_SetItem(copy.get(), key, result.get()) < 0) return Fast::Error;
    }
    for (const Addition &a : plan.additions) {
        int missing = lacks(data, a.key);
        if (missing < 0) return Fast::Error;
        if (!missing) continue;
        const KeyEntry &entry = plan.entries[a.entry];
        Ref added;
        Fast r;
        if (a.kind == Addition::Nested) {
            Ref empty = Ref::steal(PyDict_New());
            r = empty ? completed(*entry.value.dict, empty.get(), added) : Fast::Error;
        } else {
            r = added_value(a, entry, added);
        }
        if (r != Fast::Ok) return r == Fast::Fail ? Fast::Abort : r;
        if (!copy && !(copy = Ref::steal(PyDict_Copy(data)))) return Fast::Error;
        if (PyDict_SetItem(copy.get(), a.key, added.get()) < 0) return Fast::Error;
    }
    out = copy ? std::move(copy) : Ref::borrow(data);
    return Fast::Ok;
}

// The invalid nested dict `data` of the node `n`, in a walk that completes
// the data: the general walk validates it again, completed, and raises its
// error, which is the one the two passes and the walk after them raise,
// once no fallback pass can fail first (every source is there).
Fast FastWalk::again_completed(const Node &n, PyObject *data, Ref &out) {
    if (!raises_) return Fast::Fail;  // a completing walk raises once every source is there
    Ref whole = Ref::borrow(data);
    // Nothing is added to a value that is no dict; a dict subclass is left
    // to the passes.
    if (n.dict->completes && PyDict_Check(data)) {
        if (!PyDict_CheckExact(data)) return Fast::Fail;
        Fast r = completed(*n.dict, data, whole);
        if (r != Fast::Ok) return r;
    }
    return again(n.object, whole.get(), out);
}

// The inert `data` refused by the type test, plain value or dict schema
// of `n`: the dispatcher's error for it (a dict schema's is the one the
// dictionary walk raises for data that is no dict).
Fast FastWalk::refused(const Node &n, PyObject *data) {
    if (!raises_here()) return Fast::Fail;
    PyObject *exc_class = n.kind == NodeKind::Equals ? g.SchemaValueError : g.SchemaTypeError;
    return raise_here(exc_class, {n.object, data});
}

// The dict `data` of `plan` (of the schema dict `schema`) lacks required
// keys (unless `all_required`), or holds keys no schema key took: the
// dictionary walk's error at the end of the dict, the missing keys first.
// The keys are matched again to tell which schema keys took them: that
// runs no Python code, every key having been matched so before.
Fast FastWalk::refused_dict(const DictPlan &plan, PyObject *schema, PyObject *data, bool all_required) {
    if (!raises_here()) return Fast::Fail;
    Ref held = Ref::borrow(data);
    Ref coverage = Ref::steal(PySet_New(nullptr)), taken = Ref::steal(PyList_New(0));
    if (!coverage || !taken) return Fast::Error;
    Py_ssize_t pos = 0;
    PyObject *key, *item;
    while (PyDict_Next(data, &pos, &key, &item)) {
        Ref data_key = Ref::borrow(key);
        int32_t index = match_key(plan, key);
        if (index == kNoEntry) continue;
        if (index < 0) return index == kError ? Fast::Error : Fast::Abort;
        const KeyEntry &entry = plan.entries[static_cast<size_t>(index)];
        // A direct hit covers the data's key, a key test the schema's.
        PyObject *covered = entry.direct ? key : entry.key;
        if (!is_optional_typed(covered) && PySet_Add(coverage.get(), covered) < 0) return Fast::Error;
        if (PyList_Append(taken.get(), key) < 0) return Fast::Error;
    }
    PathHere here(*this);
    if ((all_required || require_covered(schema, coverage.get(), here.path())) && !PyErr_Occurred())
        raise_unsupported(data, taken.get(), here.path());
    return Fast::Error;
}

// Raises `exc_class(path, *rest)` at the path of the entry being walked.
Fast FastWalk::raise_here(PyObject *exc_class, std::initializer_list<PyObject *> rest) {
    PathHere here(*this);
    raise_at(exc_class, here.path(), rest);
    return Fast::Error;
}

// `out` stays empty when the result is the data itself.
Fast FastWalk::value(const Node &n, PyObject *data, Ref &out) {
    switch (n.kind) {
    case NodeKind::Accept:
        return Fast::Ok;
    case NodeKind::TypeTest:
        if (PyObject_TypeCheck(data, reinterpret_cast<PyTypeObject *>(n.object))) return Fast::Ok;
        return is_inert(data) ? refused(n, data) : Fast::Abort;
    case NodeKind::Equals: {
        if (!is_inert(data)) return Fast::Abort;
        int eq = values_equal(n.object, data);
        return eq < 0 ? Fast::Error : eq ? Fast::Ok : refused(n, data);
    }
    case NodeKind::Dict:
        // Reached for a dict entry's value, which the entry's walk owns.
        if (PyDict_CheckExact(data)) return dict(*n.dict, n.object, data, out, !inexact_);
        return is_inert(data) ? refused(n, data) : Fast::Abort;
    case NodeKind::Or:
        return any_of(n, data, out);
    case NodeKind::And:
        return all_of(n, data, out);
    case NodeKind::Each:
        return each(n, data, out);
    case NodeKind::Convert:
        if (!is_plain_value(data)) return Fast::Abort;
        if ((out = call_converter(n.object, data))) return Fast::Ok;
        if (!PyErr_ExceptionMatches(PyExc_Exception) || out_of_memory()) return Fast::Error;
        if (raises_here()) {
            convert_failure(n.object, data);  // Use's own error
            return Fast::Error;
        }
        PyErr_Clear();  // the general walk raises it again, as its SchemaError
        return Fast::Fail;
    case NodeKind::Default:
        // None stands for "absent": the default itself, unchecked.
        if (data == Py_None) {
            out = Ref::borrow(n.object);
            return Fast::Ok;
        }
        break;
    case NodeKind::Wrap:
        break;
    case NodeKind::Code:
        return Fast::Abort;
    }
    Inexact inexact(inexact_);
    return value(n.children[0], data, out);
}

// Or: the first alternative that accepts the data.  A plain alternative
// refuses plain data without an exception; any other refusal makes the
// general walk build an exception and describe the alternative and the
// data in the Or's message, which the walk goes on from only where that
// runs no Python code.  Refused by every alternative, the data gets the
// Or's error.
Fast FastWalk::any_of(const Node &n, PyObject *data, Ref &out) {
    bool raises = raises_here();
    int data_prints_plainly = -1;  // found at the first refusal that needs it
    {
        Inexact inexact(inexact_);
        for (const Node &alternative : n.children) {
            Fast r = value(alternative, data, out);
            if (r != Fast::Fail) return r;
            out.reset();
            if (alternative.is_plain_test() && is_plain(data)) continue;
            if (!alternative.prints_plainly) return Fast::Abort;
            if (data_prints_plainly < 0) data_prints_plainly = str_runs_no_code(data, 0);
            if (!data_prints_plainly) return Fast::Abort;
        }
    }
    return raises ? refused_by_all(n, data) : Fast::Fail;
}

// Whether str(data) runs no Python code and warns of nothing: plain
// values in exact dicts, lists and tuples, `depth` levels down (str() of
// bytes warns under `python -b`; their repr() inside a container does
// not).  Reads only: nothing allocates.
bool FastWalk::str_runs_no_code(PyObject *data, size_t depth) {
    if (is_plain_value(data)) return depth > 0 || !PyBytes_CheckExact(data);
    if (depth == kMaxDepth) return false;
    PyTypeObject *t = Py_TYPE(data);
    if (t == &PyDict_Type) {
        Py_ssize_t pos = 0;
        PyObject *key, *item;
        while (PyDict_Next(data, &pos, &key, &item))
            if (!is_plain_value(key) || !str_runs_no_code(item, depth + 1)) return false;
        return true;
    }
    if (t == &PyList_Type || t == &PyTuple_Type) {
        PyObject *const *items = PySequence_Fast_ITEMS(data);
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(data); ++i)
            if (!str_runs_no_code(items[i], depth + 1)) return false;
        return true;
    }
    return false;  // a set among them: left to the general walk
}

// The Or's error for `data`, which each alternative of `n` refused, each
// to be described without running Python code.
Fast FastWalk::refused_by_all(const Node &n, PyObject *data) {
    Ref alternatives = Ref::steal(PyList_New(0));
    if (!alternatives) return Fast::Error;
    std::vector<Py_ssize_t> deferred;
    for (const Node &alternative : n.children) {
        deferred.push_back(PyList_GET_SIZE(alternatives.get()));
        if (PyList_Append(alternatives.get(), alternative.object) < 0) return Fast::Error;
    }
    raise_or_error(alternatives.get(), deferred, data);
    return Fast::Error;
}

// And: the data through every step in turn.
Fast FastWalk::all_of(const Node &n, PyObject *data, Ref &out) {
    Inexact inexact(inexact_);
    Ref current;  // empty while the result is still `data`
    for (const Node &step : n.children) {
        Ref result;
        Fast r = value(step, current ? current.get() : data, result);
        if (r != Fast::Ok) return r;
        if (result) current = std::move(result);
    }
    out = std::move(current);
    return Fast::Ok;
}

// Each: every element of a list, tuple or set (subclasses too) through the
// element schema, into a new container of the built-in type, read and
// rebuilt as the general walk does it (each.cpp).  A set is rebuilt only
// from plain results, whose hashing runs no Python code.
Fast FastWalk::each(const Node &n, PyObject *data, Ref &out) {
    bool raises = raises_here();
    // An element's errors are located by its index, from the Each's own path.
    Inexact inexact(inexact_);
    Container kind = container_of(data);
    if (kind == Container::Other) {
        if (!is_inert(data)) return Fast::Abort;
        return raises ? not_a_container(n, data) : Fast::Fail;
    }
    RefVec elements;
    if (!snapshot_elements(data, kind, elements)) return Fast::Error;
    const Node &element = n.children[0];
    for (size_t i = 0; i < elements.size(); ++i) {
        Ref &item = elements[i];
        Ref result;
        Fast r = value(element, item.get(), result);
        if (r == Fast::Fail && raises)
            r = element_refused(n, item.get(), kind == Container::Set ? -1 : static_cast<Py_ssize_t>(i));
        if (r != Fast::Ok) return r;
        if (result) item = std::move(result);
        if (kind == Container::Set && !is_plain(item.get())) return Fast::Abort;
    }
    out = rebuild_container(elements, kind);
    return out ? Fast::Ok : Fast::Error;
}

// Each's error for data that is no list, tuple or set, at the Each's path.
Fast FastWalk::not_a_container(const Node &n, PyObject *data) {
    PathCtx own = PathCtx::of_owner(n.object);
    raise_at(g.SchemaTypeError, own, {n.object, data});
    return Fast::Error;
}

// The element `item` of the Each `n` (at `index`; -1 for a set's, which
// has none), which its element schema refused: walked again, raising its
// error as the Each raises it, at the Each's own path and the index.
// Only what that walk does nothing to undo is done there: the results
// kept for dicts validated in place are dropped.
Fast FastWalk::element_refused(const Node &n, PyObject *item, Py_ssize_t index) {
    if (depth_ == kMaxDepth) return Fast::Fail;
    Ref held = Ref::borrow(item), key;
    if (index >= 0 && !(key = Ref::steal(PyLong_FromSsize_t(index)))) return Fast::Error;
    PathCtx own = PathCtx::of_owner(n.object);
    PathCtx *root = root_;
    size_t root_depth = root_depth_, depth = depth_, pending = pending_.size();
    int inexact = inexact_;
    root_ = &own;
    root_depth_ = depth_;
    inexact_ = 0;
    if (key) keys_[depth_++] = key.get();
    Ref result;
    Fast r = value(n.children[0], item, result);
    root_ = root;
    root_depth_ = root_depth;
    depth_ = depth;
    inexact_ = inexact;
    pending_.resize(pending);
    if (r == Fast::Error && key) note_error_key(key.get());
    return r == Fast::Ok ? Fast::Fail : r;  // refused before: the general walk decides
}

// The general walk validates the invalid nested dict `data` again, at its
// path, and raises its error.
Fast FastWalk::again(PyObject *schema, PyObject *data, Ref &out) {
    PathHere here(*this);
    out = validate_dict(schema, data, here.path(), false);
    return out ? Fast::Ok : Fast::Error;
}

bool FastWalk::write_in_place() {
    // Each key is in its dict already: storing replaces a value, never grows a dict.
    for (Pending &p : pending_)
        if (PyDict_SetItem(p.dict, p.key.get(), p.value.get()) < 0) return false;
    pending_.clear();
    return true;
}

// The value of the data's leaf at `source` (a tuple of exact str), as the
// fallbacks pass reads it: every dict on the way a non-empty dict, the
// value itself no non-empty dict.  Empty when there is none; false when
// only Python code could tell (a dict subclass, or keys whose comparison
// with a str may run it).
bool source_value(PyObject *data, PyObject *source, Ref &value) {
    Ref node = Ref::borrow(data);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(source); ++i) {
        if (!PyDict_CheckExact(node.get())) return !PyDict_Check(node.get());
        Py_ssize_t pos = 0;
        PyObject *key, *item;
        while (PyDict_Next(node.get(), &pos, &key, &item))
            if (!is_plain_value(key)) return false;
        PyObject *child = PyDict_GetItemWithError(node.get(), PyTuple_GET_ITEM(source, i));
        if (!child) return !PyErr_Occurred();
        node = Ref::borrow(child);
    }
    if (PyDict_Check(node.get())) {
        if (!PyDict_CheckExact(node.get())) return false;
        if (PyDict_GET_SIZE(node.get())) return true;
    }
    value = std::move(node);
    return true;
}

}  // namespace

// The walk guards no level of its own: each entry below is reached under a
// recursion guard that has just made sure of the stack's margin, and the
// walk's depth is bounded well within it.
Fast fast_complete_validate(const DictPlan &plan, PyObject *schema, PyObject *data, PathCtx &path, Ref &out) {
    RefVec sources;
    for (PyObject *source : plan.sources) {
        Ref value;
        if (!source_value(data, source, value)) {
            if (PyErr_Occurred()) return Fast::Error;
            return Fast::Abort;
        }
        sources.push_back(std::move(value));
    }
    FastWalk walk(path, sources);
    return walk.dict(plan, schema, data, out);
}

Fast fast_value(const Node &n, PyObject *data, PathCtx &path, Ref &out) {
    FastWalk walk(path, nullptr, true);
    return walk.value(n, data, out);
}

Fast fast_validate(const DictPlan &plan, PyObject *schema, PyObject *data, PathCtx &path, Ref &out,
                   const DictBuilder *private_dicts, bool raises) {
    FastWalk walk(path, private_dicts, raises);
    Fast r = walk.dict(plan, schema, data, out);
    if (r == Fast::Ok && !walk.write_in_place()) {
        out.reset();
        return Fast::Error;
    }
    return r;
}

}  // namespace ordalin
