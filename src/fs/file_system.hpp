// The in-memory file system: inode lookups, path resolution, creation, listing, removal
// and the text rendering of the whole tree.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fs/error.hpp"
#include "fs/function_ref.hpp"
#include "fs/inode.hpp"
#include "fs/inode_table.hpp"
#include "fs/result.hpp"
#include "fs/usage.hpp"

namespace quorvex::fs {

class FileHandle;
class FileHandleType;
struct OpenFlags;

// What stat() tells of a node.
struct NodeStat {
    enum class Kind : std::uint8_t { File, Directory, Symlink };
    Kind kind;
    // Bytes for a file, entries for a directory, 0 for a link.
    std::uint64_t size;
    InodeId id;
    std::int64_t mtime_ns;
    std::int64_t birth_ns;
};

// A directory's entries: the names of its non-directories, then those of its directories,
// each in creation order.
struct Listing {
    std::vector<std::string> files;
    std::vector<std::string> directories;
};

class FileSystem;
// The subtree below `path` as indented text: each directory's subdirectories, each
// followed at once by its own subtree indented two more blanks, then its files; every
// line starts with `prefix` and ends with a newline.
[[nodiscard]] Result<std::string> render_tree(const FileSystem &fs, std::string_view path,
                                              std::string_view prefix = {});

// A path cut at its last separator ("/" or "\"): the part before it and the name after it.
struct SplitPath {
    std::string_view parent;
    std::string_view name;
};
[[nodiscard]] SplitPath split_last_component(std::string_view path) noexcept;
// A name as the rendering shows it: quoted, with anything that would not show escaped.
[[nodiscard]] std::string render_quoted_name(std::string_view name);
// Where one component of a path leads: "" and "." stay at the node reached so far, ".."
// goes up to its parent, and any other name goes down to the entry of that name. Every
// lookup by name follows this rule (the walk without locks spells it out byte by byte).
enum class Step : std::uint8_t { Stay, Up, Down };
[[nodiscard]] constexpr Step step_of(std::string_view component) noexcept {
    if (component.empty() || component == ".") return Step::Stay;
    return component == ".." ? Step::Up : Step::Down;
}
// Whether a name cut from a path by split_last_component, which holds no separator, may
// be a node's name: not empty, not "." or "..".
[[nodiscard]] constexpr bool is_acceptable_last_component(std::string_view name) noexcept {
    return step_of(name) == Step::Down;
}
// Whether a node may be called `name`: not empty, not "." or "..", and no separator in it.
[[nodiscard]] constexpr bool is_acceptable_name(std::string_view name) noexcept {
    if (!is_acceptable_last_component(name)) return false;
    for (const char c : name) {
        if (is_separator(c)) return false;
    }
    return true;
}

class FileSystem {
  public:
    // A new file system holding only the root directory (id 0).
    [[nodiscard]] static std::shared_ptr<FileSystem> make();

    FileSystem(const FileSystem &) = delete;
    FileSystem &operator=(const FileSystem &) = delete;
    // Frees at once every node whose last share goes with the file system.
    ~FileSystem();

    // --- lookups ---------------------------------------------------------------------
    // The id reached after following symbolic links.
    [[nodiscard]] Result<InodeId> get_inode_raw(InodeId id) const;
    // The entry of `name` in a node the caller holds; "", "." and ".." need no directory.
    [[nodiscard]] Result<InodeId> find_inode_by_name_with_handle(const INode &directory,
                                                                 std::string_view name) const;
    [[nodiscard]] Result<InodeId> find_inode_by_name(InodeId directory,
                                                     std::string_view name) const;
    // The one lookup of a name in a node the caller holds, by the rule of step_of: the id
    // the name leads to, with its node pinned when the name leads to it directly (the node
    // itself for "" and "."; a listed entry that is not a link); null for ".." and a link,
    // whose node is found through the table.
    struct Entry {
        InodeId id;
        INodeRef node;
    };
    [[nodiscard]] Result<Entry> find_entry(const INode &directory, std::string_view name) const;
    [[nodiscard]] Result<bool> is_file_raw(InodeId id) const;
    [[nodiscard]] Result<bool> is_directory_raw(InodeId id) const;
    // Resolves a path from the root; "/" and "\" separate, "." and ".." are understood.
    [[nodiscard]] Result<InodeId> get_inode_by_path_raw(std::string_view path) const;
    // The node that get_inode_by_path_raw names, pinned.
    [[nodiscard]] Result<INodeRef> walk(std::string_view path) const;
    // The node's absolute path, "/" for the root.
    [[nodiscard]] Result<std::string> get_path_by_inode(InodeId id) const;

