// A long-running multi-threaded stress of the file system and the terminal.
//
// Worker threads do every operation on overlapping paths: a small scanned directory whose
// few names everybody fights over, a wide directory large enough to be indexed, a chain
// that reaches the depth limit, a data area that no removal touches, and an area where
// files and directories are renamed across directories and depths (into the chain too),
// replace each other and are created inside while they move. Handles pass
// between threads through a shared mailbox. Each file's bytes follow a model kept per id;
// every read made through a readable handle is checked against it while the handle is
// held, since then no writer can be inside the file. Every other round runs with limits
// on bytes and nodes a little above the usage at its start, so that creations, writes and
// extensions race at the edge; now and then an extension to a size no memory can hold
// fails after its bytes were reserved.
//
// A shared area holds append-only logs of fixed, self-checking records, written through
// handles of open_shared (which take no part in the file lock) while other threads remove
// the logs, make them again and open them with open(); such handles are kept across
// removals in a mailbox of their own, so they go on working on detached files.
//
// The run is cut into rounds. At the end of each, the workers stop at a barrier and the
// whole table is checked at rest: every entry reachable from the root exactly once with
// consistent parents and depths (no cycle, nothing cut off), unique names, no removal or
// move marks, every lock word free, every file's bytes equal to its model (a log: every
// record appended to it, intact), the usage equal to the bytes and nodes alive (each
// thread first frees what its epoch queue still holds), and, once every handle is closed,
// no node alive beyond those in the table: a removed file goes with the last shared handle
// on it. A watchdog prints where each thread is, and every thread's stack, when nothing
// has made progress for a while.
//
//   quorvex_stress [--threads N] [--seconds S] [--ops N] [--round-seconds S]
//                  [--hang-seconds S] [--seed N]
// The first failed check ends the run at the next rest. Exit status 0 when no check failed,
// 1 when one did, 2 for bad arguments; a hang aborts after printing the stacks.
#include <algorithm>
#include <atomic>
#include <barrier>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <shared_mutex>
#include <span>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include <execinfo.h>
#include <pthread.h>
#include <unistd.h>

#include "fs/epoch.hpp"
#include "fs/file_handle.hpp"
#include "fs/file_system.hpp"
#include "terminal/terminal.hpp"

// An allocation too large for any memory returns null, which the file system turns into
// std::bad_alloc, instead of ending the run under a sanitizer.
extern "C" __attribute__((used, visibility("default"))) const char *__asan_default_options() {
    return "allocator_may_return_null=1";
}
extern "C" __attribute__((used, visibility("default"))) const char *__tsan_default_options() {
    return "allocator_may_return_null=1";
}

namespace {

using namespace quorvex;
using fs::FileHandle;
using fs::FileHandleType;
using fs::FileSystem;
using fs::InodeId;
using fs::IoErrorKind;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

struct Options {
    int threads = 8;
    double seconds = 10;
    std::uint64_t ops = 0; // 0: no bound but time
    double round_seconds = 2;
    double hang_seconds = 60;
    std::uint64_t seed = 1;
};

constexpr int kMixNames = 6;     // the small, scanned directory: a few hotly fought names
constexpr int kWideNames = 300;  // well past the name index's threshold
constexpr int kChainLength = 63; // /deep is one level down, so the chain ends at depth 64
constexpr int kWholeFiles = 6;   // /data/f*: always rewritten whole, so cat can check them
constexpr int kPatchedFiles = 6; // /data/g*: written piecewise at any offset
constexpr std::size_t kWholeSize = 48;
constexpr std::size_t kMailboxSlots = 16;
constexpr int kSharedFiles = 4;         // /shared/a*: logs appended through shared handles
constexpr std::size_t kRecordSize = 16; // a tag and its check
constexpr int kMoveDirs = 4;            // /move/d*: directories that entries move between
constexpr int kMoveNames = 5;           // the names an entry may take in them

// ---- failures -------------------------------------------------------------------------

std::atomic<std::uint64_t> failures{0};
// Renames that succeeded, and those of them that moved a directory.
std::atomic<std::uint64_t> renames_done{0}, directories_moved{0};
std::mutex report_mutex;

void fail(const std::string &what) {
    if (failures.fetch_add(1) < 20) {
        std::lock_guard guard(report_mutex);
        std::fprintf(stderr, "stress: FAILED: %s\n", what.c_str());
    }
}

template <class R> std::string describe(const R &result) {
    return result ? std::string("ok") : result.error().debug();
}

// Whether this round runs with limits; set only at rest.
std::atomic<bool> limited{false};
// Operations refused at a limit, and extensions that failed after reserving their bytes.
std::atomic<std::uint64_t> refused_for_space{0};
std::atomic<std::uint64_t> failed_after_reserving{0};

// A failure is acceptable when its kind is one of `allowed`; running out of space only
// while limits are set.
template <class R>
bool failed_as(const R &result, std::initializer_list<IoErrorKind> allowed, const char *what) {
    if (result) return false;
    if (result.error().kind() == IoErrorKind::NoSpaceLeft) {
        refused_for_space.fetch_add(1, std::memory_order_relaxed);
        if (!limited) {
            fail(std::string(what) + ": out of space without a limit");
            return true;
        }
    }
    for (IoErrorKind kind : allowed) {
        if (result.error().kind() == kind) return true;
    }
    fail(std::string(what) + ": unexpected " + result.error().debug());
    return true;
}

// ---- the content model ------------------------------------------------------------------

class ContentModel {
  public:
    Bytes get(InodeId id) const {
        std::shared_lock guard(mutex_);
        auto it = bytes_.find(id);
        return it == bytes_.end() ? Bytes() : it->second;
    }
    // Applies a write of `data` at `offset`, as the file system does.
    void write(InodeId id, std::size_t offset, const Bytes &data) {
        std::unique_lock guard(mutex_);
        Bytes &bytes = bytes_[id];
        if (offset + data.size() > bytes.size()) bytes.resize(offset + data.size());
        std::copy(data.begin(), data.end(), bytes.begin() + static_cast<std::ptrdiff_t>(offset));
    }

    void truncate(InodeId id, std::size_t size) {
        std::unique_lock guard(mutex_);
        bytes_[id].resize(size);
    }

