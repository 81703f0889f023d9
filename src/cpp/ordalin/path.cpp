// Path: a tuple of keys in which Any() elements match any key and an
// Optional(k) element matches the key k.
//
// Only equality and hashing differ from the tuple's; the hash stays the
// tuple's own, so it does not follow the wildcard equality.
#include "key_paths.hpp"

namespace ordalin {

namespace {

PyObject *as_bool(int truth) {
    if (truth < 0) return nullptr;
    return Ref::borrow(truth ? Py_True : Py_False).release();
}

// The tuple of an object that passed isinstance(other, Path): the object
// itself when it really is a tuple.
Ref tuple_view(PyObject *o) {
    if (PyTuple_Check(o)) return Ref::borrow(o);
    return Ref::steal(PySequence_Tuple(o));
}

// One comparison of Path.__eq__: unequal keys, neither of them a wildcard.
int keys_differ(PyObject *left, PyObject *right) {
    Ref i = unwrap_optional(left);
    if (!i) return -1;
    Ref j = unwrap_optional(right);
    if (!j) return -1;
    if (!is_plain(i.get()) || !is_plain(j.get())) note_user_code();
    Ref ne = Ref::steal(PyObject_RichCompare(i.get(), j.get(), Py_NE));
    if (!ne) return -1;
    int unequal = PyObject_IsTrue(ne.get());
    if (unequal <= 0) return unequal;
    int any = instance_of(i.get(), g.Any);
    if (any != 0) return any < 0 ? -1 : 0;
    any = instance_of(j.get(), g.Any);
    return any < 0 ? -1 : !any;
}

// missing_from.  Each recursion step replaces one wildcard by a key that a
// known path has at that position under a matching prefix, where wildcards
// not yet replaced match anything; the steps may come in any order.  So a
// wildcard can take every key of its own widest set (replace it before the
// wildcards in front of it), and any choice from the widest sets is reached
// (replace the wildcards from the last to the first): the concrete paths
// the recursion reaches are exactly the product of those sets.  Walking the
// product gives the same result without repeating the expansions, which
// multiply with every further wildcard.  A key that is itself a wildcard
// replaces nothing and so adds nothing.
class MissingFrom {
public:
    explicit MissingFrom(PyObject *paths) : paths_(paths) {}

    bool init() {
        found_ = Ref::steal(PyDict_New());
        return bool(found_);
    }

    bool run(PyObject *elements) {
        int dynamic = has_wildcard(elements);
        if (dynamic < 0) return false;
        if (!dynamic) return add_if_missing(elements);
        // Each position's choices: its key, unwrapped, or a wildcard's set.
        Py_ssize_t n = PyTuple_GET_SIZE(elements);
        std::vector<Ref> choices;
        for (Py_ssize_t i = 0; i < n; ++i) {
            Ref element = Ref::borrow(PyTuple_GET_ITEM(elements, i));
            int any = instance_of(element.get(), g.Any);
            if (any < 0) return false;
            Ref set = any ? widest_keys(elements, i) : single(element.get());
            if (!set) return false;
            if (PyList_GET_SIZE(set.get()) == 0) return true;  // never expanded
            choices.push_back(std::move(set));
        }
        return walk_product(choices);
    }

    Ref result() { return Ref::steal(PyDict_Keys(found_.get())); }

private:
    static Ref single(PyObject *element) {
        Ref key = unwrap_optional(element);
        Ref list = key ? Ref::steal(PyList_New(1)) : Ref();
        if (list) PyList_SET_ITEM(list.get(), 0, key.release());
        return list;
    }

    // The keys at position i of the known paths whose first i+1 keys match
    // ours (other wildcards matching anything), without repeats or wildcards.
    Ref widest_keys(PyObject *elements, Py_ssize_t i) {
        Ref keys = Ref::steal(PyList_New(0));
        Ref iter = keys ? Ref::steal(PyObject_GetIter(paths_)) : Ref();
        if (!iter) return Ref();
        while (Ref p = Ref::steal(PyIter_Next(iter.get()))) {
            Ref head_seq = Ref::steal(PySequence_GetSlice(p.get(), 0, i + 1));
            Ref head = head_seq ? Ref::steal(PySequence_Tuple(head_seq.get())) : Ref();
            if (!head) return Ref();
            if (PyTuple_GET_SIZE(head.get()) != i + 1) continue;
            int match = keys_match(head.get(), elements, i + 1);
            if (match < 0) return Ref();
            if (!match) continue;
            Ref key = Ref::borrow(PyTuple_GET_ITEM(head.get(), i));
            int any = instance_of(key.get(), g.Any);
            if (any < 0) return Ref();
            if (any) continue;
            note_user_code();
            int known = PySequence_Contains(keys.get(), key.get());
            if (known < 0 || (!known && PyList_Append(keys.get(), key.get()) < 0)) return Ref();
        }
        if (PyErr_Occurred()) return Ref();
        return keys;
    }

