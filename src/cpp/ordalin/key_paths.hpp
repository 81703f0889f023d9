// Key paths of nested dictionaries, shared by Path, the defaults and the
// fallbacks.
//
// A key path is the tuple of keys from the top level of a nested dict down
// to one leaf value.  Flattening follows ListDict: depth-first in each dict's
// order, non-empty dicts descended, every other value (an empty dict too) a
// leaf.  The defaults and fallbacks are computed on key paths but applied to
// the data directly: only the dicts on the way to an added entry are copied.
#pragma once

#include "ordalin.hpp"

#include <vector>

namespace ordalin {

// isinstance(o, cls) for one of the engine's classes.  Objects of built-in
// types and exact instances of the engine's classes are answered from their
// type; others go through isinstance (which honours a faked __class__).
inline PyObject *dict_type() { return reinterpret_cast<PyObject *>(&PyDict_Type); }
int instance_of(PyObject *o, PyObject *cls);
// issubclass(schema_type, cls).
int subclass_of(PyObject *schema_type, PyObject *cls);
// self.schemaType and self.schema.
bool read_schema(PyObject *self, Ref &schema, Ref &schema_type);
// Whether reading self.schemaType and self.schema runs no Python code: the
// generic attribute lookup, and no class attribute of either name (which
// could be a property) on the class or its bases.
bool reads_schema_plainly(PyObject *self);
// read_schema() for a `self` that reads_schema_plainly(), from its own dict,
// and with it whether `self` uses the built-in passes (uses_builtin_passes).
bool read_schema_plainly(PyObject *self, Ref &schema, Ref &schema_type, bool &builtin_passes);
// Whether a top-level validation of `data` by a Schema instance, whose
// `schema` and `schemaType` were just read plainly, has nothing to
// complete: the built-in passes (`builtin_passes`), a data dict, and an exact-dict schema already found
// without Default and Fallback leaves and unchanged since.  Runs no
// Python code.
bool completes_nothing(bool builtin_passes, PyObject *schema, PyObject *schema_type, PyObject *data);
// Whether `self` collects and applies its defaults and fallbacks with the
// built-in methods: none overridden by its class or set on the instance.
bool uses_builtin_passes(PyObject *self);
// bool(v) for a dict: a non-empty dict is descended into, an empty one is a
// leaf.  1 for a dict that is not empty, 0 for anything else, -1 on error.
int is_nonempty_dict(PyObject *v);

// ---- path.cpp -------------------------------------------------------------
// The key a Path compares: the wrapped key for an exact Optional.
Ref unwrap_optional(PyObject *key);
// Wildcard equality of the first `n` keys of two tuples (Path.__eq__ after
// its length test): 1 equal, 0 unequal, -1 on error.
int keys_match(PyObject *a, PyObject *b, Py_ssize_t n);
// Path(elements).is_dynamic(): 1 when an element is an Any, -1 on error.
int has_wildcard(PyObject *elements);
// Path(elements).missing_from(paths), `elements` a tuple.
Ref missing_from_impl(PyObject *elements, PyObject *paths);

// ---- key_paths.cpp ----------------------------------------------------------
struct PathEntry {
    Ref path;   // a plain tuple
    Ref value;
};
using Entries = std::vector<PathEntry>;

// ListDict(mapping) as entries: None gives none, a non-dict a TypeError.
bool flatten(PyObject *mapping, Entries &out);
// Entries whose value is a non-empty dict replaced by that dict's entries
// below it: what ListDict(reconstruct) makes of them.
bool split_dict_values(Entries &entries);
// ListDict(...).reconstruct() of the entries: new nested dicts.
Ref reconstruct(const Entries &entries);

// The leaves of a schema dictionary that are Default and Fallback objects.
struct SchemaLeaves {
    size_t defaults = 0;
    size_t fallbacks = 0;
};
enum class LeafKind { Default, Fallback };
// Walks `schema` (a dict, else TypeError) once, counting both kinds; the
// leaves of kind `wanted` are appended to `out` (key path, leaf object).
// A tree found without either kind is remembered by its dicts' versions,
// so that the next walk of it, unchanged, costs a look at each dict.
bool scan_schema(PyObject *schema, LeafKind wanted, Entries *out, SchemaLeaves &counts);


// The data being completed, with the questions the defaults and fallbacks
// ask about its key paths (as they were when the view was made).
class DataPaths {
public:
    // `data` is a dict, or None (no key paths); its keys in the first
    // `plain_depth` levels are known to need no literal comparisons.
    explicit DataPaths(PyObject *data, Py_ssize_t plain_depth = 0);
    // The concrete key paths at which an entry collected under `key_path`
    // is added: wildcards expanded over the keys present under the same
    // prefix, Optional keys unwrapped, paths present or clashing with
    // present data left out.  False on error.
    bool targets(PyObject *key_path, RefVec &out);
    // The value of the data's leaf at `path` (tuple equality, no wildcards);
    // `value` stays empty when there is none.  False on error.
    bool leaf_value(PyObject *path, Ref &value);
    // How many levels of keys are known to need no literal comparisons,
    // while no Python code has run since the view was made (0 otherwise).
    Py_ssize_t plain_depth() const { return exotic_ || made_epoch_ != g_user_epoch ? 0 : scanned_depth_; }

private:
    enum class Presence { Absent, Present, Blocked, Error };
    struct Pattern;
    // Whether keys of the first `depth` levels need the literal comparisons.
    bool literal_mode(Py_ssize_t depth, bool &literal);
    bool flat_entries();
    Presence walk_tail(Ref node, const RefVec &keys, size_t from);
    bool expand(PyObject *node, size_t level, const Pattern &pattern, RefVec &prefix, RefVec &out);
    bool literal_targets(PyObject *key_path, const Pattern &pattern, RefVec &out);
    bool begins_data_path(PyObject *path, Py_ssize_t n, bool &found);
    bool clashes(PyObject *path, bool &clash);

