// A counted share of an inode.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

namespace quorvex::fs {

struct INode;
class NodePool;

// What a lookup in the inode table hands out: holding one keeps the node alive, never
// locked. The table holds one for every entry, and a directory one for every child it
// lists.
//
// A template over the node type only so that this header stands alone: the members reach
// into the node (its count, its memory, its reclamation), and a template's members are
// compiled where they are used, by then with the node's type complete. Node provides
// `refs_` (its share count), `allocate(pool)` and `deallocate(memory)` for its memory,
// and a `retire_inode(Node *)` found beside it, which hands a node whose last share went
// to reclamation.
template <class Node> class SharedNode {
  public:
    SharedNode() noexcept = default;
    SharedNode(std::nullptr_t) noexcept {} // NOLINT: implicit, like a null pointer

    template <class... Args> static SharedNode make(Args &&...args) {
        return make_in(nullptr, std::forward<Args>(args)...);
    }
    // A new node in memory from `pool` (from the heap alone when null).
    template <class... Args> static SharedNode make_in(NodePool *pool, Args &&...args) {
        void *memory = Node::allocate(pool);
        try {
            return SharedNode(new (memory) Node(std::forward<Args>(args)...));
        } catch (...) {
            Node::deallocate(memory);
            throw;
        }
    }
    // A further share of a node that some other share keeps alive.
    static SharedNode share(Node *node) noexcept { return SharedNode(node); }
    // A further share of a node that may be losing its last one: null when it already has,
    // for a caller inside an epoch guard that found the node without holding a share.
    static SharedNode try_share(Node *node) noexcept {
        std::uint32_t count = node->refs_.load(std::memory_order_relaxed);
        while (count != 0) {
            if (node->refs_.compare_exchange_weak(count, count + 1, std::memory_order_relaxed)) {
                return adopt(node);
            }
        }
        return nullptr;
    }
    // Takes over a share that detach() gave up, without counting it again.
    static SharedNode adopt(Node *node) noexcept {
        SharedNode ref;
        ref.node_ = node;
        return ref;
    }
    // Gives the share up without releasing it, for an owner that keeps it as a bare address.
    [[nodiscard]] Node *detach() noexcept { return std::exchange(node_, nullptr); }
    // Gives up a share kept as a bare address; true when it was the last one, and the
    // node is then the caller's to destroy.
    [[nodiscard]] static bool release_was_last(Node *node) noexcept {
        return node->refs_.fetch_sub(1, std::memory_order_acq_rel) == 1;
    }

    SharedNode(const SharedNode &other) noexcept : SharedNode(other.node_) {}
    SharedNode(SharedNode &&other) noexcept : node_(std::exchange(other.node_, nullptr)) {}
    SharedNode &operator=(SharedNode other) noexcept {
        std::swap(node_, other.node_);
        return *this;
    }
    ~SharedNode() { reset(); }

    void reset() noexcept {
        if (node_ && node_->refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            retire_inode(node_);
        }
        node_ = nullptr;
    }

    [[nodiscard]] Node *get() const noexcept { return node_; }
    Node *operator->() const noexcept { return node_; }
    Node &operator*() const noexcept { return *node_; }
    explicit operator bool() const noexcept { return node_ != nullptr; }
    friend bool operator==(const SharedNode &a, const SharedNode &b) noexcept = default;
    friend bool operator==(const SharedNode &a, std::nullptr_t) noexcept { return !a.node_; }

  private:
    explicit SharedNode(Node *node) noexcept : node_(node) {
        if (node_) node_->refs_.fetch_add(1, std::memory_order_relaxed);
    }

    Node *node_ = nullptr;
};

using INodeRef = SharedNode<INode>;

} // namespace quorvex::fs
