// Compiling schema dictionaries into node trees, and remembering the trees.
//
// Compiling mirrors the dispatcher and the dictionary walk for the schemas
// whose outcome on plain data needs no Python code.  A dict entry's value
// that needs it (a user callable, a subclass, a class with a changed
// attribute lookup, a cycle) is a Code node; a key that needs it leaves the
// dictionary to the general walk.  Compiling reads only exact dicts and the
// instance attributes of the engine's own classes, so it runs no Python
// code either.
#include "plan.hpp"
#include "knowledge.hpp"
#include "read_checks.hpp"

#include <algorithm>
#include <cstring>

namespace ordalin {

struct CompiledTree {
    std::shared_ptr<const DictPlan> root;
    std::vector<ReadCheck> checks;  // in the order made: a container before what it holds
    RefVec held;                // every object the nodes point to

    bool holds() const {
        for (const ReadCheck &c : checks)
            if (!c.holds()) return false;
        return true;
    }
};

namespace {

// The engine's classes whose exact instances a tree may hold.
bool is_compiled_class(PyTypeObject *t) {
    return is_engine_class(t) || t == reinterpret_cast<PyTypeObject *>(g.Each);
}

// Bigger, deeper or cyclic schemas are left to the general walk.
constexpr size_t kMaxDepth = 32;       // nested dicts and schema objects
constexpr size_t kMaxNodes = 100000;   // nodes of one tree (shared parts count each time)
constexpr size_t kMaxTypeKeys = 64;    // required type keys of one dict (bits of a mask)

bool is_any_key(PyObject *key) { return Py_TYPE(key) == reinterpret_cast<PyTypeObject *>(g.Any); }

class Compiler {
public:
    // Room for a few schema objects and the references of a dict of a dozen
    // keys, so that compiling a dict made for one call allocates little (the
    // stacks are inline); bigger trees grow as vectors do.
    Compiler() {
        checks.reserve(4);
        held.reserve(32);
    }
    bool dict(PyObject *schema, std::shared_ptr<const DictPlan> &out);
    bool code_allowed = true;   // false: a Code entry fails the compiling
    bool code_refused = false;  // it did
    // The thread's stack was nearly full: the schema is not known to be
    // uncompilable, only met too deep in the stack this time.
    bool out_of_stack = false;
    // After the top dict: whether the walk can complete the data itself.
    bool completes_in_walk(DictPlan &root);
    std::vector<ReadCheck> checks;
    RefVec held;

private:
    static constexpr size_t kNone = static_cast<size_t>(-1);

    // Where the dict being compiled stands for the completion of the data.
    // `reached_`: the passes see its leaves (it is the top dict, or a dict
    // value of a dict they see).  `addable_`: every key on the way from
    // the top stands for a str (an exact str, or an exact Optional around
    // one) or is the only key of its dict, an Any, so that what the passes
    // add there is what the walk adds to the data it meets.
    bool reached_ = true, addable_ = true;
    SmallVec<PyObject *, 8> path_;  // the keys from the top dict down, as the passes read them
    struct FallbackLeaf {
        std::vector<PyObject *> path;
        PyObject *source;
    };
    std::vector<std::vector<PyObject *>> default_paths_;
    std::vector<FallbackLeaf> fallback_leaves_;
    std::vector<PyObject *> sources_;
    bool completion_blocked_ = false;  // a leaf the walk cannot add as the passes do
    struct Below {
        Compiler &c;
        bool reached, addable;
        // `name`: the str that `key` stands for, if any.
        Below(Compiler &compiler, PyObject *key, PyObject *name, PyObject *value, bool only_key)
            : c(compiler), reached(compiler.reached_), addable(compiler.addable_) {
            c.reached_ = reached && Py_TYPE(value) == &PyDict_Type;
            c.addable_ = addable && (name || (only_key && is_any_key(key)));
            c.path_.push_back(name ? name : key);
        }
        ~Below() {
            c.reached_ = reached;
            c.addable_ = addable;
            c.path_.pop_back();
        }
    };
    void note_leaf(PyObject *key, PyObject *name, const KeyEntry &entry, uint32_t index, DictPlan &plan,
                   std::vector<Addition> &later);

