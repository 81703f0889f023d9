// Module initialisation of quarn.utils.ordalin: binds the exception classes
// and ListDict, sets __all__ and creates the classes, in that order.
#include "plan.hpp"

namespace ordalin {

State g;

namespace {

const char *const EXCEPTION_NAMES[] = {
    "SchemaValueError",      "SchemaClassError",          "SchemaTypeError",
    "SchemaMissingKeyError", "SchemaUnsupportedKeyError", "SchemaError",
    "SchemaFallbackError",   "SchemaFallbackLoopError",
};

const char *const ALL_NAMES[] = {"Schema", "Optional", "Any", "Or", "Default", "Fallback", "Use", "And"};

bool intern_names() {
    struct Name {
        PyObject **slot;
        const char *text;
    } names[] = {
        {&g.s_schema, "schema"},
        {&g.s_schemaType, "schemaType"},
        {&g.s_path, "path"},
        {&g.s_schemas, "schemas"},
        {&g.s_default, "default"},
        {&g.s_fallback, "fallback"},
        {&g.s_validate, "validate"},
        {&g.s_apply_defaults, "apply_defaults"},
        {&g.s_apply_fallback, "apply_fallback"},
        {&g.s_collect_defaults, "collect_defaults"},
        {&g.s_collect_fallbacks, "collect_fallbacks"},
        {&g.s_copy, "copy"},
        {&g.s_name, "__name__"},
        {&g.s_init, "__init__"},
        {&g.s_str, "__str__"},
        {&g.s_split, "split"},
        {&g.s_dot, "."},
        {&g.s_star, "*"},
        {&g.s_empty, ""},
        {&g.s_and, " and "},
        {&g.s_does_not_match, " does not match "},
        {&g.s_message, "message"},
        {&g.s_add_note, "add_note"},
        {&g.s_location, "location"},
    };
    for (Name &n : names)
        if (!(*n.slot = quarn::intern(n.text))) return false;
    return true;
}

// from .exceptions import SchemaValueError, ... (relative to quarn.utils)
bool bind_exceptions(PyObject *module) {
    Ref globals = Ref::steal(Py_BuildValue("{s:s,s:s}", "__name__", "quarn.utils.ordalin",
                                           "__package__", "quarn.utils"));
    Ref fromlist = Ref::steal(PyList_New(0));
    if (!globals || !fromlist) return false;
    for (const char *name : EXCEPTION_NAMES) {
        Ref n = Ref::steal(PyUnicode_FromString(name));
        if (!n || PyList_Append(fromlist.get(), n.get()) < 0) return false;
    }
    Ref exceptions = Ref::steal(
        PyImport_ImportModuleLevel("exceptions", globals.get(), nullptr, fromlist.get(), 1));
    if (!exceptions) return false;
    PyObject **slots[] = {&g.SchemaValueError,      &g.SchemaClassError,
                          &g.SchemaTypeError,       &g.SchemaMissingKeyError,
                          &g.SchemaUnsupportedKeyError, &g.SchemaError,
                          &g.SchemaFallbackError,   &g.SchemaFallbackLoopError};
    for (size_t i = 0; i < sizeof(slots) / sizeof(slots[0]); ++i) {
        Ref cls = Ref::steal(PyObject_GetAttrString(exceptions.get(), EXCEPTION_NAMES[i]));
        if (!cls) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_ImportError, "cannot import name '%s' from 'quarn.utils.exceptions'",
                             EXCEPTION_NAMES[i]);
            }
            return false;
        }
        *slots[i] = cls.dup().release();
        if (!quarn::add_to_module(module, EXCEPTION_NAMES[i], cls)) return false;
    }
    return true;
}

// from quarn.datastructures import ListDict
bool bind_list_dict(PyObject *module) {
    Ref datastructures = Ref::steal(PyImport_ImportModule("quarn.datastructures"));
    if (!datastructures) return false;
    Ref list_dict = Ref::steal(PyObject_GetAttrString(datastructures.get(), "ListDict"));
    if (!list_dict) return false;
    g.ListDict = list_dict.dup().release();
    return quarn::add_to_module(module, "ListDict", list_dict);
}

// The built-in converters the walk knows to run no Python code.
bool bind_builtins() {
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    Ref len = builtins ? Ref::steal(PyObject_GetAttrString(builtins.get(), "len")) : Ref();
    g.builtin_len = len.release();
    return g.builtin_len != nullptr;
}

bool set_all(PyObject *module) {
    const Py_ssize_t n = sizeof(ALL_NAMES) / sizeof(ALL_NAMES[0]);
    Ref all = Ref::steal(PyList_New(n));
    if (!all) return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *name = PyUnicode_FromString(ALL_NAMES[i]);
        if (!name) return false;
        PyList_SET_ITEM(all.get(), i, name);
    }
    return quarn::add_to_module(module, "__all__", all);
}

