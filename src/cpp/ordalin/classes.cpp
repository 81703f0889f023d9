// Creation of the engine's classes: the eleven of the schema vocabulary, then Check
// and Each.
//
// They are ordinary Python classes: made by calling `type(name, bases, ns)`
// so that their metaclass is `type`, their instances have a `__dict__` and
// Python code can subclass them.  The namespace lists the methods in their
// defining order (as placeholders); once the class exists each placeholder is
// replaced by a method descriptor bound to the class, implemented in C++.
#include "ordalin.hpp"

#include <cstring>
#include <initializer_list>

namespace ordalin {

namespace {

const char MODULE_NAME[] = "quarn.utils.ordalin";

const char SCHEMA_DOC[] =
    "Schema class\n"
    "\n"
    "    Provides the ability to define schema (schematics/requirements) for\n"
    "    input data, and subsequently validate whether the input data meets\n"
    "    them.\n"
    "\n"
    "    Examples:\n"
    "        data = Schema(str).validate('a string')\n"
    "        data = Schema({'a': str}).validate({'a': 'some string'})\n"
    "\n"
    "    Arguments:\n"
    "        schema (*): the schema to validate against. Any valid python data\n"
    "                    structure or callable.\n"
    "    ";

const char PATH_VALIDATING_DOC[] = "Schema that passes path to its validator. ";

const char OPTIONAL_DOC[] =
    "Optional Class (Schema)\n"
    "\n"
    "    Marks an optional part of the schema.\n"
    "    ";

const char ANY_DOC[] =
    "Any Class (Optional, Schema)\n"
    "\n"
    "    Marks a section of a schema that matches anything. This is effectively\n"
    "    a wildcard (*).\n"
    "\n"
    "    Note that Any is also Optional.\n"
    "    ";

const char AND_DOC[] =
    "And Class (Schema)\n"
    "\n"
    "    Defines a schema of AND relationship, eg, the input data must pass the\n"
    "    validation of all of the requirements of this Schema.\n"
    "\n"
    "    Example:\n"
    "        # requires a string of 'left' or 'right'\n"
    "        And(str, Check(lambda s: s in ('left', 'right')))\n"
    "\n"
    "    Arguments:\n"
    "        *args: arbitrary args of schema to apply AND to.\n"
    "    ";

const char OR_DOC[] =
    "Or Class (Schema)\n"
    "\n"
    "    Defines a schema of OR relationship, eg, the input data must pass the\n"
    "    validation of one of the requirements of this Schema.\n"
    "\n"
    "    Example:\n"
    "        # requires a string or an integer\n"
    "        Or(str, int)\n"
    "\n"
    "    Arguments:\n"
    "        *args: arbitrary args of schema to apply OR to.\n"
    "    ";

const char DEFAULT_DOC[] =
    "Default Class (Optional, Schema)\n"
    "\n"
    "    Defines a schema with a default. Eg, if the schema was not satisfied,\n"
    "    the default value is added to the input data. A Default schema is also\n"
    "    Optional.\n"
    "\n"
    "    Note:\n"
    "        using the Default schema changes the input data (due to application\n"
    "        of default values)\n"
    "\n"
    "    Usage Criteria:\n"
    "        if a Default() is part of a dictionary schema type, then the keys\n"
    "        leading to this default value cannot be marked with any other schema\n"
    "        objects, such as Optional(). Using Default() means that its key chain\n"
    "        is automatically mandatory, because the default is added.\n"
    "\n"
    "    Arguments:\n"
    "        schema (any): input schema requirements\n"
    "        default (any): default value to apply\n"
    "    ";

const char FALLBACK_DOC[] =
    "Fallback Class (Optional, Schema)\n"
    "\n"
    "    Defines a schema with a fallback to another value in the given data.\n"
    "    A Fallback schema is also Optional.\n"
    "\n"
    "    Note:\n"
    "        fallbacks can only be used if the input schema and data are of\n"
    "        type dict.\n"
    "        using the Fallback schema changes the input data (due to\n"
    "        application of fallback values)\n"
    "\n"
    "    Arguments:\n"
    "        schema (any): input schema requirements\n"
    "        fallback (str): the key to fall back to, using '.' as separator to\n"
    "                        identify dictionary nesting levels.\n"
    "\n"
    "    Example:\n"
    "        Fallback(str, 'a.b.c')  # fall back to data['a']['b']['c']\n"
    "\n"
    "    A key that has a '.' in it (an IP address) is named by a tuple of keys\n"
    "    instead:\n"
    "        Fallback(int, ('10.0.0.1', 'port'))  # data['10.0.0.1']['port']\n"
    "    ";

const char USE_DOC[] =
    "Use Class (Schema)\n"
    "\n"
    "    Converts the data: the callable is called with the data, and its result\n"
    "    replaces the data in the validated structure. A bare built-in type in a\n"
    "    schema only tests the type; Use(int) converts to it.\n"
    "\n"
    "    Example:\n"
    "        Schema({'mtu': Use(int)}).validate({'mtu': '1500'})  # {'mtu': 1500}\n"
    "\n"
    "    Errors:\n"
    "        a SchemaError raised by the callable passes through unchanged; any\n"
    "        other exception becomes a SchemaError naming the callable, the data\n"
    "        and the exception, with the exception as its __cause__.\n"
    "\n"
    "    Arguments:\n"
    "        schema (callable): called with the data; its result is the new value.\n"
    "    ";

const char PATH_AWARE_USE_DOC[] =
    "PathAwareUse Class (PathValidatingSchema, Schema)\n"
    "\n"
    "    Converts the data like Use, and gives the callable the path of the data\n"
    "    as well: callable(path, data), where path is the list of keys from the\n"
    "    top-level data down to the data. One converter can so act differently\n"
    "    at different places.\n"
    "\n"
    "    Example:\n"
    "        def tag(path, data):\n"
    "            return '{}={}'.format('.'.join(path), data)\n"
    "        Schema({'a': {'b': PathAwareUse(tag)}}).validate({'a': {'b': 1}})\n"
    "        # {'a': {'b': 'a.b=1'}}\n"
    "\n"
    "    Errors: as for Use.\n"
    "\n"
    "    Arguments:\n"
    "        schema (callable): called with the path and the data; its result is\n"
    "                           the new value.\n"
    "    ";

const char CHECK_DOC[] =
    "Check Class (PathValidatingSchema, Schema)\n"
    "\n"
    "    Tests the data with a predicate and keeps it unchanged. A callable\n"
    "    used as a schema replaces the data with its result; Check is the way\n"
    "    to reject data without writing a callable that raises.\n"
    "\n"
    "    Example:\n"
    "        # a VLAN id, converted from text, then checked\n"
    "        And(Use(int), Check(lambda v: 1 <= v <= 4094, 'VLAN ids are 1 to 4094'))\n"
    "\n"
    "    Arguments:\n"
    "        predicate (callable): called with the data; a false result rejects it\n"
    "                              with SchemaValueError at the data's path.\n"
    "        message (str): shown in the error, if given.\n"
    "    ";

const char EACH_DOC[] =
    "Each Class (Schema)\n"
    "\n"
    "    Validates every element of a list, tuple or set with one schema and\n"
    "    returns a new container of the same built-in type (a list, tuple or set\n"
    "    subclass gives a plain list, tuple or set) holding the validated\n"
    "    elements. Anything else, a str, a dict or a frozenset included, is\n"
    "    rejected with SchemaTypeError. A plain list such as [str] stays a value\n"
    "    compared with ==.\n"
    "\n"
    "    Example:\n"
    "        Schema({'vlans': Each(Use(int))}).validate({'vlans': ['10', '20']})\n"
    "        # {'vlans': [10, 20]}\n"
    "\n"
    "    Errors:\n"
    "        an element's error has the element's index in its location (and in\n"
    "        its path), right after the keys that lead to the container. A set's\n"
    "        elements have no position: an error in a set is located at the set.\n"
    "\n"
    "    Note:\n"
    "        defaults and fallbacks inside an Each are not applied: a dict\n"
    "        element must hold its Default and Fallback keys itself (a Default\n"
    "        element still turns a None element into its default).\n"
    "\n"
    "    Arguments:\n"
    "        schema (any): the schema of every element.\n"
    "    ";

const char PATH_DOC[] =
    "Path object (tuple)\n"
    "\n"
    "    Tuple-like object to be used with ListDict. Extends a tuple's native\n"
    "    ability to compare to also support Any() objects.\n"
    "\n"
    "    Example:\n"
    "        assert Path((1, Any(), 3)) == Path((1, 2, 3))\n"
    "    ";

enum class Kind { Method, ClassMethod };

struct Member {
    PyMethodDef *def;
    Kind kind;
};

Ref make_descriptor(PyObject *cls, const Member &m) {
    auto *type = reinterpret_cast<PyTypeObject *>(cls);
    if (m.kind == Kind::ClassMethod) return Ref::steal(PyDescr_NewClassMethod(type, m.def));
    return Ref::steal(PyDescr_NewMethod(type, m.def));
}

// type(name, bases, ns) with the members' names reserved in order, then the
// placeholders replaced by the C++ methods.
PyObject *make_class(const char *name, std::initializer_list<PyObject *> bases,
                     const char *doc, std::initializer_list<Member> members) {
    Ref ns = Ref::steal(PyDict_New());
    if (!ns) return nullptr;
    Ref module = Ref::steal(PyUnicode_FromString(MODULE_NAME));
    Ref qualname = Ref::steal(PyUnicode_FromString(name));
    if (!module || !qualname) return nullptr;
    if (PyDict_SetItemString(ns.get(), "__module__", module.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__qualname__", qualname.get()) < 0)
        return nullptr;
    if (doc) {
        Ref text = Ref::steal(PyUnicode_FromString(doc));
        if (!text || PyDict_SetItemString(ns.get(), "__doc__", text.get()) < 0) return nullptr;
    }
    for (const Member &m : members)
        if (PyDict_SetItemString(ns.get(), m.def->ml_name, Py_None) < 0) return nullptr;

    Ref base_tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(bases.size())));
    if (!base_tuple) return nullptr;
    Py_ssize_t i = 0;
    for (PyObject *b : bases) PyTuple_SET_ITEM(base_tuple.get(), i++, Ref::borrow(b).release());
    Ref cls = quarn::call(reinterpret_cast<PyObject *>(&PyType_Type),
                          Ref::steal(PyUnicode_FromString(name)).get(), base_tuple.get(), ns.get());
    if (!cls) return nullptr;
    for (const Member &m : members) {
        Ref descr = make_descriptor(cls.get(), m);
        // inspect.signature(cls) binds `__init__` to the class itself, which
        // a method descriptor refuses on 3.13: an instancemethod around it
        // binds the same way for instances and hands inspect the descriptor.
        if (descr && std::strcmp(m.def->ml_name, "__init__") == 0)
            descr = Ref::steal(PyInstanceMethod_New(descr.get()));
        if (!descr || PyObject_SetAttrString(cls.get(), m.def->ml_name, descr.get()) < 0)
            return nullptr;
    }
    return cls.release();
}

// The descriptor stored in the class dict under `name` (kept for the
// override tests).
PyObject *own_descriptor(PyObject *cls, const char *name) {
    PyObject *d = reinterpret_cast<PyTypeObject *>(cls)->tp_dict;
    PyObject *descr = PyDict_GetItemString(d, name);
    Py_XINCREF(descr);
    return descr;
}

Member method(PyMethodDef &def) { return {&def, Kind::Method}; }

}  // namespace

#if PY_VERSION_HEX >= 0x030C0000
namespace {

PyObject *find_in_mro(PyTypeObject *t, PyObject *name) {
    PyObject *mro = t->tp_mro;
    if (!mro) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        auto *base = reinterpret_cast<PyTypeObject *>(PyTuple_GET_ITEM(mro, i));
        // Built-in static classes keep their dict elsewhere since 3.12.
        Ref owned = base->tp_dict ? Ref() : Ref::steal(PyType_GetDict(base));
        PyObject *dict = base->tp_dict ? base->tp_dict : owned.get();
        // Held by the class's own dict; an error pending before stays so.
        PyObject *found = dict ? PyDict_GetItem(dict, name) : nullptr;
        if (found) return found;
    }
    return nullptr;
}

}  // namespace

