// Schema.json_schema(): the schema as a JSON Schema (draft 2020-12) dict.
//
// The JSON Schema accepts exactly the JSON-like data (None, bool, int,
// float, str, lists, dicts with str keys) that the schema accepts, where
// JSON Schema can say so.  Where it cannot (callables, converters, keys
// that only Python code can test, a float that refuses 1 but not 1.0) the
// part is looser than the schema and its "description" begins with
// "Looser than quarn: " and says why; it never refuses data that the
// schema accepts.
//
// A top-level dict schema completes the data with its defaults before it
// validates it.  Whether a key whose subtree declares defaults may be
// absent then depends on those defaults validating: the engine answers
// that itself, by validating an empty dict against the key alone, when no
// Python code would run to do so.
#include "key_paths.hpp"
#include "ordalin.hpp"

#include <algorithm>
#include <cmath>
#include <string>

namespace ordalin {

namespace {

const char SCHEMA_URI[] = "https://json-schema.org/draft/2020-12/schema";
const char LOOSER[] = "Looser than quarn: ";

// ---- small builders --------------------------------------------------------

Ref new_object() { return Ref::steal(PyDict_New()); }

bool put(PyObject *obj, const char *key, Ref value) {
    return value && PyDict_SetItemString(obj, key, value.get()) == 0;
}

Ref text(const std::string &s) { return Ref::steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()))); }

// {key: value}
Ref object_of(const char *key, Ref value) {
    Ref obj = new_object();
    if (!obj || !put(obj.get(), key, std::move(value))) return Ref();
    return obj;
}

// [a, b, ...] from owned items (consumed).
Ref list_of(RefVec &items) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) return list;
    for (size_t i = 0; i < items.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), items[i].release());
    return list;
}

// {"type": name}
Ref of_type(const char *name) { return object_of("type", Ref::steal(PyUnicode_FromString(name))); }

// Adds "description" to `obj` (joined to one it has already).
Ref described(Ref obj, const std::string &why) {
    if (!obj) return obj;
    PyObject *old = PyDict_GetItemString(obj.get(), "description");
    std::string all = why;
    if (old && PyUnicode_Check(old)) {
        const char *s = PyUnicode_AsUTF8(old);
        if (!s) return Ref();
        all = std::string(s) + "; " + why;
    }
    if (!put(obj.get(), "description", text(all))) return Ref();
    return obj;
}

// A part JSON Schema cannot check as the schema does: accepts what it may.
Ref looser(Ref obj, const std::string &why) { return described(std::move(obj), LOOSER + why); }
Ref anything_because(const std::string &why) { return looser(new_object(), why); }

// No JSON-like data matches: {"not": {}}, with the reason.
Ref nothing_because(const std::string &why) { return described(object_of("not", new_object()), why); }

std::string name_of_type(PyObject *o) { return Py_TYPE(o)->tp_name; }

bool is_str_key(PyObject *o) { return PyUnicode_CheckExact(o); }

// ---- plain values ------------------------------------------------------------

enum class Copy { Done, Never, Unknown };

