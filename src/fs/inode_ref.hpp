// A counted share of an inode.
#pragma once

#include <cstddef>
#include <utility>

namespace quorvex::fs {

struct INode;

// What a lookup in the inode table hands out: holding one keeps the node alive, never
// locked. The table holds one for every entry, and a directory one for every child it
// lists. The members that touch the count are defined beside INode.
class INodeRef {
  public:
    INodeRef() noexcept = default;
    INodeRef(std::nullptr_t) noexcept {} // NOLINT: implicit, like a null pointer

    template <class... Args> static INodeRef make(Args &&...args);
    // A further share of a node that some other share keeps alive.
    static INodeRef share(INode *node) noexcept { return INodeRef(node); }

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
    // Destroys a node whose last share went, without nesting one destruction per level of
    // the tree below it.
    static void destroy(INode *node) noexcept;

    INode *node_ = nullptr;
};

} // namespace quorvex::fs
