// The location of an error in the data: the keys from the top-level data
// down to the element whose validation failed, set as the `location`
// attribute (a tuple) of every schema exception that leaves a top-level
// validation, and on CPython 3.11 and later also shown as a note.
//
// An error's own `path` is the path its schema object knew (often [] for
// an error raised inside Use, Or or And); the location is what the walk
// knew.  It costs nothing until an error propagates: each dictionary walk
// that an error leaves adds its key to the trail of the innermost
// top-level validation.  The trail holds the error it describes, so a
// swallowed error (an Or that tried an alternative) is told from the one
// that finally leaves.
#include "ordalin.hpp"

#include <vector>

namespace ordalin {

namespace {

// The innermost top-level validation running on this thread.
thread_local ErrorLocation *t_current = nullptr;

// The pending exception, left pending (empty when there is none).
Ref pending_exception() {
    quarn::SavedError saved;
    Ref exc = saved.value();
    saved.restore();
    return exc;
}

}  // namespace

void note_error_key(PyObject *key) {
    if (t_current) t_current->add_key(key);
}

void ErrorLocation::add_key(PyObject *key) {
    if (!PyErr_ExceptionMatches(g.SchemaError)) return;
    Ref exc = pending_exception();
    if (!exc) return;
    if (error_.get() != exc.get()) {
        error_ = std::move(exc);
        keys_.clear();
    }
    keys_.push_back(Ref::borrow(key));
}

ErrorLocation::ErrorLocation() : outer_(t_current) { t_current = this; }

ErrorLocation::~ErrorLocation() {
    t_current = outer_;
    if (!error_) return;
    // Dropping a swallowed error may run Python code: not with one pending.
    quarn::SavedError pending;
    error_.reset();
    keys_.clear();
    pending.restore();
}

// location = the keys this validation's walks added, then the location an
// inner top-level validation (in a user's callable, say) gave the error.
void ErrorLocation::attach() {
    if (!PyErr_ExceptionMatches(g.SchemaError)) return;
    quarn::SavedError saved;
    Ref exc = saved.value();
    if (exc && !set_location(exc.get(), {})) PyErr_Clear();  // the error in hand matters more
    saved.restore();
}

bool ErrorLocation::locate(PyObject *exc, const std::vector<Ref> &prefix) {
    bool located = set_location(exc, prefix);
    forget();
    return located;
}

// The keys are dropped; so is a swallowed error they described, which may
// run Python code (a finalizer): the walks are told.
void ErrorLocation::forget() {
    keys_.clear();
    if (!error_) return;
    if (Py_REFCNT(error_.get()) == 1) note_user_code();
    quarn::SavedError pending;
    error_.reset();
    pending.restore();
}

bool ErrorLocation::set_location(PyObject *exc, const std::vector<Ref> &prefix) {
    Ref keys = Ref::steal(PyList_New(0));
    if (!keys) return false;
    for (const Ref &k : prefix)
        if (PyList_Append(keys.get(), k.get()) < 0) return false;
    if (error_.get() == exc)
        for (size_t i = keys_.size(); i-- > 0;)
            if (PyList_Append(keys.get(), keys_[i].get()) < 0) return false;
    // A location an inner validation set, read from the instance dict:
    // no AttributeError is raised (and dropped) for the common case of none.
    Ref attrs = Ref::steal(PyObject_GenericGetDict(exc, nullptr));
    if (!attrs || !PyDict_Check(attrs.get())) return false;
    Ref inner = Ref::borrow(PyDict_GetItemWithError(attrs.get(), g.s_location));
    if (!inner && PyErr_Occurred()) return false;
    if (inner && PyTuple_Check(inner.get()))
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(inner.get()); ++i)
            if (PyList_Append(keys.get(), PyTuple_GET_ITEM(inner.get(), i)) < 0) return false;
    Ref location = Ref::steal(PyList_AsTuple(keys.get()));
    if (!location || PyObject_SetAttr(exc, g.s_location, location.get()) < 0) return false;
#if PY_VERSION_HEX >= 0x030B0000
    if (!outer_ && PyTuple_GET_SIZE(location.get()) > 0) {  // said once, by the outermost validation
        Ref note = Ref::steal(PyUnicode_FromFormat("location in the data: %R", location.get()));
        Ref added = note ? quarn::call_method(exc, g.s_add_note, note.get()) : Ref();
        if (!added) return false;
    }
#endif
    return true;
}

// The location is set as a top-level validation would set it for the error
// leaving it from here; a failure to set it is dropped, as there.
bool ErrorCollector::record() {
    if (!PyErr_ExceptionMatches(g.SchemaError)) return false;
    Ref exc;
    {
        quarn::SavedError saved;
        exc = saved.value();
    }
    if (!exc) {
        PyErr_NoMemory();
        return false;
    }
    if (!location_.locate(exc.get(), keys_)) PyErr_Clear();
    return PyList_Append(errors_.get(), exc.get()) == 0;
}

}  // namespace ordalin
