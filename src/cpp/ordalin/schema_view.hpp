// What the dictionary walk needs to know about a schema dictionary: its
// keys in priority order, which keys are required, and which keys could
// accept a data key that is not itself a schema key.  Computed once per
// schema dictionary, and again when the dictionary changed (or, for one
// with keys of other kinds, when Python code ran).
#pragma once

#include "ordalin.hpp"
#include "read_checks.hpp"
#include "small_vec.hpp"

#include <memory>
#include <vector>

namespace ordalin {

// A key with the value it had when the snapshot was taken (the value is
// empty when the mapping is not an exact dict).
struct Entry {
    Ref key;
    Ref value;
};

using EntryVec = SmallVec<Entry, 16>;

// Whether `o` is an Optional (a subclass too); inline for the str and int
// keys the walks test it with most.
inline bool is_optional_typed(PyObject *o) {
    PyTypeObject *t = Py_TYPE(o);
    if (t == &PyUnicode_Type || t == &PyLong_Type) return false;
    return PyType_IsSubtype(t, reinterpret_cast<PyTypeObject *>(g.Optional));
}
// What an exact Optional key stands for when data keys are tested with it:
// its `schema`, when its class keeps the built-in `validate` and its
// `schemaType` is that schema's exact type.  Empty, without an error, for
// any other key; empty with the error set when an attribute read failed.
// (The compiler reads the same through its own checks: plan.cpp.)
Ref optional_key_target(PyObject *sk);
// mapping[key]: the dict's own lookup for an exact dict, else subscription.
Ref get_item(PyObject *mapping, PyObject *key);
// Snapshot of a mapping's keys, as sorted() takes them.
bool snapshot_entries(PyObject *mapping, EntryVec &out);
// sorted(entries[first:], key=Schema.priority) (stable), in place; `kept`
// tells whether those entries were already in that order.
bool order_by_priority(EntryVec &entries, bool *kept = nullptr, size_t first = 0);

// How a candidate key tests a plain data key: it accepts every key (Any),
// tests its type (a built-in type key), compares it with the plain value
// an exact Optional wraps, or takes the general road.
enum class KeyKind { Accept, TypeTest, Equals, General };

// A schema key that may accept a plain data key that missed the direct
// lookup.
struct Candidate {
    PyObject *key;    // owned by the view's `ordered`
    KeyKind kind;
    PyTypeObject *type;  // for TypeTest
    Ref inner;           // for Equals
    // For Equals, when `checked`: what `inner` was read from.
    bool checked = false;
    ReadCheck check;
};

// Facts about a schema dict's keys, found by one scan without allocating.
struct KeyFacts {
    uint64_t epoch = 0;       // they hold while this is the epoch
    bool exact = false;       // an exact dict whose keys are all plain
    bool str_keys = false;    // some key is an exact str
    bool other_keys = false;  // some key is a plain value other than a str
    size_t required = 0;      // keys whose type is not Optional

    bool fresh() const { return epoch == g_user_epoch; }
    // Whether a plain data key may equal a key of the (unchanged) schema:
    // an exact str only equals a str; classes and the engine's objects
    // compare by identity.
    bool may_hold(PyObject *key) const {
        PyTypeObject *t = Py_TYPE(key);
        if (t == &PyUnicode_Type) return str_keys;
        if (t == &PyType_Type || PyType_IsSubtype(t, reinterpret_cast<PyTypeObject *>(g.Schema))) return true;
        return other_keys;
    }
};
// The facts of a schema dict, remembered by the dict's identity and version.
KeyFacts facts_of(PyObject *schema);

struct SchemaView {
    KeyFacts facts;
    // Every key, in priority order.  No value is held: the walk reads each
    // from the dict, and a view kept from one call to the next must not
    // keep a user's objects alive.
    EntryVec ordered;
    std::vector<Candidate> candidates;
    // Not held: a view is asked about the live dict at this address only,
    // and a dict that takes a freed one's address shows a new stamp.
    PyObject *schema = nullptr;
    bool exact_dict = false;     // an exact dict, with a stamp
    uint64_t version = 0;        // its stamp when made
    bool by_version = false;     // whether the stamp tells it is fresh
    // Whether it may be kept from one call to the next: it is told fresh
    // by the stamp, and its keys hold nothing of a user's (plain values,
    // built-in types, exact Any keys and exact Optional keys of a plain value).
    bool lasting = false;
    bool wraps = false;          // a candidate holds the value an Optional key wraps
    mutable uint64_t wraps_epoch = 0;  // the epoch in which those were last found unchanged

    // Still true of the schema: an exact dict with plain keys is described
    // by its stamp and, once Python code ran (it may have given an Optional
    // key another value), by the values its Optional keys wrap, read again;
    // anything else only while no Python code ran.
    bool fresh() const {
        if (exact_dict && schema_stamp(schema) != version) return false;
        if (!by_version) return facts.fresh();
        return !wraps || wraps_epoch == g_user_epoch || wrapped_values_hold();
    }

private:
    bool wrapped_values_hold() const;
};

// The view of `schema` as it is now (shared: a walk keeps the one
// it started with even when a nested walk replaces it).
std::shared_ptr<SchemaView> view_of(PyObject *schema);

}  // namespace ordalin
