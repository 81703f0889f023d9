// Change stamps of schema dicts and classes: on CPython 3.11 and older the
// version tags the interpreter keeps in every dict and class; on 3.12 and
// later one dict watcher and one type watcher.
//
// With watchers, each watched dict has a stamp of its own: a number drawn
// from a process-wide counter when the dict is first watched and drawn anew
// whenever it is changed, cleared or cloned into.  It is dropped when the
// dict is freed, so a new dict at the same address draws a new one and never
// shows an old stamp; and a change to one schema dict, or the freeing of
// one, leaves what is known of every other standing.  Classes share one
// generation, moved whenever a watched class (or a base of it) is assigned
// to: that is rare, and a class held by a compiled tree cannot be freed.
// The callbacks run no Python code.  Nothing is ever unwatched: a watched
// dict that is no longer a schema only costs a lookup when it changes,
// while unwatching could drop a watch that a live schema needs.
#include "knowledge.hpp"

#include <unordered_map>

namespace ordalin {

#if PY_VERSION_HEX < 0x030C0000

namespace {
void take_watchers() {}
}  // namespace

bool dict_frees_reported() { return false; }

bool class_stamp(PyTypeObject *t, uint64_t &stamp) {
    // A lookup through the method cache gives the class a tag if it has none.
    if (!(t->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG)) class_attribute(t, g.s_validate);
    if (!(t->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG)) return false;
    stamp = t->tp_version_tag;
    return true;
}

#else

uint64_t g_type_generation = 1;

namespace {

uint64_t dict_draws = 0;      // the counter dict stamps are drawn from
// Stamps handed out when no watcher could be had: each is new, so none
// matches and nothing is remembered.
uint64_t unmatched = uint64_t(1) << 63;
int dict_watcher = -1;
int type_watcher = -1;

// The stamp of every watched dict alive, and the latest one looked up.
std::unordered_map<const PyObject *, uint64_t> dict_stamps;
const PyObject *last_dict = nullptr;
uint64_t *last_stamp = nullptr;

int on_dict_event(PyDict_WatchEvent event, PyObject *dict, PyObject *, PyObject *) {
    auto it = dict_stamps.find(dict);
    if (event == PyDict_EVENT_DEALLOCATED) {
        if (it != dict_stamps.end()) {
            if (last_dict == dict) last_dict = nullptr;
            dict_stamps.erase(it);
        }
        forget_dict_later(dict);
    } else if (it != dict_stamps.end()) {
        it->second = ++dict_draws;
    }
    return 0;
}

int on_type_modified(PyTypeObject *) {
    ++g_type_generation;
    return 0;
}

void take_watchers() {
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

}  // namespace

bool dict_frees_reported() { return dict_watcher >= 0; }

uint64_t schema_stamp(PyObject *d) {
    if (d == last_dict) return *last_stamp;
    // A dict with a stamp is watched already: only a new one is watched here.
    auto it = dict_stamps.find(d);
    if (it == dict_stamps.end()) {
        if (dict_watcher < 0 || PyDict_Watch(dict_watcher, d) < 0) {
            PyErr_Clear();
            return ++unmatched;
        }
        it = dict_stamps.emplace(d, ++dict_draws).first;
    }
    last_dict = d;
    last_stamp = &it->second;  // elements stay put when the map grows
    return *last_stamp;
}

uint64_t data_stamp(PyObject *d) {
    if (d == last_dict) return *last_stamp;
    auto it = dict_stamps.find(d);
    if (it == dict_stamps.end()) return ++unmatched;
    last_dict = d;
    last_stamp = &it->second;
    return *last_stamp;
}

DataWatch::DataWatch(PyObject *d) {
    if (dict_watcher < 0 || !PyDict_CheckExact(d) || dict_stamps.count(d)) return;
    if (PyDict_Watch(dict_watcher, d) < 0) {
        PyErr_Clear();
        return;
    }
    dict_stamps.emplace(d, ++dict_draws);
    dict_ = Ref::borrow(d);
}

DataWatch::~DataWatch() {
    if (!dict_) return;
    PyObject *d = dict_.get();
    if (last_dict == d) last_dict = nullptr;
    dict_stamps.erase(d);
    // Cannot fail for a dict this watcher watches; the error of the walk,
    // if any, stays pending.
    PyDict_Unwatch(dict_watcher, d);
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
    stamp = g_type_generation;
    return true;
}

// The stamp was taken while the class had a tag, so any change to it since
// has been reported and moved the generation.
bool class_unchanged(PyTypeObject *, uint64_t stamp) { return type_watcher >= 0 && stamp == g_type_generation; }

#endif

namespace {

bool g_writes_move_own_dict_stamp = false;

// Whether assigning an attribute to an instance of a plain class, once its
// __dict__ exists, moves that dict's stamp.  Where the interpreter keeps an
// instance's attributes beside its dict (3.13 stores them inline and may
// not report the write), it may not; asked of the interpreter once, with an
// instance made like the engine's own (a class made by type()).
void probe_own_dict_stamps() {
    Ref cls = Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject *>(&PyType_Type), "s(O){}",
                                               "stamp_probe", reinterpret_cast<PyObject *>(&PyBaseObject_Type)));
    Ref obj = cls ? Ref::steal(PyObject_CallObject(cls.get(), nullptr)) : Ref();
    Ref one = Ref::steal(PyLong_FromLong(1)), two = Ref::steal(PyLong_FromLong(2));
    bool ok = obj && one && two && PyObject_SetAttrString(obj.get(), "a", one.get()) == 0;
    Ref d = ok ? Ref::steal(PyObject_GenericGetDict(obj.get(), nullptr)) : Ref();
    ok = d && PyDict_CheckExact(d.get());
    if (ok) {
        uint64_t before = schema_stamp(d.get());
        ok = PyObject_SetAttrString(obj.get(), "a", two.get()) == 0 && schema_stamp(d.get()) != before &&
             PyDict_GetItemString(d.get(), "a") == two.get();
    }
    if (PyErr_Occurred()) PyErr_Clear();
    g_writes_move_own_dict_stamp = ok;
}

}  // namespace

void start_change_tracking() {
    take_watchers();
    probe_own_dict_stamps();
}

bool writes_move_own_dict_stamp() { return g_writes_move_own_dict_stamp; }

}  // namespace ordalin
