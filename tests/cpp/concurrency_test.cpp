// Many threads on one file system at once, each bounded by a fixed number of iterations.
// The checks run afterwards (or count violations as they go), so that a failure reports
// what went wrong rather than where a thread happened to be.
#include <algorithm>
#include <atomic>
#include <latch>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fs_test_util.hpp"

namespace quorvex::fs {
namespace {

using test::id_of;
using test::Ok;
using K = IoErrorKind;

constexpr int kThreads = 4;

// Runs body(thread index) on kThreads threads released together.
template <class Body> void run_together(Body body) {
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            body(t);
        });
    }
    for (std::thread &thread : threads)
        thread.join();
}

template <class R> bool failed_with_one_of(const R &result, std::initializer_list<K> allowed) {
    if (result.ok()) return false;
    for (K kind : allowed) {
        if (result.error().kind() == kind) return true;
    }
    ADD_FAILURE() << "unexpected " << result.error().debug();
    return true;
}

TEST(ConcurrencyTest, CreatingAndLookingUpInOneDirectory) {
    constexpr int kNames = 64;
    for (int round = 0; round < 20; ++round) {
        auto fs = FileSystem::make();
        ASSERT_TRUE(Ok(fs->mkdir("d")));
        const InodeId d = id_of(*fs, "d");
        std::atomic<int> wins{0}, wrong_lookups{0};
        run_together([&](int t) {
            for (int i = 0; i < kNames; ++i) {
                // Every thread tries every name in the same order, so they race for each.
                INodeKind kind = (i + t) % 2 ? INodeKind(Directory{}) : INodeKind(File{});
                const std::string name = "n" + std::to_string(i);
                wins += !failed_with_one_of(fs->create_inode(d, make_name(name), std::move(kind)),
                                            {K::ResourceAlreadyExists});
                // Whatever a lookup finds must carry the name it was asked for.
                const std::string other = "n" + std::to_string((i * 7 + t) % kNames);
                for (const auto &found :
                     {fs->find_inode_by_name(d, other), fs->get_inode_by_path_raw("/d/" + other)}) {
                    if (!failed_with_one_of(found, {K::InodeNotFound}) &&
                        fs->lookup(found.value())->name_view() != other) {
                        ++wrong_lookups;
                    }
                }
                ASSERT_TRUE(Ok(fs->ls_raw(d)));
            }
        });
        EXPECT_EQ(wins.load(), kNames);
        EXPECT_EQ(wrong_lookups.load(), 0);
        const auto children = test::children_of(*fs, d);
        EXPECT_EQ(std::set<InodeId>(children.begin(), children.end()).size(),
                  static_cast<std::size_t>(kNames));
        const Listing listing = fs->ls_raw(d).value();
        std::set<std::string> names(listing.files.begin(), listing.files.end());
        names.insert(listing.directories.begin(), listing.directories.end());
        EXPECT_EQ(names.size(), static_cast<std::size_t>(kNames));
        EXPECT_EQ(fs->inode_count(), static_cast<std::size_t>(kNames) + 2);
    }
}

TEST(ConcurrencyTest, LockWordAdmitsOneWriterOrManyReaders) {
    constexpr int kIterations = 1000000;
    FileLock lock;
    std::atomic<int> readers{0}, writers{0}, violations{0};
    // A release from a state that the word should never be in counts, rather than ends the run.
    const auto released = [&](FileLock &word, void (FileLock::*release)()) {
        try {
            (word.*release)();
        } catch (const InvariantViolation &) {
            ++violations;
        }
    };
    run_together([&](int t) {
        for (int i = 0; i < kIterations; ++i) {
            if ((i + t) % 3 == 0) {
                if (!lock.try_acquire_exclusive()) continue;
                if (++writers != 1 || readers.load() != 0) ++violations;
                --writers;
                released(lock, &FileLock::release_exclusive);
            } else {
                if (!lock.try_acquire_shared()) continue;
                ++readers;
                if (writers.load() != 0) ++violations;
                --readers;
                released(lock, &FileLock::release_shared);
            }
        }
    });
    EXPECT_EQ(violations.load(), 0);
    EXPECT_EQ(lock.flag(), FileLock::kFree);
}