// A JSON copy of the plain value `v` (lists, dicts with str keys, str,
// numbers, bool, None), for "const" and "default".  `ambiguous` is set when
// it holds a bool or a number equal to 0 or 1, which Python's == and JSON
// Schema's equality compare differently (1 == True only in Python).  Never:
// no JSON data equals it (it holds a class, a tuple, a set).
class JsonCopy {
public:
    Copy copy(PyObject *v, Ref &out) {
        quarn::RecursionGuard guard(" while copying a value of a schema");
        if (!guard.ok()) return fail();
        PyTypeObject *t = Py_TYPE(v);
        if (v == Py_None || t == &PyUnicode_Type) return done(v, out);
        if (t == &PyBool_Type) {
            ambiguous = true;
            return done(v, out);
        }
        if (t == &PyLong_Type || t == &PyFloat_Type) return number(v, out);
        if (t == &PyType_Type || t == &PyTuple_Type || t == &PySet_Type || t == &PyFrozenSet_Type ||
            t == &PyBytes_Type)
            return Copy::Never;
        if (t == &PyList_Type) return container(v, out, &JsonCopy::list);
        if (t == &PyDict_Type) return container(v, out, &JsonCopy::dict);
        return Copy::Unknown;
    }
    bool ambiguous = false;
    bool error = false;

private:
    Copy fail() {
        error = true;
        return Copy::Unknown;
    }
    static Copy done(PyObject *v, Ref &out) {
        out = Ref::borrow(v);
        return Copy::Done;
    }
    Copy number(PyObject *v, Ref &out) {
        double d = PyFloat_Check(v) ? PyFloat_AS_DOUBLE(v) : 2.0;
        if (PyFloat_Check(v) && !std::isfinite(d)) return Copy::Never;  // no JSON number
        if (PyLong_Check(v)) {
            int overflow = 0;
            long n = PyLong_AsLongAndOverflow(v, &overflow);
            if (n == -1 && PyErr_Occurred()) return fail();
            if (!overflow) d = static_cast<double>(n);
        }
        if (d == 0.0 || d == 1.0) ambiguous = true;
        return done(v, out);
    }
    // A list or dict, visited once on the way down (a value holding itself
    // is refused).
    Copy container(PyObject *v, Ref &out, Copy (JsonCopy::*walk)(PyObject *, Ref &)) {
        if (std::find(stack_.begin(), stack_.end(), v) != stack_.end()) {
            PyErr_SetString(PyExc_ValueError, "json_schema: a value of the schema contains itself");
            return fail();
        }
        stack_.push_back(v);
        Copy c = (this->*walk)(v, out);
        stack_.pop_back();
        return c;
    }
    Copy list(PyObject *v, Ref &out) {
        RefVec items;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v); ++i) items.push_back(Ref::borrow(PyList_GET_ITEM(v, i)));
        RefVec copies;
        Copy worst = Copy::Done;
        for (Ref &item : items) {
            Ref c;
            Copy r = copy(item.get(), c);
            if (error) return Copy::Unknown;
            if (r == Copy::Never) return Copy::Never;  // one element never equal: the list never is
            if (r == Copy::Unknown) worst = Copy::Unknown;
            copies.push_back(std::move(c));
        }
        if (worst != Copy::Done) return worst;
        out = list_of(copies);
        return out ? Copy::Done : fail();
    }
    Copy dict(PyObject *v, Ref &out) {
        Ref d = new_object();
        if (!d) return fail();
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        RefVec keys, values;
        while (PyDict_Next(v, &pos, &key, &value)) {
            keys.push_back(Ref::borrow(key));
            values.push_back(Ref::borrow(value));
        }
        Copy worst = Copy::Done;
        for (size_t i = 0; i < keys.size(); ++i) {
            if (!is_str_key(keys[i].get())) {
                // A key no JSON key equals, unless it is a number or a bool
                // that Python's == would take differently.
                if (PyType_Check(keys[i].get()) || PyTuple_CheckExact(keys[i].get()) || keys[i].get() == Py_None)
                    return Copy::Never;
                worst = Copy::Unknown;
                continue;
            }
            Ref c;
            Copy r = copy(values[i].get(), c);
            if (error) return Copy::Unknown;
            if (r == Copy::Never) return Copy::Never;
            if (r == Copy::Unknown) worst = Copy::Unknown;
            if (r == Copy::Done && PyDict_SetItem(d.get(), keys[i].get(), c.get()) < 0) return fail();
        }
        if (worst != Copy::Done) return worst;
        out = std::move(d);
        return Copy::Done;
    }
    std::vector<PyObject *> stack_;
};

// {"enum": [v, twin]}: a bool and the number equal to it are one value to
// Python's ==.
Ref with_twin(PyObject *v) {
    bool truth = PyObject_IsTrue(v) == 1;
    RefVec both;
    both.push_back(Ref::borrow(v));
    if (PyBool_Check(v))
        both.push_back(Ref::steal(PyLong_FromLong(truth ? 1 : 0)));
    else
        both.push_back(Ref::borrow(truth ? Py_True : Py_False));
    if (!both[1]) return Ref();
    return object_of("enum", list_of(both));
}

// A plain value schema: the data must equal it (==).
Ref value_schema(PyObject *v) {
    JsonCopy copier;
    Ref copied;
    Copy r = copier.copy(v, copied);
    if (copier.error) return Ref();
    if (r == Copy::Never) return nothing_because("a value (" + name_of_type(v) + ") that no JSON data equals");
    if (r == Copy::Unknown)
        return anything_because("a value of type " + name_of_type(v) + ", compared with ==");
    if (!copier.ambiguous) return object_of("const", std::move(copied));
    if (PyBool_Check(v) || PyLong_CheckExact(v) || PyFloat_CheckExact(v)) return with_twin(v);
    return looser(of_type(PyList_Check(v) ? "array" : "object"),
                  "a value holding a bool or a 0 or 1, which == takes for one another");
}