    // What compiling a value added, taken back when it turns out to be Code.
    struct Undo {
        Compiler &c;
        size_t checks, held, defaults, fallbacks, sources;
        explicit Undo(Compiler &compiler)
            : c(compiler), checks(c.checks.size()), held(c.held.size()), defaults(c.default_paths_.size()),
              fallbacks(c.fallback_leaves_.size()), sources(c.sources_.size()) {}
        void now() {
            c.checks.erase(c.checks.begin() + static_cast<std::ptrdiff_t>(checks), c.checks.end());
            c.held.erase(c.held.begin() + static_cast<std::ptrdiff_t>(held), c.held.end());
            c.default_paths_.resize(defaults);
            c.fallback_leaves_.resize(fallbacks);
            c.sources_.resize(sources);
        }
    };
    bool code_entry(KeyEntry &entry, DictPlan &plan, Undo &undo);
    bool node(PyObject *schema, Node &out);
    bool object_node(PyObject *obj, Node &out);
    bool wrapped(size_t watched, Node &out);
    // Where each key of a schema dict stands in the dict's own order.
    struct KeyPositions {
        std::vector<std::pair<PyObject *, uint32_t>> by_key;  // sorted by key address
        explicit KeyPositions(const EntryVec &in_dict_order) {
            by_key.reserve(in_dict_order.size());
            for (const Entry &e : in_dict_order)
                by_key.emplace_back(e.key.get(), static_cast<uint32_t>(by_key.size()));
            std::sort(by_key.begin(), by_key.end());
        }
        uint32_t of(PyObject *key) const {
            return std::lower_bound(by_key.begin(), by_key.end(), std::make_pair(key, uint32_t(0)))->second;
        }
    };
    bool key_entries(const EntryVec &ordered, DictPlan &plan, const KeyPositions &positions);
    bool candidate(PyObject *key, uint32_t entry, KeyCandidate &out, bool &required);
    bool str_table(DictPlan &plan, std::vector<std::pair<PyObject *, uint32_t>> keys);
    size_t watch(PyObject *obj);
    PyObject *read(size_t watched, PyObject *name);
    // `o`, with a reference kept for the tree.
    PyObject *keep(PyObject *o) {
        held.push_back(Ref::borrow(o));
        return o;
    }

    // Marks a dict or schema object as being compiled: false for a cycle or
    // too deep a schema.
    bool enter(PyObject *container) {
        if (stack_.size() >= kMaxDepth) return false;
        if (quarn::stack_nearly_full()) {
            out_of_stack = true;
            return false;
        }
        for (PyObject *o : stack_)
            if (o == container) return false;
        stack_.push_back(container);
        return true;
    }
    struct Leave {
        SmallVec<PyObject *, 8> &stack;
        ~Leave() { stack.pop_back(); }
    };