TEST(ConcurrencyTest, NoWriterEverSharesAFile) {
    constexpr int kFiles = 2;
    constexpr int kIterations = 5000;
    auto fs = FileSystem::make();
    struct Holders {
        std::atomic<int> readers{0};
        std::atomic<int> writers{0};
    };
    Holders holders[kFiles];
    std::atomic<int> violations{0};
    run_together([&](int t) {
        std::minstd_rand random(static_cast<unsigned>(t) + 1);
        const char *modes[] = {"", "r", "r", "w", "rw"};
        for (int i = 0; i < kIterations; ++i) {
            const int file = static_cast<int>(random() % kFiles);
            const FileHandleType mode = test::mode(modes[random() % 5]);
            auto handle = FileSystem::open(fs, "f" + std::to_string(file), mode, true);
            if (failed_with_one_of(handle, {K::ResourceCurrentInUse, K::ResourceAlreadyExists})) {
                continue;
            }
            // The counters move only while the handle is held, so a writer that ever
            // overlapped another holder shows up in them.
            Holders &holder = holders[file];
            if (mode.can_write()) {
                if (++holder.writers != 1 || holder.readers.load() != 0) ++violations;
                const test::Bytes fill(8, static_cast<std::uint8_t>(t * 50 + i % 50));
                ASSERT_TRUE(Ok(handle->write(fill)));
                if (test::contents_of(*fs, *handle->id()) != fill) ++violations;
                --holder.writers;
            } else {
                ++holder.readers;
                if (holder.writers.load() != 0) ++violations;
                test::Bytes first(8), second(8);
                if (mode.can_read() && Ok(handle->read(first)) &&
                    Ok(handle->seek(SeekOrigin::Start, 0)) && Ok(handle->read(second)) &&
                    first != second) {
                    ++violations; // the bytes changed under a reader
                }
                --holder.readers;
            }
            ASSERT_TRUE(Ok(handle->close()));
        }
    });
    EXPECT_EQ(violations.load(), 0);
    for (int file = 0; file < kFiles; ++file) {
        const InodeId id = id_of(*fs, "f" + std::to_string(file));
        EXPECT_EQ(test::flag_of(*fs, id), 0);
        const auto bytes = test::contents_of(*fs, id);
        EXPECT_EQ(std::set<std::uint8_t>(bytes.begin(), bytes.end()).size(), 1u);
    }
}

// After any mix of operations: every child id is in the table under its directory, every
// other node sits in its parent's list exactly once, names are unique per directory, and
// no lock word is left taken.
void check_tree(const FileSystem &fs) {
    std::map<InodeId, INodeRef> nodes;
    for (InodeId id = 0; id < fs.next_inode_id(); ++id) {
        if (INodeRef node = fs.lookup(id)) nodes.emplace(id, std::move(node));
    }
    EXPECT_EQ(nodes.size(), fs.inode_count());
    for (const auto &[id, node] : nodes) {
        SCOPED_TRACE(id);
        EXPECT_FALSE(node->is_unlinked());
        if (const auto *file = node->as_file()) {
            EXPECT_EQ(file->lock.flag(), 0);
        }
        if (const auto *directory = node->as_directory()) {
            std::set<std::string> names;
            for (InodeId child : directory->children) {
                ASSERT_TRUE(nodes.count(child)) << "child " << child;
                EXPECT_EQ(nodes.at(child)->parent, id);
                EXPECT_TRUE(names.emplace(nodes.at(child)->name_view()).second);
            }
        }
        if (id == kRootId) continue;
        ASSERT_TRUE(nodes.count(node->parent)) << "orphan";
        const INode &parent = *nodes.at(node->parent);
        EXPECT_EQ(node->depth, parent.depth + 1);
        const ChildList &siblings = parent.as_directory()->children;
        EXPECT_EQ(std::count(siblings.begin(), siblings.end(), id), 1);
    }
}

TEST(ConcurrencyTest, CreationRacingTheRemovalOfItsParent) {
    constexpr int kIterations = 10000;
    auto fs = FileSystem::make();
    std::atomic<int> created{0};
    run_together([&](int t) {
        const std::string child = "/p/x" + std::to_string(t);
        for (int i = 0; i < kIterations; ++i) {
            (void)failed_with_one_of(fs->mkdir("/p"), {K::ResourceAlreadyExists});
            if (!failed_with_one_of(fs->touch(child),
                                    {K::InodeNotFound, K::ResourceAlreadyExists})) {
                ++created;
            }
            if ((i + t) % 2 == 0) {
                (void)failed_with_one_of(
                    fs->rm("/p", true),
                    {K::InodeNotFound, K::DirectoryIsNotEmpty, K::ResourceCurrentInUse});
            }
        }
    });
    EXPECT_GT(created.load(), 0);
    check_tree(*fs);
}

