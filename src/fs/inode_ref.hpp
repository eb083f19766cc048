// A counted share of an inode.
#pragma once

#include <cstddef>
#include <utility>

namespace quorvex::fs {

struct INode;
class NodePool;

// What a lookup in the inode table hands out: holding one keeps the node alive, never
// locked. The table holds one for every entry, and a directory one for every child it
// lists. The members that touch the count are defined beside INode.
class INodeRef {
  public:
    INodeRef() noexcept = default;
    INodeRef(std::nullptr_t) noexcept {} // NOLINT: implicit, like a null pointer

    template <class... Args> static INodeRef make(Args &&...args);
    // A new node in memory from `pool` (from the heap alone when null).
    template <class... Args> static INodeRef make_in(NodePool *pool, Args &&...args);
    // A further share of a node that some other share keeps alive.
    static INodeRef share(INode *node) noexcept { return INodeRef(node); }
    // A further share of a node that may be losing its last one: null when it already has,
    // for a caller inside an epoch guard that found the node without holding a share.
    static inline INodeRef try_share(INode *node) noexcept;
    // Takes over a share that detach() gave up, without counting it again.
    static INodeRef adopt(INode *node) noexcept {
        INodeRef ref;
        ref.node_ = node;
        return ref;
    }
    // Gives the share up without releasing it, for an owner that keeps it as a bare address.
    [[nodiscard]] INode *detach() noexcept { return std::exchange(node_, nullptr); }
    // Gives up a share kept as a bare address; true when it was the last one, and the
    // node is then the caller's to destroy.
    [[nodiscard]] static inline bool release_was_last(INode *node) noexcept;

    INodeRef(const INodeRef &other) noexcept : INodeRef(other.node_) {}
    INodeRef(INodeRef &&other) noexcept : node_(std::exchange(other.node_, nullptr)) {}
    INodeRef &operator=(INodeRef other) noexcept {
        std::swap(node_, other.node_);
        return *this;
    }
    ~INodeRef() { reset(); }

    inline void reset() noexcept;

    [[nodiscard]] INode *get() const noexcept { return node_; }
    INode *operator->() const noexcept { return node_; }
    INode &operator*() const noexcept { return *node_; }
    explicit operator bool() const noexcept { return node_ != nullptr; }
    friend bool operator==(const INodeRef &a, const INodeRef &b) noexcept = default;
    friend bool operator==(const INodeRef &a, std::nullptr_t) noexcept { return !a.node_; }

  private:
    inline explicit INodeRef(INode *node) noexcept;

    INode *node_ = nullptr;
};

} // namespace quorvex::fs