// ---- built-in type tests -------------------------------------------------------

Ref type_schema(PyObject *cls) {
    if (cls == reinterpret_cast<PyObject *>(&PyBool_Type)) return of_type("boolean");
    if (cls == reinterpret_cast<PyObject *>(&PyUnicode_Type)) return of_type("string");
    if (cls == reinterpret_cast<PyObject *>(&PyList_Type)) return of_type("array");
    if (cls == reinterpret_cast<PyObject *>(&PyDict_Type)) return of_type("object");
    if (cls == reinterpret_cast<PyObject *>(&PyLong_Type)) {
        // isinstance(True, int): a bool is an int too.
        RefVec names;
        names.push_back(Ref::steal(PyUnicode_FromString("integer")));
        names.push_back(Ref::steal(PyUnicode_FromString("boolean")));
        if (!names[0] || !names[1]) return Ref();
        return object_of("type", list_of(names));
    }
    if (cls == reinterpret_cast<PyObject *>(&PyFloat_Type))
        return looser(of_type("number"), "a float; JSON Schema does not tell 1 from 1.0, so integers pass here too");
    return nothing_because(std::string("a ") + reinterpret_cast<PyTypeObject *>(cls)->tp_name +
                           ", which JSON data never is");
}

// ---- what a schema holds -------------------------------------------------------

// The Default and Fallback leaves of a dict schema's nested dicts (what
// collect_defaults and collect_fallbacks walk).
struct Leaves {
    bool defaults = false, fallbacks = false;
};

bool scan_leaves(PyObject *v, Leaves &out, std::vector<PyObject *> &stack) {
    if (!PyDict_Check(v)) {
        out.defaults |= PyObject_TypeCheck(v, reinterpret_cast<PyTypeObject *>(g.Default)) != 0;
        out.fallbacks |= PyObject_TypeCheck(v, reinterpret_cast<PyTypeObject *>(g.Fallback)) != 0;
        return true;
    }
    if (std::find(stack.begin(), stack.end(), v) != stack.end()) {
        PyErr_SetString(PyExc_ValueError, "json_schema: the schema contains itself (a dict within itself)");
        return false;
    }
    quarn::RecursionGuard guard(" while reading a schema");
    if (!guard.ok()) return false;
    stack.push_back(v);
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    RefVec values;
    while (PyDict_Next(v, &pos, &key, &value)) values.push_back(Ref::borrow(value));
    for (Ref &value_ref : values)
        if (!scan_leaves(value_ref.get(), out, stack)) return false;
    stack.pop_back();
    return true;
}

bool leaves_of(PyObject *v, Leaves &out) {
    std::vector<PyObject *> stack;
    return scan_leaves(v, out, stack);
}

// An exact engine class whose attributes are plain instance attributes.
bool plain_engine_object(PyObject *o) {
    PyTypeObject *t = Py_TYPE(o);
    return (is_engine_class(t) || t == reinterpret_cast<PyTypeObject *>(g.Each)) &&
           t->tp_getattro == PyObject_GenericGetAttr;
}

