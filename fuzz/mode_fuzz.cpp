// Whatever text a mode is parsed from, the handle it opens behaves as the mode says: it
// reads only with READ, writes only with WRITE, and shares the file only without WRITE.
// Parsing does not depend on the order of the letters.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "fs/file_handle.hpp"
#include "fuzz_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    namespace fs = quorvex::fs;
    const std::string text(reinterpret_cast<const char *>(data), size);
    const auto mode = fs::FileHandleType::from_str(text);
    const auto reversed = fs::FileHandleType::from_str(std::string(text.rbegin(), text.rend()));
    FUZZ_CHECK(mode.ok() == reversed.ok());
    if (!mode.ok()) {
        FUZZ_CHECK(mode.error().kind() == fs::IoErrorKind::UnrecognizedFileMode);
        return 0;
    }
    FUZZ_CHECK(mode.value() == reversed.value());

    auto system = fs::FileSystem::make();
    auto first = fs::FileSystem::open(system, "f", mode.value(), true);
    FUZZ_CHECK(first.ok());
    std::uint8_t byte = 'x';
    const auto wrote = first->write(std::span(&byte, 1));
    FUZZ_CHECK(wrote.ok() == mode->can_write());
    const auto read = first->read(std::span(&byte, 1));
    FUZZ_CHECK(read.ok() == mode->can_read());
    if (!read.ok()) FUZZ_CHECK(read.error().kind() == fs::IoErrorKind::OperationNotSupported);
    const auto second = fs::FileSystem::open(system, "f", mode.value(), false);
    FUZZ_CHECK(second.ok() == !mode->can_write());
    return 0;
}