LookupSlot *const g_lookup_slots = new LookupSlot[kLookupSlots];

// Slots are filled only for classes that are watched: no change to them
// goes unreported.
PyObject *class_attribute_looked_up(PyTypeObject *t, PyObject *name) {
    PyObject *found = find_in_mro(t, name);
    uint64_t stamp;
    if (PyUnicode_CHECK_INTERNED(name) && class_stamp(t, stamp)) {
        LookupSlot &slot = lookup_slot(t, name);
        Ref previous = std::move(slot.type);  // released once the slot is whole again
        slot.type = Ref::borrow(reinterpret_cast<PyObject *>(t));
        slot.name = name;
        slot.generation = stamp;
        slot.found = found;
    }
    return found;
}
#endif

Ref own_dict_of(PyObject *obj) {
    Ref own = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
    if (!own || !PyDict_Check(own.get())) {
        PyErr_Clear();
        return Ref();
    }
    return own;
}

bool own_dict_holds(PyObject *own, PyObject *name) {
    if (PyDict_GetItemWithError(own, name)) return true;
    if (!PyErr_Occurred()) return false;
    PyErr_Clear();
    return true;  // unknown: the caller takes the careful path
}

namespace {
// own_dict_holds() on the attribute dict of `obj`.
bool has_own_attribute(PyObject *obj, PyObject *name) {
    Ref own = own_dict_of(obj);
    return !own || own_dict_holds(own.get(), name);
}
}  // namespace