// Whether validating with `schema` surely runs no Python code (so the
// engine may be asked about it here): built-in types, plain values,
// dicts of those and the engine's own objects holding them.  Fallbacks
// are left out: what they do depends on the whole data.
class Purity {
public:
    int pure(PyObject *s) {
        quarn::RecursionGuard guard(" while reading a schema");
        if (!guard.ok()) return -1;
        PyTypeObject *t = Py_TYPE(s);
        if (t == &PyType_Type) return is_type_test(s);
        if (is_plain_value(s)) return 1;
        // A cycle is not put to the engine (the translation reports it).
        if (std::find(stack_.begin(), stack_.end(), s) != stack_.end()) return 0;
        stack_.push_back(s);
        int r = container(s);
        stack_.pop_back();
        return r;
    }

private:
    int container(PyObject *s) {
        PyTypeObject *t = Py_TYPE(s);
        if (t == &PyList_Type || t == &PyTuple_Type) {
            JsonCopy copier;
            Ref ignored;
            Copy c = copier.copy(s, ignored);
            return copier.error ? -1 : c != Copy::Unknown;
        }
        if (t == &PyDict_Type) return dict(s);
        if (!plain_engine_object(s) || t == reinterpret_cast<PyTypeObject *>(g.Fallback) ||
            t == reinterpret_cast<PyTypeObject *>(g.PathAwareUse) || t == reinterpret_cast<PyTypeObject *>(g.Use))
            return 0;
        if (t == reinterpret_cast<PyTypeObject *>(g.Any)) return 1;
        if (t == reinterpret_cast<PyTypeObject *>(g.Or) || t == reinterpret_cast<PyTypeObject *>(g.And))
            return all_of(s);
        Ref inner = quarn::getattr(s, g.s_schema);
        if (!inner) return -1;
        if (t == reinterpret_cast<PyTypeObject *>(g.Default)) {
            Ref value = quarn::getattr(s, g.s_default);
            if (!value) return -1;
            JsonCopy copier;
            Ref ignored;
            Copy c = copier.copy(value.get(), ignored);
            if (copier.error) return -1;
            if (c == Copy::Unknown) return 0;
        }
        Ref inner_type = quarn::getattr(s, g.s_schemaType);
        if (!inner_type) return -1;
        if (inner_type.get() != reinterpret_cast<PyObject *>(Py_TYPE(inner.get()))) return 0;
        return pure(inner.get());
    }
    int all_of(PyObject *s) {
        Ref schemas = quarn::getattr(s, g.s_schemas);
        if (!schemas) return -1;
        if (!PyTuple_CheckExact(schemas.get())) return 0;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(schemas.get()); ++i) {
            int r = pure(PyTuple_GET_ITEM(schemas.get(), i));
            if (r <= 0) return r;
        }
        return 1;
    }
    int dict(PyObject *s) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        RefVec items;
        while (PyDict_Next(s, &pos, &key, &value)) {
            items.push_back(Ref::borrow(key));
            items.push_back(Ref::borrow(value));
        }
        for (Ref &item : items) {
            int r = pure(item.get());
            if (r <= 0) return r;
        }
        return 1;
    }
    std::vector<PyObject *> stack_;
};

int is_pure(PyObject *schema) { return Purity().pure(schema); }

// Schema(schema).validate(data): 1 accepted, 0 refused with a SchemaError,
// -1 another error.  Only for pure schemas.
int engine_accepts(PyObject *schema, PyObject *data) {
    Ref wrapper = quarn::call(g.Schema, schema);
    if (!wrapper) return -1;
    Ref result = schema_validate_impl(wrapper.get(), data, true);
    if (result) return 1;
    if (!PyErr_ExceptionMatches(g.SchemaError)) return -1;
    PyErr_Clear();
    return 0;
}

// ---- the translation -------------------------------------------------------------

// What a dict's keys say about a str data key, tried in the walk's order.
struct KeyPlan {
    Ref properties = new_object();  // named keys (plain, then Optional) and their schemas
    RefVec required;                // names that must be present
    RefVec plain_names;             // the plain str keys (direct hits)
    Ref catch_all;                  // the schema of the first key that takes any str
    bool type_key = false;          // the catch-all is a required `str` key
    std::string looser_why;         // set: the dict is only known to be an object
    std::string never_why;          // set: no JSON object can match
};

class Translator {
public:
    Ref value(PyObject *schema, bool &converts);
    Ref dict(PyObject *schema, bool completed, bool &converts);
    Ref root(PyObject *self);

private:
    Ref guarded(PyObject *schema, bool &converts);
    Ref schema_object(PyObject *obj, bool &converts);
    Ref wrapped_schema(PyObject *obj, bool &converts);
    Ref combination(PyObject *obj, bool is_or, bool &converts);
    Ref default_schema(PyObject *obj, bool &converts);
    bool plan_keys(PyObject *schema, bool completed, KeyPlan &plan, bool &converts);
    bool plan_entry(PyObject *key, PyObject *value, int priority, bool completed, KeyPlan &plan, bool &converts);
    Ref completed_value(PyObject *schema_key, PyObject *value, bool &converts, bool &may_be_absent);
    Ref dict_from_plan(KeyPlan &plan);
    bool enter(PyObject *o);
    std::vector<PyObject *> stack_;
};

