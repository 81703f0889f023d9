// Internal interface of the schema engine extension (quarn.utils.ordalin).
//
// The module keeps its classes, the exception classes it raises and a few
// interned names in one process-wide `State`, filled once at import.
#pragma once

#include "py_ref.hpp"

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <vector>

namespace ordalin {

using quarn::Ref;
using quarn::RefVec;

class DictBuilder;  // key_paths.hpp

struct State {
    // The eleven classes, in creation order.
    PyObject *Schema, *PathValidatingSchema, *Optional, *Any, *And, *Or,
        *Default, *Fallback, *Use, *PathAwareUse, *Path;
    // A predicate test and the element-wise container schema, made after them.
    PyObject *Check, *Each;
    // The exception classes of the sibling module `exceptions`.
    PyObject *SchemaValueError, *SchemaClassError, *SchemaTypeError,
        *SchemaMissingKeyError, *SchemaUnsupportedKeyError, *SchemaError,
        *SchemaFallbackError, *SchemaFallbackLoopError;
    PyObject *ListDict;
    PyObject *builtin_len;  // builtins.len, a converter that runs no Python code on plain data
    // The built-in method descriptors, to tell when a subclass overrides one.
    PyObject *schema_validate, *schema_collect_defaults, *schema_collect_fallbacks,
        *schema_apply_defaults, *schema_apply_fallback, *schema_str,
        *and_validate, *or_validate, *default_validate, *use_validate,
        *path_aware_validate, *each_validate;
    // Interned attribute names.
    PyObject *s_schema, *s_schemaType, *s_path, *s_schemas, *s_default,
        *s_fallback, *s_validate, *s_apply_defaults, *s_apply_fallback,
        *s_collect_defaults, *s_collect_fallbacks, *s_copy, *s_name,
        *s_init, *s_str, *s_split, *s_dot, *s_star, *s_empty, *s_and,
        *s_does_not_match, *s_message, *s_add_note, *s_location;
};
extern State g;

// ---- classes.cpp ---------------------------------------------------------
bool create_classes(PyObject *module);
// The attribute `name` as the class `t` or the first of its bases that has
// it holds it (borrowed; null, with no error set, if none has it).  Runs no
// Python code.  The interpreter's own cached lookup on the releases up to
// 3.11, whose internals no longer change; the class dicts walked in MRO
// order, through the public API, on later ones.
#if PY_VERSION_HEX < 0x030C0000
inline PyObject *class_attribute(PyTypeObject *t, PyObject *name) { return _PyType_Lookup(t, name); }
#else
// Moves whenever a watched class or one of its bases changes.
extern uint64_t g_type_generation;
// The lookups that repeat on every call (a class's `validate`, its
// completion passes), remembered while no watched class changed.  A slot
// holds its class, so that no other class can take its address.
struct LookupSlot {
    Ref type;
    PyObject *name = nullptr;  // interned, kept for the process
    uint64_t generation = 0;
    PyObject *found = nullptr;
};
constexpr size_t kLookupSlots = 64;
extern LookupSlot *const g_lookup_slots;  // never freed: it outlives the interpreter
inline LookupSlot &lookup_slot(PyTypeObject *t, PyObject *name) {
    auto at = (reinterpret_cast<uintptr_t>(t) >> 4) ^ (reinterpret_cast<uintptr_t>(name) >> 4);
    return g_lookup_slots[at % kLookupSlots];
}
PyObject *class_attribute_looked_up(PyTypeObject *t, PyObject *name);
inline PyObject *class_attribute(PyTypeObject *t, PyObject *name) {
    LookupSlot &slot = lookup_slot(t, name);
    if (slot.type.get() == reinterpret_cast<PyObject *>(t) && slot.name == name &&
        slot.generation == g_type_generation)
        return slot.found;
    return class_attribute_looked_up(t, name);
}
#endif
// The attribute dict of `obj`, made if it has none yet; empty (no error
// set) when it cannot be read, which callers take as "may hold anything".
// Runs no Python code.
Ref own_dict_of(PyObject *obj);
// Whether the attribute dict `own` holds `name`: an attribute that
// `obj.name` finds before its class's method of that name.  True when
// that cannot be told.
bool own_dict_holds(PyObject *own, PyObject *name);
// The attribute `name` of the class of `obj` (borrowed), when `obj.name`
// finds it: null when the class looks up attributes in a way of its own
// (`__getattribute__`), has no such attribute, or the object has one of
// that name.  Runs no Python code.
PyObject *method_of(PyObject *obj, PyObject *name);
// True when `obj.name` is the built-in method `builtin` (method_of()).
bool uses_builtin(PyObject *obj, PyObject *name, PyObject *builtin);
// Calls `super(cls, self).__init__(*args, **kwargs)` and returns its result.
Ref super_init(PyObject *cls, PyObject *self, PyObject *args, PyObject *kwargs);

// ---- object kinds (dispatch.cpp) ------------------------------------------
// Objects whose `==`, `hash` and `isinstance` run no Python code: exact
// str/int/float/bool/None/bytes, plain classes (metaclass `type`) and exact
// instances of the engine's own marker classes.
bool is_engine_class(PyTypeObject *t);
inline bool is_plain(PyObject *o) {
    PyTypeObject *t = Py_TYPE(o);
    return t == &PyUnicode_Type || t == &PyLong_Type || t == &PyType_Type || t == &PyFloat_Type ||
           t == &PyBool_Type || o == Py_None || t == &PyBytes_Type || is_engine_class(t);
}
// Plain data proper: an exact str, int, float, bool or bytes, or None (not
// a class, not a schema object).  Its conversions, tests and comparisons
// with other plain values run no Python code.
inline bool is_plain_value(PyObject *o) {
    PyTypeObject *t = Py_TYPE(o);
    return t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type ||
           o == Py_None || t == &PyBytes_Type;
}

// Counter bumped whenever the walk calls code that may run Python (a user's
// callable, a `validate` override, `==` on user objects...) and at the start
// of each call into the engine.  What cannot be told unchanged from stamps
// (the attributes of a key read again, a view of keys whose comparison is
// Python code) is taken as it is only while the counter stays the same.
extern uint64_t g_user_epoch;
// The built-in conversions: int, float, str, bool, len.
inline bool is_builtin_conversion(PyObject *callable) {
    return callable == reinterpret_cast<PyObject *>(&PyLong_Type) ||
           callable == reinterpret_cast<PyObject *>(&PyFloat_Type) ||
           callable == reinterpret_cast<PyObject *>(&PyUnicode_Type) ||
           callable == reinterpret_cast<PyObject *>(&PyBool_Type) || callable == g.builtin_len;
}
// Whether calling `callable(data)` surely runs no Python code: a built-in
// conversion of plain data (not of a class or a schema object: str() of
// those runs their code).
inline bool is_pure_call(PyObject *callable, PyObject *data) {
    return is_plain_value(data) && is_builtin_conversion(callable);
}

// `callable(data)`, with the built-in conversions (int, float, str, bool,
// len) done directly: calling the type object would build an argument
// tuple for the same single-argument conversion.
Ref call_converter(PyObject *callable, PyObject *data);
// The converter `callable` failed on `data` (the error is set): a
// SchemaError passes unchanged; another Exception becomes
// SchemaError("name(repr(data)) raised repr(e)") from e.  Returns an
// empty Ref.
Ref convert_failure(PyObject *callable, PyObject *data);

inline void note_user_code() { ++g_user_epoch; }

// Whether the pending exception is the interpreter running out of memory:
// that is never a verdict on the data, so it passes through the converters,
// the callables, Or and the key tests unchanged, as KeyboardInterrupt does.
inline bool out_of_memory() { return PyErr_ExceptionMatches(PyExc_MemoryError); }

// ---- error_location.cpp ----------------------------------------------------
// One top-level validation: the schema exception that leaves it gets its
// `location` in the data (call attach() with the error pending).
class ErrorLocation {
public:
    ErrorLocation();
    ~ErrorLocation();
    ErrorLocation(const ErrorLocation &) = delete;
    ErrorLocation &operator=(const ErrorLocation &) = delete;
    void attach();
    void add_key(PyObject *key);
    // Sets the location of `exc`: the keys of `prefix`, then those the walks
    // added for it and those an inner validation gave it; then forgets the
    // keys, so that the next error starts from none.  False with an error set.
    bool locate(PyObject *exc, const std::vector<Ref> &prefix);

private:
    bool set_location(PyObject *exc, const std::vector<Ref> &prefix);
    void forget();
    Ref error_;                // the error the keys describe
    std::vector<Ref> keys_;    // innermost first
    ErrorLocation *outer_;
};
// A schema error (if that is what is pending) leaves the value under `key`.
void note_error_key(PyObject *key);

// The errors of one walk that goes on after them (iter_errors): each
// dictionary walk that collects pushes the key of the value it validates,
// and a schema error that ends the validation of a value, or the missing
// and unsupported keys of a dictionary, is recorded with the keys pushed
// as the start of its location.
class ErrorCollector {
public:
    // `location`: the top-level validation the walk runs in.
    explicit ErrorCollector(ErrorLocation &location)
        : location_(location), errors_(Ref::steal(PyList_New(0))) {}
    ErrorCollector(const ErrorCollector &) = delete;
    ErrorCollector &operator=(const ErrorCollector &) = delete;
    bool ready() const { return bool(errors_); }
    void push(PyObject *key) { keys_.push_back(Ref::borrow(key)); }
    void pop() { keys_.pop_back(); }
    // Takes the pending error if it is a SchemaError, locates it and keeps
    // it.  False (the error left pending, or a new one set) otherwise.
    bool record();
    // An iterator over the errors recorded, in the order they were.
    Ref iterator() const { return Ref::steal(PyObject_GetIter(errors_.get())); }

private:
    ErrorLocation &location_;
    std::vector<Ref> keys_;  // from the top-level data down
    Ref errors_;             // a list
};

// ---- change stamps (change_stamps.cpp) ------------------------------------
// The engine remembers what it learnt of a schema dict or a class (compiled
// trees, ordered keys, the `validate` a class resolves to) under a stamp.
// Equal stamps mean "unchanged since"; a new dict or class at the address of
// a freed one never shows an old stamp.  CPython 3.11 and older keep a
// version tag in every dict and class; later ones offer dict and type
// watchers instead, whose callbacks move the stamps.

// Takes the module's watchers (once per process; none taken leaves every
// stamp unmatched: nothing is remembered, results stay right) and asks the
// interpreter whether attribute writes move their dict's stamp.
void start_change_tracking();
// Whether the freeing of a schema dict is reported (a dict watcher, 3.12
// and later): what is known of a freed dict can then be forgotten at once.
bool dict_frees_reported();

#if PY_VERSION_HEX < 0x030C0000
inline uint64_t schema_stamp(PyObject *d) {
    return reinterpret_cast<PyDictObject *>(d)->ma_version_tag;
}
// The stamp of a data dict, compared only within one walk.
inline uint64_t data_stamp(PyObject *d) { return schema_stamp(d); }
// Every dict keeps a version: nothing to watch.
class DataWatch {
public:
    explicit DataWatch(PyObject *) {}
};
#else
// Watches `d` and returns its stamp.
uint64_t schema_stamp(PyObject *d);
// The stamp of a data dict, compared only within one walk: a new one each
// time for a dict that is not watched, which thus never counts as unchanged.
uint64_t data_stamp(PyObject *d);
// Watches the exact data dict `d` for as long as a walk reads it, so that
// its stamp tells whether Python code changed it meanwhile.
class DataWatch {
public:
    explicit DataWatch(PyObject *d);
    ~DataWatch();
    DataWatch(const DataWatch &) = delete;
    DataWatch &operator=(const DataWatch &) = delete;

private:
    Ref dict_;  // held while watched here; empty if it was watched already, or cannot be
};
#endif
// Whether an attribute assigned to an instance with a __dict__ moves the
// stamp of that dict (probed once, by start_change_tracking).
bool writes_move_own_dict_stamp();
// The stamp of a class, which changes when anything is assigned to the
// class or its bases; false when the class cannot be followed.
bool class_stamp(PyTypeObject *t, uint64_t &stamp);
#if PY_VERSION_HEX < 0x030C0000
inline bool class_unchanged(PyTypeObject *t, uint64_t stamp) {
    uint64_t now;
    return class_stamp(t, now) && now == stamp;
}
#else
// A stamped class is watched: it is unchanged while no watched class changed.
bool class_unchanged(PyTypeObject *t, uint64_t stamp);
#endif

// Whether a call into the engine from Python is running (compiled trees and
// views are used only meanwhile).
bool in_validation();

// Marks one call into the engine from Python: what the outermost call kept
// for itself alone (views, replaced trees) is released when it returns.
class ValidationScope {
public:
    ValidationScope();
    ~ValidationScope();
    ValidationScope(const ValidationScope &) = delete;
    ValidationScope &operator=(const ValidationScope &) = delete;
};

// ---- path of the data under test ----------------------------------------
// The keys from the top-level data down to the data under test: a base list
// (a schema object's own `path`, the list itself) followed by the keys the
// walk descended through.  The Python list is built only on demand.
class PathCtx {
public:
    explicit PathCtx(Ref base) : base_(std::move(base)) {}
    // The path of a schema object: its `path` attribute, read when needed.
    static PathCtx of_owner(PyObject *owner) {
        PathCtx p{Ref()};
        p.owner_ = Ref::borrow(owner);
        return p;
    }
    // `key` is borrowed: the walk that pushes it owns it until its pop.
    void push(PyObject *key) { keys_.push_back(key); }
    void pop() { keys_.pop_back(); }
    // The path as a list: the base list itself when nothing was pushed.
    Ref as_list() const;

private:
    Ref base_;   // a list, or empty for "no path"
    Ref owner_;  // or the schema object whose `path` is the base
    std::vector<PyObject *> keys_;
};

// ---- dispatch.cpp ----------------------------------------------------------
// The dispatch by the kind of `schema` (whose type is `schema_type`):
// wildcard, path-aware object, other schema object, type, dict, callable,
// plain value, with `path` the path of the data.  Never applies defaults or
// fallbacks.
Ref dispatch(PyObject *schema, PyObject *schema_type, PyObject *data, PathCtx &path);
// `Schema(schema).validate(data, top)` for a plain wrapper with an empty
// path, as Or and And build them.
Ref validate_wrapped(PyObject *schema, PyObject *data, bool top);
// `obj.validate(data, top)` for a Schema instance, taking the built-in road
// directly when its class does not override `validate`.
Ref validate_schema_object(PyObject *obj, PyObject *data, bool top);
// The `validate` that the class `t` resolves to.
PyObject *validate_of(PyTypeObject *t);
// method_of() `obj`, `validate`.
PyObject *validate_of_object(PyObject *obj);
// The built-in `Schema.validate` on an instance (attributes read from it).
Ref schema_validate_impl(PyObject *self, PyObject *data, bool top);

// Whether `schema` is one of the built-in types that a schema tests by
// isinstance() (list, set, int, float, str, tuple, bool, dict).
bool is_type_test(PyObject *schema);

// What `Schema(schema).validate(data, False)` gives, when no Python code
// needs to run to know it: 1 it returns `data`, 0 it raises a SchemaError,
// -1 not known without the full road, -2 the error (set) that the full road
// would raise too.
int plain_verdict(PyObject *schema, PyObject *data);

// `a == b` by its truth value, as the value test takes it: 1, 0, or -1
// with the error set.  An exact str or int equals itself without a
// comparison (a NaN never does).
int values_equal(PyObject *a, PyObject *b);

// Raises `exc_class(*args)`; returns an empty Ref.
Ref raise_schema_error(PyObject *exc_class, RefVec &args);
// Raises `exc_class(path_list, *rest)`, the path list first as every error
// of the walk has it; returns an empty Ref.
Ref raise_at(PyObject *exc_class, PathCtx &path, std::initializer_list<PyObject *> rest);

// The built-in `validate` of the classes, called directly when a class does
// not override it (combinators.cpp, converters.cpp, defaults.cpp).
Ref or_validate_impl(PyObject *self, PyObject *data, bool top);
// The error of an Or that no alternative took: `messages` holds a text
// for each alternative, except at `deferred`, where it holds the
// alternative itself, whose text is made here (for an alternative whose
// description runs no Python code, made only once every one refused);
// they are joined with " and " into a SchemaError.  Returns an empty Ref.
Ref raise_or_error(PyObject *messages, const std::vector<Py_ssize_t> &deferred, PyObject *data);
Ref and_validate_impl(PyObject *self, PyObject *data, bool top);
Ref use_validate_impl(PyObject *self, PyObject *data);
Ref path_aware_validate_impl(PyObject *self, PyObject *path, PyObject *data);
Ref default_validate_impl(PyObject *self, PyObject *data, bool top);
Ref each_validate_impl(PyObject *self, PyObject *data, bool top);

// ---- each.cpp --------------------------------------------------------------
// The containers Each validates, and how it reads and rebuilds them (the
// fast walk does the same).
enum class Container { List, Tuple, Set, Other };
Container container_of(PyObject *data);
// The elements of `data` (of kind `kind`) as it holds them now.
bool snapshot_elements(PyObject *data, Container kind, RefVec &out);
// A new container of the built-in type `kind` holding `results` (consumed).
Ref rebuild_container(RefVec &results, Container kind);

// ---- dict_walk.cpp ---------------------------------------------------------
// `try_fast`: first try the fast walk with the schema's compiled tree;
// `private_dicts`: the builder of a completion that no one has seen since,
// whose dicts that walk may make its results in place.
Ref validate_dict(PyObject *schema, PyObject *data, PathCtx &path, bool try_fast = true,
                  const DictBuilder *private_dicts = nullptr);
// validate_dict for an exact dict schema, recording the errors of its
// values, then its missing and its unsupported keys, in `collector` and
// going on after each (a value that failed counts as matched).  Values
// whose schema is an exact dict are walked so in turn; any other value is
// validated as validate_dict would, its failure one error.  Returns null
// only with an error set that was not recorded.
Ref collect_dict(PyObject *schema, PyObject *data, PathCtx &path, ErrorCollector &collector,
                 const DictBuilder *private_dicts = nullptr);
// Schema.priority(key): 3 for Any, 2 for Optional, else 1; -1 on error.
int key_priority(PyObject *key);

// ---- schema.cpp (Schema.__str__ text) --------------------------------------
// "{class_name} {path} {schema_type} {schema}" for the given pieces.
Ref schema_text(PyObject *class_name, PyObject *path, PyObject *schema_type, PyObject *schema);

// ---- defaults.cpp / fallbacks.cpp ------------------------------------------
// The completion of the data by one top-level validation: the fallbacks
// pass continues the builder of the defaults pass, so fallbacks are written
// into the dicts the defaults made rather than into copies of them.
struct Completion {
    Completion();
    ~Completion();
    Completion(const Completion &) = delete;
    Completion &operator=(const Completion &) = delete;
    std::unique_ptr<DictBuilder> builder;  // null until a pass makes one
};

// `self.apply_defaults(data)` then `self.apply_fallback(data)` for a Schema
// instance `self` (method lookups honour overrides); when `self` is null,
// for a plain `Schema(schema)` wrapper.  With `self`, a non-null `schema`
// and `schema_type` are its attributes as the caller just read them, and
// are used instead of reading them again.  The built-in passes share the
// builder of `completion`.
Ref apply_defaults_for(PyObject *self, PyObject *schema, PyObject *schema_type, PyObject *data,
                       Completion *completion = nullptr);
Ref apply_fallback_for(PyObject *self, PyObject *schema, PyObject *schema_type, PyObject *data,
                       Completion *completion = nullptr);

// Whether the dict `d` was made by `builder` and is referenced only by its
// parent dict (and by the builder, which keeps it alive), besides the
// `held` references of the caller's own.
bool made_alone(const DictBuilder *builder, PyObject *d, Py_ssize_t held = 0);

// ---- method tables, one per concern file -----------------------------------
// Each class's own methods, in the order the class defines them.
extern PyMethodDef schema_init_def, schema_str_def, schema_repr_def, schema_priority_def,
    schema_collect_defaults_def, schema_collect_fallbacks_def, schema_apply_defaults_def,
    schema_apply_fallback_def, schema_validate_def, schema_iter_errors_def, schema_json_schema_def;
extern PyMethodDef any_init_def;
extern PyMethodDef and_init_def, and_str_def, and_validate_def;
extern PyMethodDef or_init_def, or_str_def, or_validate_def;
extern PyMethodDef default_init_def, default_validate_def;
extern PyMethodDef fallback_init_def;
extern PyMethodDef use_validate_def, path_aware_use_validate_def;
extern PyMethodDef check_init_def, check_validate_def;
extern PyMethodDef each_validate_def;
extern PyMethodDef path_hash_def, path_eq_def, path_is_dynamic_def, path_missing_from_def;

}  // namespace ordalin