    // --- creation --------------------------------------------------------------------
    [[nodiscard]] Result<InodeId> create_inode(InodeId parent, Name name, INodeKind kind);
    // The one creation path: a new node called `name` in `directory` (links already
    // followed; null when the parent did not resolve), with `parent` recorded as its
    // parent; gives the new node. The checks, first failure reported: the name (no id used
    // up), then, with a new id taken, a missing parent, the name taken, the depth, a parent
    // that is not a directory. The name holds no separator (a name cut from a path; a name
    // given whole is checked for them by create_inode).
    [[nodiscard]] Result<INodeRef> create_in(INode *directory, InodeId parent, Name &&name,
                                             INodeKind &&kind);
    // The kinds are made in place, so that no moved-from temporary is left to destroy.
    [[nodiscard]] Status mkdir(std::string_view path) {
        return make_node(path, INodeKind(std::in_place_type<Directory>));
    }
    [[nodiscard]] Status touch(std::string_view path) {
        return make_node(path, INodeKind(std::in_place_type<File>));
    }
    // Removes one entry from the table and nothing else; an absent id is no error.
    void release_inode_id(InodeId id) { inodes_.erase(id); }

    // --- listing and removal ---------------------------------------------------------
    [[nodiscard]] Result<Listing> ls_raw(InodeId id) const;
    // The listing of ls_raw without the copies: calls `visit(name, is_directory)` for each
    // listed child in child-list order, while the directory is read-locked, and stops early
    // when it returns false. What `visit` may do is set out in fs/locking.hpp.
    [[nodiscard]] Status ls_each(InodeId id, FunctionRef<bool(std::string_view, bool)> visit) const;
    [[nodiscard]] Status rm(std::string_view path, bool recurse);
    [[nodiscard]] Status rm_raw(InodeId id, bool recurse);

    // --- rename ----------------------------------------------------------------------
    // Moves the entry `from` names to the name `to` gives, in one step, as Linux's
    // rename(2) does: into any directory, replacing a file by a file or an empty directory
    // by a directory; renaming an entry onto itself changes nothing. The moved entry
    // becomes the last of its new directory's entries in creation order. A trailing
    // separator on either path asks for a directory. Fails, changing nothing, with
    // InodeNotFound (source or a parent missing), NotADirectory (a parent is a file, a
    // directory onto a file), NotAFile (a file onto a directory), DirectoryIsNotEmpty,
    // InvalidMove (a directory into its own subtree), MaxRecursionDepthExceeded (a node
    // would pass the depth limit) or ResourceCurrentInUse (the root, "." or ".." as either
    // side, or a replaced file that a handle holds).
    [[nodiscard]] Status rename(std::string_view from, std::string_view to);

    // --- opening ---------------------------------------------------------------------
    [[nodiscard]] static Result<FileHandle> open_raw(std::shared_ptr<FileSystem> fs, InodeId inode,
                                                     FileHandleType mode);
    [[nodiscard]] static Result<FileHandle>
    open(std::shared_ptr<FileSystem> fs, std::string_view path, FileHandleType mode, bool create);
    // Opens `path` for a handle that takes no part in the file's lock (FileHandle), so it
    // neither waits for nor refuses any open, removal or replacement. What it does with a
    // missing or existing file is up to `flags`; the path is reached as open() reaches it.
    [[nodiscard]] static Result<FileHandle> open_shared(const std::shared_ptr<FileSystem> &fs,
                                                        std::string_view path,
                                                        const OpenFlags &flags);

    // --- stat, times and limits ------------------------------------------------------
    // The node the path names (links followed); takes no file lock and changes nothing.
    [[nodiscard]] Result<NodeStat> stat(std::string_view path) const;
    [[nodiscard]] static NodeStat stat_node(const INode &node);
    // Sets the modification time of the node the path names.
    [[nodiscard]] Status set_times(std::string_view path, std::int64_t mtime_ns);
    // Limits on the bytes of all files and on the nodes (the root counts); nullopt for
    // none. Refused with NoSpaceLeft, changing neither, when the usage already passes one.
    [[nodiscard]] Status set_limits(std::optional<std::uint64_t> max_bytes,
                                    std::optional<std::uint64_t> max_nodes);
    // The bytes and nodes held, counted until their memory is given back.
    [[nodiscard]] Usage &usage() const noexcept { return pool_->usage(); }

    // --- inspection ------------------------------------------------------------------
    // The one-line structure rendering of every entry, e.g.
    // FileSystem { inodes: {0: INode { ... }}, next_inode_id: 1 }
    [[nodiscard]] std::string render() const;
    [[nodiscard]] std::uint64_t next_inode_id() const noexcept { return next_inode_id_.load(); }
    [[nodiscard]] std::size_t inode_count() const { return inodes_.size(); }
    // Nodes not yet destroyed, in the table or not (a removed file that a shared handle
    // still holds, a node the epoch reclaimer has yet to free).
    [[nodiscard]] std::size_t live_nodes() const noexcept { return pool_->live(); }
    // A handle on the entry of `id`, links not followed; null when absent.
    [[nodiscard]] INodeRef lookup(InodeId id) const { return inodes_.find(id); }
    // Follows links from `id` and returns a handle on the node reached.
    [[nodiscard]] Result<INodeRef> resolve(InodeId id) const;