  private:
    mutable std::shared_mutex mutex_;
    std::unordered_map<InodeId, Bytes> bytes_;
};

ContentModel model;

// The whole contents of a /data/f* file at one version: ASCII, of a fixed length, and
// every byte derived from the version at its front, so any torn mixture shows.
Bytes whole_contents(std::uint64_t version) {
    std::string text = "v" + std::to_string(version) + ":";
    while (text.size() < kWholeSize)
        text += static_cast<char>('a' + (version * 7 + text.size()) % 26);
    return Bytes(text.begin(), text.end());
}

bool is_whole_contents(std::string_view text) {
    if (text.size() != kWholeSize || text[0] != 'v') return false;
    const auto colon = text.find(':');
    if (colon == std::string_view::npos) return false;
    const std::uint64_t version =
        std::strtoull(std::string(text.substr(1, colon - 1)).c_str(), nullptr, 10);
    const Bytes expected = whole_contents(version);
    return std::equal(text.begin(), text.end(), expected.begin(), expected.end());
}

// ---- the records of the logs ----------------------------------------------------------------

std::uint64_t check_of(std::uint64_t tag) { return (tag * 0x9E3779B97F4A7C15ULL) ^ 0x5BD1E995ULL; }

Bytes make_record(std::uint64_t tag) {
    Bytes record(kRecordSize);
    const std::uint64_t check = check_of(tag);
    std::memcpy(record.data(), &tag, 8);
    std::memcpy(record.data() + 8, &check, 8);
    return record;
}

// Empty when `bytes` is a whole number of intact records, each there once; else what is wrong.
std::string records_problem(const Bytes &bytes) {
    if (bytes.size() % kRecordSize) return "a torn record";
    std::set<std::uint64_t> tags;
    for (std::size_t at = 0; at < bytes.size(); at += kRecordSize) {
        std::uint64_t tag = 0;
        std::uint64_t check = 0;
        std::memcpy(&tag, bytes.data() + at, 8);
        std::memcpy(&check, bytes.data() + at + 8, 8);
        if (check != check_of(tag)) return "an overwritten record";
        if (!tags.insert(tag).second) return "a record twice";
    }
    return {};
}

// ---- the shared state -------------------------------------------------------------------

std::shared_ptr<FileSystem> shared_fs;
std::vector<InodeId> whole_ids, patched_ids;
std::atomic<std::uint64_t> versions[kWholeFiles];

// Handles in transit between threads.
struct Mailbox {
    std::mutex mutex;
    std::vector<std::optional<FileHandle>> slots =
        std::vector<std::optional<FileHandle>>(kMailboxSlots);
} mailbox;

// Handles of open_shared, kept across removals of their files.
Mailbox kept_shared;

// What the logs hold: how many records went into each log's node (a removed log keeps its
// node id), and, per log name, a flag that the removals and the opens with open() of it
// take, so that neither meets the other: only shared handles are then about.
struct Logs {
    std::mutex mutex;
    std::unordered_map<InodeId, std::uint64_t> appended;
    std::atomic<bool> busy[kSharedFiles] = {};
    InodeId directory = 0;
} logs;

std::string log_path(int n) { return "/shared/a" + std::to_string(n); }

std::string mix_name(int n) { return "m" + std::to_string(n); }
std::string move_name(int n) { return "n" + std::to_string(n); }
std::string wide_name(int n) { return "w" + std::to_string(n); }
std::string chain_path(int levels) {
    std::string path = "/deep";
    for (int level = 0; level < levels; ++level)
        path += "/c";
    return path;
}

// ---- watchdog ----------------------------------------------------------------------------

struct alignas(64) WorkerState {
    std::atomic<const char *> doing{"starting"};
    std::atomic<std::uint64_t> ops{0};
    pthread_t thread{};
};

std::vector<WorkerState> workers;

void print_own_stack(int) {
    void *frames[64];
    const int count = backtrace(frames, 64);
    char header[64];
    const int length =
        std::snprintf(header, sizeof header, "--- thread %ld ---\n", static_cast<long>(gettid()));
    if (length > 0) (void)!write(STDERR_FILENO, header, static_cast<std::size_t>(length));
    backtrace_symbols_fd(frames, count, STDERR_FILENO);
}

[[noreturn]] void report_hang(double seconds) {
    std::fprintf(stderr, "stress: HANG: no progress for %.0f s\n", seconds);
    for (std::size_t t = 0; t < workers.size(); ++t)
        std::fprintf(stderr, "  worker %zu: %s (%llu ops)\n", t, workers[t].doing.load(),
                     static_cast<unsigned long long>(workers[t].ops.load()));
    std::fflush(stderr);
    // gdb shows every thread with its frames; without it, each thread prints its own.
    const std::string command =
        "gdb -p " + std::to_string(getpid()) + " -batch -ex 'thread apply all bt' >&2 2>/dev/null";
    if (std::system("command -v gdb >/dev/null 2>&1") != 0 || std::system(command.c_str()) != 0) {
        std::signal(SIGUSR2, print_own_stack);
        for (WorkerState &worker : workers)
            pthread_kill(worker.thread, SIGUSR2);
        std::this_thread::sleep_for(std::chrono::seconds(2));
    }
    std::abort();
}

// ---- one worker ----------------------------------------------------------------------------

class Worker {
  public:
    Worker(int index, std::uint64_t seed)
        : random_(seed), terminal_(shared_fs), state_(workers[static_cast<std::size_t>(index)]),
          index_(index), next_tag_(static_cast<std::uint64_t>(index) << 40) {
        (void)shared_fs->mkdir("/own/t" + std::to_string(index));
    }

    void step() {
        const int choice = pick(100);
        if (choice < 10) {
            move_op();
        } else if (choice < 20) {
            mix_op();
        } else if (choice < 32) {
            wide_op();
        } else if (choice < 42) {
            chain_op();
        } else if (choice < 55) {
            data_op();
        } else if (choice < 65) {
            mailbox_op();
        } else if (choice < 78) {
            terminal_op();
        } else if (choice < 85) {
            held_file_op();
        } else if (choice < 99) {
            log_op();
        } else if (pick(2)) {
            doing("render");
            (void)shared_fs->render();
        } else {
            usage_op();
        }
        state_.ops.fetch_add(1, std::memory_order_relaxed);
    }

    // Ids this worker saw created.
    std::vector<InodeId> created;

  private:
    int pick(int bound) { return std::uniform_int_distribution<int>(0, bound - 1)(random_); }
    void doing(const char *what) { state_.doing.store(what, std::memory_order_relaxed); }

    Bytes random_bytes(std::size_t size) {
        Bytes bytes(size);
        for (auto &byte : bytes)
            byte = static_cast<std::uint8_t>(pick(256));
        return bytes;
    }