// Sets the switch `flag` to the truth of `enabled`; returns what it was.
PyObject *set_switch(bool &flag, PyObject *enabled) {
    int truth = PyObject_IsTrue(enabled);
    if (truth < 0) return nullptr;
    bool was = flag;
    flag = truth != 0;
    return PyBool_FromLong(was);
}

// _fast_walk(enabled): switches the compiled fast walk on or off and
// returns whether it was on.  For tests that compare it with the general
// walk; the results are the same either way.
PyObject *set_fast_walk(PyObject *, PyObject *enabled) { return set_switch(g_fast_walk_enabled, enabled); }

// _code_plans_at_once(enabled): compiles schema dicts with a user's code
// in them when first met, not only when met again; returns whether it did.
// For tests of the walk that goes by such a plan.
PyObject *set_code_plans_at_once(PyObject *, PyObject *enabled) {
    return set_switch(g_code_plans_at_once, enabled);
}

// _checks_first(enabled): checks the data of a dict whose values are only
// tested whole before copying it, always, not only after invalid data;
// returns whether it did.  For tests of both ways; the results are the
// same either way.
PyObject *set_checks_first(PyObject *, PyObject *enabled) { return set_switch(g_checks_first_always, enabled); }

// _compilations(): how many schema dicts the engine has compiled so far.
// For tests of what it keeps between validations.
PyObject *compilations(PyObject *, PyObject *) {
    return PyLong_FromUnsignedLongLong(g_compilations);
}

PyMethodDef module_functions[] = {
    {"_fast_walk", set_fast_walk, METH_O,
     "_fast_walk($module, enabled, /)\n--\n\n"
     "Switches the compiled fast walk on or off; returns whether it was on."},
    {"_code_plans_at_once", set_code_plans_at_once, METH_O,
     "_code_plans_at_once($module, enabled, /)\n--\n\n"
     "Compiles schema dicts with a user's code in them when first met;\n"
     "returns whether it did."},
    {"_checks_first", set_checks_first, METH_O,
     "_checks_first($module, enabled, /)\n--\n\n"
     "Checks data whose values are only tested whole before copying it,\n"
     "always; returns whether it did."},
    {"_compilations", compilations, METH_NOARGS,
     "_compilations($module, /)\n--\n\n"
     "How many schema dicts have been compiled so far."},
    {nullptr, nullptr, 0, nullptr},
};

const char MODULE_DOC[] =
    "Schema validation: describe the shape of data, validate it, get it back\n"
    "completed and converted.\n"
    "\n"
    "A schema is plain Python data: a type tests the type, a plain value tests\n"
    "equality, a callable is called (its result is the new value), a dict is\n"
    "walked key by key. The schema classes add the rest:\n"
    "\n"
    "    Schema(schema)      the schema object; validate(data) is the entry point\n"
    "    Optional(key)       a dict key that may be absent\n"
    "    Any()               any key or value (a wildcard, also Optional)\n"
    "    Or(*schemas)        the first alternative that accepts the data\n"
    "    And(*schemas)       the data through every schema in turn\n"
    "    Use(callable)       converts: the callable's result replaces the data\n"
    "    PathAwareUse(f)     converts with f(path, data)\n"
    "    Check(predicate)    keeps the data, rejects it when predicate(data) is false\n"
    "    Each(schema)        every element of a list, tuple or set, in a new container\n"
    "    Default(schema, v)  a key filled with v when absent\n"
    "    Fallback(schema, k) a key filled from the key k of the same data\n"
    "\n"
    "Example:\n"
    "    Schema({'name': str, Optional('mtu'): Use(int)}).validate(\n"
    "        {'name': 'Gi0/0', 'mtu': '1500'})   # {'name': 'Gi0/0', 'mtu': 1500}\n"
    "\n"
    "Every violation raises a subclass of quarn.utils.exceptions.SchemaError\n"
    "with the path of keys to the bad element (its path attribute) and its\n"
    "place in the whole data (location).\n";

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "ordalin", MODULE_DOC, -1, module_functions, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace ordalin

extern "C" __attribute__((visibility("default"))) PyObject *PyInit_ordalin(void) {
    using namespace ordalin;
    start_change_tracking();
    Ref module = Ref::steal(PyModule_Create(&module_def));
    if (!module || !intern_names() || !bind_builtins() || !bind_exceptions(module.get()) ||
        !bind_list_dict(module.get()) || !set_all(module.get()) || !create_classes(module.get()))
        return nullptr;
    return module.release();
}
