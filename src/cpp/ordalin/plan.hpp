// Compiled schema dictionaries and the fast walk that uses them.
//
// A schema dictionary whose keys the engine knows by heart (plain keys,
// exact Optional and Any keys, built-in type keys) is compiled once into a
// tree of nodes.  Values made only of what it knows by heart too (built-in
// types, plain values, nested dictionaries, Or, And, Optional, Default,
// Fallback, Each and Use of a built-in conversion) become nodes; any other
// value of a dict entry (a user's callable, class or Schema subclass, or
// anything holding one) is a Code node, which the dispatcher validates.
//
// A tree without Code is walked by the fast walk: data made of exact dicts,
// the built-in containers and plain values, without running any Python
// code, so it needs none of the general walk's care for code that changes
// what is being walked.  A dict with Code is walked by the dictionary walk
// (dict_walk.cpp), which goes by the tree for as long as it still
// describes the schema.
//
// A compiled tree is kept with what the engine knows of its top
// dictionary (knowledge.hpp), with that dictionary's stamp.  Whenever
// Python code may have run since it was last checked, it
// is checked again against what it was compiled from: the stamps of the
// nested dictionaries, and the classes, class stamps and attributes of the
// schema objects it read.
#pragma once

#include "ordalin.hpp"

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

namespace ordalin {

struct DictPlan;
bool same_text(PyObject *a, PyObject *b);

// The hash of an exact str: the one it remembers where the API can read
// that directly (3.15 and later), else through its type.
inline Py_hash_t str_hash(PyObject *s) {
#if PY_VERSION_HEX >= 0x030F0000
    Py_hash_t h = PyUnstable_Unicode_GET_CACHED_HASH(s);
    if (h != -1) return h;
#endif
    return PyObject_Hash(s);
}

// Code: a dict entry's value that only the dispatcher can validate (a
// user's callable, class or Schema subclass, or anything holding one); the
// walk reads it from the schema dict when it gets there.
enum class NodeKind : uint8_t { Accept, TypeTest, Equals, Dict, Or, And, Convert, Wrap, Default, Each, Code };

// A compiled value schema.  The tree owns a reference to every object its
// nodes, keys and candidates point to (the top dict aside, which the
// caller holds while it walks), so they stay alive while the tree does, even
// when a finalizer run by a collection during the walk changes the schema.
// A walk of a tree found stale that way gives the old schema's outcome.
struct Node {
    NodeKind kind = NodeKind::Accept;
    // The schema it was compiled from is a built-in type, a plain value
    // (not bytes) or a dict of such keys and values: its str() runs no
    // Python code and warns of nothing.
    bool prints_plainly = false;
    // TypeTest: the type; Equals: the plain value; Convert: the built-in
    // conversion; Default: the default value; Dict: the schema dict;
    // Wrap of a Fallback: its source key path (its `fallback`); Each: the
    // Each object.
    PyObject *object = nullptr;
    std::shared_ptr<const DictPlan> dict;  // Dict
    std::vector<Node> children;           // Or: alternatives; And: steps; Wrap, Default, Each: the schema

