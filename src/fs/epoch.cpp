#include "fs/epoch.hpp"

#include <cstddef>
#include <mutex>
#include <new>
#include <thread>
#include <utility>
#include <vector>

#include "fs/inode.hpp"

namespace quorvex::fs {

// A directory's destructor releases its children, which retire in turn; the drain and the
// collection below free those in a loop, so dropping a deep tree needs no stack per level.
void retire_inode(INode *node) noexcept {
    epoch::retire(node, [](void *object) noexcept { destroy_inode(static_cast<INode *>(object)); });
}

namespace epoch {
namespace detail {
[[gnu::tls_model("initial-exec")]] constinit thread_local Local local{nullptr, 0};
constinit std::atomic<std::uint64_t> global_epoch{0};
} // namespace detail

namespace {

using detail::kActive;

// One thread's announcement. Records are never freed: a thread that ends gives its record
// back for the next new thread, and the list only ever grows at its head.
struct alignas(64) Record {
    std::atomic<std::uint64_t> state{0};
    std::atomic<bool> in_use{true};
    Record *next = nullptr;
};

constinit std::atomic<Record *> records{nullptr};
// Threads holding a record. Only a hint for when a census is worth taking: nothing is
// freed on its word alone.
constinit std::atomic<std::size_t> enrolled{0};

struct Retired {
    void *object;
    void (*destroy)(void *) noexcept;
};

// Objects retired before `epoch` was read (after a full fence).
struct Bag {
    std::uint64_t epoch;
    std::vector<Retired> items;
};

// Bags left by threads that ended while some Guard could still need them. Reachable for
// the process's whole life, so that nothing in them ever counts as leaked.
struct Orphans {
    std::mutex mutex;
    std::vector<Bag> bags;
};
Orphans &orphans() {
    static auto *const left = new Orphans;
    return *left;
}

constexpr std::size_t kBagSize = 64;
// A census reads every other thread's record, and the record's owner then has to take
// the line back for its next Guard: with threads busy side by side, a census at every
// removal costs two cache-line transfers each. So once a census has found another thread
// inside a Guard, which only happens when threads really run at once, a thread takes a
// census only at every kRetirementsPerCensus-th retirement and queues the others, for
// its next kParallelRetirements retirements (each census that finds a reader again
// renews that). Otherwise, and whenever no other thread holds a record, every
// retirement takes its census, so a thread alone, or threads that take turns as under a
// global interpreter lock, free at once.
constexpr unsigned kRetirementsPerCensus = 16;
constexpr unsigned kParallelRetirements = 4096;

// What the records say right after a full fence.
struct Census {
    std::uint64_t epoch;
    bool anyone_active;
    bool all_in_epoch; // every active thread has announced `epoch`
};

Census take_census() noexcept {
    full_fence();
    Census census{detail::global_epoch.load(std::memory_order_acquire), false, true};
    for (Record *record = records.load(std::memory_order_acquire); record; record = record->next) {
        const std::uint64_t state = record->state.load(std::memory_order_acquire);
        if (!(state & kActive)) continue;
        census.anyone_active = true;
        if ((state >> 1) != census.epoch) census.all_in_epoch = false;
    }
    return census;
}

// Whether the objects of a bag sealed in `sealed` may be freed now.
bool expired(std::uint64_t sealed, const Census &census) noexcept {
    return !census.anyone_active || sealed + 2 <= census.epoch;
}

void destroy_all(std::vector<Retired> &items) noexcept {
    for (const Retired &item : items)
        item.destroy(item.object);
    items.clear();
}

// Set once the calling thread's queues have been destroyed.
constinit thread_local bool bags_gone = false;

// Waits until every Guard of another thread that is open now has closed (or opened afresh
// since): whatever was unreachable before the call is then out of every reader's hands.
void wait_for_readers() noexcept {
    full_fence();
    for (Record *record = records.load(std::memory_order_acquire); record; record = record->next) {
        if (&record->state == detail::local.state) continue;
        const std::uint64_t seen = record->state.load(std::memory_order_acquire);
        if (!(seen & kActive)) continue;
        while (record->state.load(std::memory_order_acquire) == seen)
            std::this_thread::yield();
    }
}

class ThreadBags {
  public:
    ~ThreadBags() {
        // The thread is ending: free what can be freed, leave the rest to the others.
        collect();
        if (!pending_.empty() || !sealed_.empty()) {
            try {
                seal();
                std::lock_guard guard(orphans().mutex);
                for (Bag &bag : sealed_)
                    orphans().bags.push_back(std::move(bag));
            } catch (...) {
                wait_for_readers();
                destroy_everything();
            }
        }
        if (detail::local.state) {
            Record *record = owner_of(detail::local.state);
            record->state.store(0, std::memory_order_release);
            record->in_use.store(false, std::memory_order_release);
            enrolled.fetch_sub(1, std::memory_order_relaxed);
            detail::local.state = nullptr;
        }
        bags_gone = true;
    }

