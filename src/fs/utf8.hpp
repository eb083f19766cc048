// Decoding one UTF-8 sequence, the one decoder that the rendering and the terminal share.
#pragma once

#include <cstddef>
#include <string_view>

namespace quorvex::fs {

struct Utf8Sequence {
    char32_t code_point; // meaningful only when well_formed
    // The bytes the sequence spans: when ill-formed, its maximal subpart (the lead byte and
    // the continuation bytes accepted before the offending one), at least 1.
    std::size_t length;
    bool well_formed;
};

// The sequence at the front of `text`, which must not be empty. Overlong forms, surrogates
// and code points above U+10FFFF are ill-formed.
[[nodiscard]] Utf8Sequence decode_utf8_sequence(std::string_view text) noexcept;

} // namespace quorvex::fs