// A container or schema object seen again on the way down: the schema is
// cyclic, which no JSON Schema without references can say.
bool Translator::enter(PyObject *o) {
    if (std::find(stack_.begin(), stack_.end(), o) == stack_.end()) {
        stack_.push_back(o);
        return true;
    }
    PyErr_Format(PyExc_ValueError, "json_schema: the schema contains itself (a cycle through a %s)",
                 Py_TYPE(o)->tp_name);
    return false;
}

Ref Translator::value(PyObject *schema, bool &converts) {
    quarn::RecursionGuard guard(" while translating a schema");
    if (!guard.ok()) return Ref();
    bool container = !is_plain_value(schema) && Py_TYPE(schema) != &PyType_Type;
    if (container && !enter(schema)) return Ref();
    Ref out = guarded(schema, converts);
    if (container) stack_.pop_back();
    return out;
}

// The dispatcher's order: wildcard, path-aware object, schema object,
// built-in type, dict, callable, plain value.
Ref Translator::guarded(PyObject *schema, bool &converts) {
    PyTypeObject *t = Py_TYPE(schema);
    if (PyType_IsSubtype(t, reinterpret_cast<PyTypeObject *>(g.Any))) return new_object();
    if (PyType_IsSubtype(t, reinterpret_cast<PyTypeObject *>(g.PathValidatingSchema))) {
        converts = true;
        return anything_because("a " + name_of_type(schema) + ": Python code decides");
    }
    if (PyType_IsSubtype(t, reinterpret_cast<PyTypeObject *>(g.Schema))) return schema_object(schema, converts);
    if (t == &PyType_Type && is_type_test(schema)) return type_schema(schema);
    if (t == &PyDict_Type) return dict(schema, false, converts);
    if (is_plain_value(schema) || t == &PyList_Type || t == &PyTuple_Type || t == &PySet_Type ||
        t == &PyFrozenSet_Type)
        return value_schema(schema);
    converts = true;
    if (PyCallable_Check(schema)) return anything_because("a callable, called with the data");
    return anything_because("a schema of type " + name_of_type(schema));
}

Ref Translator::schema_object(PyObject *obj, bool &converts) {
    PyObject *validate = validate_of_object(obj);
    if (validate == g.schema_validate) return wrapped_schema(obj, converts);
    if (validate == g.or_validate) return combination(obj, true, converts);
    if (validate == g.and_validate) return combination(obj, false, converts);
    if (validate == g.default_validate) return default_schema(obj, converts);
    if (validate == g.each_validate) {
        Ref inner = quarn::getattr(obj, g.s_schema);
        Ref items = inner ? value(inner.get(), converts) : Ref();
        Ref array = items ? of_type("array") : Ref();
        if (!array || !put(array.get(), "items", std::move(items))) return Ref();
        return array;
    }
    converts = true;
    if (validate == g.use_validate) return anything_because("a Use: its callable converts the data");
    return anything_because("a " + name_of_type(obj) + " with a validate of its own");
}

// Optional(s), Schema(s) and the like validate as `s` (dispatched by their
// `schemaType`, which must be the type of `s` to be followed here).
Ref Translator::wrapped_schema(PyObject *obj, bool &converts) {
    Ref inner = quarn::getattr(obj, g.s_schema);
    Ref inner_type = inner ? quarn::getattr(obj, g.s_schemaType) : Ref();
    if (!inner_type) return Ref();
    if (inner_type.get() != reinterpret_cast<PyObject *>(Py_TYPE(inner.get()))) {
        converts = true;
        return anything_because("a schema object whose schemaType is not the type of its schema");
    }
    return value(inner.get(), converts);
}

// Or: anyOf.  And: allOf, up to the first step that may convert the data
// (the steps after it see the converted data, not this one).
Ref Translator::combination(PyObject *obj, bool is_or, bool &converts) {
    Ref schemas = quarn::getattr(obj, g.s_schemas);
    if (schemas && !PyTuple_CheckExact(schemas.get())) schemas = Ref::steal(PySequence_Tuple(schemas.get()));
    if (!schemas) return Ref();
    Py_ssize_t n = PyTuple_GET_SIZE(schemas.get());
    if (n == 0) return is_or ? nothing_because("an Or of no alternatives") : new_object();
    RefVec parts;
    bool cut = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        bool step_converts = false;
        Ref part = value(PyTuple_GET_ITEM(schemas.get(), i), step_converts);
        if (!part) return part;
        parts.push_back(std::move(part));
        converts |= step_converts;
        if (!is_or && step_converts && i + 1 < n) {
            cut = true;
            break;
        }
    }
    Ref out = object_of(is_or ? "anyOf" : "allOf", list_of(parts));
    if (cut) out = looser(std::move(out), "the steps of an And after one that converts the data are left out");
    return out;
}

