// Access to the module namespace: globals read at each use, the module
// logger, messages built with str.format and the built-in Exception.
#include "bargeon.hpp"

namespace bargeon {

State g;
Names n;

bool intern_names() {
    struct Name {
        PyObject **slot;
        const char *text;
    } names[] = {
        {&n.logger, "logger"},
        {&n.time, "time"},
        {&n.urlparse, "urlparse"},
        {&n.to_plaintext, "to_plaintext"},
        {&n.DEFAULT_CRED, "DEFAULT_CRED"},
        {&n.PluginManager, "PluginManager"},
        {&n.plugin_mgr, "__plugin_mgr__"},
        {&n.get_plugin, "get_plugin"},
        {&n.get_subplugin, "get_subplugin"},
        {&n.Bargeon, "Bargeon"},
        {&n.dunder_name, "__name__"},
        {&n.dunder_module, "__module__"},
        {&n.dunder_new, "__new__"},
        {&n.parent_kw, "_parent"},
        {&n.os, "os"},
        {&n.testbed, "testbed"},
        {&n.children, "children"},
        {&n.device, "device"},
        {&n.abstraction_key, "abstraction_key"},
        {&n.st_size, "st_size"},
        {&n.get_child, "get_child"},
        {&n.get, "get"},
        {&n.update, "update"},
        {&n.pop, "pop"},
        {&n.close, "close"},
        {&n.stat, "stat"},
        {&n.PluginNotFound, "BargeonPluginNotFoundError"},
        {&n.PluginError, "BargeonPluginError"},
        {&n.FileCheckError, "BargeonFileCheckError"},
        {&n.redact_urls, "redact_urls"},
        {&n.sleep, "sleep"},
        {&n.is_local, "is_local"},
        {&n.is_valid_ip, "is_valid_ip"},
        {&n.get_server_block, "get_server_block"},
        {&n.server_name_or_ip, "server_name_or_ip"},
        {&n.scheme, "scheme"},
        {&n.servers, "servers"},
        {&n.items, "items"},
        {&n.casefold, "casefold"},
        {&n.server, "server"},
        {&n.address, "address"},
        {&n.credentials, "credentials"},
        {&n.username, "username"},
        {&n.password, "password"},
        {&n.split, "split"},
        {&n.dot, "."},
        {&n.empty, ""},
        {&n.file, "file"},
        {&n.debug, "debug"},
        {&n.warning, "warning"},
        {&n.format, "format"},
        {&n.localhost, "localhost"},
    };
    for (Name &name : names)
        if (!(*name.slot = quarn::intern(name.text))) return false;
    return true;
}

Ref module_global(PyObject *name) {
    PyObject *value = PyDict_GetItemWithError(g.module_dict, name);
    if (value) return Ref::borrow(value);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref();
}

Ref format_message(const char *tmpl, std::initializer_list<PyObject *> args) {
    Ref text = Ref::steal(PyUnicode_FromString(tmpl));
    if (!text) return text;
    Ref format = quarn::getattr(text.get(), n.format);
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(args.size())));
    if (!format || !tuple) return Ref();
    Py_ssize_t i = 0;
    for (PyObject *arg : args) PyTuple_SET_ITEM(tuple.get(), i++, Ref::borrow(arg).release());
    return Ref::steal(PyObject_Call(format.get(), tuple.get(), nullptr));
}

Ref redacted(Ref message) {
    if (!message) return message;
    Ref redact = module_global(n.redact_urls);
    return redact ? quarn::call(redact.get(), message.get()) : Ref();
}

namespace {

bool log_at(PyObject *level, const Ref &message) {
    if (!message) return false;
    Ref logger = module_global(n.logger);
    if (!logger) return false;
    return static_cast<bool>(quarn::call_method(logger.get(), level, message.get()));
}

}  // namespace

bool log_debug(const Ref &message) { return log_at(n.debug, message); }
bool log_warning(const Ref &message) { return log_at(n.warning, message); }

Ref new_exception(PyObject *kind, const Ref &message) {
    Ref cls = message ? module_global(kind) : Ref();
    return cls ? quarn::call(cls.get(), message.get()) : Ref();
}

PyObject *raise_exception(PyObject *kind, const Ref &message) {
    Ref exc = new_exception(kind, message);
    if (exc) PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.get())), exc.get());
    return nullptr;
}

PyObject *raise_exception_while_handling(PyObject *kind, quarn::SavedError &handled, const Ref &message) {
    Ref context = handled.value();
    Ref exc = new_exception(kind, message);
    if (!exc) {
        quarn::chain_pending(std::move(context));
        return nullptr;
    }
    quarn::raise_in_handler(std::move(exc), std::move(context));
    return nullptr;
}

bool pending_type_or_attribute_error() {
    return PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_AttributeError);
}

}  // namespace bargeon
