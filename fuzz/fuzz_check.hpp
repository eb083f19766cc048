// Checks shared by the fuzz targets: a failed check aborts, which libFuzzer reports as a
// crash together with the input that caused it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <string_view>
#include <vector>

#include "fs/file_system.hpp"

#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);          \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)

namespace quorvex::fuzz {

using NodeVisitor = std::function<void(const fs::INode &)>;

// Walks the tree from the root and checks its shape: every child id is in the table, every
// node but the root sits in its parent's child list exactly once, names are valid and
// unique per directory, depth is the parent's plus one, and every entry of the table is
// reachable from the root. `visit` sees each node under the node's shared lock.
inline void check_tree(const fs::FileSystem &system, const NodeVisitor &visit = {}) {
    const fs::INodeRef root = system.lookup(fs::kRootId);
    FUZZ_CHECK(root != nullptr);
    FUZZ_CHECK(root->id == fs::kRootId && root->parent == fs::kRootId && root->depth == 0);
    FUZZ_CHECK(root->name_view().empty());
    std::set<fs::InodeId> seen{fs::kRootId};
    std::vector<fs::INodeRef> pending{root};
    while (!pending.empty()) {
        const fs::INodeRef node = std::move(pending.back());
        pending.pop_back();
        std::shared_lock guard(node->lock);
        FUZZ_CHECK(!node->is_link());
        if (visit) visit(*node);
        const auto *directory = node->as_directory();
        if (directory == nullptr) continue;
        std::set<std::string_view> names;
        for (const fs::InodeId id : directory->children) {
            fs::INodeRef child = system.lookup(id);
            FUZZ_CHECK(child != nullptr);
            FUZZ_CHECK(child->id == id && child->parent == node->id);
            FUZZ_CHECK(child->depth == node->depth + 1 && child->depth <= fs::kMaxDepth);
            FUZZ_CHECK(seen.insert(id).second);
            FUZZ_CHECK(fs::is_acceptable_name(child->name_view()));
            FUZZ_CHECK(names.insert(child->name_view()).second);
            pending.push_back(std::move(child));
        }
    }
    FUZZ_CHECK(seen.size() == system.inode_count());
}

} // namespace quorvex::fuzz
