// A lead byte fixes how many continuation bytes follow and the range the first of them must
// lie in (which rules out overlong forms, surrogates and code points above U+10FFFF); the
// later ones are always 0x80..0xBF. When a byte breaks the pattern, the lead and the
// continuation bytes accepted so far form the maximal subpart.
#include "fs/utf8.hpp"

#include <cstdint>

namespace quorvex::fs {
namespace {

struct LeadInfo {
    std::size_t continuations; // 0 for a byte that cannot start any sequence
    std::uint8_t first_low;    // range of the first continuation byte
    std::uint8_t first_high;
    std::uint8_t payload_mask; // the lead's bits that belong to the code point
};

constexpr LeadInfo lead_info(std::uint8_t lead) noexcept {
    if (lead >= 0xC2 && lead <= 0xDF) return {1, 0x80, 0xBF, 0x1F};
    if (lead == 0xE0) return {2, 0xA0, 0xBF, 0x0F};
    if (lead == 0xED) return {2, 0x80, 0x9F, 0x0F};
    if (lead >= 0xE1 && lead <= 0xEF) return {2, 0x80, 0xBF, 0x0F};
    if (lead == 0xF0) return {3, 0x90, 0xBF, 0x07};
    if (lead >= 0xF1 && lead <= 0xF3) return {3, 0x80, 0xBF, 0x07};
    if (lead == 0xF4) return {3, 0x80, 0x8F, 0x07};
    return {0, 0, 0, 0};
}

} // namespace

Utf8Sequence decode_utf8_sequence(std::string_view text) noexcept {
    const auto byte = [&text](std::size_t at) { return static_cast<std::uint8_t>(text[at]); };
    const std::uint8_t lead = byte(0);
    if (lead < 0x80) return {lead, 1, true};
    const LeadInfo info = lead_info(lead);
    if (info.continuations == 0) return {0, 1, false};
    char32_t code_point = lead & info.payload_mask;
    for (std::size_t k = 1; k <= info.continuations; ++k) {
        const std::uint8_t low = k == 1 ? info.first_low : std::uint8_t{0x80};
        const std::uint8_t high = k == 1 ? info.first_high : std::uint8_t{0xBF};
        if (k >= text.size() || byte(k) < low || byte(k) > high) return {0, k, false};
        code_point = (code_point << 6) | (byte(k) & 0x3F);
    }
    return {code_point, info.continuations + 1, true};
}

} // namespace quorvex::fs