  private:
    FileSystem();

    // A walk without locks: the node reached (valid inside the caller's epoch guard), a
    // failure that stands, or Undecided when the locked walk has to settle it.
    // Small enough to come back in two registers rather than through memory, which would
    // hold one more register for the whole walk.
    struct FastWalk {
        enum Outcome : std::uint8_t { Reached, Failed, Undecided };
        const INode *node;
        Outcome outcome;
        IoErrorKind error;
    };
    [[nodiscard]] FastWalk walk_unlocked(std::string_view path) const noexcept;
    // walk_unlocked() below the root, for a path that is not empty; out of line, so that
    // the callers' common case, a name directly under the root, stays small. Only the
    // second form keeps the nodes it came down through, for "..".
    template <bool kKeepsAncestors>
    [[nodiscard, gnu::noinline]] static FastWalk descend_unlocked(const INode *root,
                                                                  std::string_view path) noexcept;
    [[nodiscard]] Result<INodeRef> walk_locked(std::string_view path) const;
    // The file that open() reaches, found without locks and pinned, or a failure that
    // stands; nothing when the locked way has to settle it.
    [[nodiscard]] std::optional<Result<INodeRef>> open_unlocked(const SplitPath &split) const;
    // The node that open_shared() reaches (links followed), pinned, made when missing and
    // `flags` create it.
    [[nodiscard]] Result<INodeRef> reach_for_shared(const SplitPath &split, const OpenFlags &flags);
    [[nodiscard]] Status make_node(std::string_view path, INodeKind &&kind);
    // The entry of `directory` whose node (links followed) is called `name`, as listed.
    // The caller holds the directory's lock, either way.
    [[nodiscard]] Result<INode *>
    find_child_locked(const Directory &directory, std::string_view name,
                      std::optional<std::uint32_t> name_hash = std::nullopt) const;
    // The node that `name` leads to from `directory` ("", "." and ".." included), pinned.
    [[nodiscard]] Result<INodeRef> enter(const INode &directory, std::string_view name) const;
    // Whether an entry of the directory whose child list is `children` has the own name
    // `name` (links not followed, so no other node is locked). The caller holds the
    // directory's lock, either way.
    [[nodiscard]] bool has_entry_named_locked(const ChildList &children,
                                              std::string_view name) const;
    // The two phases of removing `node` from `parent`: its contents first (when `recurse`
    // allows), then the node itself.
    [[nodiscard]] Status remove_node(const INodeRef &node, const INodeRef &parent, bool recurse);
    // Phase one for one node: fails when it is gone or, without `recurse`, a directory
    // that is not empty; with `recurse`, shares a directory's children into `children`.
    [[nodiscard]] Status inspect_for_removal(const INodeRef &node, bool recurse,
                                             ChildRefs &children) const;
    // Phase two for one node whose contents are gone: unlinks it (the root only stays).
    [[nodiscard]] Status finish_removal(const INodeRef &node, const INodeRef &parent);
    [[nodiscard]] Status unlink(const INodeRef &node, const INodeRef &parent);
    // Commits a removal to `node` (or a rename to replacing it): claims a file from its
    // handles, or checks that a directory is empty, and marks it unlinked.
    [[nodiscard]] static Status claim_for_unlink(INode &node);
    // Takes the unlinked `node` out of the list of the directory that lists it, starting
    // with `parent`, and out of the table.
    void unlink_claimed(const INodeRef &node, INodeRef parent);
    // rename() once the two directories are reached, under the rename mutex.
    struct RenameSide;
    struct MovingSubtree;
    [[nodiscard]] Status rename_between(const RenameSide &source, const RenameSide &target);
    // The checks and the move itself, with both directories locked; a replaced node is
    // handed back in `replaced`, to leave the table once the locks are let go.
    [[nodiscard]] Status rename_locked(const RenameSide &source, const RenameSide &target,
                                       MovingSubtree &subtree, INodeRef &replaced);
    // Whether `upper` is `lower` or one of its ancestors; for the holder of the rename
    // mutex, under which no parent changes.
    [[nodiscard]] bool is_at_or_above(const INode &upper, const INode &lower) const;
    // Whether a rename locks directory `one` before `other` (locking.hpp, rule 6).
    [[nodiscard]] bool goes_first(const INode &one, const INode &other) const;
    // The memory of the nodes; declared first, so that it is let go of last.
    std::unique_ptr<NodePool, NodePool::Disown> pool_;
    // The root's own share: the root is never destroyed before the file system is.
    INodeRef root_;
    InodeTable inodes_;
    std::atomic<std::uint64_t> next_inode_id_{1};
    // Held by every rename (locking.hpp, rule 6).
    mutable RenameMutex rename_mutex_;
    // The names renames give nodes, made under the rename mutex.
    NameArena names_;
};

} // namespace quorvex::fs