    // An alternative of an Or that fails plain data without an exception.
    bool is_plain_test() const { return kind == NodeKind::TypeTest || kind == NodeKind::Equals; }
};

// A schema key and the compiled schema of its value.
struct KeyEntry {
    Node value;
    PyObject *key = nullptr;  // the schema's key
    bool direct = false;      // a plain key, found in the schema by the data key itself
    // A value of one of these types passes unchanged: the value's type
    // test, the type test inside a Default (that takes no None) or a
    // Fallback or other wrapper, or the one or two type tests of an Or;
    // null when there is none.
    PyTypeObject *quick_type = nullptr, *quick_other = nullptr;
    bool passes_quickly(PyObject *value) const {
        return quick_type && (PyObject_TypeCheck(value, quick_type) ||
                              (quick_other && PyObject_TypeCheck(value, quick_other)));
    }
    // A plain key is required and matches at most one data key: it counts
    // once.  A type key is required and may match many: it sets its bit.
    uint8_t counts = 0;
    uint64_t bit = 0;
};

// A key that the completion of the data adds to a dict that lacks it: a
// Default's value, a Fallback's source value, or a dict made for a nested
// schema dict below which something is added.  The additions of a dict
// come in the order the two passes make them: the defaults' (and the dicts
// they make) in schema order, then the fallbacks'.
struct Addition {
    enum Kind : uint8_t { Default, Fallback, Nested };
    Kind kind;
    uint32_t entry;
    PyObject *key;       // the str the schema key stands for: the key, or the str an Optional key wraps
    uint32_t source = 0; // Fallback: the index of its source path
};

// How a key that is not a schema key itself is tested, in priority order.
enum class KeyTest : uint8_t { Accept, TypeTest, Equals };
struct KeyCandidate {
    KeyTest kind;
    PyObject *object;  // TypeTest: the type; Equals: the plain value an Optional wraps
    uint32_t entry;
};

struct DictPlan {
    std::vector<KeyEntry> entries;
    // Exact str data keys: the entry that takes each str that is a schema
    // key or the value of an Optional key (open addressing, a power of two
    // slots), and the entry that takes any other str (-1: none).
    struct StrSlot {
        PyObject *key;
        Py_hash_t hash;
        int32_t entry;
    };
    std::vector<StrSlot> str_slots;
    int32_t str_default = -1;
    // The same keys by address, direct-mapped: a data key that is the very
    // str object of the schema (an interned literal, say) is found without
    // hashing it.  A miss says nothing; the hash table decides.
    struct IdSlot {
        PyObject *key;
        int32_t entry;
    };
    std::vector<IdSlot> id_slots;
    // Other plain data keys: plain schema keys that are not str, then the
    // candidates in priority order.
    std::vector<std::pair<PyObject *, uint32_t>> other_keys;
    std::vector<KeyCandidate> candidates;
    size_t required = 0;  // required schema keys
    std::vector<Addition> additions;
    bool adds_defaults = false;  // an addition made by the defaults pass
    bool completes = false;      // something is added to this dict or below it
    // The top dict of a tree only: whether the completion of the data (the
    // defaults, then the fallbacks) can be done by the walk itself, and the
    // source key paths of the fallbacks (tuples of exact str).
    bool completes_in_walk = false;
    std::vector<PyObject *> sources;
    // The entry that takes every exact str key when no str is a schema key
    // and its value is a type test ({str: int}), -1 when there is none.
    int32_t any_str_test = -1;
    // An entry's value is Code: the dictionary walk goes by this plan,
    // the fast walk never (no Code node lies below a Dict node).
    bool runs_code = false;
    // Every value below is only tested, never converted nor completed:
    // the results are copies of the data's dicts.
    bool checks_only = false;
    // And some values are dicts: the fast walk may check the whole of
    // the data first and copy it once it is known valid, so that invalid
    // data costs no copies made only to be freed.  Valid data it checks
    // and copies in one pass, while each dict is still in the cache: it
    // checks first only where the data last walked from this dict was
    // invalid (a flag read and set by any thread, hence atomic).
    bool checks_before_copying = false;
    mutable std::atomic<bool> last_was_invalid{false};