TEST(ConcurrencyTest, CreatingOpeningListingAndRemovingOverlappingSubtrees) {
    constexpr int kIterations = 5000;
    auto fs = FileSystem::make();
    std::atomic<int> removed{0}, created{0};
    run_together([&](int t) {
        std::minstd_rand random(static_cast<unsigned>(t) * 7919 + 3);
        const auto ok = [](const auto &result) {
            return !failed_with_one_of(result, {K::ResourceAlreadyExists, K::InodeNotFound,
                                                K::NotADirectory, K::NotAFile,
                                                K::ResourceCurrentInUse, K::DirectoryIsNotEmpty});
        };
        std::vector<FileHandle> held; // up to two, closed oldest first
        for (int i = 0; i < kIterations; ++i) {
            // Handles are let go of now and then as well, or two threads holding "/a" and
            // "/b" could block each other's every creation and removal for the whole run.
            if (!held.empty() && random() % 4 == 0) {
                ASSERT_TRUE(Ok(held.front().close()));
                held.erase(held.begin());
            }
            std::string path;
            for (int depth = 1 + static_cast<int>(random() % 3); depth > 0; --depth) {
                path += random() % 2 ? "/a" : "/b";
            }
            switch (random() % 6) {
            case 0:
                created += ok(fs->mkdir(path));
                break;
            case 1:
                created += ok(fs->touch(path));
                break;
            case 2:
                removed += ok(fs->rm(path, random() % 2));
                break;
            case 3:
                if (auto id = fs->get_inode_by_path_raw(path); ok(id)) {
                    (void)ok(fs->ls_raw(*id));
                    (void)ok(fs->get_path_by_inode(*id));
                }
                break;
            case 4:
                (void)fs->render();
                break;
            default:
                static constexpr const char *kModes[] = {"", "r", "w", "rw", "wr"};
                auto handle = FileSystem::open(fs, path, test::mode(kModes[random() % 5]), true);
                if (!ok(handle)) break;
                if (handle->type().can_write()) {
                    ASSERT_TRUE(Ok(handle->write(test::bytes(path))));
                }
                ASSERT_TRUE(Ok(handle->seek(SeekOrigin::Start, random() % 4)));
                if (handle->type().can_read()) {
                    std::uint8_t buffer[8];
                    ASSERT_TRUE(Ok(handle->read(buffer)));
                }
                held.push_back(std::move(*handle));
                if (held.size() > 2) {
                    ASSERT_TRUE(Ok(held.front().close()));
                    held.erase(held.begin());
                }
            }
        }
        for (FileHandle &handle : held)
            ASSERT_TRUE(Ok(handle.close()));
    });
    EXPECT_GT(created.load(), 0);
    EXPECT_GT(removed.load(), 0);
    check_tree(*fs);
    ASSERT_TRUE(Ok(fs->rm("/", true)));
    EXPECT_EQ(fs->inode_count(), 1u);
}

// Lookups that take no lock race creations and removals of siblings, which move a
// directory's list between its inline and heap forms and compact it, and removals of whole
// subtrees on their path, whose nodes are freed meanwhile. A name that stays is always
// found, through ".." too; one that comes and goes is found or missing, never anything else.
TEST(ConcurrencyTest, LookupsWithoutLocksRaceChangesOnTheirPath) {
    auto fs = FileSystem::make();
    ASSERT_TRUE(Ok(fs->mkdir("d")) && Ok(fs->mkdir("d/keep")) && Ok(fs->touch("d/keep/f")));
    const InodeId kept = id_of(*fs, "d/keep/f");
    std::atomic<int> missed{0}, wrong{0};
    run_together([&](int t) {
        for (int i = 0; i < 3000; ++i) {
            if (t == 0) {
                // Siblings before and after "keep": up to 20 entries, then back to one.
                const std::string name = "/d/s" + std::to_string(i % 20);
                if (i % 40 < 20) {
                    ASSERT_TRUE(Ok(fs->mkdir(name)));
                } else {
                    ASSERT_TRUE(Ok(fs->rm(name, true)));
                }
            } else if (t == 1) {
                if (i % 2 == 0) {
                    ASSERT_TRUE(Ok(fs->mkdir("/t")) && Ok(fs->mkdir("/t/a")) &&
                                Ok(fs->touch("/t/a/f")));
                } else {
                    ASSERT_TRUE(Ok(fs->rm("/t", true)));
                }
            } else {
                for (const char *path : {"/d/keep/f", "/d/keep/../keep/./f"}) {
                    const auto found = fs->get_inode_by_path_raw(path);
                    missed += found ? 0 : 1;
                    wrong += found && found.value() != kept ? 1 : 0;
                }
                // Only while s3 exists does a path through it lead anywhere.
                const auto through = fs->get_inode_by_path_raw("d/s3/../keep/f");
                wrong += through ? (through.value() != kept)
                                 : (through.error().kind() != K::InodeNotFound);
                const auto coming = fs->get_inode_by_path_raw("/t/a/f");
                if (!coming) {
                    wrong += coming.error().kind() != K::InodeNotFound;
                } else if (const INodeRef node = fs->lookup(coming.value())) {
                    wrong += node->name_view() != "f";
                }
                auto handle = FileSystem::open(fs, "/d/keep/f", test::mode("r"), false);
                wrong += handle ? 0 : 1;
            }
        }
    });
    EXPECT_EQ(missed.load(), 0);
    EXPECT_EQ(wrong.load(), 0);
}

