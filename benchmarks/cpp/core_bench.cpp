// Timings of the file-system core with no interpreter in between. Batch benchmarks
// (creation, listing, removal) report "per_op": the time of one operation of the batch.
// Building and tearing down a batch's file system happens with the clock paused.
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "fs/file_handle.hpp"
#include "fs/file_system.hpp"

namespace {

using namespace quorvex::fs;

constexpr std::size_t kPiece = 64 * 1024;
constexpr int kDeepLevels = 64; // the deepest a node may be

template <class R> void check(const R &result, const char *what) {
    if (!result.ok()) {
        std::fprintf(stderr, "core_bench: %s failed\n", what);
        std::abort();
    }
}

std::vector<std::string> sibling_paths(const std::string &dir, std::int64_t count) {
    std::vector<std::string> paths;
    paths.reserve(static_cast<std::size_t>(count));
    for (std::int64_t i = 0; i < count; ++i)
        paths.push_back(dir + "/n" + std::to_string(i));
    return paths;
}

// "/d/d/.../f": 63 directories and a file at the deepest level allowed.
std::string make_deep_file(FileSystem &fs) {
    std::string path;
    for (int level = 1; level < kDeepLevels; ++level) {
        path += "/d";
        check(fs.mkdir(path), "mkdir");
    }
    path += "/f";
    check(fs.touch(path), "touch");
    return path;
}

// /t holding 100 directories of 99 files each: 10,000 nodes below /t.
void make_tree(FileSystem &fs) {
    check(fs.mkdir("/t"), "mkdir");
    for (int d = 0; d < 100; ++d) {
        const std::string dir = "/t/d" + std::to_string(d);
        check(fs.mkdir(dir), "mkdir");
        for (int f = 0; f < 99; ++f)
            check(fs.touch(dir + "/f" + std::to_string(f)), "touch");
    }
}

void per_op(benchmark::State &state, std::int64_t ops) {
    state.counters["per_op"] =
        benchmark::Counter(static_cast<double>(ops), benchmark::Counter::kIsIterationInvariantRate |
                                                         benchmark::Counter::kInvert);
}

// Creates `count` siblings in a fresh directory with mkdir or touch.
template <Status (FileSystem::*Create)(std::string_view)>
void BM_CreateSiblings(benchmark::State &state) {
    const auto paths = sibling_paths("/w", state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        auto fs = FileSystem::make();
        check(fs->mkdir("/w"), "mkdir");
        state.ResumeTiming();
        for (const auto &path : paths)
            check(((*fs).*Create)(path), "create");
        state.PauseTiming();
        fs.reset();
        state.ResumeTiming();
    }
    per_op(state, state.range(0));
}
BENCHMARK_TEMPLATE(BM_CreateSiblings, &FileSystem::mkdir)
    ->Name("BM_MkdirSiblings")
    ->Arg(1000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_CreateSiblings, &FileSystem::touch)
    ->Name("BM_TouchSiblings")
    ->Arg(1000)
    ->Arg(10000)
    ->Unit(benchmark::kMillisecond);

void BM_ResolveDeep(benchmark::State &state) {
    auto fs = FileSystem::make();
    const std::string path = make_deep_file(*fs);
    for (auto _ : state)
        benchmark::DoNotOptimize(fs->get_inode_by_path_raw(path));
}
BENCHMARK(BM_ResolveDeep);

// Path lookups from several threads at once over one shared tree; items_per_second is the
// threads' combined rate, so scaling shows as that rate against the one-thread run.
// Arg 0: every thread resolves the same file 64 levels deep. Arg 1: each thread resolves
// files of its own directory of /t, so only the root and /t are shared.
void BM_ConcurrentLookup(benchmark::State &state) {
    static const auto shared = [] {
        auto fs = FileSystem::make();
        make_deep_file(*fs);
        make_tree(*fs);
        return fs;
    }();
    std::vector<std::string> paths;
    if (state.range(0) == 0) {
        std::string path;
        for (int level = 1; level < kDeepLevels; ++level)
            path += "/d";
        paths.push_back(path + "/f");
    } else {
        const std::string dir = "/t/d" + std::to_string(state.thread_index() % 100);
        for (int f = 0; f < 99; ++f)
            paths.push_back(dir + "/f" + std::to_string(f));
    }
    std::size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(shared->get_inode_by_path_raw(paths[next]));
        if (++next == paths.size()) next = 0;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ConcurrentLookup)->Arg(0)->Arg(1)->Threads(1)->Threads(2)->Threads(4)->UseRealTime();

// Arg 1: the file sits under the root; arg 64: at the deepest level.
void BM_OpenClose(benchmark::State &state) {
    auto fs = FileSystem::make();
    std::string path = "/f";
    if (state.range(0) > 1)
        path = make_deep_file(*fs);
    else
        check(fs->touch(path), "touch");
    for (auto _ : state) {
        auto handle = FileSystem::open(fs, path, FileHandleType::read(), false);
        check(handle, "open");
        check(handle->close(), "close");
    }
}
BENCHMARK(BM_OpenClose)->Arg(1)->Arg(64);

// open("w") of a new file, a 16-byte write and close, for 1,000 files per batch.
void BM_CreateWriteClose(benchmark::State &state) {
    const auto paths = sibling_paths("/w", state.range(0));
    const std::array<std::uint8_t, 16> bytes{};
    for (auto _ : state) {
        state.PauseTiming();
        auto fs = FileSystem::make();
        check(fs->mkdir("/w"), "mkdir");
        state.ResumeTiming();
        for (const auto &path : paths) {
            auto handle = FileSystem::open(fs, path, FileHandleType::write(), true);
            check(handle, "open");
            check(handle->write(bytes), "write");
            check(handle->close(), "close");
        }
        state.PauseTiming();
        fs.reset();
        state.ResumeTiming();
    }
    per_op(state, state.range(0));
}
BENCHMARK(BM_CreateWriteClose)->Arg(1000)->Unit(benchmark::kMillisecond);

// The argument is the write size: 16 bytes, or a 64 KiB piece (overwriting in place).
void BM_Write(benchmark::State &state) {
    auto fs = FileSystem::make();
    auto handle = FileSystem::open(fs, "/f", FileHandleType::write(), true);
    check(handle, "open");
    const std::vector<std::uint8_t> bytes(static_cast<std::size_t>(state.range(0)), 0x5a);
    for (auto _ : state)
        benchmark::DoNotOptimize(handle->write(bytes));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Write)->Arg(16)->Arg(kPiece);

// Reads a piece of the argument's size from offset 0 (a seek back, then the read).
void BM_Read(benchmark::State &state) {
    auto fs = FileSystem::make();
    {
        auto writer = FileSystem::open(fs, "/f", FileHandleType::write(), true);
        check(writer, "open");
        check(writer->write(std::vector<std::uint8_t>(kPiece, 0x5a)), "write");
        check(writer->close(), "close");
    }
    auto handle = FileSystem::open(fs, "/f", FileHandleType::read(), false);
    check(handle, "open");
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        check(handle->seek(SeekOrigin::Start, 0), "seek");
        benchmark::DoNotOptimize(handle->read(buffer));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Read)->Arg(16)->Arg(kPiece);

void BM_Seek(benchmark::State &state) {
    auto fs = FileSystem::make();
    auto handle = FileSystem::open(fs, "/f", FileHandleType::read(), true);
    check(handle, "open");
    for (auto _ : state)
        benchmark::DoNotOptimize(handle->seek(SeekOrigin::Start, 0));
}
BENCHMARK(BM_Seek);

// What a 64 KiB read or write cannot beat: one plain copy of the piece.
void BM_Memcpy(benchmark::State &state) {
    std::vector<std::uint8_t> from(kPiece, 0x5a), to(kPiece);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), kPiece);
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kPiece));
}
BENCHMARK(BM_Memcpy);

void BM_LsRaw(benchmark::State &state) {
    auto fs = FileSystem::make();
    check(fs->mkdir("/w"), "mkdir");
    for (const auto &path : sibling_paths("/w", state.range(0)))
        check(fs->touch(path), "touch");
    const auto id = fs->get_inode_by_path_raw("/w");
    check(id, "resolve");
    for (auto _ : state)
        benchmark::DoNotOptimize(fs->ls_raw(id.value()));
    per_op(state, state.range(0));
}
BENCHMARK(BM_LsRaw)->Arg(10000)->Unit(benchmark::kMicrosecond);

void BM_RmTree(benchmark::State &state) {
    for (auto _ : state) {
        state.PauseTiming();
        auto fs = FileSystem::make();
        make_tree(*fs);
        state.ResumeTiming();
        check(fs->rm("/t", true), "rm");
        state.PauseTiming();
        fs.reset();
        state.ResumeTiming();
    }
    per_op(state, 10000);
}
BENCHMARK(BM_RmTree)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
