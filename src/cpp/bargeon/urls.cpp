// URL classification: a URL without a scheme or with the scheme "file" is
// local, any other is remote.  `is_valid_ip` is left to the plugins.
#include "bargeon.hpp"

namespace bargeon {

namespace {

const Params IS_LOCAL_PARAMS = {"is_local", {"url"}, 1, false, {}, false};
const Params IS_REMOTE_PARAMS = {"is_remote", {"url"}, 1, false, {}, false};
const Params GET_PROTOCOL_PARAMS = {"get_protocol", {"url"}, 1, false, {}, false};
const Params IS_VALID_IP_PARAMS = {"is_valid_ip", {"ip"}, 1, false, {}, false};

// urlparse(url).scheme, with `urlparse` read from the module namespace.
Ref scheme_of(PyObject *url) {
    Ref urlparse = module_global(n.urlparse);
    Ref parsed = urlparse ? quarn::call(urlparse.get(), url) : Ref();
    if (!parsed) return parsed;
    return quarn::getattr(parsed.get(), n.scheme);
}

PyObject *is_local(PyObject *, PyObject *args, PyObject *kwargs) {
    Bound b;
    if (!bind(IS_LOCAL_PARAMS, args, kwargs, b)) return nullptr;
    Ref scheme = scheme_of(b.values[0].get());
    if (!scheme) return nullptr;
    Ref no_scheme = Ref::steal(PyObject_RichCompare(scheme.get(), n.empty, Py_EQ));
    if (!no_scheme) return nullptr;
    int local = truth(no_scheme.get());
    if (local < 0) return nullptr;
    if (local) return no_scheme.release();
    return PyObject_RichCompare(scheme.get(), n.file, Py_EQ);
}

PyObject *is_remote(PyObject *self, PyObject *args, PyObject *kwargs) {
    Bound b;
    if (!bind(IS_REMOTE_PARAMS, args, kwargs, b)) return nullptr;
    Ref local = quarn::call_method(self, n.is_local, b.values[0].get());
    if (!local) return nullptr;
    int is_local = truth(local.get());
    if (is_local < 0) return nullptr;
    return PyBool_FromLong(!is_local);
}

PyObject *get_protocol(PyObject *, PyObject *args, PyObject *kwargs) {
    Bound b;
    if (!bind(GET_PROTOCOL_PARAMS, args, kwargs, b)) return nullptr;
    return scheme_of(b.values[0].get()).release();
}

PyObject *is_valid_ip(PyObject *, PyObject *args, PyObject *kwargs) {
    Bound b;
    if (!bind(IS_VALID_IP_PARAMS, args, kwargs, b)) return nullptr;
    PyErr_SetNone(PyExc_NotImplementedError);
    return nullptr;
}

}  // namespace

PyMethodDef is_local_def = {"is_local", as_cfunction(with_self<is_local>), METH_VARARGS | METH_KEYWORDS,
                            "is_local(self, url)\n--\n\n"
                            " Returns `True` if the url refers to a local resource. "};

PyMethodDef is_remote_def = {"is_remote", as_cfunction(with_self<is_remote>), METH_VARARGS | METH_KEYWORDS,
                             "is_remote(self, url)\n--\n\n"
                             " Returns `True` if the url refers to a remote resource. "};

PyMethodDef get_protocol_def = {"get_protocol", as_cfunction(with_self<get_protocol>),
                                METH_VARARGS | METH_KEYWORDS,
                                "get_protocol(self, url)\n--\n\n"
                                " Returns the url scheme (protocol). "};

// No docstring beyond the signature: `__doc__` is None.
PyMethodDef is_valid_ip_def = {"is_valid_ip", as_cfunction(with_self<is_valid_ip>),
                               METH_VARARGS | METH_KEYWORDS, "is_valid_ip(self, ip)\n--\n\n"};

}  // namespace bargeon
