// The plugin-dispatching factory: `__new__` swaps the class called for the
// os-specific class that the registry holds, `__init__` stores the
// arguments, `from_device` takes the os and the testbed from a device.
#include "bargeon.hpp"

namespace bargeon {

namespace {

const Params NEW_PARAMS = {"__new__", {"cls"}, 1, true, {"os"}, true};
const Params INIT_PARAMS = {"__init__", {}, 0, true, {"os", "testbed"}, true};
const Params FROM_DEVICE_PARAMS = {"from_device", {"device"}, 1, true, {"testbed"}, true};

// bool(kwargs.get('_parent')): 1, 0, or -1 on error.
int has_true_parent(PyObject *kwargs) {
    Ref parent = Ref::borrow(PyDict_GetItemWithError(kwargs, n.parent_kw));
    if (!parent) return PyErr_Occurred() ? -1 : 0;
    return truth(parent.get());
}

// cls.__plugin_mgr__.get_plugin(os)
Ref ask_registry(PyObject *cls, PyObject *os) {
    Ref registry = quarn::getattr(cls, n.plugin_mgr);
    if (!registry) return registry;
    return quarn::call_method(registry.get(), n.get_plugin, os);
}

Ref module_name_message(const char *tmpl, PyObject *plugin) {
    Ref name = quarn::getattr(plugin, n.dunder_name);
    if (!name) return name;
    return format_message(tmpl, {name.get()});
}

// The registry is asked a second time for the class itself; a plugin
// without `Bargeon` is reported under the plugin's name.
Ref plugin_class(PyObject *cls, PyObject *os, PyObject *os_plugin) {
    Ref plugin = ask_registry(cls, os);
    Ref new_cls = plugin ? quarn::getattr(plugin.get(), n.Bargeon) : Ref();
    if (new_cls || !PyErr_ExceptionMatches(PyExc_AttributeError)) return new_cls;
    quarn::SavedError handled;
    Ref message = module_name_message("Cannot find Bargeon class in module {}.", os_plugin);
    raise_exception_while_handling(n.PluginNotFound, handled, message);
    return Ref();
}

// The os-specific class registered for `os`, checked to derive from `cls`.
Ref resolve_os_class(PyObject *cls, PyObject *os) {
    Ref os_plugin = ask_registry(cls, os);
    if (!os_plugin) return os_plugin;
    int found = truth(os_plugin.get());
    if (found < 0) return Ref();
    if (!found) {
        raise_exception(n.PluginNotFound, format_message("Cannot find bargeon plugin for os {}.", {os}));
        return Ref();
    }
    Ref new_cls = plugin_class(cls, os, os_plugin.get());
    if (!new_cls) return new_cls;
    int derived = PyObject_IsSubclass(new_cls.get(), cls);
    if (derived > 0) return new_cls;
    if (derived == 0) {
        raise_exception(n.PluginError, module_name_message(
            "The Bargeon class in module {} does not inherit from quarn.utils.Bargeon base class.",
            os_plugin.get()));
    } else if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        quarn::SavedError handled;
        Ref message = format_message(
            "{} is the registered bargeon plugin for os {} but is not a class.", {new_cls.get(), os});
        raise_exception_while_handling(n.PluginError, handled, message);
    }
    return Ref();
}

bool log_instantiation(PyObject *cls, PyObject *kwargs) {
    int child = has_true_parent(kwargs);
    if (child < 0) return false;
    Ref prefix = Ref::steal(PyUnicode_FromString(child ? "child " : ""));
    Ref name = prefix ? quarn::getattr(cls, n.dunder_name) : Ref();
    Ref module = name ? quarn::getattr(cls, n.dunder_module) : Ref();
    if (!module) return false;
    return log_debug(format_message("Instantiating {}class {} from module {}...",
                                    {prefix.get(), name.get(), module.get()}));
}

// super().__new__(cls) as seen from BargeonBase: only `cls` is passed on.
Ref allocate(PyObject *cls) {
    Ref sup = quarn::call(reinterpret_cast<PyObject *>(&PySuper_Type), g.BargeonBase, cls);
    Ref new_ = sup ? quarn::getattr(sup.get(), n.dunder_new) : Ref();
    if (!new_) return new_;
    return quarn::call(new_.get(), cls);
}

PyObject *bargeon_new(PyObject *, PyObject *args, PyObject *kwargs) {
    quarn::RecursionGuard guard(" in BargeonBase.__new__");
    if (!guard.ok()) return nullptr;
    Bound b;
    if (!bind(NEW_PARAMS, args, kwargs, b)) return nullptr;
    Ref cls = b.values[0].dup();
    int child = has_true_parent(b.kwargs.get());
    if (child < 0) return nullptr;
    if (!child) {
        cls = resolve_os_class(cls.get(), b.value(1, n.localhost));
        if (!cls) return nullptr;
    }
    if (!log_instantiation(cls.get(), b.kwargs.get())) return nullptr;
    return allocate(cls.get()).release();
}

bool store_extra_keywords(PyObject *self, PyObject *kwargs) {
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(kwargs, &pos, &k, &v)) {
        // setattr may run Python code: hold the pair while it does.
        Ref key = Ref::borrow(k), value = Ref::borrow(v);
        if (PyObject_SetAttr(self, key.get(), value.get()) < 0) return false;
    }
    return true;
}

