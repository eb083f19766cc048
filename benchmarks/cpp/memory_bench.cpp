// Memory held per node: builds 1,000 directories of 1,000 empty files each (and, in a
// second process, 1,000 directories of 1,000 empty directories each) and reports the growth
// of the resident set divided by the number of nodes made. Also reports what a file of N
// bytes costs beyond its N bytes. Nothing here asserts; it prints figures.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "fs/file_handle.hpp"
#include "fs/file_system.hpp"

namespace {

using namespace quorvex::fs;

constexpr int kDirectories = 1000;
constexpr int kPerDirectory = 1000;

long resident_bytes() {
    long pages = 0, resident = 0;
    std::FILE *statm = std::fopen("/proc/self/statm", "r");
    if (!statm || std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) std::abort();
    std::fclose(statm);
    return resident * sysconf(_SC_PAGESIZE);
}

template <class R> void check(const R &result) {
    if (!result.ok()) std::abort();
}

double bytes_per_node(bool directories) {
    const long before = resident_bytes();
    auto fs = FileSystem::make();
    for (int d = 0; d < kDirectories; ++d) {
        const std::string parent = "/d" + std::to_string(d);
        check(fs->mkdir(parent));
        for (int n = 0; n < kPerDirectory; ++n) {
            const std::string path = parent + "/n" + std::to_string(n);
            check(directories ? fs->mkdir(path) : fs->touch(path));
        }
    }
    const long nodes = static_cast<long>(kDirectories) * (kPerDirectory + 1);
    return static_cast<double>(resident_bytes() - before) / static_cast<double>(nodes);
}

// Bytes beyond the contents for files of `size` bytes written in 64 KiB pieces.
double overhead_per_file(std::size_t size, int files) {
    const std::vector<std::uint8_t> piece(64 * 1024, 0x5a);
    const long before = resident_bytes();
    auto fs = FileSystem::make();
    for (int f = 0; f < files; ++f) {
        auto handle = FileSystem::open(fs, "/f" + std::to_string(f), FileHandleType::write(), true);
        check(handle);
        for (std::size_t at = 0; at < size; at += piece.size()) {
            const std::size_t length = std::min(piece.size(), size - at);
            check(handle->seek(SeekOrigin::Start, static_cast<std::int64_t>(at)));
            check(handle->write({piece.data(), length}));
        }
        check(handle->close());
    }
    const double total = static_cast<double>(resident_bytes() - before);
    return total / files - static_cast<double>(size);
}

// Runs `measure` in a child process, so each figure starts from a fresh heap.
template <class F> void in_child(F measure) {
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        measure();
        std::fflush(stdout);
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
}

} // namespace

int main() {
    std::printf("resident bytes per node, 1,000 directories of 1,000 each:\n");
    in_child([] { std::printf("  empty file       %6.1f\n", bytes_per_node(false)); });
    in_child([] { std::printf("  empty directory  %6.1f\n", bytes_per_node(true)); });
    std::printf("resident bytes per file beyond its contents (written in 64 KiB pieces):\n");
    for (std::size_t size :
         {std::size_t{100'000}, std::size_t{1'000'000}, std::size_t{1'500'000}}) {
        in_child([size] {
            std::printf("  %9zu-byte file  %9.1f\n", size, overhead_per_file(size, 200));
        });
    }
}