    SmallVec<PyObject *, 8> stack_;
    size_t nodes_ = 0;
};

namespace {
// A value schema whose result is the data itself, or a copy of its dicts:
// type tests and plain values (alone, in an Or or in a wrapper), and
// nested dicts of such values.
bool only_tests(const Node &n) {
    switch (n.kind) {
    case NodeKind::Accept:
    case NodeKind::TypeTest:
    case NodeKind::Equals:
        return true;
    case NodeKind::Dict:
        return n.dict->checks_only;
    case NodeKind::Or:
    case NodeKind::Wrap:
        for (const Node &child : n.children)
            if (!child.is_plain_test() && child.kind != NodeKind::Accept) return false;
        return true;
    default:
        return false;
    }
}

bool only_tests(const DictPlan &plan) {
    if (plan.runs_code || !plan.additions.empty()) return false;
    for (const KeyEntry &entry : plan.entries)
        if (!only_tests(entry.value)) return false;
    return true;
}
}  // namespace

bool Compiler::dict(PyObject *schema, std::shared_ptr<const DictPlan> &out) {
    if (!PyDict_CheckExact(schema) || !enter(schema)) return false;
    Leave leave{stack_};
    ReadCheck stamp;
    stamp.dict = schema;
    stamp.version = schema_stamp(schema);
    checks.push_back(std::move(stamp));

    // Keys whose priority and equality run no Python code, in the order the
    // walk tries them.
    EntryVec ordered;
    snapshot_entries(schema, ordered);
    for (const Entry &e : ordered)
        if (!is_plain(e.key.get())) return false;
    KeyPositions positions(ordered);
    if (!order_by_priority(ordered)) {
        PyErr_Clear();
        return false;
    }
    auto plan = std::make_shared<DictPlan>();
    if (!key_entries(ordered, *plan, positions)) return false;
    plan->checks_only = only_tests(*plan);
    plan->checks_before_copying =
        plan->checks_only && std::any_of(plan->entries.begin(), plan->entries.end(), [](const KeyEntry &e) {
            return e.value.kind == NodeKind::Dict;
        });
    if (path_.empty()) plan->completes_in_walk = completes_in_walk(*plan);  // the top dict
    out = std::move(plan);
    return true;
}

namespace {
// Whether every key of the dict compiled into `plan` is a plain value or a
// built-in type, and every value prints plainly.
bool prints_plainly(const DictPlan &plan) {
    for (const KeyEntry &e : plan.entries)
        if (!(is_plain_value(e.key) || (Py_TYPE(e.key) == &PyType_Type && is_type_test(e.key))) ||
            !e.value.prints_plainly)
            return false;
    return true;
}

// The type whose instances pass the value schema `n` unchanged, if one
// decides it alone.  A Default turns None into its default, so it has one
// only when its type refuses None.
PyTypeObject *quick_type(const Node &n) {
    if (n.kind == NodeKind::TypeTest) return reinterpret_cast<PyTypeObject *>(n.object);
    if (n.kind != NodeKind::Wrap && n.kind != NodeKind::Default) return nullptr;
    const Node &inner = n.children[0];
    if (inner.kind != NodeKind::TypeTest) return nullptr;
    auto *type = reinterpret_cast<PyTypeObject *>(inner.object);
    return n.kind == NodeKind::Default && PyObject_TypeCheck(Py_None, type) ? nullptr : type;
}

// The types of the entry's quick test (KeyEntry::passes_quickly): an Or of
// one or two type tests passes a value of either type unchanged, the
// first taking it.
void set_quick_types(KeyEntry &entry) {
    const Node &n = entry.value;
    if (n.kind == NodeKind::Or && !n.children.empty() && n.children.size() <= 2) {
        for (const Node &alternative : n.children)
            if (alternative.kind != NodeKind::TypeTest) return;
        entry.quick_type = reinterpret_cast<PyTypeObject *>(n.children[0].object);
        if (n.children.size() == 2) entry.quick_other = reinterpret_cast<PyTypeObject *>(n.children[1].object);
        return;
    }
    entry.quick_type = quick_type(n);
}
}  // namespace

bool Compiler::key_entries(const EntryVec &ordered, DictPlan &plan, const KeyPositions &positions) {
    std::vector<std::pair<PyObject *, uint32_t>> direct_strs;
    size_t type_keys = 0;
    std::vector<Addition> fallbacks;  // the additions of the fallbacks pass, after the others
    // Room for every entry, so that compiling a dict made for one call
    // grows neither list step by step (an entry is costly to move).
    plan.entries.reserve(ordered.size());
    direct_strs.reserve(ordered.size());
    for (const Entry &e : ordered) {
        KeyEntry entry;
        PyObject *key = e.key.get();
        auto index = static_cast<uint32_t>(plan.entries.size());
        // The str the key stands for in a key path, as the passes read it:
        // the key itself, or the str an exact Optional key wraps.
        PyObject *name = nullptr;
        entry.key = keep(key);
        if (is_plain_value(key)) {
            entry.counts = 1;
            if (Py_TYPE(key) == &PyUnicode_Type) direct_strs.emplace_back(name = key, index);
            else plan.other_keys.emplace_back(key, index);
        } else {
            KeyCandidate c;
            bool required = false;
            if (!candidate(key, index, c, required)) return false;
            if (required) {
                if (type_keys == kMaxTypeKeys) return false;
                entry.bit = uint64_t(1) << type_keys++;
            }
            if (c.kind == KeyTest::Equals && Py_TYPE(c.object) == &PyUnicode_Type) name = c.object;
            plan.candidates.push_back(c);
        }
        entry.direct = is_plain_value(key);
        {
            Below below(*this, key, name, e.value.get(), ordered.size() == 1);
            Undo undo(*this);
            if (!node(e.value.get(), entry.value) && !code_entry(entry, plan, undo)) return false;
        }
        set_quick_types(entry);
        if (reached_) note_leaf(key, name, entry, index, plan, fallbacks);
        plan.required += entry.counts + (entry.bit ? 1 : 0);
        plan.entries.push_back(std::move(entry));
    }
    // Each pass adds in the schema dict's own order, not the walk's.
    auto in_dict_order = [&](const Addition &a, const Addition &b) {
        return positions.of(plan.entries[a.entry].key) < positions.of(plan.entries[b.entry].key);
    };
    std::stable_sort(plan.additions.begin(), plan.additions.end(), in_dict_order);
    std::stable_sort(fallbacks.begin(), fallbacks.end(), in_dict_order);
    plan.additions.insert(plan.additions.end(), fallbacks.begin(), fallbacks.end());
    plan.completes |= !plan.additions.empty();
    if (!str_table(plan, std::move(direct_strs))) return false;
    // The walk finds an added key under the entry that takes its str: the
    // one it was added for, unless an earlier key takes that str first.
    for (const Addition &a : plan.additions)
        if (plan.find_str(a.key, PyObject_Hash(a.key)) != static_cast<int32_t>(a.entry)) completion_blocked_ = true;
    return true;
}

// The value of `entry` is left to the dispatcher: the tree keeps nothing
// of it (it may be a user's object, which must not outlive its schema
// here), and the dict is walked by the dictionary walk with this plan.
// What the value holds for the passes is not known: the walk does not
// complete the data.
bool Compiler::code_entry(KeyEntry &entry, DictPlan &plan, Undo &undo) {
    if (!code_allowed) {
        code_refused = true;
        return false;
    }
    undo.now();
    entry.value = Node();
    entry.value.kind = NodeKind::Code;
    plan.runs_code = true;
    completion_blocked_ = true;
    return true;
}

// What the passes add under `key` (standing for the str `name`, if any) of
// a dict they see, whose value compiled to `entry`: a Default's or
// Fallback's value, or a dict made for a nested schema dict below which
// something is added.  The fallbacks' go to `later`.
void Compiler::note_leaf(PyObject *key, PyObject *name, const KeyEntry &entry, uint32_t index, DictPlan &plan,
                         std::vector<Addition> &later) {
    const Node &n = entry.value;
    if (n.kind == NodeKind::Dict) {
        plan.completes |= n.dict->completes;
        if (!name || n.dict->additions.empty()) return;
        bool by_defaults = n.dict->adds_defaults;
        (by_defaults ? plan.additions : later).push_back(Addition{Addition::Nested, index, name});
        plan.adds_defaults |= by_defaults;
        return;
    }
    // The kind of leaf the passes collect (its exact class: a subclass is
    // not compiled at all).
    bool is_default = n.kind == NodeKind::Default;
    bool is_fallback = n.kind == NodeKind::Wrap && n.object;
    if (!is_default && !is_fallback) return;
    std::vector<PyObject *> leaf_path(path_.begin(), path_.end());
    leaf_path.push_back(name ? name : key);
    if (is_fallback) fallback_leaves_.push_back(FallbackLeaf{leaf_path, n.object});
    else default_paths_.push_back(leaf_path);
    // A wildcard in last place adds nothing; any other key than a str
    // (or a path through one) the walk does not add as the passes do.
    if (is_any_key(key)) return;
    if (!name || !addable_) {
        completion_blocked_ = true;
        return;
    }
    if (is_default) {
        // A dict default is taken apart into its leaves, each added alone.
        if (PyDict_Check(n.object)) {
            completion_blocked_ = true;
            return;
        }
        plan.additions.push_back(Addition{Addition::Default, index, name});
        plan.adds_defaults = true;
        return;
    }
    later.push_back(Addition{Addition::Fallback, index, name, static_cast<uint32_t>(sources_.size())});
    sources_.push_back(n.object);
}

namespace {
// Whether a key path and a fallback's source (exact str) may name the same
// data, or one lie below the other: their keys agree as far as both go, an
// Any agreeing with any key.
bool may_meet(const std::vector<PyObject *> &path, PyObject *source) {
    size_t n = std::min(path.size(), static_cast<size_t>(PyTuple_GET_SIZE(source)));
    for (size_t i = 0; i < n; ++i) {
        PyObject *key = path[i], *piece = PyTuple_GET_ITEM(source, static_cast<Py_ssize_t>(i));
        if (is_any_key(key)) continue;
        if (Py_TYPE(key) != &PyUnicode_Type || !same_text(key, piece)) return false;
    }
    return true;
}

// Whether the source is the key path `path` itself (a chain of fallbacks).
bool names_path(const std::vector<PyObject *> &path, PyObject *source) {
    if (path.size() != static_cast<size_t>(PyTuple_GET_SIZE(source))) return false;
    for (size_t i = 0; i < path.size(); ++i)
        if (Py_TYPE(path[i]) != &PyUnicode_Type ||
            !same_text(path[i], PyTuple_GET_ITEM(source, static_cast<Py_ssize_t>(i))))
            return false;
    return true;
}

bool is_str_path(PyObject *source) {
    if (!PyTuple_CheckExact(source) || PyTuple_GET_SIZE(source) == 0) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(source); ++i)
        if (Py_TYPE(PyTuple_GET_ITEM(source, i)) != &PyUnicode_Type) return false;
    return true;
}
}  // namespace

// The walk completes the data as the passes would when every leaf is one
// it adds, the fallbacks form no chain (collecting them changes nothing
// and raises nothing), and no source lies where a default may be added:
// the sources are then read from the data as it is.
bool Compiler::completes_in_walk(DictPlan &root) {
    if (completion_blocked_) return false;
    for (const FallbackLeaf &leaf : fallback_leaves_) {
        if (!is_str_path(leaf.source)) return false;
        for (const FallbackLeaf &other : fallback_leaves_)
            if (names_path(other.path, leaf.source)) return false;
        for (const auto &path : default_paths_)
            if (may_meet(path, leaf.source)) return false;
    }
    root.sources = sources_;
    return true;
}

// A key that is not a plain value: Any, a built-in type key, or an exact
// Optional around one of those or around a plain value.
bool Compiler::candidate(PyObject *key, uint32_t entry, KeyCandidate &out, bool &required) {
    out = KeyCandidate{KeyTest::Accept, nullptr, entry};
    PyTypeObject *t = Py_TYPE(key);
    if (t == &PyType_Type) {
        if (!is_type_test(key)) return false;
        out.kind = KeyTest::TypeTest;
        out.object = keep(key);
        required = true;
        return true;
    }
    if (t == reinterpret_cast<PyTypeObject *>(g.Any)) return true;
    if (t != reinterpret_cast<PyTypeObject *>(g.Optional)) return false;
    size_t w = watch(key);
    if (w == kNone || validate_of(t) != g.schema_validate) return false;
    PyObject *inner_type = read(w, g.s_schemaType);
    PyObject *inner = inner_type ? read(w, g.s_schema) : nullptr;
    if (!inner || inner_type != reinterpret_cast<PyObject *>(Py_TYPE(inner))) return false;
    if (Py_TYPE(inner) == reinterpret_cast<PyTypeObject *>(g.Any)) return true;
    if (Py_TYPE(inner) == &PyType_Type) {
        if (!is_type_test(inner)) return false;
        out.kind = KeyTest::TypeTest;
        out.object = keep(inner);
        return true;
    }
    if (!is_plain_value(inner)) return false;
    out.kind = KeyTest::Equals;
    out.object = keep(inner);
    return true;
}

// The table of str keys: each schema key that is a str (`keys`, with its
// entry), then the str value of each Optional key that a str schema key
// does not already take, mapped to the first candidate that accepts it;
// and the entry of any other str.
bool Compiler::str_table(DictPlan &plan, std::vector<std::pair<PyObject *, uint32_t>> keys) {
    auto takes_any_str = [](const KeyCandidate &c) {
        return c.kind == KeyTest::Accept ||
               (c.kind == KeyTest::TypeTest &&
                PyType_IsSubtype(&PyUnicode_Type, reinterpret_cast<PyTypeObject *>(c.object)));
    };
    for (const KeyCandidate &c : plan.candidates)
        if (takes_any_str(c)) {
            plan.str_default = static_cast<int32_t>(c.entry);
            break;
        }
    for (size_t i = 0; i < plan.candidates.size(); ++i) {
        const KeyCandidate &c = plan.candidates[i];
        if (c.kind != KeyTest::Equals || Py_TYPE(c.object) != &PyUnicode_Type) continue;
        uint32_t taker = c.entry;
        for (size_t j = 0; j < i; ++j) {
            const KeyCandidate &earlier = plan.candidates[j];
            if (takes_any_str(earlier) ||
                (earlier.kind == KeyTest::Equals && Py_TYPE(earlier.object) == &PyUnicode_Type &&
                 PyObject_Hash(earlier.object) == PyObject_Hash(c.object) && same_text(earlier.object, c.object))) {
                taker = earlier.entry;
                break;
            }
        }
        keys.emplace_back(c.object, taker);
    }
    if (keys.empty()) {
        if (plan.str_default >= 0 &&
            plan.entries[static_cast<size_t>(plan.str_default)].value.kind == NodeKind::TypeTest)
            plan.any_str_test = plan.str_default;
        return true;
    }
    size_t size = 4;
    while (size < 2 * keys.size()) size *= 2;
    plan.str_slots.assign(size, DictPlan::StrSlot{nullptr, 0, -1});
    plan.id_slots.assign(size, DictPlan::IdSlot{nullptr, -1});
    for (const auto &k : keys) {
        Py_hash_t hash = PyObject_Hash(k.first);
        if (hash == -1) {
            PyErr_Clear();
            return false;
        }
        // A str already in the table (a schema key, or an earlier Optional)
        // keeps the entry it has: that one is tried first.
        if (plan.find_str(k.first, hash) >= 0) continue;
        size_t mask = size - 1;
        size_t i = static_cast<size_t>(hash) & mask;
        while (plan.str_slots[i].key) i = (i + 1) & mask;
        plan.str_slots[i] = DictPlan::StrSlot{k.first, hash, static_cast<int32_t>(k.second)};
        DictPlan::IdSlot &same = plan.id_slots[DictPlan::id_index(k.first, mask)];
        if (!same.key) same = DictPlan::IdSlot{k.first, static_cast<int32_t>(k.second)};
    }
    return true;
}

// The node of a value schema, as the dispatcher would treat it.
bool Compiler::node(PyObject *schema, Node &out) {
    if (++nodes_ > kMaxNodes) return false;
    PyTypeObject *t = Py_TYPE(schema);
    if (t == &PyType_Type) {
        if (!is_type_test(schema)) return false;  // a class to call
        out.kind = NodeKind::TypeTest;
        out.object = keep(schema);
        out.prints_plainly = true;
        return true;
    }
    if (t == &PyDict_Type) {
        out.kind = NodeKind::Dict;
        out.object = keep(schema);
        // A dict with Code in it is validated by its own plan, as Code.
        if (!dict(schema, out.dict) || out.dict->runs_code) return false;
        out.prints_plainly = prints_plainly(*out.dict);
        return true;
    }
    if (is_plain_value(schema)) {
        out.kind = NodeKind::Equals;
        out.object = keep(schema);
        // str() of bytes warns, under `python -b`.
        out.prints_plainly = !PyBytes_CheckExact(schema);
        return true;
    }
    if (t == reinterpret_cast<PyTypeObject *>(g.Any)) {
        out.kind = NodeKind::Accept;
        return true;
    }
    if (!is_compiled_class(t) || t == reinterpret_cast<PyTypeObject *>(g.PathAwareUse)) return false;
    return object_node(schema, out);
}

// An exact instance of the engine's classes whose `validate` is built in.
bool Compiler::object_node(PyObject *obj, Node &out) {
    if (!enter(obj)) return false;
    Leave leave{stack_};
    size_t w = watch(obj);
    if (w == kNone) return false;
    PyObject *validate = validate_of(Py_TYPE(obj));
    if (validate == g.schema_validate) {
        out.kind = NodeKind::Wrap;
        if (Py_TYPE(obj) == reinterpret_cast<PyTypeObject *>(g.Fallback) && !(out.object = read(w, g.s_fallback)))
            return false;
        return wrapped(w, out);
    }
    if (validate == g.default_validate) {
        out.kind = NodeKind::Default;
        out.object = read(w, g.s_default);
        return out.object && wrapped(w, out);
    }
    if (validate == g.or_validate || validate == g.and_validate) {
        out.kind = validate == g.or_validate ? NodeKind::Or : NodeKind::And;
        PyObject *schemas = read(w, g.s_schemas);
        if (!schemas || !PyTuple_CheckExact(schemas)) return false;
        out.children.resize(static_cast<size_t>(PyTuple_GET_SIZE(schemas)));
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(schemas); ++i)
            if (!node(PyTuple_GET_ITEM(schemas, i), out.children[static_cast<size_t>(i)])) return false;
        return true;
    }
    if (validate == g.use_validate) {
        out.kind = NodeKind::Convert;
        out.object = read(w, g.s_schema);
        return out.object && is_builtin_conversion(out.object);
    }
    if (validate == g.each_validate) {
        // The element schema is dispatched by its own type, whatever
        // `schemaType` says.
        out.kind = NodeKind::Each;
        out.object = keep(obj);  // its errors are raised at its own path
        PyObject *element = read(w, g.s_schema);
        out.children.resize(1);
        return element && node(element, out.children[0]);
    }
    return false;
}

