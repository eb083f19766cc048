// Arbitrary byte paths against one file system: creation, opening, lookup and removal,
// with the tree's shape checked after every step.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "fs/file_handle.hpp"
#include "fuzz_check.hpp"
#include "terminal/utf8.hpp"

namespace {

using namespace quorvex;
using fs::IoErrorKind;

bool is_directory(const fs::FileSystem &system, fs::InodeId id) {
    auto answer = system.is_directory_raw(id);
    FUZZ_CHECK(answer.ok());
    return *answer;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const auto system = fs::FileSystem::make();
    std::array<std::optional<fs::FileHandle>, 4> handles;
    constexpr std::array<fs::FileHandleType, 3> kModes{
        fs::FileHandleType::empty(), fs::FileHandleType::read(), fs::FileHandleType::write()};

    while (input.remaining_bytes() > 0) {
        const int op = input.ConsumeIntegralInRange(0, 5);
        const std::string path = input.ConsumeRandomLengthString(64);
        const std::uint64_t next_id = system->next_inode_id();
        auto before = system->get_inode_by_path_raw(path);
        switch (op) {
        case 0:
        case 1: {
            const bool directory = op == 0;
            const auto made = directory ? system->mkdir(path) : system->touch(path);
            if (!made.ok()) break;
            // The new node is reachable under the same path, and a second try is refused.
            auto id = system->get_inode_by_path_raw(path);
            FUZZ_CHECK(id.ok() && *id == next_id && is_directory(*system, *id) == directory);
            const auto again = directory ? system->mkdir(path) : system->touch(path);
            FUZZ_CHECK(!again.ok() && again.error().kind() == IoErrorKind::ResourceAlreadyExists);
            break;
        }
        case 2: {
            const auto &mode = kModes[input.ConsumeIntegralInRange<std::size_t>(0, 2)];
            auto handle = fs::FileSystem::open(system, path, mode, input.ConsumeBool());
            if (!handle.ok()) break;
            FUZZ_CHECK(!is_directory(*system, *handle->id()));
            handles[input.ConsumeIntegralInRange<std::size_t>(0, 3)] = std::move(*handle);
            break;
        }
        case 3: {
            // Resolving and rebuilding a path are inverse to each other.
            if (!before.ok()) break;
            auto rebuilt = system->get_path_by_inode(*before);
            FUZZ_CHECK(rebuilt.ok());
            auto id = system->get_inode_by_path_raw(*rebuilt);
            FUZZ_CHECK(id.ok() && *id == *before);
            break;
        }
        case 4: {
            const auto removed = system->rm(path, input.ConsumeBool());
            if (removed.ok() && before.ok() && *before != fs::kRootId) {
                FUZZ_CHECK(system->lookup(*before) == nullptr);
            }
            break;
        }
        case 5: {
            // Names hold any bytes; the rendering escapes whatever is not printable UTF-8.
            const std::string text = system->render();
            const auto *bytes = reinterpret_cast<const std::uint8_t *>(text.data());
            FUZZ_CHECK(terminal::decode_utf8_lossy(std::span(bytes, text.size())) == text);
            for (const char c : text)
                FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20);
            break;
        }
        }
        FUZZ_CHECK(system->next_inode_id() >= next_id);
        quorvex::fuzz::check_tree(*system);
    }
    return 0;
}