ChildList::Probed probe(const ChildList &list, std::string_view name,
                        const std::atomic<std::uint32_t> &version) {
    return list.probe(name.data(), name.data() + name.size(), version);
}

// Probes without the lock race a writer that changes one large directory's list under its
// exclusive lock: inserts that grow the entries and the index, removals that close gaps in
// the index and compact the list (the removed nodes are freed meanwhile), and in some
// rounds a link that drops the index. A name that stays is never missing, one never
// created is never found, and whatever is found carries the name asked for.
TEST(ConcurrencyTest, ProbesOfAnIndexedListRaceItsWriter) {
    constexpr int kNames = 300;
    for (int round = 0; round < 4; ++round) {
        INodeRef directory = INodeRef::make(1, kRootId, 1, make_name("d"), Directory{});
        ChildList &list = directory->as_directory()->children;
        InodeId next_id = 2;
        const auto add = [&](const std::string &name, INodeKind kind) {
            INodeRef node = INodeRef::make(next_id++, 1, 2, make_name(name), std::move(kind));
            const std::unique_lock lock(directory->lock);
            const ListChange change(*directory);
            list.append(list.reserve_one(), node.get());
            return node.get();
        };
        add("keep", File{});
        std::atomic<int> wrong{0};
        run_together([&](int t) {
            std::mt19937 random(static_cast<std::uint32_t>(round * kThreads + t));
            if (t == 0) {
                // Each name listed at most once; phases that mostly add or mostly remove.
                std::vector<std::pair<INode *, int>> listed;
                std::vector<bool> present(kNames);
                for (int step = 0; step < 4500; ++step) {
                    if (round % 2 == 1 && step == 2000) add("link", Symlink{});
                    const int name = static_cast<int>(random() % kNames);
                    const bool adding = step / 500 % 2 == 0 ? random() % 4 != 0 : random() % 4 == 0;
                    if ((adding || listed.empty()) && !present[name]) {
                        listed.emplace_back(add("n" + std::to_string(name), File{}), name);
                        present[name] = true;
                    } else if (!adding && !listed.empty()) {
                        const std::size_t at = random() % listed.size();
                        const std::unique_lock lock(directory->lock);
                        const ListChange change(*directory);
                        list.remove(listed[at].first);
                        present[listed[at].second] = false;
                        listed.erase(listed.begin() + static_cast<std::ptrdiff_t>(at));
                    }
                }
                return;
            }
            for (int step = 0; step < 20000; ++step) {
                const std::uint32_t pick = random() % (kNames + 2);
                const std::string name = pick == kNames       ? "keep"
                                         : pick == kNames + 1 ? "absent"
                                                              : "n" + std::to_string(pick);
                const epoch::Guard guard;
                const auto probed = probe(list, name, directory->version);
                switch (probed.outcome) {
                case ChildList::Probe::Found:
                    wrong += probed.node->name_view() != name || name == "absent";
                    break;
                case ChildList::Probe::Missing:
                    wrong += name == "keep";
                    break;
                case ChildList::Probe::Undecided:
                    break;
                }
            }
        });
        EXPECT_EQ(wrong.load(), 0) << round;
        // Once the writer is done (adding, last), the lock-free answer is the locked one.
        ASSERT_EQ(list.indexed(), round % 2 == 0);
        const epoch::Guard guard;
        EXPECT_EQ(probe(list, "keep", directory->version).outcome, ChildList::Probe::Found);
        // A scan gives up at the link, which lies before "absent" could be anywhere.
        EXPECT_EQ(probe(list, "absent", directory->version).outcome,
                  round % 2 == 0 ? ChildList::Probe::Missing : ChildList::Probe::Undecided);
    }
}

} // namespace
} // namespace quorvex::fs