// The schema a Schema-like object validates with (`schema`, dispatched by
// `schemaType`, which must be its exact type).
bool Compiler::wrapped(size_t watched, Node &out) {
    PyObject *inner_type = read(watched, g.s_schemaType);
    PyObject *inner = inner_type ? read(watched, g.s_schema) : nullptr;
    if (!inner || inner_type != reinterpret_cast<PyObject *>(Py_TYPE(inner))) return false;
    out.children.resize(1);
    return node(inner, out.children[0]);
}

// Starts the check of a schema object of a class a tree may hold, whose
// attributes can be read without Python code.
size_t Compiler::watch(PyObject *obj) {
    ReadCheck c;
    if (!is_compiled_class(Py_TYPE(obj)) || !watch_object(obj, c)) return kNone;
    checks.push_back(std::move(c));
    return checks.size() - 1;
}

PyObject *Compiler::read(size_t watched, PyObject *name) { return read_attribute(checks[watched], name); }

}  // namespace

// Equal strings share their kind, so comparing the kinds and the bytes is
// enough.
bool same_text(PyObject *a, PyObject *b) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(a) < 0 || PyUnicode_READY(b) < 0) {
        PyErr_Clear();
        return false;
    }
#endif
    Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    return n == PyUnicode_GET_LENGTH(b) && PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(n) * PyUnicode_KIND(a)) == 0;
}