    // Creates a node; on success records its id through the parent's listing. Where
    // renames run, the node may have moved on already, so nothing is checked of it.
    void create(const std::string &path, bool directory, bool may_move = false) {
        const auto split = fs::split_last_component(path);
        auto parent = shared_fs->get_inode_by_path_raw(split.parent);
        if (failed_as(parent, {IoErrorKind::InodeNotFound, IoErrorKind::NotADirectory},
                      "resolve parent")) {
            return;
        }
        fs::INodeKind kind = directory ? fs::INodeKind(fs::Directory{}) : fs::INodeKind(fs::File{});
        auto id = shared_fs->create_inode(*parent, fs::make_name(split.name), std::move(kind));
        if (failed_as(id,
                      {IoErrorKind::ResourceAlreadyExists, IoErrorKind::InodeNotFound,
                       IoErrorKind::NotADirectory, IoErrorKind::MaxRecursionDepthExceeded,
                       IoErrorKind::NoSpaceLeft},
                      "create")) {
            return;
        }
        created.push_back(*id);
        if (may_move) return;
        auto node = shared_fs->lookup(*id);
        auto parent_node = shared_fs->lookup(*parent);
        // Both may be gone again already; while held they must agree.
        if (node && parent_node &&
            (node->parent != *parent || node->depth != parent_node->depth + 1 ||
             node->name_view() != split.name)) {
            fail("created node " + std::to_string(*id) + " has wrong parent, depth or name");
        }
    }

    void remove(const std::string &path, bool recurse) {
        (void)failed_as(shared_fs->rm(path, recurse),
                        {IoErrorKind::InodeNotFound, IoErrorKind::NotADirectory,
                         IoErrorKind::DirectoryIsNotEmpty, IoErrorKind::ResourceCurrentInUse},
                        "remove");
    }

    // A lookup by name must give the node of that name, or nothing.
    void look_up(const std::string &directory, const std::string &name) {
        auto dir = shared_fs->get_inode_by_path_raw(directory);
        if (!dir) return;
        auto found = shared_fs->find_inode_by_name(*dir, name);
        if (failed_as(found, {IoErrorKind::InodeNotFound, IoErrorKind::NotADirectory}, "find")) {
            return;
        }
        auto node = shared_fs->lookup(*found);
        if (node && node->name_view() != name) fail("find of " + name + " gave another name");
    }

    void list(const std::string &directory) {
        auto dir = shared_fs->get_inode_by_path_raw(directory);
        if (!dir) return;
        auto listing = shared_fs->ls_raw(*dir);
        if (failed_as(listing, {IoErrorKind::InodeNotFound, IoErrorKind::NotADirectory}, "ls")) {
            return;
        }
        std::set<std::string> names;
        for (const auto *names_of : {&listing->files, &listing->directories}) {
            for (const std::string &name : *names_of) {
                if (!names.insert(name).second)
                    fail("ls of " + directory + " lists " + name + " twice");
            }
        }
    }

    // Reads through a readable handle and compares with the model; the handle is held, so
    // no writer can be inside the file.
    void read_and_check(FileHandle &handle, std::size_t limit) {
        const InodeId id = *handle.id();
        const std::uint64_t offset = handle.offset();
        Bytes buffer(limit);
        auto count = handle.read(buffer);
        if (failed_as(count, {}, "read")) return;
        const Bytes expected = model.get(id);
        const std::size_t start = std::min<std::size_t>(offset, expected.size());
        const std::size_t want = std::min(limit, expected.size() - start);
        if (*count != want ||
            !std::equal(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(want),
                        expected.begin() + static_cast<std::ptrdiff_t>(start))) {
            fail("read of file " + std::to_string(id) + " does not match its model");
        }
    }

    // Writes at the handle's offset and follows the write in the model while the
    // exclusive handle is still held.
    void write_and_record(FileHandle &handle, const Bytes &data) {
        const std::size_t offset = handle.offset();
        auto count = handle.write(data);
        if (failed_as(count, {IoErrorKind::NoSpaceLeft}, "write")) return;
        if (*count != data.size()) fail("write reported a short count");
        model.write(*handle.id(), offset, data);
    }

    void close(FileHandle &handle) {
        try {
            (void)failed_as(handle.close(), {}, "close");
        } catch (const std::exception &error) {
            fail(std::string("close: ") + error.what());
        }
    }

    std::optional<FileHandle> open(const std::string &path, const char *mode, bool create) {
        auto handle =
            FileSystem::open(shared_fs, path, FileHandleType::from_str(mode).value(), create);
        if (failed_as(handle,
                      {IoErrorKind::InodeNotFound, IoErrorKind::NotADirectory,
                       IoErrorKind::NotAFile, IoErrorKind::ResourceCurrentInUse,
                       IoErrorKind::ResourceAlreadyExists, IoErrorKind::MaxRecursionDepthExceeded,
                       IoErrorKind::NoSpaceLeft},
                      "open")) {
            return std::nullopt;
        }
        return std::move(*handle);
    }

    // A short session on a file: a few reads, writes, truncations and seeks.
    void use(FileHandle &handle) {
        for (int i = pick(4); i >= 0; --i) {
            switch (pick(5)) {
            case 0:
                if (handle.type().can_read())
                    read_and_check(handle, static_cast<std::size_t>(pick(80)));
                break;
            case 1:
                if (handle.type().can_write())
                    write_and_record(handle, random_bytes(static_cast<std::size_t>(pick(40))));
                break;
            case 2:
                if (handle.type().can_write()) {
                    const auto size = static_cast<std::size_t>(pick(64));
                    if (!failed_as(handle.truncate(size), {IoErrorKind::NoSpaceLeft}, "truncate")) {
                        model.truncate(*handle.id(), size);
                    }
                }
                break;
            case 3:
                if (handle.type().can_write() && pick(8) == 0) impossible_extension(handle);
                break;
            default:
                (void)failed_as(handle.seek(static_cast<fs::SeekOrigin>(pick(3)),
                                            static_cast<std::uint64_t>(pick(64))),
                                {}, "seek");
            }
        }
    }

    // An extension to more than any memory holds: refused for space under a limit, else
    // failing for memory after its bytes were reserved, which must give them back.
    void impossible_extension(FileHandle &handle) {
        doing("impossible extension");
        try {
            auto extended = handle.truncate(std::uint64_t{1} << 60);
            if (extended || !limited) {
                fail("an extension to 2^60 bytes gave " + describe(extended));
            }
        } catch (const std::bad_alloc &) {
            failed_after_reserving.fetch_add(1, std::memory_order_relaxed);
            if (limited) fail("an extension past the byte limit reached the allocator");
        }
    }

