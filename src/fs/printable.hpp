#pragma once

namespace quorvex::fs {

// Whether a code point shows as itself: false for controls, format characters,
// surrogates, private-use and unassigned code points, and separators other than the
// ASCII space.
[[nodiscard]] bool is_printable(char32_t code_point) noexcept;

} // namespace quorvex::fs
