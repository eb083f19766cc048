// Lossy UTF-8 decoding with one replacement per maximal ill-formed subsequence: decoding
// resumes at the byte that broke a sequence, which may itself start a valid one.
#include "terminal/utf8.hpp"

#include <cstddef>
#include <string_view>

#include "fs/utf8.hpp"

namespace quorvex::terminal {

std::string decode_utf8_lossy(std::span<const std::uint8_t> bytes) {
    constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
    const std::string_view text(reinterpret_cast<const char *>(bytes.data()), bytes.size());
    std::string decoded;
    decoded.reserve(text.size());
    for (std::size_t pos = 0; pos < text.size();) {
        const fs::Utf8Sequence sequence = fs::decode_utf8_sequence(text.substr(pos));
        if (sequence.well_formed) {
            decoded.append(text.substr(pos, sequence.length));
        } else {
            decoded.append(kReplacement);
        }
        pos += sequence.length;
    }
    return decoded;
}

} // namespace quorvex::terminal