    // Usage never passes a limit, not even for a moment.
    void usage_op() {
        doing("usage");
        const fs::Usage &usage = shared_fs->usage();
        const fs::Usage::Counts limits = usage.limits();
        const fs::Usage::Counts counts = usage.counts();
        if (counts.bytes > limits.bytes || counts.nodes > limits.nodes) {
            fail("usage " + std::to_string(counts.bytes) + " bytes, " +
                 std::to_string(counts.nodes) + " nodes passed a limit");
        }
    }

    // A path in the rename area: /move/dI, then up to two more names.
    std::string move_path(int extra) {
        std::string path = "/move/d" + std::to_string(pick(kMoveDirs));
        for (int level = 0; level < extra; ++level)
            path += "/" + move_name(pick(kMoveNames));
        return path;
    }

    void rename(const std::string &from, const std::string &to) {
        if (failed_as(shared_fs->rename(from, to),
                      {IoErrorKind::InodeNotFound, IoErrorKind::NotADirectory,
                       IoErrorKind::NotAFile, IoErrorKind::DirectoryIsNotEmpty,
                       IoErrorKind::InvalidMove, IoErrorKind::ResourceCurrentInUse,
                       IoErrorKind::MaxRecursionDepthExceeded},
                      "rename")) {
            return;
        }
        renames_done.fetch_add(1, std::memory_order_relaxed);
        const auto moved = id_at(to);
        auto is_directory = moved ? shared_fs->is_directory_raw(*moved) : fs::Result<bool>(false);
        if (is_directory && *is_directory)
            directories_moved.fetch_add(1, std::memory_order_relaxed);
    }

    void move_op() {
        switch (pick(10)) {
        case 0:
        case 1:
            doing("move: rename across directories");
            rename(move_path(1 + pick(2)), move_path(1 + pick(2)));
            break;
        case 2: {
            doing("move: rename a directory into its own subtree");
            const std::string from = move_path(pick(2));
            const std::string to = from + "/" + move_name(pick(kMoveNames)) + "/x";
            auto moved = shared_fs->rename(from, to);
            if (failed_as(moved,
                          {IoErrorKind::InodeNotFound, IoErrorKind::NotADirectory,
                           IoErrorKind::InvalidMove, IoErrorKind::ResourceCurrentInUse},
                          "rename into its own subtree")) {
                break;
            }
            // Another rename may have moved the target's directory out from under `from`
            // meanwhile, and then the move is sound; but no node may be its own ancestor.
            if (const auto id = id_at(to)) {
                auto path = shared_fs->get_path_by_inode(*id);
                if (!path && path.error().kind() == IoErrorKind::MaxRecursionDepthExceeded) {
                    fail("a rename moved " + from + " into its own subtree, to " + to);
                }
            }
            break;
        }
        case 3:
            doing("move: rename to another depth");
            rename(move_path(1), move_path(2));
            rename(move_path(2), move_path(1));
            break;
        case 4: {
            doing("move: rename into the chain");
            const int levels = kChainLength - 6 + pick(7);
            if (pick(2)) {
                rename(move_path(1), chain_path(levels) + "/mv");
            } else {
                rename(chain_path(levels) + "/mv", move_path(1 + pick(2)));
            }
            break;
        }
        case 5:
        case 6:
            doing("move: create inside");
            create(move_path(1 + pick(3)), pick(2), true);
            break;
        case 7:
            doing("move: remove");
            remove(move_path(1 + pick(2)), pick(2));
            break;
        case 8:
            doing("move: mkdir the top");
            create(move_path(0), true, true);
            break;
        default:
            held_replace_op();
        }
    }

    static std::optional<InodeId> id_at(const std::string &path) {
        auto id = shared_fs->get_inode_by_path_raw(path);
        return id ? std::optional<InodeId>(*id) : std::nullopt;
    }

    // A file that a handle holds cannot be replaced; the handle's file is in a directory
    // of this worker's own, which nothing else renames.
    void held_replace_op() {
        doing("move: replace a held file");
        const std::string own = "/own/t" + std::to_string(index_);
        const std::string held = own + "/held";
        const std::string other = own + "/other";
        if (auto made = shared_fs->touch(other); !made) {
            // At a limit there may be no room for it; then there is nothing to replace with.
            if (failed_as(made, {IoErrorKind::ResourceAlreadyExists, IoErrorKind::NoSpaceLeft},
                          "touch own file") &&
                made.error().kind() == IoErrorKind::NoSpaceLeft) {
                return;
            }
        }
        auto handle = open(held, pick(2) ? "w" : "", true);
        if (!handle) return;
        auto replaced = shared_fs->rename(other, held);
        if (replaced || replaced.error().kind() != IoErrorKind::ResourceCurrentInUse) {
            fail("replacing held " + held + " gave " + describe(replaced));
        }
        if (id_at(held) != handle->id()) {
            fail("a failed replace of " + held + " changed what it names");
        }
        use(*handle);
        close(*handle);
        // Now free, it can be replaced, and the replacing file keeps its id.
        const auto other_id = id_at(other);
        if (!failed_as(shared_fs->rename(other, held), {}, "replace own file") &&
            id_at(held) != other_id) {
            fail("the file that replaced " + held + " is not the one renamed");
        }
    }

    void mix_op() {
        const std::string name = "/mix/" + mix_name(pick(kMixNames));
        switch (pick(9)) {
        case 0:
            doing("mix: mkdir");
            create(name, true);
            break;
        case 1:
            doing("mix: touch");
            create(name, false);
            break;
        case 2:
            doing("mix: mkdir inside");
            create(name + "/" + mix_name(pick(kMixNames)), pick(2));
            break;
        case 3:
            doing("mix: remove recursively");
            remove(name, true);
            break;
        case 4:
            doing("mix: remove");
            remove(name, false);
            break;
        case 5:
            doing("mix: find");
            look_up("/mix", mix_name(pick(kMixNames)));
            break;
        case 6:
            doing("mix: ls");
            list("/mix");
            break;
        case 7:
            doing("mix: remove inside");
            remove(name + "/" + mix_name(pick(kMixNames)), pick(2));
            break;
        default: {
            doing("mix: open");
            static const char *const modes[] = {"", "r", "w", "rw"};
            if (auto handle = open(name, modes[pick(4)], pick(2))) {
                use(*handle);
                close(*handle);
            }
        }
        }
    }

