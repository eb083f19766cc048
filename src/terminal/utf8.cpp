// Lossy UTF-8 decoding with one replacement per maximal ill-formed subsequence.
//
// A lead byte fixes how many continuation bytes follow and the range the first of them must
// lie in (which rules out overlong forms, surrogates and code points above U+10FFFF); the
// later ones are always 0x80..0xBF. When a byte breaks the pattern, the lead and the
// continuation bytes accepted so far form one maximal subpart and are replaced together,
// and decoding resumes at the offending byte, which may itself start a valid sequence.
#include "terminal/utf8.hpp"

#include <cstddef>
#include <string_view>

namespace quorvex::terminal {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

struct LeadInfo {
    std::size_t continuations; // 0 for a byte that cannot start any sequence
    std::uint8_t first_low;    // range of the first continuation byte
    std::uint8_t first_high;
};

constexpr LeadInfo lead_info(std::uint8_t lead) noexcept {
    if (lead >= 0xC2 && lead <= 0xDF) return {1, 0x80, 0xBF};
    if (lead == 0xE0) return {2, 0xA0, 0xBF};
    if (lead == 0xED) return {2, 0x80, 0x9F};
    if (lead >= 0xE1 && lead <= 0xEF) return {2, 0x80, 0xBF};
    if (lead == 0xF0) return {3, 0x90, 0xBF};
    if (lead >= 0xF1 && lead <= 0xF3) return {3, 0x80, 0xBF};
    if (lead == 0xF4) return {3, 0x80, 0x8F};
    return {0, 0, 0};
}

} // namespace

std::string decode_utf8_lossy(std::span<const std::uint8_t> bytes) {
    std::string text;
    text.reserve(bytes.size());
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        const std::uint8_t lead = bytes[pos];
        if (lead < 0x80) {
            text.push_back(static_cast<char>(lead));
            ++pos;
            continue;
        }
        const LeadInfo info = lead_info(lead);
        std::size_t length = 1; // bytes of the sequence accepted so far
        bool complete = info.continuations > 0;
        for (std::size_t k = 1; complete && k <= info.continuations; ++k) {
            const std::size_t at = pos + k;
            const std::uint8_t low = k == 1 ? info.first_low : std::uint8_t{0x80};
            const std::uint8_t high = k == 1 ? info.first_high : std::uint8_t{0xBF};
            if (at >= bytes.size() || bytes[at] < low || bytes[at] > high) {
                complete = false;
            } else {
                ++length;
            }
        }
        if (complete) {
            for (std::size_t k = 0; k < length; ++k)
                text.push_back(static_cast<char>(bytes[pos + k]));
        } else {
            text.append(kReplacement);
        }
        pos += length;
    }
    return text;
}

} // namespace quorvex::terminal