    // Every combination, the last position turning fastest (an odometer, so
    // that a long path costs no recursion).
    bool walk_product(const std::vector<Ref> &choices) {
        std::vector<Py_ssize_t> at(choices.size(), 0);
        for (;;) {
            Ref path = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(choices.size())));
            if (!path) return false;
            for (size_t k = 0; k < choices.size(); ++k)
                PyTuple_SET_ITEM(path.get(), static_cast<Py_ssize_t>(k),
                                 Ref::borrow(PyList_GET_ITEM(choices[k].get(), at[k])).release());
            if (!add_if_missing(path.get())) return false;
            size_t k = choices.size();
            while (k > 0 && ++at[k - 1] == PyList_GET_SIZE(choices[k - 1].get())) at[--k] = 0;
            if (k == 0) return true;
        }
    }

    bool add_if_missing(PyObject *elements) {
        Ref plain = Ref::steal(PyTuple_GetSlice(elements, 0, PyTuple_GET_SIZE(elements)));
        if (!plain) return false;
        note_user_code();
        int present = PySequence_Contains(paths_, plain.get());
        if (present < 0) return false;
        return present || PyDict_SetItem(found_.get(), plain.get(), Py_None) == 0;
    }

    PyObject *paths_;
    Ref found_;
};

PyObject *path_hash(PyObject *self, PyObject *) {
    Py_hash_t h = PyTuple_Type.tp_hash(self);
    if (h == -1 && PyErr_Occurred()) return nullptr;
    return PyLong_FromSsize_t(h);
}

PyObject *path_eq(PyObject *self, PyObject *other) {
    int is_path = instance_of(other, g.Path);
    if (is_path <= 0) return as_bool(is_path);
    Ref right = tuple_view(other);
    if (!right) return nullptr;
    Py_ssize_t n = PyTuple_GET_SIZE(self);
    if (PyTuple_GET_SIZE(right.get()) != n) return as_bool(0);
    Ref left = Ref::borrow(self);
    return as_bool(keys_match(left.get(), right.get(), n));
}

PyObject *path_is_dynamic(PyObject *self, PyObject *) { return as_bool(has_wildcard(self)); }

PyObject *path_missing_from(PyObject *self, PyObject *args, PyObject *kwargs) {
    static const char *kwlist[] = {"paths", nullptr};
    PyObject *paths;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:missing_from", const_cast<char **>(kwlist), &paths))
        return nullptr;
    return missing_from_impl(self, paths).release();
}

}  // namespace

Ref unwrap_optional(PyObject *key) {
    if (Py_TYPE(key) == reinterpret_cast<PyTypeObject *>(g.Optional)) return quarn::getattr(key, g.s_schema);
    return Ref::borrow(key);
}

int keys_match(PyObject *a, PyObject *b, Py_ssize_t n) {
    for (Py_ssize_t k = 0; k < n; ++k) {
        // Own the keys: the comparisons run Python code.
        Ref left = Ref::borrow(PyTuple_GET_ITEM(a, k));
        Ref right = Ref::borrow(PyTuple_GET_ITEM(b, k));
        int differ = keys_differ(left.get(), right.get());
        if (differ) return differ < 0 ? -1 : 0;
    }
    return 1;
}

int has_wildcard(PyObject *elements) {
    Py_ssize_t n = PyTuple_GET_SIZE(elements);
    for (Py_ssize_t k = 0; k < n; ++k) {
        Ref element = Ref::borrow(PyTuple_GET_ITEM(elements, k));
        int any = instance_of(element.get(), g.Any);
        if (any) return any;
    }
    return 0;
}

Ref missing_from_impl(PyObject *elements, PyObject *paths) {
    // A path without wildcards is its own one candidate, Optional keys kept.
    int dynamic = has_wildcard(elements);
    if (dynamic < 0) return Ref();
    if (!dynamic) {
        Ref plain = Ref::steal(PyTuple_GetSlice(elements, 0, PyTuple_GET_SIZE(elements)));
        if (!plain) return plain;
        note_user_code();
        int present = PySequence_Contains(paths, plain.get());
        if (present < 0) return Ref();
        Ref result = Ref::steal(PyList_New(0));
        if (result && !present && PyList_Append(result.get(), plain.get()) < 0) return Ref();
        return result;
    }
    MissingFrom expansion(paths);
    if (!expansion.init() || !expansion.run(elements)) return Ref();
    return expansion.result();
}

PyMethodDef path_hash_def = {"__hash__", path_hash, METH_NOARGS, "__hash__($self, /)\n--\n\nReturn hash(self)."};
PyMethodDef path_eq_def = {"__eq__", path_eq, METH_O, "__eq__($self, other, /)\n--\n\nReturn self==other."};
PyMethodDef path_is_dynamic_def = {"is_dynamic", path_is_dynamic, METH_NOARGS,
                                   "is_dynamic($self)\n--\n\n"
                                   "True when the path holds an Any() element."};
PyMethodDef path_missing_from_def = {
    "missing_from", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(path_missing_from)),
    METH_VARARGS | METH_KEYWORDS,
    "missing_from($self, paths)\n--\n\n"
    "missing_from\n\n"
    "Compares the current path to a list of known paths and returns the\n"
    "matching paths that are missing from them.\n\n"
    "Example:\n"
    "    Path((1, Any(), 2)).missing_from(((1,2,3), (2,3,4)))\n"
    "    # returns [(1,2,2)]"};

}  // namespace ordalin