    void wide_op() {
        const std::string name = "/wide/" + wide_name(pick(kWideNames));
        switch (pick(7)) {
        case 0:
            doing("wide: touch");
            create(name, false);
            break;
        case 1:
            doing("wide: mkdir");
            create(name, true);
            break;
        case 2:
            doing("wide: remove");
            remove(name, pick(2));
            break;
        case 3:
        case 4:
            doing("wide: find");
            look_up("/wide", wide_name(pick(kWideNames)));
            break;
        case 5:
            doing("wide: ls");
            list("/wide");
            break;
        default:
            doing("wide: open");
            if (auto handle = open(name, pick(2) ? "rw" : "r", true)) {
                use(*handle);
                close(*handle);
            }
        }
    }

    void chain_op() {
        const int levels = 1 + pick(kChainLength + 1); // one past the limit now and then
        const std::string path = chain_path(levels);
        switch (pick(8)) {
        case 0:
        case 1:
        case 2: {
            doing("chain: mkdir");
            const auto split = fs::split_last_component(path);
            auto parent = shared_fs->get_inode_by_path_raw(split.parent);
            auto made = shared_fs->mkdir(path);
            if (parent && levels > kChainLength && made)
                fail("the chain grew past the depth limit");
            (void)failed_as(made,
                            {IoErrorKind::ResourceAlreadyExists, IoErrorKind::InodeNotFound,
                             IoErrorKind::NotADirectory, IoErrorKind::MaxRecursionDepthExceeded,
                             IoErrorKind::NoSpaceLeft},
                            "chain mkdir");
            break;
        }
        case 3:
            doing("chain: touch");
            create(path + "/f", false);
            break;
        case 4:
            // Deep removals only, so that the chain mostly stays long.
            doing("chain: remove");
            if (levels > 40 || pick(8) == 0) remove(path, true);
            break;
        case 5: {
            doing("chain: path of");
            auto id = shared_fs->get_inode_by_path_raw(path);
            if (!id) break;
            auto back = shared_fs->get_path_by_inode(*id);
            if (back && *back != path) fail("path of " + path + " came back as " + *back);
            break;
        }
        case 6:
            doing("chain: ls");
            list(path);
            break;
        default:
            doing("chain: open");
            if (auto handle = open(path + "/f", "rw", false)) {
                use(*handle);
                close(*handle);
            }
        }
    }

    void data_op() {
        if (pick(2)) {
            const int n = pick(kWholeFiles);
            if (pick(3) == 0) {
                doing("data: rewrite whole");
                auto handle = open("/data/f" + std::to_string(n), "w", false);
                if (!handle) return;
                // Written in two pieces with a seek between, so a reader let in beside the
                // writer would see a mixture.
                const Bytes bytes = whole_contents(versions[n].fetch_add(1) + 1);
                const Bytes head(bytes.begin(), bytes.begin() + kWholeSize / 2);
                const Bytes tail(bytes.begin() + kWholeSize / 2, bytes.end());
                write_and_record(*handle, head);
                (void)handle->seek(fs::SeekOrigin::Start, kWholeSize / 2);
                std::this_thread::yield();
                write_and_record(*handle, tail);
                close(*handle);
            } else {
                doing("data: read whole");
                auto handle = open("/data/f" + std::to_string(n), "r", false);
                if (!handle) return;
                read_and_check(*handle, kWholeSize);
                close(*handle);
            }
            return;
        }
        doing("data: patch");
        static const char *const modes[] = {"", "r", "w", "rw"};
        auto handle = open("/data/g" + std::to_string(pick(kPatchedFiles)), modes[pick(4)], false);
        if (!handle) return;
        use(*handle);
        close(*handle);
    }

    void mailbox_op() {
        std::optional<FileHandle> taken;
        const std::size_t slot = static_cast<std::size_t>(pick(kMailboxSlots));
        {
            std::lock_guard guard(mailbox.mutex);
            taken.swap(mailbox.slots[slot]);
        }
        if (!taken) {
            doing("mailbox: open");
            static const char *const modes[] = {"", "r", "w", "rw"};
            const std::string path = pick(2) ? "/data/g" + std::to_string(pick(kPatchedFiles))
                                             : "/wide/" + wide_name(pick(kWideNames));
            taken = open(path, modes[pick(4)], false);
            if (!taken) return;
        }
        doing("mailbox: use a handle of another thread");
        use(*taken);
        if (pick(3) == 0) {
            close(*taken);
            return;
        }
        std::lock_guard guard(mailbox.mutex);
        if (!mailbox.slots[slot]) {
            mailbox.slots[slot] = std::move(taken);
            return;
        }
        // The slot was filled meanwhile; this handle closes as it goes.
        close(*taken);
    }

    // Terminal commands, with the working directory's path followed and compared with pwd.
    void terminal_op() {
        doing("terminal");
        std::string line;
        switch (pick(10)) {
        case 0:
            line = "cd /mix";
            cwd_ = "/mix";
            break;
        case 1:
            line = "cd /deep";
            cwd_ = "/deep";
            break;
        case 2:
            line = "cd /data";
            cwd_ = "/data";
            break;
        case 3:
            line = "cd c";
            break;
        case 4:
            line = "cd ..";
            break;
        case 5:
            line = "pwd";
            break;
        case 6:
            line = "ls";
            break;
        case 7:
            line = pick(2) ? "mkdir " + mix_name(pick(kMixNames))
                           : "touch " + mix_name(pick(kMixNames));
            break;
        case 8:
            line = "cat f" + std::to_string(pick(kWholeFiles));
            break;
        default:
            line = "help";
        }
        auto result = terminal_.run(line);
        if (line == "pwd" && result && *result != cwd_) {
            fail("pwd gave " + *result + " where " + cwd_ + " was expected");
        }
        if (line == "cd c" && result) cwd_ += "/c";
        if (line == "cd .." && result && cwd_ != "/")
            cwd_ = std::string(fs::split_last_component(cwd_).parent);
        if (cwd_.empty()) cwd_ = "/";
        if (line.starts_with("cat ") && result && cwd_ == "/data" && !is_whole_contents(*result)) {
            fail("cat gave a torn file: " + *result);
        }
        // Starting over from the root keeps a terminal from sitting in a removed directory.
        if (!result && line.starts_with("cd")) {
            (void)terminal_.run("cd /");
            cwd_ = "/";
        }
    }

