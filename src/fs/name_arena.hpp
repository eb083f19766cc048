// Memory for the names that renames give nodes.
//
// A rename that changes a node's name makes a Name object the node points to from then
// on. Taking each from the heap on its own costs more than the rest of the rename's
// bookkeeping, so names are carved from small chunks instead, one after another, and a
// chunk goes back to the heap when the last name carved from it is destroyed and no
// arena carves from it any more. A name finds its chunk through its slot's position,
// kept in the slot's last byte, so it can be destroyed on any thread, after its file
// system is gone too (a node shared beyond its file system keeps its name).
//
// Slots are not reused: a chunk holds few names, so one long-lived name keeps at most a
// chunk's worth of memory.
//
// Carving is for one thread at a time (the file system's renames hold its rename mutex);
// destroying may happen on any thread at any time.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "fs/name.hpp"

namespace quorvex::fs {

class NameArena {
    struct Chunk;

  public:
    NameArena() noexcept = default;
    NameArena(const NameArena &) = delete;
    NameArena &operator=(const NameArena &) = delete;
    ~NameArena();

    // Destroys a name made by make(), whichever arena made it.
    static void destroy(const Name *name) noexcept;
    struct Destroy {
        void operator()(const Name *name) const noexcept { destroy(name); }
    };
    using Owned = std::unique_ptr<Name, Destroy>;

    // A name holding `text`. Throws std::bad_alloc when no memory is left.
    [[nodiscard]] Owned make(std::string_view text);

  private:
    void open_chunk();

    Chunk *chunk_ = nullptr;
    std::uint32_t next_ = 0;
};

} // namespace quorvex::fs
