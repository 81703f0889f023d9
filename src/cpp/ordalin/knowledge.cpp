// The engine's knowledge of schema dicts (knowledge.hpp), and the scope of
// one call into the engine from Python, at whose end what that call used
// for itself alone is released.
#include "knowledge.hpp"

#include <utility>

namespace ordalin {

namespace {

// Shared by all threads (the GIL serialises them); never destroyed, like
// the interpreter's own state.
struct Store {
    std::unordered_map<const PyObject *, DictKnowledge> dicts;
    const PyObject *last = nullptr;  // the dict of the latest lookup
    DictKnowledge *last_knowledge = nullptr;
    std::vector<DictKnowledge *> viewed;  // the entries holding a view
    std::vector<std::shared_ptr<const CompiledTree>> retired;
    int depth = 0;        // calls into the engine under way
    uint64_t calls = 0;   // outermost calls begun
    size_t swept_size = 0;       // entries left by the latest sweep
    uint64_t swept_at_call = 0;  // `calls` then
};
Store &store = *new Store();

// Entries below this many are never swept.
constexpr size_t kSweepFloor = 256;

bool sweep_due() { return store.dicts.size() > kSweepFloor && store.dicts.size() > 2 * store.swept_size; }

// Releases what the finished calls kept for themselves (views, replaced
// trees) and, once the entries have doubled since the previous sweep,
// forgets the dicts not used since then.  Everything released is moved
// out first and released at the end, once the store is consistent: that
// may run Python code, which may validate again.
void settle() {
    std::vector<std::pair<Ref, std::shared_ptr<SchemaView>>> views;
    for (DictKnowledge *k : store.viewed) views.emplace_back(std::move(k->view_dict), std::move(k->view));
    store.viewed.clear();
    std::vector<std::shared_ptr<const CompiledTree>> trees;
    trees.swap(store.retired);
    if (sweep_due()) {
        for (auto it = store.dicts.begin(); it != store.dicts.end();) {
            if (it->second.used >= store.swept_at_call) {
                ++it;
                continue;
            }
            trees.push_back(std::move(it->second.tree));
            it = store.dicts.erase(it);
        }
        store.last = nullptr;
        store.last_knowledge = nullptr;
        store.swept_size = store.dicts.size();
        store.swept_at_call = store.calls;
    }
}

}  // namespace

DictKnowledge *known(PyObject *d) {
    if (d != store.last) {
        auto found = store.dicts.find(d);
        if (found == store.dicts.end()) return nullptr;
        store.last = d;
        store.last_knowledge = &found->second;
    }
    store.last_knowledge->used = store.calls;
    return store.last_knowledge;
}

DictKnowledge &knowledge_of(PyObject *d) {
    if (DictKnowledge *k = known(d)) return *k;
    // Entries are forgotten only when no call is under way, so this one
    // stays valid for the caller.
    DictKnowledge &k = store.dicts[d];
    k.used = store.calls;
    store.last = d;
    store.last_knowledge = &k;
    return k;
}

void set_tree(DictKnowledge &k, std::shared_ptr<const CompiledTree> tree) {
    if (k.tree) store.retired.push_back(std::move(k.tree));
    k.tree = std::move(tree);
}

void keep_view(DictKnowledge &k, PyObject *d, std::shared_ptr<SchemaView> view) {
    if (!k.view_dict) store.viewed.push_back(&k);
    k.view_dict = Ref::borrow(d);
    k.view = std::move(view);
}

ValidationScope::ValidationScope() {
    note_user_code();  // Python code ran before this call
    if (store.depth++ == 0) ++store.calls;
}

ValidationScope::~ValidationScope() {
    if (--store.depth != 0) return;
    if (!store.viewed.empty() || !store.retired.empty() || sweep_due()) settle();
}

bool in_validation() { return store.depth > 0; }

}  // namespace ordalin
