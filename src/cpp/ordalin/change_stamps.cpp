// Change stamps of schema dicts and classes: on CPython 3.11 and older the
// version tags the interpreter keeps in every dict and class; on 3.12 and
// later one dict watcher and one type watcher, whose callbacks bump a
// process-wide generation.
//
// The generation moves whenever a watched dict is changed, cleared, cloned
// or freed, and whenever a watched class (or a base of it) is assigned to.
// A stamp is the generation read after watching the object, so a stamp that
// is still current means that nothing watched changed since; a freed dict
// bumps it too, so a new dict at the same address never matches an old
// stamp.  The callbacks run no Python code.  Nothing is ever unwatched: a
// watched dict that is no longer a schema only costs a counter bump when it
// changes, while unwatching could drop a watch that a live schema needs.
#include "knowledge.hpp"

namespace ordalin {

#if PY_VERSION_HEX < 0x030C0000

void start_change_tracking() {}

bool dict_frees_reported() { return false; }

bool class_stamp(PyTypeObject *t, uint64_t &stamp) {
    // A lookup through the method cache gives the class a tag if it has none.
    if (!(t->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG)) _PyType_Lookup(t, g.s_validate);
    if (!(t->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG)) return false;
    stamp = t->tp_version_tag;
    return true;
}

#else

namespace {

uint64_t generation = 1;
// Stamps handed out when no watcher could be had: each is new, so none
// matches and nothing is remembered.
uint64_t unmatched = uint64_t(1) << 63;
int dict_watcher = -1;
int type_watcher = -1;

int on_dict_event(PyDict_WatchEvent event, PyObject *dict, PyObject *, PyObject *) {
    ++generation;
    if (event == PyDict_EVENT_DEALLOCATED) forget_dict_later(dict);
    return 0;
}

int on_type_modified(PyTypeObject *) {
    ++generation;
    return 0;
}

}  // namespace

void start_change_tracking() {
    static bool started = false;  // a re-import must not take more watchers
    if (started) return;
    started = true;
    // Watchers are few (eight of each kind per interpreter): without one
    // the engine still validates, it only remembers nothing.
    dict_watcher = PyDict_AddWatcher(on_dict_event);
    if (dict_watcher < 0) PyErr_Clear();
    type_watcher = PyType_AddWatcher(on_type_modified);
    if (type_watcher < 0) PyErr_Clear();
}

bool dict_frees_reported() { return dict_watcher >= 0; }

uint64_t schema_stamp(PyObject *d) {
    if (dict_watcher < 0 || PyDict_Watch(dict_watcher, d) < 0) {
        PyErr_Clear();
        return ++unmatched;
    }
    return generation;
}

bool class_stamp(PyTypeObject *t, uint64_t &stamp) {
    if (type_watcher < 0) return false;
    if (PyType_Watch(type_watcher, reinterpret_cast<PyObject *>(t)) < 0) {
        PyErr_Clear();
        return false;
    }
    // A class whose tag was dropped by a change reports no further change
    // until it has a tag again.
    if (!PyUnstable_Type_AssignVersionTag(t)) return false;
    stamp = generation;
    return true;
}

#endif

}  // namespace ordalin