// Default: None stands for "absent" and becomes the default, unchecked.
Ref Translator::default_schema(PyObject *obj, bool &converts) {
    converts = true;
    bool ignored = false;
    Ref inner = wrapped_schema(obj, ignored);
    if (!inner) return inner;
    RefVec either;
    either.push_back(of_type("null"));
    either.push_back(std::move(inner));
    if (!either[0]) return Ref();
    Ref out = object_of("anyOf", list_of(either));
    Ref value = out ? quarn::getattr(obj, g.s_default) : Ref();
    if (!value) return Ref();
    JsonCopy copier;
    Ref copied;
    if (copier.copy(value.get(), copied) == Copy::Done && !put(out.get(), "default", std::move(copied)))
        return Ref();
    if (copier.error) return Ref();
    return out;
}

Ref Translator::dict(PyObject *schema, bool completed, bool &converts) {
    KeyPlan plan;
    if (!plan.properties || !plan_keys(schema, completed, plan, converts)) return Ref();
    if (!plan.never_why.empty()) return nothing_because(plan.never_why);
    if (!plan.looser_why.empty()) return looser(of_type("object"), plan.looser_why);
    return dict_from_plan(plan);
}

// The keys in the walk's order: by priority, dict order within one.
bool Translator::plan_keys(PyObject *schema, bool completed, KeyPlan &plan, bool &converts) {
    RefVec keys, values;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(schema, &pos, &key, &value)) {
        keys.push_back(Ref::borrow(key));
        values.push_back(Ref::borrow(value));
    }
    // Schema.priority, as the walk orders the keys.
    std::vector<int> priorities;
    for (const Ref &k : keys) {
        int p = key_priority(k.get());
        if (p < 0) return false;
        priorities.push_back(p);
    }
    // The plain str keys first: a data key equal to one is a direct hit,
    // whatever comes before it in the dict.
    for (int pass = 0; pass <= 3; ++pass)
        for (size_t i = 0; i < keys.size(); ++i) {
            PyObject *k = keys[i].get();
            int priority = priorities[i];
            bool wanted = pass == 0 ? is_str_key(k) : priority == pass && !(pass == 1 && is_str_key(k));
            if (wanted && !plan_entry(k, values[i].get(), priority, completed, plan, converts)) return false;
        }
    return true;
}

// The name an Optional key stands for, or a class that takes any str
// (`str`), or empty with `never` set when it takes no str at all.
Ref optional_target(PyObject *key, bool &never, bool &unknown) {
    PyObject *validate = validate_of_object(key);
    if (validate != g.schema_validate && validate != g.default_validate) {
        unknown = true;
        return Ref();
    }
    Ref inner = quarn::getattr(key, g.s_schema);
    if (!inner) return inner;
    PyObject *o = inner.get();
    if (is_str_key(o) || o == reinterpret_cast<PyObject *>(&PyUnicode_Type)) return inner;
    if (is_plain_value(o) || (Py_TYPE(o) == &PyType_Type && is_type_test(o)))
        never = true;
    else
        unknown = true;
    return Ref();
}