    Ref data_;
    bool exotic_ = false;   // data keys that only the literal comparisons handle
    Py_ssize_t scanned_depth_ = 0;
    uint64_t made_epoch_;
    bool flat_done_ = false;
    Entries flat_;
    Ref flat_paths_;    // list of the flat_ key paths, for missing_from
};

// A set of object addresses, open addressing.  The objects are kept alive
// by their owner, so an address stands for one object.
class AddressSet {
public:
    bool contains(const void *p) const;
    void insert(const void *p);

private:
    void grow();
    std::vector<const void *> slots_;
    size_t size_ = 0;
};

// Builds the completed data: the caller's data itself while nothing is
// added; else a new top-level dict in which only the dicts on the key paths
// of added entries are new (shallow plain copies, or new dicts where none
// stood).  The caller's dicts are never written to.
class DictBuilder {
public:
    // `base` is a dict or None.
    explicit DictBuilder(PyObject *base) : base_(Ref::borrow(base)) {}
    // Puts `value` at `path`, replacing what stood there (a non-dict on
    // the way is replaced by a new dict, as ListDict.reconstruct does).
    bool add(PyObject *path, PyObject *value);
    // The data so far: the base itself when nothing was added.
    Ref result() const { return Ref::borrow(result_ptr()); }
    // The data so far as a dict ({} for a None base).
    Ref current() const;
    // The data so far, borrowed.
    PyObject *result_ptr() const { return root_ ? root_.get() : base_.get(); }
    // Whether `d` is a dict made here.
    bool made(PyObject *d) const { return made_ids_.contains(d); }
    // The base has no keys needing literal comparisons in its first `depth`
    // levels (a view of it found none, and no Python code ran since).
    void note_plain_depth(Py_ssize_t depth) {
        plain_depth_ = depth;
        plain_epoch_ = g_user_epoch;
    }
    // The same of the data so far, while it is known (0 otherwise): no
    // Python code ran since, and every key and dict added is plain.  A
    // later pass over the data need not look at those keys again.
    Py_ssize_t plain_depth() const { return plain_additions_ && plain_epoch_ == g_user_epoch ? plain_depth_ : 0; }

private:
    Ref own_copy(PyObject *source);
    Ref base_;
    Ref root_;
    RefVec made_;   // keeps the dicts made here alive, so their ids stay theirs
    AddressSet made_ids_;
    Py_ssize_t plain_depth_ = 0;
    uint64_t plain_epoch_ = 0;
    bool plain_additions_ = true;  // every key added is plain, no dict added holds keys
};

// The builder that completes `data`: the completion's, when it has built
// `data` so far, else a new one (kept by the completion, or in `own`).
DictBuilder &builder_for(Completion *completion, std::unique_ptr<DictBuilder> &own, PyObject *data);

}  // namespace ordalin