    void retire(Retired item) noexcept {
        if (draining_ || collecting_) {
            // Freed by the drain or collection under way: it was reachable only through
            // what is being freed.
            queue_or_destroy(item);
            return;
        }
        if (detail::local.nesting == 0 && census_due()) {
            if (!take_census().anyone_active) {
                // No reader is inside a Guard, and none that enters later can reach it.
                drain(item);
                return;
            }
            parallel_retirements_left_ = kParallelRetirements;
        }
        queue_or_destroy(item);
        if (pending_.size() < kBagSize) return;
        try {
            seal();
        } catch (const std::bad_alloc &) { // NOLINT(bugprone-empty-catch): nothing is lost
            // Keep them pending; the next attempt seals them.
        }
        collect();
    }

    void collect_now() noexcept {
        try {
            seal();
        } catch (const std::bad_alloc &) { // NOLINT(bugprone-empty-catch): collected as pending
        }
        collect();
    }

  private:
    bool census_due() noexcept {
        if (parallel_retirements_left_ == 0) return true;
        --parallel_retirements_left_;
        if (enrolled.load(std::memory_order_relaxed) <= 1) {
            parallel_retirements_left_ = 0;
            return true;
        }
        if (++retirements_since_census_ < kRetirementsPerCensus) return false;
        retirements_since_census_ = 0;
        return true;
    }

    static Record *owner_of(std::atomic<std::uint64_t> *state) noexcept {
        return reinterpret_cast<Record *>(reinterpret_cast<char *>(state) -
                                          offsetof(Record, state));
    }

    void queue_or_destroy(Retired item) noexcept {
        try {
            pending_.push_back(item);
        } catch (const std::bad_alloc &) {
            if (draining_) {
                item.destroy(item.object);
            } else if (detail::local.nesting == 0) {
                wait_for_readers();
                item.destroy(item.object);
            }
            // Inside a Guard of its own the thread cannot wait: the object stays unfreed.
        }
    }

    // Frees `item`, then everything queued here, and what freeing them retires in turn,
    // after a census that found nobody inside a Guard. Iterative, so a deep tree that goes
    // away does not recurse.
    void drain(Retired item) noexcept {
        draining_ = true;
        item.destroy(item.object);
        for (Bag &bag : sealed_)
            destroy_all(bag.items);
        sealed_.clear();
        while (!pending_.empty()) {
            std::vector<Retired> batch = std::move(pending_);
            pending_ = {};
            destroy_all(batch);
        }
        draining_ = false;
    }

    void seal() {
        if (pending_.empty()) return;
        sealed_.reserve(sealed_.size() + 1);
        full_fence();
        const std::uint64_t now = detail::global_epoch.load(std::memory_order_relaxed);
        sealed_.push_back(Bag{now, std::move(pending_)});
        pending_ = {};
    }