PyObject *bargeon_init(PyObject *self, PyObject *args, PyObject *kwargs) {
    Bound b;
    if (!bind(INIT_PARAMS, args, kwargs, b)) return nullptr;
    if (PyObject_SetAttr(self, n.os, b.value(0, n.localhost)) < 0 ||
        PyObject_SetAttr(self, n.testbed, b.value(1, Py_None)) < 0 ||
        !store_extra_keywords(self, b.kwargs.get()))
        return nullptr;
    // Last, so that a keyword named `children` cannot replace the cache.
    Ref children = Ref::steal(PyDict_New());
    if (!children || PyObject_SetAttr(self, n.children, children.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

// device.testbed when the device has that attribute (whatever it holds),
// else the `testbed` argument.
Ref chosen_testbed(PyObject *device, PyObject *fallback) {
    Ref probe = quarn::getattr(device, n.testbed);
    if (!probe) {
        // Running out of memory says nothing of the device.
        if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) return probe;
        PyErr_Clear();
        return Ref::borrow(fallback);
    }
    return quarn::getattr(device, n.testbed);
}

bool merge_keywords(PyObject *cls, PyObject *merged, PyObject *extra) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    // Only dict operations on str keys: no Python code runs here.
    while (PyDict_Next(extra, &pos, &key, &value)) {
        int present = PyDict_Contains(merged, key);
        if (present < 0) return false;
        if (present) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         reinterpret_cast<PyTypeObject *>(cls)->tp_name, key);
            return false;
        }
        if (PyDict_SetItem(merged, key, value) < 0) return false;
    }
    return true;
}

PyObject *bargeon_from_device(PyObject *cls, PyObject *args, PyObject *kwargs) {
    Bound b;
    if (!bind(FROM_DEVICE_PARAMS, args, kwargs, b)) return nullptr;
    PyObject *device = b.values[0].get();
    Ref testbed = chosen_testbed(device, b.value(1, Py_None));
    Ref os = testbed ? quarn::getattr(device, n.os) : Ref();
    Ref merged = Ref::steal(PyDict_New());
    if (!os || !merged || PyDict_SetItem(merged.get(), n.os, os.get()) < 0 ||
        PyDict_SetItem(merged.get(), n.testbed, testbed.get()) < 0 ||
        PyDict_SetItem(merged.get(), n.device, device) < 0 ||
        !merge_keywords(cls, merged.get(), b.kwargs.get()))
        return nullptr;
    return PyObject_Call(cls, b.args.get(), merged.get());
}

}  // namespace

PyMethodDef new_def = {
    "__new__", as_cfunction(bargeon_new),
    METH_VARARGS | METH_KEYWORDS,
    "__new__(cls, *args, os='localhost', **kwargs)\n--\n\n"
    " Factory that finds and instantiates the correct os-specific\n"
    "        subclass when a parent class is requested.\n"
    "\n"
    "        If a child class is requested (``_parent`` is present in kwargs) then\n"
    "        do not rewrite the class.\n"
    "        "};

PyMethodDef init_method_def = {
    "__init__", as_cfunction(bargeon_init),
    METH_VARARGS | METH_KEYWORDS,
    "__init__($self, *args, os='localhost', testbed=None, **kwargs)\n--\n\n"
    " Initialize an instance of Bargeon\n"
    "\n"
    "        Parameters\n"
    "        ----------\n"
    "        os : `str`\n"
    "            The operating system of the device acting as a file transfer\n"
    "            client.\n"
    "\n"
    "        testbed : `quarn.topology.Testbed`\n"
    "            The testbed object that contains auth and address details for\n"
    "            servers referenced by file transfer URLs.\n"
    "        "};

PyMethodDef from_device_def = {
    "from_device",
    as_cfunction(with_self<bargeon_from_device>),
    METH_VARARGS | METH_KEYWORDS,
    "from_device(cls, device, *args, testbed=None, **kwargs)\n--\n\n"
    " Instantiate a bargeon object from a device object.\n"
    "\n"
    "        Parameters\n"
    "        ----------\n"
    "        device : `quarn.topology.device.Device`\n"
    "            The device acting as a file transfer client.  Its `os` member\n"
    "            must be set.  If `device.testbed` is set, that testbed is used\n"
    "            to authenticate file client operations even if the `testbed`\n"
    "            argument is specified.\n"
    "\n"
    "        testbed : `quarn.topology.testbed.Testbed`\n"
    "            The testbed that contains auth and address details for servers;\n"
    "            ignored when `device.testbed` is set.\n"
    "        "};

}  // namespace bargeon