    static size_t id_index(const PyObject *key, size_t mask) {
        return (reinterpret_cast<uintptr_t>(key) >> 4) & mask;
    }
    // The entry of the schema's own str object `key`, -1 when not known so.
    int32_t find_identical(PyObject *key) const {
        if (id_slots.empty()) return -1;
        const IdSlot &slot = id_slots[id_index(key, id_slots.size() - 1)];
        return slot.key == key ? slot.entry : -1;
    }
    // The entry for an exact str key, -1 when it is in no slot.
    int32_t find_str(PyObject *key, Py_hash_t hash) const {
        if (str_slots.empty()) return -1;
        const StrSlot *slots = str_slots.data();
        size_t mask = str_slots.size() - 1;
        for (size_t i = static_cast<size_t>(hash) & mask;; i = (i + 1) & mask) {
            if (slots[i].key == key) return slots[i].entry;
            if (!slots[i].key) return -1;
            if (slots[i].hash == hash && same_text(slots[i].key, key)) return slots[i].entry;
        }
    }
};

// What match_key gives besides an entry.
constexpr int32_t kNoEntry = -1, kAbort = -2, kError = -3;

// The entry of the schema key that takes the data key `key` in `plan`, or
// kNoEntry, kAbort (a key only Python code can test), kError.  Inlined
// into each walk's loop over a dict, which tests every key.
__attribute__((always_inline)) inline int32_t match_key(const DictPlan &plan, PyObject *key) {
    if (Py_TYPE(key) == &PyUnicode_Type) {
        if (plan.str_slots.empty()) return plan.str_default;
        int32_t entry = plan.find_identical(key);
        if (entry >= 0) return entry;
        Py_hash_t hash = str_hash(key);
        if (hash == -1) return kError;
        entry = plan.find_str(key, hash);
        return entry >= 0 ? entry : plan.str_default;
    }
    if (!is_plain_value(key)) return kAbort;
    // `key in schema` (a dict lookup compares identity first), then the
    // candidates in priority order.
    for (const auto &k : plan.other_keys) {
        int eq = k.first == key ? 1 : values_equal(k.first, key);
        if (eq < 0) return kError;
        if (eq) return static_cast<int32_t>(k.second);
    }
    for (const KeyCandidate &c : plan.candidates) {
        int takes = 1;
        if (c.kind == KeyTest::TypeTest) {
            takes = PyObject_TypeCheck(key, reinterpret_cast<PyTypeObject *>(c.object));
        } else if (c.kind == KeyTest::Equals && (takes = values_equal(c.object, key)) < 0) {
            return kError;
        }
        if (takes) return static_cast<int32_t>(c.entry);
    }
    return kNoEntry;
}

// The dictionary walk's two errors at the end of a dict, raised alike by
// the walk that goes by the tree:
// SchemaMissingKeyError when the set `coverage` (the schema keys the data's
// keys were taken by, Optional-typed ones left out) differs from the set of
// the keys of `schema` that are not Optional-typed, naming the required
// keys it lacks in that set's order; true when they are the same.
bool require_covered(PyObject *schema, PyObject *coverage, PathCtx &path);
// SchemaUnsupportedKeyError with set(data) - set(taken): `taken` holds the
// data keys some schema key took.
void raise_unsupported(PyObject *data, PyObject *taken, PathCtx &path);

// The compiled tree of the exact schema dict `schema`, checked for the
// current epoch, or null when it cannot be compiled (nor, for a dict with
// Code in it, until it is met often in one validation or again in a later
// one).  Never raises and runs no Python code.  The tree stays valid until
// the outermost validation returns.
const DictPlan *plan_of(PyObject *schema);

// Whether validate_dict tries the fast walk (switched off by tests that
// compare it with the general walk).
extern bool g_fast_walk_enabled;
// How many schema dicts have been compiled (for tests of what is kept).
extern uint64_t g_compilations;
// Whether a schema dict with Code in it is compiled when first met (set by
// tests), not only once met again.
extern bool g_code_plans_at_once;
// Whether data of a dict that checks_before_copying is always checked
// before it is copied (set by tests), not only after invalid data.
extern bool g_checks_first_always;

enum class Fast {
    Ok,     // validated: `out` is the new dict
    Fail,   // the data is invalid; nothing observable was done
    Abort,  // only the general walk can tell; nothing observable was done
    Error,  // an error is set (a failure of the general walk's, or no memory)
};

// The value `data` of a dict entry validated by the fast walk with the
// entry's node `n` (no Code node), at `path`, the entry's path: Ok with
// `out` the result (empty: the value itself), Fail, Abort or Error.
Fast fast_value(const Node &n, PyObject *data, PathCtx &path, Ref &out);

// Completes the exact dict `data` with the defaults and fallbacks of the
// top plan `plan` (of the schema dict `schema`, completes_in_walk) and
// validates the completed data, in one walk: what a top-level validation
// gives, when Ok.  Invalid data raises the error that the two passes and
// the walk after them would raise (Error), once every fallback's source is
// there; Fail and Abort leave them to decide.  `path`: the path of the
// schema object.
Fast fast_complete_validate(const DictPlan &plan, PyObject *schema, PyObject *data, PathCtx &path, Ref &out);

// Validates the exact dict `data` against `plan` (of the schema dict
// `schema`), reading it straight and running no Python code, except that
// invalid data raises the general walk's error (when `raises`, else it
// fails), which a nested dictionary the walk cannot tell it for gets from
// the general walk validating that dictionary again.  The dicts that
// `private_dicts` made (if not null) may become their own results
// (made_alone), written once the whole walk has succeeded.
Fast fast_validate(const DictPlan &plan, PyObject *schema, PyObject *data, PathCtx &path, Ref &out,
                   const DictBuilder *private_dicts, bool raises);

}  // namespace ordalin
