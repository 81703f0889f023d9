// What a remembered result (a compiled tree, a key view) was read from, and
// whether it still holds.
#pragma once

#include "ordalin.hpp"

#include <utility>
#include <vector>

namespace ordalin {

// One thing a result was read from, as it was then: a schema dict with its
// stamp, or a schema object with its class, the class's stamp (which
// changes with any change to the class or its bases), its own attribute
// dict with that dict's stamp, and the attributes read from it.  Where an
// attribute written moves its dict's stamp, the attributes are not read
// again to tell that they hold: while the object keeps its class and its
// dict and neither changed, they are the ones read.  Elsewhere they are
// read again from that dict.
struct ReadCheck {
    PyObject *dict = nullptr;  // alive while every check before it holds
    uint64_t version = 0;
    Ref object;
    PyTypeObject *type = nullptr;
    uint64_t class_version = 0;
    Ref own_dict;  // the object's __dict__, held so that its address stays its own
    uint64_t own_dict_version = 0;
    std::vector<std::pair<PyObject *, Ref>> attrs;

    // Runs no Python code.  Inline: a tree checks many on each call.
    bool holds() const;
};

inline bool ReadCheck::holds() const {
    if (dict) return schema_stamp(dict) == version;
    if (Py_TYPE(object.get()) != type || !class_unchanged(type, class_version)) return false;
    // The dict exists already: reading it again allocates nothing.
    Ref now = Ref::steal(PyObject_GenericGetDict(object.get(), nullptr));
    if (!now) {
        PyErr_Clear();
        return false;
    }
    if (now.get() != own_dict.get()) return false;
    if (writes_move_own_dict_stamp()) return schema_stamp(now.get()) == own_dict_version;
    // A write may go unreported: the attributes are read again, from the
    // dict itself (the class, unchanged, has no attribute of their names).
    // An attribute read as absent is recorded with no value.
    for (const auto &attr : attrs) {
        PyObject *value = PyDict_GetItemWithError(now.get(), attr.first);
        if (value != attr.second.get() || (!value && PyErr_Occurred())) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

// Starts the check of a schema object whose attributes can be read without
// Python code (its class has the generic attribute lookup and a stamp) and
// whose `validate` is its class's: false, with no error set, for any other.
bool watch_object(PyObject *obj, ReadCheck &out);
// An instance attribute of the object `c` watches, recorded in `c`: null
// (no error set) if absent, or if its class has an attribute of that name,
// which may be a descriptor.
PyObject *read_attribute(ReadCheck &c, PyObject *name);

}  // namespace ordalin
