// Creation of BargeonBase as an ordinary Python class: `type(name, bases,
// ns)` with the C++ members in their defining order.
#include "bargeon.hpp"

namespace bargeon {

namespace {

const char MODULE_NAME[] = "quarn.utils.bargeon.bases.bargeon";

const char CLASS_DOC[] =
    " Base class for all Bargeon implementations.\n"
    "\n"
    "    Based on the 'os' parameter, the appropriate os-specific subclass is\n"
    "    identified and instantiated.\n"
    "    ";

enum class Kind { Method, InitDescriptor, ClassMethod, StaticFunction, Property };

struct Member {
    PyMethodDef *def;
    Kind kind;
};

// The members in the order of the class namespace.
const Member MEMBERS[] = {
    {&from_device_def, Kind::ClassMethod},
    {&new_def, Kind::StaticFunction},
    {&enter_def, Kind::Method},
    {&exit_def, Kind::Method},
    {&init_method_def, Kind::InitDescriptor},
    {&parent_def, Kind::Property},
    {&is_local_def, Kind::Method},
    {&is_remote_def, Kind::Method},
    {&get_protocol_def, Kind::Method},
    {&get_server_block_def, Kind::Method},
    {&get_auth_def, Kind::Method},
    {&get_hostname_def, Kind::Method},
    {&is_valid_ip_def, Kind::Method},
    {&get_child_def, Kind::Method},
    {&close_def, Kind::Method},
    {&remove_child_def, Kind::Method},
    {&checkfile_def, Kind::Method},
    {&copyfile_def, Kind::Method},
    {&dir_def, Kind::Method},
    {&stat_def, Kind::Method},
    {&chmod_def, Kind::Method},
    {&deletefile_def, Kind::Method},
    {&renamefile_def, Kind::Method},
    {&getspace_def, Kind::Method},
};

// A member as it goes into the class namespace: the builtin function in
// the wrapper that makes it a method, a classmethod, a staticmethod or a
// property.  Methods are `instancemethod`s, so an instance gives an ordinary
// bound method and `inspect.signature` sees the plain parameter list.
Ref member_value(const Member &m) {
    Ref module = Ref::steal(PyUnicode_FromString(MODULE_NAME));
    Ref function = module ? Ref::steal(PyCFunction_NewEx(m.def, nullptr, module.get())) : Ref();
    if (!function) return function;
    switch (m.kind) {
    case Kind::Method:
        return Ref::steal(PyInstanceMethod_New(function.get()));
    case Kind::InitDescriptor:
        return Ref::borrow(Py_None);  // replaced once the class exists
    case Kind::ClassMethod:
        return quarn::call(reinterpret_cast<PyObject *>(&PyClassMethod_Type), function.get());
    case Kind::StaticFunction:
        return quarn::call(reinterpret_cast<PyObject *>(&PyStaticMethod_Type), function.get());
    case Kind::Property:
        return quarn::call(reinterpret_cast<PyObject *>(&PyProperty_Type), function.get());
    }
    return Ref();
}

// `__init__` is a method descriptor of the class (wrapped as the other
// methods are): `inspect.signature(BargeonBase)` reads the class's
// signature from `__init__`, and it skips builtin functions there.
bool install_init(PyObject *cls) {
    Ref descr = Ref::steal(PyDescr_NewMethod(reinterpret_cast<PyTypeObject *>(cls), &init_method_def));
    Ref init = descr ? Ref::steal(PyInstanceMethod_New(descr.get())) : Ref();
    return init && PyObject_SetAttrString(cls, init_method_def.ml_name, init.get()) == 0;
}

bool set_text(PyObject *ns, const char *key, const char *text) {
    Ref value = Ref::steal(PyUnicode_FromString(text));
    return value && PyDict_SetItemString(ns, key, value.get()) == 0;
}

// The class namespace: module, qualname, docstring, the registry made once
// here, then the members in their defining order.
Ref class_namespace() {
    Ref ns = Ref::steal(PyDict_New());
    if (!ns || !set_text(ns.get(), "__module__", MODULE_NAME) ||
        !set_text(ns.get(), "__qualname__", "BargeonBase") || !set_text(ns.get(), "__doc__", CLASS_DOC))
        return Ref();
    Ref manager_class = module_global(n.PluginManager);
    Ref registry = manager_class ? quarn::call(manager_class.get()) : Ref();
    if (!registry || PyDict_SetItem(ns.get(), n.plugin_mgr, registry.get()) < 0) return Ref();
    for (const Member &m : MEMBERS) {
        Ref value = member_value(m);
        if (!value || PyDict_SetItemString(ns.get(), m.def->ml_name, value.get()) < 0) return Ref();
    }
    return ns;
}

}  // namespace

bool create_bargeon_base(PyObject *module) {
    PyObject *dict = PyModule_GetDict(module);
    g.max_tries_default = PyDict_GetItemString(dict, "DEFAULT_CHECK_FILE_MAX_TRIES");
    g.delay_seconds_default = PyDict_GetItemString(dict, "DEFAULT_CHECK_FILE_DELAY_SECONDS");
    g.timeout_seconds_default = PyDict_GetItemString(dict, "DEFAULT_TIMEOUT_SECONDS");
    if (!g.max_tries_default || !g.delay_seconds_default || !g.timeout_seconds_default) {
        PyErr_SetString(PyExc_SystemError, "bargeon: module constants missing");
        return false;
    }
    // Kept for the process: checkfile's defaults do not follow the constants.
    Ref::borrow(g.max_tries_default).release();
    Ref::borrow(g.delay_seconds_default).release();
    Ref::borrow(g.timeout_seconds_default).release();
    if (!prepare_checkfile_signature()) return false;

    Ref ns = class_namespace();
    Ref name = Ref::steal(PyUnicode_FromString("BargeonBase"));
    Ref bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject *>(&PyBaseObject_Type)));
    if (!ns || !name || !bases) return false;
    Ref cls = quarn::call(reinterpret_cast<PyObject *>(&PyType_Type), name.get(), bases.get(), ns.get());
    if (!cls || !install_init(cls.get())) return false;
    g.BargeonBase = cls.dup().release();
    return quarn::add_to_module(module, "BargeonBase", cls);
}

}  // namespace bargeon
