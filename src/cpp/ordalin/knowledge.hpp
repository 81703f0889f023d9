// What the engine has learnt of each schema dict it validated with, in one
// place: its compiled tree, the facts of its keys, whether its tree of
// dicts holds no Default and no Fallback leaf, and its view.
//
// The knowledge of a dict is shared by every schema object that validates
// with it, so that a wrapper made for one call (`Schema(d).validate(x)`)
// finds the tree an earlier wrapper compiled, and there is no limit on how
// many schemas are known at once.  Each piece carries the dict's change
// stamp from when it was learnt and is used only while the stamp holds.
// The dict itself is not held: holding it would keep a schema alive after
// its user let go of it (and a schema that refers to itself through its
// objects, forever).  It is named by address and stamp, which a new dict
// at a freed one's address never shows.  Knowledge of a dict reported
// freed is forgotten at once; knowledge left unused for long, once the
// entries have doubled since the previous sweep.
#pragma once

#include "schema_view.hpp"

#include <memory>
#include <unordered_map>
#include <vector>

namespace ordalin {

struct CompiledTree;  // plan.cpp

// What is known of one schema dict.
struct DictKnowledge {
    // The compiled tree (null: left to the general walk), for `plan_version`.
    bool plan_known = false;
    uint64_t plan_version = 0;
    uint64_t checked_epoch = 0;  // the tree's checks held in this epoch
    std::shared_ptr<const CompiledTree> tree;
    // Left without a tree for a value that is Code (at `plan_version`),
    // met `code_sightings` times (0: not so left) in the outermost
    // validation `code_call`: the dict is compiled with it once met often
    // or again later, so that a schema dict made for one validation costs
    // no more than the walk that does without a tree.
    uint8_t code_sightings = 0;
    uint64_t code_call = 0;
    // The facts of its keys, for `facts_version`.
    bool facts_known = false;
    uint64_t facts_version = 0;
    KeyFacts facts;
    // Every dict of its tree with its stamp, the dict itself first, when
    // the tree holds no Default and no Fallback leaf; empty when not known.
    std::vector<std::pair<PyObject *, uint64_t>> marker_free;
    // Its keys in priority order, for the general walk (fresh() tells
    // whether it still describes the dict).
    std::shared_ptr<SchemaView> view;
    uint64_t used = 0;      // the outermost validation that last looked it up
    uint32_t used_in = 0;   // how many outermost validations looked it up
};

// The knowledge of `d`, made empty if there is none; never null.  Valid
// until the outermost validation returns.
DictKnowledge &knowledge_of(PyObject *d);
// The knowledge of `d` if there is some.
DictKnowledge *known(PyObject *d);
// Gives `k` the tree `tree`, the one it had being kept until the outermost
// validation returns (it may be walked meanwhile).
void set_tree(DictKnowledge &k, std::shared_ptr<const CompiledTree> tree);
// The watched dict `d` is being freed: what is known of it is forgotten
// once no call is under way (its callers may be using it meanwhile).
// Runs no Python code.
void forget_dict_later(PyObject *d);
// Gives `k` the view `view`, the one it had being kept until the outermost
// validation returns (a walk may be using it).
void keep_view(DictKnowledge &k, std::shared_ptr<SchemaView> view);

}  // namespace ordalin
