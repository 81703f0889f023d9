// Views of schema dictionaries, kept for the length of one validation, and
// the facts of their keys.
#include "knowledge.hpp"

namespace ordalin {

namespace {

// Priority of a key without calling Python code for the common key types.
inline int quick_priority(PyObject *key) {
    PyTypeObject *t = Py_TYPE(key);
    if (t == &PyUnicode_Type || t == &PyLong_Type) return 1;
    return key_priority(key);
}

// The plain value an exact Optional key wraps, or empty.
Ref wrapped_plain_value(PyObject *sk) {
    Ref inner = optional_key_target(sk);
    if (!inner) {
        PyErr_Clear();  // the general key test reports it
        return Ref();
    }
    return is_plain_value(inner.get()) ? std::move(inner) : Ref();
}

Candidate make_candidate(const Entry &e) {
    PyObject *sk = e.key.get();
    Candidate c{sk, KeyKind::General, nullptr, Ref()};
    if (PyType_IsSubtype(Py_TYPE(sk), reinterpret_cast<PyTypeObject *>(g.Any))) {
        c.kind = KeyKind::Accept;
    } else if (Py_TYPE(sk) == &PyType_Type && is_type_test(sk)) {
        c.kind = KeyKind::TypeTest;
        c.type = reinterpret_cast<PyTypeObject *>(sk);
    } else if ((c.inner = wrapped_plain_value(sk))) {
        c.kind = KeyKind::Equals;
        // Told unchanged later from the key's class and attribute dict, where
        // they can be watched; read again otherwise.
        c.checked = watch_object(sk, c.check) && read_attribute(c.check, g.s_schemaType) &&
                    read_attribute(c.check, g.s_schema) == c.inner.get();
    }
    return c;
}

std::shared_ptr<SchemaView> build_view(PyObject *schema) {
    auto view = std::make_shared<SchemaView>();
    view->facts = facts_of(schema);
    view->schema = schema;
    view->exact_dict = PyDict_CheckExact(schema);
    if (view->exact_dict) view->version = schema_stamp(schema);
    if (!snapshot_entries(schema, view->ordered) || !order_by_priority(view->ordered)) return nullptr;
    view->facts.epoch = g_user_epoch;
    if (view->facts.exact) {
        view->by_version = view->lasting = true;
        // A plain data key that is not a schema key equals no plain schema key.
        for (const Entry &e : view->ordered)
            if (!is_plain_value(e.key.get())) {
                view->candidates.push_back(make_candidate(e));
                KeyKind kind = view->candidates.back().kind;
                if (kind == KeyKind::Equals) view->wraps = true;
                if (kind == KeyKind::General) view->lasting = false;
            }
        view->wraps_epoch = g_user_epoch;
    }
    for (Entry &e : view->ordered) e.value.reset();
    return view;
}

}  // namespace

bool SchemaView::wrapped_values_hold() const {
    for (const Candidate &c : candidates) {
        if (c.kind != KeyKind::Equals) continue;
        if (c.checked) {
            if (!c.check.holds()) return false;
            continue;
        }
        // The value held keeps its address: the same object is the same value.
        Ref now = optional_key_target(c.key);
        if (now.get() != c.inner.get()) {
            PyErr_Clear();  // a new view reads it again and reports it
            return false;
        }
    }
    wraps_epoch = g_user_epoch;
    return true;
}

Ref optional_key_target(PyObject *sk) {
    if (Py_TYPE(sk) != reinterpret_cast<PyTypeObject *>(g.Optional) ||
        !uses_builtin(sk, g.s_validate, g.schema_validate))
        return Ref();
    Ref inner_type = quarn::getattr(sk, g.s_schemaType);
    Ref inner = inner_type ? quarn::getattr(sk, g.s_schema) : Ref();
    if (inner && inner_type.get() != reinterpret_cast<PyObject *>(Py_TYPE(inner.get()))) inner.reset();
    return inner;
}

Ref get_item(PyObject *mapping, PyObject *key) {
    if (PyDict_CheckExact(mapping)) {
        PyObject *v = PyDict_GetItemWithError(mapping, key);
        if (v) return Ref::borrow(v);
        if (!PyErr_Occurred()) {
            Ref k = Ref::steal(PyTuple_Pack(1, key));
            if (k) PyErr_SetObject(PyExc_KeyError, k.get());
        }
        return Ref();
    }
    return Ref::steal(PyObject_GetItem(mapping, key));
}

bool snapshot_entries(PyObject *mapping, EntryVec &out) {
    if (PyDict_CheckExact(mapping)) {
        out.reserve(static_cast<size_t>(PyDict_GET_SIZE(mapping)));
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(mapping, &pos, &key, &value)) out.push_back(Entry{Ref::borrow(key), Ref::borrow(value)});
        return true;
    }
    note_user_code();
    Ref iter = Ref::steal(PyObject_GetIter(mapping));
    if (!iter) return false;
    while (Ref item = Ref::steal(PyIter_Next(iter.get()))) out.push_back(Entry{std::move(item), Ref()});
    return !PyErr_Occurred();
}

