// Internal interface of the file-transfer base extension
// (quarn.utils.bargeon.bases.bargeon).
//
// The module keeps its class, its namespace and a few interned names in one
// process-wide `State`, filled once at import.  Module globals such as
// `logger` or `time` are read from the module namespace at every use, so a
// caller that rebinds or patches one of them is honoured.
#pragma once

#include "py_ref.hpp"

#include <initializer_list>
#include <vector>

namespace bargeon {

using quarn::Ref;
using quarn::RefVec;

struct State {
    PyObject *module_dict;  // the module namespace (owned for the process)
    PyObject *BargeonBase;
    // checkfile's defaults, taken from the module constants at class creation.
    PyObject *max_tries_default, *delay_seconds_default, *timeout_seconds_default;
};
extern State g;

// Interned names, made once at import.
struct Names {
    PyObject *logger, *time, *urlparse, *to_plaintext, *DEFAULT_CRED, *PluginManager;
    PyObject *plugin_mgr, *get_plugin, *get_subplugin, *Bargeon, *dunder_name,
        *dunder_module, *dunder_new, *parent_kw, *os, *testbed, *children, *device,
        *abstraction_key, *st_size, *get_child, *get, *update, *pop, *close, *stat, *sleep, *is_local,
        *is_valid_ip, *get_server_block, *server_name_or_ip, *scheme, *servers,
        *items, *casefold, *server, *address, *credentials, *username, *password,
        *split, *dot, *empty, *file, *debug, *warning, *format, *localhost;
    // The exception classes, module globals bound at import.
    PyObject *PluginNotFound, *PluginError, *FileCheckError;
    PyObject *redact_urls;
};
extern Names n;
bool intern_names();

// ---- module_globals.cpp ---------------------------------------------------
// The module global `name`, looked up now (NameError when it is missing).
Ref module_global(PyObject *name);
// `template.format(*args)`.
Ref format_message(const char *tmpl, std::initializer_list<PyObject *> args);
// `message` with the password of every URL in it shown as ***.
Ref redacted(Ref message);
// `logger.debug(message)` / `logger.warning(message)`; false on error.
bool log_debug(const Ref &message);
bool log_warning(const Ref &message);
// `kind(message)`, `kind` the name of one of the module's exception classes
// (n.PluginNotFound, ...); empty, with the error set, if `message` is.
Ref new_exception(PyObject *kind, const Ref &message);
// Sets `kind(message)`; returns nullptr.
PyObject *raise_exception(PyObject *kind, const Ref &message);
// Raises `kind(message)` as an `except` block handling `handled` would
// (the handled error becomes its context); returns nullptr.  An empty
// `message` means building it failed: that error is chained instead.
PyObject *raise_exception_while_handling(PyObject *kind, quarn::SavedError &handled, const Ref &message);
// True when the pending error is a TypeError or an AttributeError.
bool pending_type_or_attribute_error();
// True (1) / false (0) / error (-1) for `bool(obj)`.
inline int truth(PyObject *obj) { return PyObject_IsTrue(obj); }

// ---- arguments.cpp ------------------------------------------------------
// Binding of (args, kwargs) to a Python-style parameter list, with the
// interpreter's usual TypeErrors.
struct Params {
    const char *function;
    std::vector<const char *> positional;  // positional-or-keyword names
    size_t required;                       // how many of them have no default
    bool var_args;
    std::vector<const char *> keyword_only;  // all of them have defaults
    bool var_kwargs;
};
struct Bound {
    RefVec values;  // positional, then keyword-only; empty when not given
    Ref args;       // the surplus positional arguments (a tuple)
    Ref kwargs;     // the surplus keyword arguments (a dict, in call order)
    PyObject *value(size_t i, PyObject *fallback) const {
        return values[i] ? values[i].get() : fallback;
    }
};
bool bind(const Params &params, PyObject *args, PyObject *kwargs, Bound &out);
// Splits `args` into its first element (the class of a `__new__` or
// classmethod-style call) and the rest.
Ref tuple_tail(PyObject *args, Py_ssize_t start);

// A member function of any C signature as the PyCFunction of a PyMethodDef.
template <typename F>
PyCFunction as_cfunction(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

// The members are plain builtin functions wrapped in `instancemethod`,
// `classmethod`, `staticmethod` or `property`, so Python passes the
// instance (or class) as the first argument.  `with_self<F>` splits it off
// and calls `F(self, other_args, kwargs)`.
using MethodImpl = PyObject *(*)(PyObject *self, PyObject *args, PyObject *kwargs);
template <MethodImpl F>
PyObject *with_self(PyObject *, PyObject *args, PyObject *kwargs) {
    if (PyTuple_GET_SIZE(args) < 1) {
        PyErr_SetString(PyExc_TypeError, "method called without its instance");
        return nullptr;
    }
    // Members call back into the instance (is_remote -> is_local, ...):
    // an instance wired to call itself gets RecursionError, not a crash.
    quarn::RecursionGuard guard(" in a BargeonBase method");
    if (!guard.ok()) return nullptr;
    Ref rest = tuple_tail(args, 1);
    if (!rest) return nullptr;
    return F(PyTuple_GET_ITEM(args, 0), rest.get(), kwargs);
}

// ---- the members, one file per concern ----------------------------------
// factory.cpp
extern PyMethodDef new_def, from_device_def;
// `__init__` is bound by a method descriptor: it receives `self` apart.
extern PyMethodDef init_method_def;
// children.cpp
extern PyMethodDef enter_def, exit_def, parent_def, get_child_def, close_def, remove_child_def;
// urls.cpp
extern PyMethodDef is_local_def, is_remote_def, get_protocol_def, is_valid_ip_def;
// testbed.cpp
extern PyMethodDef get_server_block_def, get_auth_def, get_hostname_def;
// fileops.cpp
extern PyMethodDef checkfile_def, copyfile_def, dir_def, stat_def, chmod_def, deletefile_def,
    renamefile_def, getspace_def;
// Writes checkfile's text signature with the defaults of `g`.
bool prepare_checkfile_signature();

// ---- base_class.cpp -----------------------------------------------------
bool create_bargeon_base(PyObject *module);

}  // namespace bargeon
