// Turning arbitrary bytes into valid UTF-8 text.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace quorvex::terminal {

// The bytes as UTF-8 text: well-formed sequences are copied, and each maximal ill-formed
// subsequence becomes one U+FFFD REPLACEMENT CHARACTER.
[[nodiscard]] std::string decode_utf8_lossy(std::span<const std::uint8_t> bytes);

} // namespace quorvex::terminal