bool Translator::plan_entry(PyObject *key, PyObject *value, int priority, bool completed, KeyPlan &plan,
                            bool &converts) {
    PyObject *schema_key = key;  // `key` becomes the name an Optional key wraps
    Leaves below;
    if (completed && !leaves_of(value, below)) return false;
    bool str_type = key == reinterpret_cast<PyObject *>(&PyUnicode_Type);
    bool named = is_str_key(key);
    Ref target;  // what an Optional key wraps, held while it stands for the key
    if (priority == 2) {
        bool never = false, unknown = false;
        target = optional_target(key, never, unknown);
        if (PyErr_Occurred()) return false;
        if (unknown) {
            plan.looser_why = "an Optional key that only Python code can test";
            return true;
        }
        if (never) return true;  // takes no str key
        named = is_str_key(target.get());
        str_type = !named;
        if (named) key = target.get();
    }
    if (priority == 1 && !named && !str_type) {
        // A required key that no str equals: a type other than str, a
        // number, a schema object, a callable...
        if ((Py_TYPE(key) == &PyType_Type && is_type_test(key)) || is_plain_value(key) ||
            PyTuple_CheckExact(key)) {
            if (below.defaults)
                plan.looser_why = "defaults below a key that is not a str";
            else
                plan.never_why = "a required key that no JSON key matches";
        } else {
            plan.looser_why = "a key that only Python code can test";
        }
        return true;
    }
    if ((below.defaults || below.fallbacks) && !named) {
        plan.looser_why = "defaults or fallbacks below a key that takes many keys";
        return true;
    }
    bool shadowed = plan.catch_all || (named && PyDict_Contains(plan.properties.get(), key) == 1);
    if (shadowed) {
        // Never reached by a str key; only a required `str` key matters.
        if (priority == 1 && str_type) plan.never_why = "a required str key after another that takes every str";
        if (named && (below.defaults || below.fallbacks))
            plan.looser_why = "an Optional key with defaults, whose name another key takes";
        return true;
    }
    bool may_be_absent = priority != 1;
    Ref schema = completed && named ? completed_value(schema_key, value, converts, may_be_absent) : this->value(value, converts);
    if (!schema) return false;
    if (!named) {
        plan.catch_all = std::move(schema);
        plan.type_key = priority == 1;
        return true;
    }
    if (PyDict_SetItem(plan.properties.get(), key, schema.get()) < 0) return false;
    if (priority == 1) plan.plain_names.push_back(Ref::borrow(key));
    if (!may_be_absent) plan.required.push_back(Ref::borrow(key));
    return true;
}

// The value of a named key in a dict that the top-level validation
// completes: its defaults fill it in when it is absent.
Ref Translator::completed_value(PyObject *schema_key, PyObject *value, bool &converts, bool &may_be_absent) {
    Leaves below;
    if (!leaves_of(value, below)) return Ref();
    if (below.fallbacks) {
        may_be_absent = true;
        converts = true;
        return anything_because("a value that may be filled from another key (a Fallback)");
    }
    Ref schema = PyDict_CheckExact(value) ? dict(value, true, converts) : this->value(value, converts);
    if (!schema || !below.defaults) return schema;
    converts = true;
    // Absent, the key is filled with its defaults, which must validate.
    Ref alone = new_object();
    if (!alone || PyDict_SetItem(alone.get(), schema_key, value) < 0) return Ref();
    int pure = is_pure(alone.get());
    if (pure < 0) return Ref();
    if (!pure) {
        may_be_absent = true;
        return looser(std::move(schema), "absent, the key is filled with its defaults, which may not validate");
    }
    Ref empty = new_object();
    int accepted = empty ? engine_accepts(alone.get(), empty.get()) : -1;
    if (accepted < 0) return Ref();
    may_be_absent = accepted == 1;
    return schema;
}

Ref Translator::dict_from_plan(KeyPlan &plan) {
    Ref out = of_type("object");
    if (!out) return out;
    if (PyDict_GET_SIZE(plan.properties.get()) && !put(out.get(), "properties", std::move(plan.properties)))
        return Ref();
    if (!plan.required.empty() && !put(out.get(), "required", list_of(plan.required))) return Ref();
    Ref rest = plan.catch_all ? std::move(plan.catch_all) : Ref::borrow(Py_False);
    if (!put(out.get(), "additionalProperties", std::move(rest))) return Ref();
    if (!plan.type_key) return out;
    // A `str` key is required: some data key must be one that is not a
    // plain key of the dict.
    if (plan.plain_names.empty()) {
        if (!put(out.get(), "minProperties", Ref::steal(PyLong_FromLong(1)))) return Ref();
        return out;
    }
    Ref names = object_of("enum", list_of(plan.plain_names));
    Ref within = names ? object_of("propertyNames", std::move(names)) : Ref();
    if (!within || !put(out.get(), "not", std::move(within))) return Ref();
    return out;
}

// Whether the translation of a dict schema accepts {}: 1, 0, or -1 when it
// is looser than the schema (its answer would not be the schema's).
int takes_empty_object(PyObject *body) {
    if (PyDict_GetItemString(body, "not") || PyDict_GetItemString(body, "required") ||
        PyDict_GetItemString(body, "minProperties"))
        return 0;
    return PyDict_GetItemString(body, "description") ? -1 : 1;
}