    // While a handle is held, removing the file must fail as in use, and a conflicting
    // open must fail at once.
    void held_file_op() {
        doing("held file");
        const bool in_wide = pick(2);
        const std::string path = in_wide ? "/wide/" + wide_name(pick(kWideNames))
                                         : "/data/g" + std::to_string(pick(kPatchedFiles));
        const bool writing = pick(2);
        auto handle = open(path, writing ? "w" : "r", false);
        if (!handle) return;
        auto removed = shared_fs->rm(path, pick(2));
        if (removed || removed.error().kind() != IoErrorKind::ResourceCurrentInUse) {
            fail("removing held " + path + " gave " + describe(removed));
        }
        auto other = FileSystem::open(shared_fs, path,
                                      FileHandleType::from_str(writing ? "r" : "w").value(), false);
        if (other) {
            fail("a conflicting open of " + path + " succeeded");
        } else if (other.error().kind() != IoErrorKind::ResourceCurrentInUse) {
            fail("a conflicting open of " + path + " gave " + other.error().debug());
        }
        use(*handle);
        close(*handle);
    }

    // ---- the logs, through shared handles ----

    std::optional<FileHandle> open_shared(const std::string &path, const fs::OpenFlags &flags) {
        auto handle = FileSystem::open_shared(shared_fs, path, flags);
        if (failed_as(handle,
                      {IoErrorKind::InodeNotFound, IoErrorKind::ResourceAlreadyExists,
                       IoErrorKind::NoSpaceLeft},
                      "open_shared")) {
            return std::nullopt;
        }
        return std::move(*handle);
    }

    void append_records(FileHandle &handle) {
        for (int i = pick(4); i >= 0; --i) {
            auto count = handle.write_advancing(make_record(next_tag_++));
            if (failed_as(count, {IoErrorKind::NoSpaceLeft}, "append")) return;
            const std::lock_guard guard(logs.mutex);
            ++logs.appended[*handle.id()];
        }
    }

    // The whole log read in one call, which sees it between two appends.
    void check_records(FileHandle &handle) {
        (void)failed_as(handle.seek(fs::SeekOrigin::Start, 0), {}, "seek");
        Bytes bytes;
        auto count = handle.read_with(std::numeric_limits<std::uint64_t>::max(),
                                      [&](std::span<const std::uint8_t> available) {
                                          bytes.assign(available.begin(), available.end());
                                          return true;
                                      });
        if (failed_as(count, {}, "read a log")) return;
        const std::string problem = records_problem(bytes);
        if (!problem.empty()) fail("log " + std::to_string(*handle.id()) + " holds " + problem);
    }

    // Keeps the handle for a later use by any thread, or closes it.
    void keep_or_close(FileHandle &&handle) {
        if (pick(3) != 0) {
            const std::lock_guard guard(kept_shared.mutex);
            auto &slot = kept_shared.slots[static_cast<std::size_t>(pick(kMailboxSlots))];
            if (!slot) {
                slot = std::move(handle);
                return;
            }
        }
        close(handle);
    }

    // `work()` unless another thread is removing or opening with open() the same log.
    template <class Work> void alone_with(int n, Work &&work) {
        bool expected = false;
        if (!logs.busy[n].compare_exchange_strong(expected, true)) return;
        work();
        logs.busy[n].store(false);
    }

    void log_op() {
        const int n = pick(kSharedFiles);
        const std::string path = log_path(n);
        const auto access =
            pick(2) ? FileHandleType::write()
                    : FileHandleType(FileHandleType::kReadBit | FileHandleType::kWriteBit);
        switch (pick(6)) {
        case 0:
            doing("log: append through a new shared handle");
            if (auto handle = open_shared(path, {access, true, false, false, true})) {
                append_records(*handle);
                keep_or_close(std::move(*handle));
            }
            break;
        case 1:
            doing("log: read through a new shared handle");
            if (auto handle = open_shared(path, {FileHandleType::read()})) {
                check_records(*handle);
                keep_or_close(std::move(*handle));
            }
            break;
        case 2:
            // No handle of open() is about, and shared handles never refuse a removal.
            doing("log: remove beside shared handles");
            alone_with(n, [&] {
                (void)failed_as(shared_fs->rm(path, false), {IoErrorKind::InodeNotFound},
                                "remove a log");
            });
            break;
        case 3:
            doing("log: make again, exclusively");
            if (auto handle = open_shared(path, {access, true, true, false, true})) {
                append_records(*handle);
                keep_or_close(std::move(*handle));
            }
            break;
        case 4:
            // Nor do they refuse any open of open().
            doing("log: open beside shared handles");
            alone_with(n, [&] {
                const bool writing = pick(2);
                auto handle = FileSystem::open(
                    shared_fs, path, writing ? FileHandleType::write() : FileHandleType::read(),
                    false);
                if (failed_as(handle, {IoErrorKind::InodeNotFound}, "open a log")) return;
                if (!writing) check_records(*handle);
                close(*handle);
            });
            break;
        default: {
            doing("log: use a kept shared handle");
            std::optional<FileHandle> taken;
            {
                const std::lock_guard guard(kept_shared.mutex);
                taken.swap(kept_shared.slots[static_cast<std::size_t>(pick(kMailboxSlots))]);
            }
            if (!taken) return;
            if (taken->type().can_write()) {
                append_records(*taken);
            }
            if (taken->type().can_read()) check_records(*taken);
            keep_or_close(std::move(*taken));
        }
        }
    }

