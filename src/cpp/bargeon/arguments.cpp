// Binding of call arguments to the members' parameter lists, so that the
// C++ members accept exactly what their Python signatures promise.
#include "bargeon.hpp"

#include <string>

namespace bargeon {

namespace {

// Index of the parameter called `key` in `names`, or -1.
long index_of(const std::vector<const char *> &names, PyObject *key) {
    for (size_t i = 0; i < names.size(); ++i)
        if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) return static_cast<long>(i);
    return -1;
}

bool too_many_positional(const Params &p, Py_ssize_t given) {
    const size_t total = p.positional.size();
    if (p.required == total)
        PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zd %s given",
                     p.function, total, total == 1 ? "" : "s", given, given == 1 ? "was" : "were");
    else
        PyErr_Format(PyExc_TypeError,
                     "%s() takes from %zu to %zu positional arguments but %zd %s given", p.function,
                     p.required, total, given, given == 1 ? "was" : "were");
    return false;
}

bool missing_required(const Params &p, const Bound &out) {
    std::string names;
    size_t count = 0;
    for (size_t i = 0; i < p.required; ++i) {
        if (out.values[i]) continue;
        if (count++) names += ", ";
        names += "'";
        names += p.positional[i];
        names += "'";
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s",
                 p.function, count, count == 1 ? "" : "s", names.c_str());
    return false;
}

// Places one keyword argument; false with TypeError when it does not fit.
bool place_keyword(const Params &p, PyObject *key, PyObject *value, Bound &out) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", p.function);
        return false;
    }
    long at = index_of(p.positional, key);
    if (at < 0) {
        long kw = index_of(p.keyword_only, key);
        if (kw >= 0) at = static_cast<long>(p.positional.size()) + kw;
    }
    if (at >= 0) {
        if (out.values[at]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", p.function,
                         key);
            return false;
        }
        out.values[at] = Ref::borrow(value);
        return true;
    }
    if (!p.var_kwargs) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", p.function,
                     key);
        return false;
    }
    return PyDict_SetItem(out.kwargs.get(), key, value) == 0;
}

}  // namespace

Ref tuple_tail(PyObject *args, Py_ssize_t start) {
    return Ref::steal(PyTuple_GetSlice(args, start, PyTuple_GET_SIZE(args)));
}

bool bind(const Params &p, PyObject *args, PyObject *kwargs, Bound &out) {
    const Py_ssize_t given = PyTuple_GET_SIZE(args);
    const Py_ssize_t named = static_cast<Py_ssize_t>(p.positional.size());
    out.values.clear();
    out.values.resize(p.positional.size() + p.keyword_only.size());
    if (given > named && !p.var_args) return too_many_positional(p, given);
    for (Py_ssize_t i = 0; i < given && i < named; ++i)
        out.values[i] = Ref::borrow(PyTuple_GET_ITEM(args, i));
    out.args = given > named ? tuple_tail(args, named) : Ref::steal(PyTuple_New(0));
    out.kwargs = Ref::steal(PyDict_New());
    if (!out.args || !out.kwargs) return false;
    if (kwargs) {
        // Only str comparisons and dict insertions with str keys happen here:
        // no Python code runs while the borrowed items are in use.
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value))
            if (!place_keyword(p, key, value, out)) return false;
    }
    for (size_t i = 0; i < p.required; ++i)
        if (!out.values[i]) return missing_required(p, out);
    return true;
}

}  // namespace bargeon