bool g_fast_walk_enabled = true;
uint64_t g_compilations = 0;
bool g_code_plans_at_once = false;
bool g_checks_first_always = false;

namespace {
// Whether the dict of `k`, left without a tree for its Code, is now to be
// compiled with it: met for the eighth time in one validation, or in a
// later one.
bool code_due(DictKnowledge &k) {
    if (!k.code_sightings) return false;
    if (k.code_call == k.used && ++k.code_sightings < 8) return false;
    k.code_sightings = 0;
    return true;
}
}  // namespace

const DictPlan *plan_of(PyObject *schema) {
    DictKnowledge &k = knowledge_of(schema);
    uint64_t version = schema_stamp(schema);
    bool same_dict = k.plan_known && k.plan_version == version;
    if (same_dict && k.tree && (k.checked_epoch == g_user_epoch || k.tree->holds())) {
        k.checked_epoch = g_user_epoch;
        return k.tree->root.get();
    }
    // `k` stays valid: entries are forgotten only once no call is under way.
    if (same_dict && !k.tree && !code_due(k)) return nullptr;
    ++g_compilations;
    Compiler compiler;
    compiler.code_allowed = same_dict || g_code_plans_at_once;  // met before: not a dict made for one call
    std::shared_ptr<const DictPlan> root;
    std::shared_ptr<const CompiledTree> tree;
    if (compiler.dict(schema, root)) {
        tree = std::make_shared<const CompiledTree>(
            CompiledTree{std::move(root), std::move(compiler.checks), std::move(compiler.held)});
    } else if (compiler.out_of_stack) {
        return nullptr;  // the general walk takes this one; the next call tries again
    }
    k.code_sightings = compiler.code_refused ? 1 : 0;
    k.code_call = k.used;
    k.plan_known = true;
    k.plan_version = version;
    k.checked_epoch = g_user_epoch;
    set_tree(k, std::move(tree));
    return k.tree ? k.tree->root.get() : nullptr;
}

}  // namespace ordalin
