// Module initialisation of quarn.utils.bargeon.bases.bargeon: docstring,
// __all__, the imported names, the logger, the constants and BargeonBase,
// in that order.
#include "bargeon.hpp"

namespace bargeon {

namespace {

const char MODULE_DOC[] = " Base class for File Utilities. ";
const char PACKAGE[] = "quarn.utils.bargeon.bases";

struct Constant {
    const char *name;
    long value;
};
const Constant CONSTANTS[] = {
    {"DEFAULT_CHECK_FILE_MAX_TRIES", 3},
    {"DEFAULT_CHECK_FILE_DELAY_SECONDS", 2},
    {"DEFAULT_TIMEOUT_SECONDS", 60},
};

bool set_all(PyObject *module) {
    Ref all = Ref::steal(Py_BuildValue("[s]", "BargeonBase"));
    return quarn::add_to_module(module, "__all__", all);
}

bool import_module(PyObject *module, const char *name) {
    Ref imported = Ref::steal(PyImport_ImportModule(name));
    return quarn::add_to_module(module, name, imported);
}

// from <name> import <attr>, `level` package levels up from this module.
bool import_from(PyObject *module, const char *name, const char *attr, int level) {
    Ref globals = Ref::steal(Py_BuildValue("{s:s,s:s}", "__name__", PACKAGE, "__package__", PACKAGE));
    Ref fromlist = Ref::steal(Py_BuildValue("(s)", attr));
    if (!globals || !fromlist) return false;
    Ref source = Ref::steal(PyImport_ImportModuleLevel(name, globals.get(), nullptr, fromlist.get(), level));
    if (!source) return false;
    Ref value = Ref::steal(PyObject_GetAttrString(source.get(), attr));
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, "cannot import name '%s'", attr);
        }
        return false;
    }
    return quarn::add_to_module(module, attr, value);
}

// The exception classes the base raises, from the sibling module `exceptions`.
bool import_exceptions(PyObject *module) {
    for (const char *name : {"BargeonError", "BargeonPluginNotFoundError", "BargeonPluginError",
                             "BargeonCredentialNotFoundError", "BargeonFileCheckError"})
        if (!import_from(module, "exceptions", name, 2)) return false;
    return true;
}

bool bind_imports(PyObject *module) {
    return import_module(module, "sys") && import_module(module, "time") &&
           import_module(module, "logging") && import_from(module, "urllib.parse", "urlparse", 0) &&
           import_from(module, "core", "PluginManager", 2) &&
           import_from(module, "quarn.utils.secret_strings", "to_plaintext", 0) &&
           import_from(module, "quarn.utils.secret_strings", "redact_urls", 0) &&
           import_from(module, "quarn.topology.credentials", "DEFAULT_CRED", 0) &&
           import_exceptions(module);
}

// logger = logging.getLogger(__name__)
bool create_logger(PyObject *module) {
    PyObject *dict = PyModule_GetDict(module);
    Ref logging = Ref::borrow(PyDict_GetItemString(dict, "logging"));
    Ref name = Ref::borrow(PyDict_GetItemString(dict, "__name__"));
    if (!logging || !name) {
        PyErr_SetString(PyExc_SystemError, "bargeon: logging or __name__ missing");
        return false;
    }
    Ref get_logger = Ref::steal(quarn::intern("getLogger"));
    Ref logger = get_logger ? quarn::call_method(logging.get(), get_logger.get(), name.get()) : Ref();
    return quarn::add_to_module(module, "logger", logger);
}

bool add_constants(PyObject *module) {
    for (const Constant &c : CONSTANTS)
        if (PyModule_AddIntConstant(module, c.name, c.value) < 0) return false;
    return true;
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "bargeon", MODULE_DOC, -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace bargeon

extern "C" __attribute__((visibility("default"))) PyObject *PyInit_bargeon(void) {
    using namespace bargeon;
    Ref module = Ref::steal(PyModule_Create(&module_def));
    if (!module || !intern_names()) return nullptr;
    g.module_dict = Ref::borrow(PyModule_GetDict(module.get())).release();
    if (!set_all(module.get()) || !bind_imports(module.get()) || !create_logger(module.get()) ||
        !add_constants(module.get()) || !create_bargeon_base(module.get()))
        return nullptr;
    return module.release();
}
