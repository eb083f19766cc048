// FileHandleType::from_str accepts exactly "", "r", "w", "rw" and "wr".
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fs/file_handle.hpp"
#include "fuzz_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    using quorvex::fs::FileHandleType;
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    const auto mode = FileHandleType::from_str(text);
    const bool accepted =
        text.empty() || text == "r" || text == "w" || text == "rw" || text == "wr";
    FUZZ_CHECK(mode.ok() == accepted);
    if (!mode.ok()) {
        FUZZ_CHECK(mode.error().kind() == quorvex::fs::IoErrorKind::UnrecognizedFileMode);
        return 0;
    }
    FUZZ_CHECK(mode->can_read() == (text.find('r') != std::string_view::npos));
    FUZZ_CHECK(mode->can_write() == (text.find('w') != std::string_view::npos));
    return 0;
}
