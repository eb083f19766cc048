#include "fs/inode.hpp"

#include <new>
#include <vector>

namespace quorvex::fs {
namespace {

// The nodes whose last share went while this thread was already destroying a node.
thread_local std::vector<INode *> *deferred_destructions = nullptr;

} // namespace

// A directory holds a share of every child it lists, so destroying it releases its
// children, and theirs in turn: done directly, that nests one destructor per level and
// needs stack in proportion to the depth of the tree. Instead, a node released while
// another is being destroyed on the same thread is put aside, and the outermost
// destruction deletes what was put aside in a loop. The list lives on the heap, so the
// stack stays the same whatever the depth and fan-out.
void INodeRef::destroy(INode *node) noexcept {
    // Only a directory that still lists children sets off further destructions.
    const auto *directory = std::get_if<Directory>(&node->kind);
    if (!directory || directory->children.empty()) {
        delete node;
        return;
    }
    if (std::vector<INode *> *deferred = deferred_destructions) {
        try {
            deferred->push_back(node);
            return;
        } catch (const std::bad_alloc &) {
            // Without memory to put it aside it goes at once: one level more of nesting,
            // below which the children are put aside again.
        }
        delete node;
        return;
    }
    std::vector<INode *> deferred;
    deferred_destructions = &deferred;
    delete node;
    // In the order they were put aside, which is the order of the child lists.
    for (std::size_t next = 0; next < deferred.size(); ++next)
        delete deferred[next];
    deferred_destructions = nullptr;
}

} // namespace quorvex::fs