    std::mt19937_64 random_;
    terminal::Terminal terminal_;
    WorkerState &state_;
    int index_;
    std::string cwd_ = "/";
    std::uint64_t next_tag_;
};

// ---- the checks at rest ---------------------------------------------------------------------

void drain_mailbox() {
    std::lock_guard guard(mailbox.mutex);
    for (auto &slot : mailbox.slots) {
        try {
            if (slot) (void)failed_as(slot->close(), {}, "close");
        } catch (const std::exception &error) {
            fail(std::string("close: ") + error.what());
        }
        slot.reset();
    }
}

// Every kept shared handle, its file (removed or not) checked for every record appended to
// it, then closed: the last close of a removed file frees it.
void drain_kept_shared() {
    std::lock_guard guard(kept_shared.mutex);
    for (auto &slot : kept_shared.slots) {
        if (slot && slot->type().can_read()) {
            Bytes bytes;
            (void)failed_as(slot->seek(fs::SeekOrigin::Start, 0), {}, "seek");
            (void)failed_as(slot->read_with(std::numeric_limits<std::uint64_t>::max(),
                                            [&](std::span<const std::uint8_t> available) {
                                                bytes.assign(available.begin(), available.end());
                                                return true;
                                            }),
                            {}, "read a kept log");
            const std::uint64_t appended = logs.appended[*slot->id()];
            if (bytes.size() != appended * kRecordSize || !records_problem(bytes).empty()) {
                fail("kept log " + std::to_string(*slot->id()) + " holds " +
                     std::to_string(bytes.size()) + " bytes for " + std::to_string(appended) +
                     " records");
            }
        }
        try {
            if (slot) (void)failed_as(slot->close(), {}, "close");
        } catch (const std::exception &error) {
            fail(std::string("close: ") + error.what());
        }
        slot.reset();
    }
}

// Whether the lock word is free: nobody holds it in either way.
bool lock_is_free(fs::NodeLock &lock) {
    if (!lock.try_lock()) return false;
    lock.unlock();
    return true;
}

void check_at_rest(const std::vector<std::vector<InodeId>> &created_per_worker) {
    FileSystem &fs = *shared_fs;
    const auto all = fs.lookup(fs::kRootId);
    if (!all) {
        fail("the root is gone");
        return;
    }
    std::set<InodeId> reached{fs::kRootId};
    std::uint64_t bytes = 0;
    std::vector<fs::INodeRef> work{all};
    while (!work.empty()) {
        fs::INodeRef node = std::move(work.back());
        work.pop_back();
        const std::string where = "node " + std::to_string(node->id);
        if (node->is_unlinked()) fail(where + " is marked as being removed");
        if (node->is_moving()) fail(where + " is still marked as moving");
        if (node->depth > fs::kMaxDepth) fail(where + " lies deeper than the limit");
        if (fs::is_released(*node)) fail(where + " is reachable but released");
        if (!lock_is_free(node->lock)) fail(where + ": its lock word is not free");
        if (auto *file = node->as_file()) {
            if (file->lock.flag() != fs::FileLock::kFree) {
                fail(where + ": its file lock is " + std::to_string(file->lock.flag()));
            }
            const Bytes data(file->data.data.begin(), file->data.data.end());
            bytes += data.size();
            if (node->parent == logs.directory) {
                const std::uint64_t appended = logs.appended[node->id];
                if (data.size() != appended * kRecordSize || !records_problem(data).empty()) {
                    fail(where + ": a log of " + std::to_string(data.size()) + " bytes for " +
                         std::to_string(appended) + " records");
                }
                continue;
            }
            if (data != model.get(node->id)) fail(where + ": its bytes differ from the model");
            continue;
        }
        const auto *directory = node->as_directory();
        if (!directory) continue;
        std::set<std::string_view> names;
        for (auto it = directory->children.begin(); it != directory->children.end(); ++it) {
            fs::INode *child = it.node();
            const std::string at = where + " lists " + std::to_string(child->id);
            if (!reached.insert(child->id).second) fail(at + " which is reached twice");
            if (fs.lookup(child->id).get() != child) fail(at + " which the table does not hold");
            if (child->parent != node->id)
                fail(at + " whose parent is " + std::to_string(child->parent));
            if (child->depth != node->depth + 1) fail(at + " at a wrong depth");
            if (!names.insert(child->name_view()).second) {
                fail(at + " under a duplicate name " + std::string(child->name_view()));
            }
            if (directory->children.indexed() &&
                directory->children.find(child->name_view()) != child) {
                fail(at + " which its name index does not find");
            }
            work.push_back(fs::INodeRef::share(child));
        }
    }
    // A node the walk did not reach is cut off from the root: by a cycle of parents when its
    // parent chain comes back on itself, else by a list that lost it.
    int cut_off = 0;
    for (InodeId id = 0; id < fs.next_inode_id() && cut_off < 5; ++id) {
        fs::INodeRef node = fs.lookup(id);
        if (!node || reached.contains(id)) continue;
        ++cut_off;
        InodeId up = node->parent;
        int steps = 0;
        for (; up != fs::kRootId && up != id && steps <= static_cast<int>(fs::kMaxDepth); ++steps) {
            fs::INodeRef parent = fs.lookup(up);
            if (!parent) break;
            up = parent->parent;
        }
        fail("node " + std::to_string(id) + " is not reachable from the root" +
             (up == id || steps > static_cast<int>(fs::kMaxDepth) ? ": its parents form a cycle"
                                                                  : ""));
    }
    if (reached.size() != fs.inode_count()) {
        fail("the table holds " + std::to_string(fs.inode_count()) + " nodes, " +
             std::to_string(reached.size()) + " of them reachable from the root");
    }
    // No handle is open and every thread has freed what it retired: a node alive beyond
    // the table is a removed file that its last handle failed to free.
    if (fs.live_nodes() != fs.inode_count()) {
        fail(std::to_string(fs.live_nodes() - fs.inode_count()) +
             " nodes alive outside the table with every handle closed");
    }
    // Nothing but the table and the lists holds a node now, and every queue was freed.
    const fs::Usage::Counts usage = fs.usage().counts();
    if (usage.bytes != bytes || usage.nodes != reached.size()) {
        fail("usage says " + std::to_string(usage.bytes) + " bytes and " +
             std::to_string(usage.nodes) + " nodes where " + std::to_string(bytes) + " bytes and " +
             std::to_string(reached.size()) + " nodes are alive");
    }
    std::vector<InodeId> ids;
    for (const auto &created : created_per_worker)
        ids.insert(ids.end(), created.begin(), created.end());
    std::sort(ids.begin(), ids.end());
    if (std::adjacent_find(ids.begin(), ids.end()) != ids.end()) fail("an id was handed out twice");
    if (!ids.empty() && ids.back() >= fs.next_inode_id()) fail("an id beyond the counter");
}

// Every other round races at limits a little above the usage at its start.
void set_limits_for_next_round(int round) {
    const fs::Usage::Counts usage = shared_fs->usage().counts();
    limited = round % 2 == 1;
    const auto status = limited ? shared_fs->set_limits(usage.bytes + 128, usage.nodes + 3)
                                : shared_fs->set_limits(std::nullopt, std::nullopt);
    if (!status) fail("setting the limits for a round gave " + status.error().debug());
}

// ---- set-up and the run -----------------------------------------------------------------------

void build_tree() {
    shared_fs = FileSystem::make();
    FileSystem &fs = *shared_fs;
    for (const char *directory : {"/mix", "/wide", "/deep", "/data", "/shared", "/move", "/own"})
        (void)fs.mkdir(directory);
    logs.directory = fs.get_inode_by_path_raw("/shared").value();
    for (int n = 0; n < kSharedFiles; ++n)
        (void)fs.touch(log_path(n));
    for (int n = 0; n < kMoveDirs; ++n)
        (void)fs.mkdir("/move/d" + std::to_string(n));
    for (int n = 0; n < kWideNames; ++n)
        (void)(n % 3 ? fs.touch("/wide/" + wide_name(n)) : fs.mkdir("/wide/" + wide_name(n)));
    for (int levels = 1; levels <= kChainLength; ++levels)
        (void)fs.mkdir(chain_path(levels));
    for (int n = 0; n < kWholeFiles; ++n) {
        const std::string path = "/data/f" + std::to_string(n);
        (void)fs.touch(path);
        auto handle = FileSystem::open(shared_fs, path, FileHandleType::write(), false).value();
        const Bytes bytes = whole_contents(0);
        (void)handle.write(bytes);
        model.write(*handle.id(), 0, bytes);
        whole_ids.push_back(*handle.id());
    }
    for (int n = 0; n < kPatchedFiles; ++n) {
        const std::string path = "/data/g" + std::to_string(n);
        (void)fs.touch(path);
        patched_ids.push_back(fs.get_inode_by_path_raw(path).value());
    }
}

bool parse(int argc, char **argv, Options &options) {
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        if (i + 1 == argc) return false;
        const char *value = argv[++i];
        if (flag == "--threads") {
            options.threads = std::atoi(value);
        } else if (flag == "--seconds") {
            options.seconds = std::atof(value);
        } else if (flag == "--ops") {
            options.ops = std::strtoull(value, nullptr, 10);
        } else if (flag == "--round-seconds") {
            options.round_seconds = std::atof(value);
        } else if (flag == "--hang-seconds") {
            options.hang_seconds = std::atof(value);
        } else if (flag == "--seed") {
            options.seed = std::strtoull(value, nullptr, 10);
        } else {
            return false;
        }
    }
    return options.threads > 0 && options.seconds > 0 && options.round_seconds > 0;
}