    // Frees every bag whose time has come; runs again while freeing retires more (a tree
    // that goes away is freed level by level, with no recursion).
    void collect() noexcept {
        if (collecting_ || detail::local.nesting != 0) return;
        collecting_ = true;
        for (int round = 0; round < 64; ++round) {
            Census census = take_census();
            if (census.anyone_active && census.all_in_epoch) {
                std::uint64_t expected = census.epoch;
                if (detail::global_epoch.compare_exchange_strong(expected, census.epoch + 1,
                                                                 std::memory_order_acq_rel)) {
                    ++census.epoch;
                }
            }
            std::vector<Retired> ready;
            if (!census.anyone_active) {
                // Everything retired before the census is out of every reader's reach.
                ready = std::move(pending_);
                pending_ = {};
            }
            take_expired(sealed_, census, ready);
            take_orphans(census, ready);
            if (ready.empty()) break;
            destroy_all(ready);
            if (pending_.size() < kBagSize && census.anyone_active) break;
            if (pending_.empty()) break;
        }
        collecting_ = false;
    }

    // Frees at once when the list cannot grow, which only costs the batching.
    static void destroy_later(std::vector<Retired> &ready, const Retired &item) noexcept {
        try {
            ready.push_back(item);
        } catch (const std::bad_alloc &) {
            wait_for_readers();
            item.destroy(item.object);
        }
    }

    // Moves the items of every expired bag into `ready` (the first one's whole list when
    // `ready` is still empty) and keeps the other bags, in order.
    static void take_expired(std::vector<Bag> &bags, const Census &census,
                             std::vector<Retired> &ready) noexcept {
        std::size_t kept = 0;
        for (Bag &bag : bags) {
            if (expired(bag.epoch, census)) {
                if (ready.empty()) {
                    ready = std::move(bag.items);
                } else {
                    for (const Retired &item : bag.items)
                        destroy_later(ready, item);
                }
            } else {
                if (&bags[kept] != &bag) bags[kept] = std::move(bag);
                ++kept;
            }
        }
        bags.resize(kept);
    }

    static void take_orphans(const Census &census, std::vector<Retired> &ready) noexcept {
        std::unique_lock guard(orphans().mutex, std::try_to_lock);
        if (guard.owns_lock()) take_expired(orphans().bags, census, ready);
    }

    void destroy_everything() noexcept {
        destroy_all(pending_);
        for (Bag &bag : sealed_)
            destroy_all(bag.items);
        sealed_.clear();
    }

    std::vector<Retired> pending_;
    std::vector<Bag> sealed_;
    bool collecting_ = false;
    bool draining_ = false;
    unsigned parallel_retirements_left_ = 0;
    unsigned retirements_since_census_ = 0;
};

ThreadBags &thread_bags() {
    thread_local ThreadBags bags;
    return bags;
}

// A record that an ended thread gave back, taken for the calling thread; null when none.
Record *reuse_record() noexcept {
    for (Record *record = records.load(std::memory_order_acquire); record; record = record->next) {
        bool free = false;
        if (record->in_use.compare_exchange_strong(free, true, std::memory_order_acquire)) {
            return record;
        }
    }
    return nullptr;
}

Record *add_record() {
    auto *record = new Record;
    record->next = records.load(std::memory_order_relaxed);
    while (!records.compare_exchange_weak(record->next, record, std::memory_order_release,
                                          std::memory_order_relaxed)) {
    }
    return record;
}

} // namespace

void detail::enroll() {
    // The bags are made first, so that they outlive the record's use on this thread.
    thread_bags();
    Record *record = reuse_record();
    if (!record) record = add_record();
    local.state = &record->state;
    enrolled.fetch_add(1, std::memory_order_relaxed);
}

void collect() noexcept {
    if (!bags_gone) thread_bags().collect_now();
}

void retire(void *object, void (*destroy)(void *) noexcept) noexcept {
    if (bags_gone) {
        // The thread's queues are already gone (its last destructors are running): give
        // the readers of the moment their grace period and free at once.
        if (detail::local.nesting != 0) return;
        wait_for_readers();
        destroy(object);
        return;
    }
    thread_bags().retire({object, destroy});
}

} // namespace epoch
} // namespace quorvex::fs
