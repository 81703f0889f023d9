// The child cache (one protocol-specific child per abstraction key, made
// through the registry on first demand) and the lifecycle members.
#include "bargeon.hpp"

#include <optional>

namespace bargeon {

namespace {

const Params KEY_PARAMS_GET = {"get_child", {"abstraction_key"}, 1, false, {}, false};
const Params KEY_PARAMS_REMOVE = {"remove_child", {"abstraction_key"}, 1, false, {}, false};
const Params EXIT_PARAMS = {"__exit__", {"type", "value", "traceback"}, 3, false, {}, false};

// self.children.get(key)
Ref cached_child(PyObject *self, PyObject *key) {
    Ref children = quarn::getattr(self, n.children);
    if (!children) return children;
    return quarn::call_method(children.get(), n.get, key);
}

// self.__plugin_mgr__.get_subplugin(self.os, key)
Ref ask_registry(PyObject *self, PyObject *key) {
    Ref registry = quarn::getattr(self, n.plugin_mgr);
    Ref ask = registry ? quarn::getattr(registry.get(), n.get_subplugin) : Ref();
    Ref os = ask ? quarn::getattr(self, n.os) : Ref();
    if (!os) return os;
    return quarn::call(ask.get(), os.get(), key);
}

// child_cls(os=self.os, testbed=self.testbed, _parent=self)
Ref construct_child(PyObject *self, PyObject *child_cls) {
    Ref os = quarn::getattr(self, n.os);
    Ref testbed = os ? quarn::getattr(self, n.testbed) : Ref();
    Ref kwargs = Ref::steal(PyDict_New());
    Ref no_args = Ref::steal(PyTuple_New(0));
    if (!testbed || !kwargs || !no_args || PyDict_SetItem(kwargs.get(), n.os, os.get()) < 0 ||
        PyDict_SetItem(kwargs.get(), n.testbed, testbed.get()) < 0 ||
        PyDict_SetItem(kwargs.get(), n.parent_kw, self) < 0)
        return Ref();
    return Ref::steal(PyObject_Call(child_cls, no_args.get(), kwargs.get()));
}

// self.children.update({key: child})
bool cache_child(PyObject *self, PyObject *key, PyObject *child) {
    Ref entry = Ref::steal(PyDict_New());
    if (!entry || PyDict_SetItem(entry.get(), key, child) < 0) return false;
    Ref children = quarn::getattr(self, n.children);
    return children && quarn::call_method(children.get(), n.update, entry.get());
}

// What follows the registry's answer: the class it names is instantiated,
// the child cached and marked with its key.
Ref make_child(PyObject *self, PyObject *key, PyObject *child_module) {
    int found = truth(child_module);
    if (found < 0) return Ref();
    if (!found) {
        Ref os = quarn::getattr(self, n.os);
        Ref message = os ? format_message("The bargeon plugin for os {} does not provide an "
                                          "implementation for key {}.",
                                          {os.get(), key})
                         : Ref();
        if (message) PyErr_SetObject(PyExc_NotImplementedError, message.get());
        return Ref();
    }
    Ref child_cls = quarn::getattr(child_module, n.Bargeon);
    Ref child = child_cls ? construct_child(self, child_cls.get()) : Ref();
    if (!child || !cache_child(self, key, child.get()) ||
        PyObject_SetAttr(child.get(), n.abstraction_key, key) < 0)
        return Ref();
    return child;
}

PyObject *get_child(PyObject *self, PyObject *args, PyObject *kwargs) {
    Bound b;
    if (!bind(KEY_PARAMS_GET, args, kwargs, b)) return nullptr;
    PyObject *key = b.values[0].get();
    Ref child = cached_child(self, key);
    if (!child) return nullptr;
    int cached = truth(child.get());
    if (cached) return cached < 0 ? nullptr : child.release();
    // An AttributeError before the registry answered (an instance without
    // `os`, say) names no sub-plugin, so it is left as it is.
    Ref child_module = ask_registry(self, key);
    if (!child_module) return nullptr;
    child = make_child(self, key, child_module.get());
    if (child || !PyErr_ExceptionMatches(PyExc_AttributeError)) return child.release();
    quarn::SavedError handled;
    Ref name = quarn::getattr(child_module.get(), n.dunder_name);
    Ref message = name ? format_message("Cannot find Bargeon class in module {}.", {name.get()}) : Ref();
    return raise_exception_while_handling(n.PluginNotFound, handled, message);
}

// self.children.pop(key, None)
bool forget_child(PyObject *self, PyObject *key) {
    Ref children = quarn::getattr(self, n.children);
    return children && quarn::call_method(children.get(), n.pop, key, Py_None);
}

// child.close(); an Exception is logged and swallowed.  Returns false when
// an error is still pending (one not derived from Exception, or one raised
// by the logging).
bool close_child(PyObject *child, PyObject *key) {
    if (quarn::call_method(child, n.close)) return true;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    quarn::SavedError handled;
    Ref exc = handled.value();
    if (log_warning(redacted(format_message("Failed to close child {} : {}.", {key, exc.get()})))) return true;
    quarn::chain_pending(std::move(exc));
    return false;
}

PyObject *remove_child(PyObject *self, PyObject *args, PyObject *kwargs) {
    Bound b;
    if (!bind(KEY_PARAMS_REMOVE, args, kwargs, b)) return nullptr;
    PyObject *key = b.values[0].get();
    Ref child = quarn::call_method(self, n.get_child, key);
    if (!child) return nullptr;
    std::optional<quarn::SavedError> escaping;
    if (!close_child(child.get(), key)) escaping.emplace();
    // The key goes in every case.  Errors are held out of the interpreter
    // meanwhile, so that no Python code (pop, the child's __del__) runs with
    // an error set.
    std::optional<quarn::SavedError> pop_error;
    if (!forget_child(self, key)) pop_error.emplace();
    child.reset();
    if (pop_error) {
        Ref context = escaping ? escaping->value() : Ref();
        pop_error->restore();
        quarn::chain_pending(std::move(context));
        return nullptr;
    }
    if (escaping) {
        escaping->restore();
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *parent_getter(PyObject *, PyObject *self) {
    Ref parent = quarn::getattr(self, n.parent_kw);
    if (parent || !PyErr_ExceptionMatches(PyExc_AttributeError)) return parent.release();
    PyErr_Clear();
    Py_RETURN_NONE;
}

PyObject *close(PyObject *, PyObject *) { Py_RETURN_NONE; }

PyObject *enter(PyObject *, PyObject *self) { return Ref::borrow(self).release(); }

PyObject *exit(PyObject *self, PyObject *args, PyObject *kwargs) {
    Bound b;
    if (!bind(EXIT_PARAMS, args, kwargs, b)) return nullptr;
    if (!quarn::call_method(self, n.close)) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace

PyMethodDef enter_def = {"__enter__", as_cfunction(enter), METH_O,
                         "__enter__(self)\n--\n\n"
                         " Allows the object to function as a self-closing context manager.\n"
                         "        "};

PyMethodDef exit_def = {"__exit__", as_cfunction(with_self<exit>), METH_VARARGS | METH_KEYWORDS,
                        "__exit__(self, type, value, traceback)\n--\n\n"
                        " Allows the object to function as a self-closing context manager.\n"
                        "        "};

PyMethodDef parent_def = {"parent", as_cfunction(parent_getter), METH_O,
                          "parent(self)\n--\n\n"
                          " Find the os-specific parent of a protocol-specific plugin. "};

PyMethodDef get_child_def = {
    "get_child", as_cfunction(with_self<get_child>), METH_VARARGS | METH_KEYWORDS,
    "get_child(self, abstraction_key)\n--\n\n"
    " Get a child Bargeon object under the current OS given a key.\n"
    "\n"
    "        Returns\n"
    "        -------\n"
    "        The Bargeon object under the current OS plugin.  If the object\n"
    "        does not exist in the cache it is created, otherwise it is\n"
    "        returned from the cache.  It may be removed from the cache through\n"
    "        `remove_child`.\n"
    "\n"
    "        Example\n"
    "        -------\n"
    "        >>> from quarn.utils import Bargeon\n"
    "        >>> fu = Bargeon(os='localhost')\n"
    "        >>> ftp = fu.get_child('ftp')\n"
    "        >>> assert ftp.parent is fu\n"
    "        "};

PyMethodDef close_def = {"close", as_cfunction(close), METH_O,
                         "close(self)\n--\n\n Deallocate any resources being held.  "};

PyMethodDef remove_child_def = {
    "remove_child", as_cfunction(with_self<remove_child>), METH_VARARGS | METH_KEYWORDS,
    "remove_child(self, abstraction_key)\n--\n\n"
    " Removes a child (protocol-specific) implementation from the cache.\n"
    "\n"
    "        To be called on the parent (os-specific) object.  First any\n"
    "        resources held by the current child are deallocated.  Then the\n"
    "        child is removed from the cache, so that the next `get_child`\n"
    "        allocates a brand new child, and the child is deleted.\n"
    "        "};

}  // namespace bargeon