std::uint64_t total_ops() {
    std::uint64_t total = 0;
    for (const WorkerState &worker : workers)
        total += worker.ops.load(std::memory_order_relaxed);
    return total;
}

} // namespace

int main(int argc, char **argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: %s [--threads N] [--seconds S] [--ops N] [--round-seconds S] "
                     "[--hang-seconds S] [--seed N]\n",
                     argv[0]);
        return 2;
    }
    build_tree();
    workers = std::vector<WorkerState>(static_cast<std::size_t>(options.threads));

    const auto start = Clock::now();
    const auto deadline = start + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(options.seconds));
    std::atomic<bool> finished{false};
    std::atomic<bool> round_over{false};
    std::atomic<int> rounds{0};
    std::vector<std::vector<InodeId>> created(static_cast<std::size_t>(options.threads));

    // Everybody meets here at the end of a round and every handle is closed; then each
    // thread frees what its epoch queue holds (nobody is inside a lookup), and they meet
    // again for the checks, which run in the completion step while every worker waits.
    auto close_all = [&]() noexcept {
        drain_mailbox();
        drain_kept_shared();
    };
    std::barrier closing(options.threads, close_all);
    auto at_rest = [&]() noexcept {
        check_at_rest(created);
        set_limits_for_next_round(rounds + 1);
        ++rounds;
        round_over = false;
        // A failure ends the run at this check, so that its first report stays on top.
        if (failures || Clock::now() >= deadline || (options.ops && total_ops() >= options.ops)) {
            finished = true;
        }
    };
    std::barrier meeting(options.threads, at_rest);

    std::vector<std::thread> threads;
    for (int t = 0; t < options.threads; ++t) {
        threads.emplace_back([&, t] {
            Worker worker(t, options.seed * 1000003 + static_cast<std::uint64_t>(t));
            while (!finished) {
                while (!round_over) {
                    try {
                        worker.step();
                    } catch (const std::exception &error) {
                        fail(std::string("exception: ") + error.what());
                    }
                }
                created[static_cast<std::size_t>(t)].insert(
                    created[static_cast<std::size_t>(t)].end(), worker.created.begin(),
                    worker.created.end());
                worker.created.clear();
                workers[static_cast<std::size_t>(t)].doing = "waiting at the end of a round";
                closing.arrive_and_wait();
                fs::epoch::collect();
                meeting.arrive_and_wait();
            }
        });
        workers[static_cast<std::size_t>(t)].thread = threads.back().native_handle();
    }

    // The main thread ends the rounds and watches for a hang.
    auto round_end = Clock::now();
    std::uint64_t last_ops = 0;
    auto last_progress = Clock::now();
    int last_rounds = 0;
    const auto round_length = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(options.round_seconds));
    while (!finished) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const auto now = Clock::now();
        if (!round_over && (failures || now - round_end >= round_length || now >= deadline ||
                            (options.ops && total_ops() >= options.ops))) {
            round_over = true;
            round_end = now;
        }
        const std::uint64_t ops = total_ops();
        if (ops != last_ops || rounds != last_rounds) {
            last_ops = ops;
            last_rounds = rounds;
            last_progress = now;
        } else if (std::chrono::duration<double>(now - last_progress).count() >
                   options.hang_seconds) {
            report_hang(options.hang_seconds);
        }
    }
    for (std::thread &thread : threads)
        thread.join();

    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf(
        "stress: %d threads, %llu operations in %.1f s, %d checks at rest, %llu nodes at the end, "
        "%llu renames (%llu of directories), %llu refused at a limit, %llu failed after reserving, "
        "%llu failures\n",
        options.threads, static_cast<unsigned long long>(total_ops()), seconds, rounds.load(),
        static_cast<unsigned long long>(shared_fs->inode_count()),
        static_cast<unsigned long long>(renames_done.load()),
        static_cast<unsigned long long>(directories_moved.load()),
        static_cast<unsigned long long>(refused_for_space.load()),
        static_cast<unsigned long long>(failed_after_reserving.load()),
        static_cast<unsigned long long>(failures.load()));
    shared_fs.reset();
    return failures ? 1 : 0;
}