bool order_by_priority(EntryVec &entries, bool *kept, size_t first) {
    if (kept) *kept = true;
    size_t first_other = entries.size();
    int other = 1;  // the priority of the first key of another priority than 1
    for (size_t i = first; i < entries.size(); ++i) {
        if ((other = quick_priority(entries[i].key.get())) < 0) return false;
        if (other != 1) {
            first_other = i;
            break;
        }
    }
    if (first_other == entries.size()) return true;
    // Both lists stay inline for the usual dict: a priority is 1 to 3.
    SmallVec<uint8_t, 32> priorities;
    for (size_t i = 0; i < first_other; ++i) priorities.push_back(1);
    priorities.push_back(static_cast<uint8_t>(other));
    for (size_t i = first_other + 1; i < entries.size(); ++i) {
        int p = quick_priority(entries[i].key.get());
        if (p < 0) return false;
        priorities.push_back(static_cast<uint8_t>(p));
        if (kept && i > first && priorities[i] < priorities[i - 1]) *kept = false;
    }
    EntryVec ordered;
    ordered.reserve(entries.size());
    for (size_t i = 0; i < first; ++i) ordered.push_back(std::move(entries[i]));
    for (uint8_t p = 1; p <= 3; ++p)
        for (size_t i = first; i < entries.size(); ++i)
            if (priorities[i] == p) ordered.push_back(std::move(entries[i]));
    for (size_t i = 0; i < entries.size(); ++i) entries[i] = std::move(ordered[i]);
    return true;
}

KeyFacts scan_keys(PyObject *schema);

KeyFacts facts_of(PyObject *schema) {
    if (!PyDict_CheckExact(schema) || !in_validation()) return scan_keys(schema);
    // `k` stays valid: entries are forgotten only once no call is under way.
    DictKnowledge &k = knowledge_of(schema);
    uint64_t version = schema_stamp(schema);
    if (!k.facts_known || k.facts_version != version) {
        k.facts = scan_keys(schema);
        k.facts_known = true;
        k.facts_version = version;
    }
    KeyFacts facts = k.facts;
    facts.epoch = g_user_epoch;
    return facts;
}

KeyFacts scan_keys(PyObject *schema) {
    KeyFacts facts;
    if (PyDict_CheckExact(schema)) {
        facts.exact = true;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(schema, &pos, &key, &value)) {
            PyTypeObject *t = Py_TYPE(key);
            if (t == &PyUnicode_Type) {
                facts.str_keys = true;
                ++facts.required;
                continue;
            }
            facts.exact &= is_plain(key);
            if (is_plain_value(key)) facts.other_keys = true;
            if (!is_optional_typed(key)) ++facts.required;
        }
    }
    if (!facts.exact) note_user_code();
    facts.epoch = g_user_epoch;
    return facts;
}


std::shared_ptr<SchemaView> view_of(PyObject *schema) {
    if (!PyDict_CheckExact(schema) || !in_validation()) return build_view(schema);
    DictKnowledge *k = known(schema);
    // Held while it is checked: the check reads attributes, which may run code.
    std::shared_ptr<SchemaView> kept = k ? k->view : nullptr;
    if (kept && kept->fresh()) return kept;
    std::shared_ptr<SchemaView> view = build_view(schema);
    if (view && view->fresh()) keep_view(knowledge_of(schema), view);
    return view;
}

}  // namespace ordalin
