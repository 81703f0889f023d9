// The engine's knowledge of schema dicts (knowledge.hpp), and the scope of
// one call into the engine from Python, at whose end what that call used
// for itself alone is released.
#include "knowledge.hpp"

#include <iterator>
#include <utility>

namespace ordalin {

namespace {

// Shared by all threads (the GIL serialises them); never destroyed, like
// the interpreter's own state.
struct Store {
    std::unordered_map<const PyObject *, DictKnowledge> dicts;
    const PyObject *last = nullptr;  // the dict of the latest lookup
    DictKnowledge *last_knowledge = nullptr;
    // Trees and views replaced or forgotten, released once no call is
    // under way (a walk may still be using them).
    std::vector<std::shared_ptr<const void>> retired;
    // The entries given a view that is not to outlast the call.
    std::vector<DictKnowledge *> brief_views;
    std::vector<const PyObject *> freed;  // dicts freed since the last settle
    // Where frees go unreported: the dicts forgotten as used in one call
    // only, with their stamps then.  One that comes back showing the same
    // stamp is alive and unchanged (a new dict at a freed one's address
    // never shows an old stamp): it is a schema taken in turn with many
    // others, to be kept like any schema in use.
    std::unordered_map<const PyObject *, uint64_t> let_go;
    int depth = 0;        // calls into the engine under way
    uint64_t calls = 0;   // outermost calls begun
    size_t swept_size = 0;  // entries left by the latest sweep
};
Store &store = *new Store();

// Entries below kSweepFloor are never swept.  Where no watcher reports
// freed dicts, a dict looked up in one validation only is forgotten after
// kYoungCalls more: schema dicts made anew for each call must not pile up
// (trees and views keep their schema objects alive).  Past kManyDicts a sweep
// forgets what went unused for a quarter as many calls as there are
// entries.
constexpr size_t kSweepFloor = 256;
constexpr uint64_t kYoungCalls = 1024;
constexpr size_t kManyDicts = 16384;
// At most this many dicts let go are remembered; past it they are all
// dropped (a program making a schema dict per call makes them endlessly).
constexpr size_t kLetGoLimit = 16384;

bool sweep_due() { return store.dicts.size() > kSweepFloor && store.dicts.size() > 2 * store.swept_size; }

void forget(std::unordered_map<const PyObject *, DictKnowledge>::iterator it,
            std::vector<std::shared_ptr<const void>> &released) {
    released.push_back(std::move(it->second.tree));
    released.push_back(std::move(it->second.view));
    store.dicts.erase(it);
}

// Whether `k` is forgotten soon for having been used in one call only.
bool young(const DictKnowledge &k) { return k.used_in < 2 && !dict_frees_reported(); }

// The stamp `k` was learnt at, false when nothing was learnt.
bool stamp_of(const DictKnowledge &k, uint64_t &stamp) {
    if (k.plan_known) stamp = k.plan_version;
    else if (k.facts_known) stamp = k.facts_version;
    else return false;
    return true;
}

// Remembers that the young entry `k` of `d` is forgotten.
void let_go(const PyObject *d, const DictKnowledge &k) {
    uint64_t stamp;
    if (!stamp_of(k, stamp)) return;
    if (store.let_go.size() >= kLetGoLimit) store.let_go.clear();
    store.let_go[d] = stamp;
}

// Whether the entry `k` may be forgotten: not used in the latest `recent`
// calls, or (where frees go unreported) used in one call only, long ago.
bool stale(const DictKnowledge &k, uint64_t recent) {
    if (k.used + recent < store.calls) return true;
    return young(k) && k.used + kYoungCalls < store.calls;
}

// Releases the trees and views the finished calls replaced, and the views
// not meant to outlast them, and, once the entries have doubled since the
// previous sweep, forgets the dicts not used in as many calls as there are
// entries: a schema in use comes back sooner than that even when thousands
// are taken in turn, while a schema let go never does.  Dicts known to be
// freed are forgotten at once.  Everything released is moved out first and
// released at the end, once the store is consistent: that may run Python
// code, which may validate again.
void settle() {
    std::vector<std::shared_ptr<const void>> released;
    released.swap(store.retired);
    for (DictKnowledge *k : store.brief_views)
        if (k->view && !k->view->lasting) released.push_back(std::move(k->view));
    store.brief_views.clear();
    for (const PyObject *d : store.freed) {
        auto it = store.dicts.find(d);
        if (it != store.dicts.end()) forget(it, released);
    }
    store.freed.clear();
    if (sweep_due()) {
        uint64_t recent = store.dicts.size() > kManyDicts ? store.dicts.size() / 4 : store.dicts.size();
        for (auto it = store.dicts.begin(); it != store.dicts.end();) {
            auto next = std::next(it);
            if (stale(it->second, recent)) {
                if (young(it->second)) let_go(it->first, it->second);
                forget(it, released);
            }
            it = next;
        }
        store.swept_size = store.dicts.size();
    }
    store.last = nullptr;
    store.last_knowledge = nullptr;
}

}  // namespace

DictKnowledge *known(PyObject *d) {
    if (d != store.last) {
        auto found = store.dicts.find(d);
        if (found == store.dicts.end()) return nullptr;
        store.last = d;
        store.last_knowledge = &found->second;
    }
    DictKnowledge *k = store.last_knowledge;
    if (k->used != store.calls) {
        k->used = store.calls;
        ++k->used_in;
    }
    return k;
}

DictKnowledge &knowledge_of(PyObject *d) {
    if (DictKnowledge *k = known(d)) return *k;
    // Entries are forgotten only when no call is under way, so this one
    // stays valid for the caller.
    DictKnowledge &k = store.dicts[d];
    k.used = store.calls;
    k.used_in = 1;
    if (!store.let_go.empty()) {
        auto it = store.let_go.find(d);
        if (it != store.let_go.end()) {
            if (it->second == schema_stamp(d)) k.used_in = 2;  // back, unchanged: in use
            store.let_go.erase(it);
        }
    }
    store.last = d;
    store.last_knowledge = &k;
    return k;
}

void set_tree(DictKnowledge &k, std::shared_ptr<const CompiledTree> tree) {
    if (k.tree) store.retired.push_back(std::move(k.tree));
    k.tree = std::move(tree);
}

void forget_dict_later(PyObject *d) {
    if (store.dicts.count(d)) store.freed.push_back(d);
}

void keep_view(DictKnowledge &k, std::shared_ptr<SchemaView> view) {
    if (k.view) store.retired.push_back(std::move(k.view));
    if (!view->lasting) store.brief_views.push_back(&k);
    k.view = std::move(view);
}

ValidationScope::ValidationScope() {
    note_user_code();  // Python code ran before this call
    if (store.depth++ == 0) ++store.calls;
}

ValidationScope::~ValidationScope() {
    if (--store.depth != 0) return;
    if (!store.retired.empty() || !store.brief_views.empty() || !store.freed.empty() || sweep_due()) settle();
}

bool in_validation() { return store.depth > 0; }

}  // namespace ordalin