PyObject *method_of(PyObject *obj, PyObject *name) {
    if (Py_TYPE(obj)->tp_getattro != PyObject_GenericGetAttr) return nullptr;
    PyObject *method = class_attribute(Py_TYPE(obj), name);
    return method && !has_own_attribute(obj, name) ? method : nullptr;
}

bool uses_builtin(PyObject *obj, PyObject *name, PyObject *builtin) { return method_of(obj, name) == builtin; }

Ref super_init(PyObject *cls, PyObject *self, PyObject *args, PyObject *kwargs) {
    Ref sup = quarn::call(reinterpret_cast<PyObject *>(&PySuper_Type), cls, self);
    if (!sup) return sup;
    Ref init = quarn::getattr(sup.get(), g.s_init);
    if (!init) return init;
    return Ref::steal(PyObject_Call(init.get(), args, kwargs));
}

bool create_classes(PyObject *module) {
    PyObject *object = reinterpret_cast<PyObject *>(&PyBaseObject_Type);
    PyObject *tuple = reinterpret_cast<PyObject *>(&PyTuple_Type);
    Member priority = {&schema_priority_def, Kind::ClassMethod};

    struct Spec {
        PyObject **slot;
        const char *name;
    };
    if (!(g.Schema = make_class("Schema", {object}, SCHEMA_DOC,
                                {method(schema_init_def), method(schema_str_def),
                                 method(schema_repr_def), priority,
                                 method(schema_collect_defaults_def),
                                 method(schema_collect_fallbacks_def),
                                 method(schema_apply_defaults_def),
                                 method(schema_apply_fallback_def),
                                 method(schema_validate_def), method(schema_iter_errors_def),
                                 method(schema_json_schema_def)})))
        return false;
    if (!(g.PathValidatingSchema =
              make_class("PathValidatingSchema", {g.Schema}, PATH_VALIDATING_DOC, {})))
        return false;
    if (!(g.Optional = make_class("Optional", {g.Schema}, OPTIONAL_DOC, {}))) return false;
    if (!(g.Any = make_class("Any", {g.Optional}, ANY_DOC, {method(any_init_def)}))) return false;
    if (!(g.And = make_class("And", {g.Schema}, AND_DOC,
                             {method(and_init_def), method(and_str_def), method(and_validate_def)})))
        return false;
    if (!(g.Or = make_class("Or", {g.Schema}, OR_DOC,
                            {method(or_init_def), method(or_str_def), method(or_validate_def)})))
        return false;
    if (!(g.Default = make_class("Default", {g.Optional}, DEFAULT_DOC,
                                 {method(default_init_def), method(default_validate_def)})))
        return false;
    if (!(g.Fallback = make_class("Fallback", {g.Optional}, FALLBACK_DOC, {method(fallback_init_def)})))
        return false;
    if (!(g.Use = make_class("Use", {g.Schema}, USE_DOC, {method(use_validate_def)}))) return false;
    if (!(g.PathAwareUse = make_class("PathAwareUse", {g.PathValidatingSchema}, PATH_AWARE_USE_DOC,
                                      {method(path_aware_use_validate_def)})))
        return false;
    if (!(g.Path = make_class("Path", {tuple}, PATH_DOC,
                              {method(path_hash_def), method(path_eq_def),
                               method(path_is_dynamic_def), method(path_missing_from_def)})))
        return false;

    if (!(g.Check = make_class("Check", {g.PathValidatingSchema}, CHECK_DOC,
                               {method(check_init_def), method(check_validate_def)})))
        return false;
    if (!(g.Each = make_class("Each", {g.Schema}, EACH_DOC, {method(each_validate_def)}))) return false;

    g.schema_validate = own_descriptor(g.Schema, "validate");
    g.schema_collect_defaults = own_descriptor(g.Schema, "collect_defaults");
    g.schema_collect_fallbacks = own_descriptor(g.Schema, "collect_fallbacks");
    g.schema_apply_defaults = own_descriptor(g.Schema, "apply_defaults");
    g.schema_apply_fallback = own_descriptor(g.Schema, "apply_fallback");
    g.schema_str = own_descriptor(g.Schema, "__str__");
    g.and_validate = own_descriptor(g.And, "validate");
    g.or_validate = own_descriptor(g.Or, "validate");
    g.default_validate = own_descriptor(g.Default, "validate");
    g.use_validate = own_descriptor(g.Use, "validate");
    g.path_aware_validate = own_descriptor(g.PathAwareUse, "validate");
    g.each_validate = own_descriptor(g.Each, "validate");

    const Spec classes[] = {
        {&g.Schema, "Schema"},   {&g.PathValidatingSchema, "PathValidatingSchema"},
        {&g.Optional, "Optional"}, {&g.Any, "Any"},
        {&g.And, "And"},         {&g.Or, "Or"},
        {&g.Default, "Default"}, {&g.Fallback, "Fallback"},
        {&g.Use, "Use"},         {&g.PathAwareUse, "PathAwareUse"},
        {&g.Path, "Path"},       {&g.Check, "Check"},
        {&g.Each, "Each"},
    };
    for (const Spec &c : classes)
        if (!quarn::add_to_module(module, c.name, Ref::borrow(*c.slot))) return false;
    return true;
}

}  // namespace ordalin