// What Schema(...).validate(data) checks with its top-level completion.
Ref Translator::root(PyObject *self) {
    bool converts = false;
    if (validate_of_object(self) != g.schema_validate) return value(self, converts);
    if (!uses_builtin_passes(self))
        return anything_because("a Schema whose defaults or fallbacks are its own");
    Ref schema = quarn::getattr(self, g.s_schema);
    Ref schema_type = schema ? quarn::getattr(self, g.s_schemaType) : Ref();
    if (!schema_type) return Ref();
    PyObject *s = schema.get();
    if (schema_type.get() != reinterpret_cast<PyObject *>(Py_TYPE(s)))
        return anything_because("a Schema whose schemaType is not the type of its schema");
    bool is_dict = PyDict_CheckExact(s);
    bool is_default = PyObject_TypeCheck(s, reinterpret_cast<PyTypeObject *>(g.Default));
    if (PyObject_TypeCheck(s, reinterpret_cast<PyTypeObject *>(g.Fallback)))
        return anything_because("a top-level Fallback");
    if (!is_dict && !is_default) return value(s, converts);
    Ref body;
    if (is_default) {
        Ref d = quarn::getattr(s, g.s_default);
        if (!d) return d;
        if (PyDict_Check(d.get())) return anything_because("a top-level Default of a dict, merged into the data");
        body = wrapped_schema(s, converts);  // None becomes the default, validated like any data
        JsonCopy copier;
        Ref copied;
        if (body && copier.copy(d.get(), copied) == Copy::Done && !put(body.get(), "default", std::move(copied)))
            return Ref();
        if (copier.error) return Ref();
    } else {
        body = dict(s, true, converts);  // None becomes the collected defaults, validated
    }
    if (!body) return body;
    int pure = is_pure(s);
    if (pure < 0) return Ref();
    Leaves leaves;
    if (!pure && is_dict && !leaves_of(s, leaves)) return Ref();
    int accepted = 1;
    if (pure) {
        accepted = engine_accepts(s, Py_None);
    } else if (is_dict && !leaves.defaults && !leaves.fallbacks) {
        // Nothing to collect: None becomes {}, which the dict's own
        // translation decides on when it is exact.
        int empty_ok = takes_empty_object(body.get());
        if (empty_ok >= 0) pure = 1;
        accepted = empty_ok != 0;
    }
    if (accepted < 0) return Ref();
    if (!accepted && !is_default) return body;
    if (!accepted) {
        // A None in the data is replaced by the default, which fails: the
        // Default's own schema speaks for the rest.
        RefVec both;
        both.push_back(object_of("not", of_type("null")));
        both.push_back(std::move(body));
        if (!both[0]) return Ref();
        return object_of("allOf", list_of(both));
    }
    RefVec either;
    either.push_back(of_type("null"));
    either.push_back(std::move(body));
    if (!either[0]) return Ref();
    Ref out = object_of("anyOf", list_of(either));
    if (!pure) out = looser(std::move(out), "None stands for the defaults, which may not validate");
    return out;
}

PyObject *schema_json_schema(PyObject *self, PyObject *) {
    ValidationScope scope;
    Translator translator;
    Ref body = translator.root(self);
    if (!body) return nullptr;
    Ref out = object_of("$schema", Ref::steal(PyUnicode_FromString(SCHEMA_URI)));
    if (!out || PyDict_Update(out.get(), body.get()) < 0) return nullptr;
    return out.release();
}

}  // namespace

PyMethodDef schema_json_schema_def = {
    "json_schema", schema_json_schema, METH_NOARGS,
    "json_schema($self)\n--\n\n"
    "The schema as a JSON Schema (draft 2020-12) dict.\n\n"
    "It accepts the JSON-like data (None, bool, int, float, str, lists, dicts\n"
    "with str keys) that validate() accepts. What JSON Schema cannot say as\n"
    "quarn checks it (callables, converters, fallbacks, keys only Python code\n"
    "can test, a float, which refuses 1 but not 1.0) is left looser, with a\n"
    "description that begins \"Looser than quarn: \"; nothing the schema\n"
    "accepts is refused. An int also accepts integral floats such as 1.0,\n"
    "which JSON Schema counts as integers. A cyclic schema raises ValueError."};

}  // namespace ordalin
