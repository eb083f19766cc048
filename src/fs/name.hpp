// A node's name: immutable once made. Up to kInline bytes live inside the object itself;
// a longer name is kept in one heap block. Byte-aligned, so that a node can pack it
// between its other small fields without padding.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

namespace quorvex::fs {

// The bytes that separate a path's components.
inline constexpr std::string_view kSeparators = "/\\";
// Compared byte by byte rather than with find(), which becomes a memchr call on every
// byte of every path, or a table, which holds a register for the whole path walk.
[[nodiscard]] constexpr bool is_separator(char c) noexcept {
    for (const char separator : kSeparators) {
        if (c == separator) return true;
    }
    return false;
}

// Whether c is a separator or '.', in the two comparisons a path walk can afford on every
// component: '.' and '/' are neighbours, so one range test covers both.
[[nodiscard]] constexpr bool is_separator_or_dot(char c) noexcept {
    static_assert(kSeparators == "/\\" && '/' - '.' == 1);
    return static_cast<unsigned char>(c - '.') <= 1 || c == '\\';
}

// The `count` (< 8) bytes at `bytes` as one word, as a little-endian machine would load
// them (byte i in bits 8i to 8i+7 there), in two loads or three instead of one per byte.
[[nodiscard]] inline std::uint64_t short_word(const char *bytes, std::size_t count) noexcept {
    if (count >= 4) {
        std::uint32_t low;
        std::uint32_t high;
        std::memcpy(&low, bytes, 4);
        std::memcpy(&high, bytes + count - 4, 4);
        return low | (std::uint64_t{high} << (8 * (count - 4)));
    }
    if (count == 0) return 0;
    const auto byte = [bytes](std::size_t at) {
        return std::uint64_t{static_cast<unsigned char>(bytes[at])} << (8 * at);
    };
    return byte(0) | byte(count / 2) | byte(count - 1);
}

// Equality without a library call: a call inside the lookup loop would make the compiler
// save and restore the walk's registers around every component, called or not; and for
// names, mostly short, the call costs more than the comparison.
inline bool same_bytes(const char *x, const char *y, std::size_t left) noexcept {
    for (; left >= 8; left -= 8, x += 8, y += 8) {
        std::uint64_t word_x;
        std::uint64_t word_y;
        std::memcpy(&word_x, x, 8);
        std::memcpy(&word_y, y, 8);
        if (word_x != word_y) return false;
    }
    for (; left != 0; --left, ++x, ++y) {
        if (*x != *y) return false;
    }
    return true;
}
[[nodiscard]] inline bool same_text(std::string_view x, std::string_view y) noexcept {
    // Both hold x.size() bytes once the sizes agree.
    // NOLINTNEXTLINE(bugprone-suspicious-stringview-data-usage)
    return x.size() == y.size() && same_bytes(x.data(), y.data(), x.size());
}

class Name {
  public:
    static constexpr std::size_t kInline = 24;

    Name() noexcept = default;
    // Throws std::bad_alloc when a long name finds no memory.
    explicit Name(std::string_view text) {
        if (text.size() <= kInline) {
            copy_short(text.data(), text.size());
            tag_ = static_cast<std::uint8_t>(text.size());
        } else {
            auto *block = new char[text.size()];
            std::memcpy(block, text.data(), text.size());
            const Spilled spilled{block, text.size()};
            std::memcpy(bytes_, &spilled, sizeof spilled);
            tag_ = kSpilled;
        }
    }
    Name(Name &&other) noexcept { steal(other); }
    Name &operator=(Name &&other) noexcept {
        if (this != &other) {
            release();
            steal(other);
        }
        return *this;
    }
    Name(const Name &) = delete;
    Name &operator=(const Name &) = delete;
    ~Name() { release(); }

    [[nodiscard]] std::string_view view() const noexcept {
        if (tag_ != kSpilled) return {bytes_, tag_};
        const Spilled spilled = spilled_block();
        return {spilled.data, spilled.size};
    }
    [[nodiscard]] std::size_t size() const noexcept { return view().size(); }
    // Whether the bytes are stored inline, where inline_bytes() points at them.
    [[nodiscard]] bool is_inline() const noexcept { return tag_ != kSpilled; }
    [[nodiscard]] const char *inline_bytes() const noexcept { return bytes_; }

  private:
    struct Spilled {
        char *data;
        std::size_t size;
    };
    static_assert(sizeof(Spilled) <= kInline);
    static constexpr std::uint8_t kSpilled = 0xff;

    [[nodiscard]] Spilled spilled_block() const noexcept {
        Spilled spilled;
        std::memcpy(&spilled, bytes_, sizeof spilled);
        return spilled;
    }
    // The inline bytes, in fixed-size moves that overlap rather than a call for a length
    // known only now.
    void copy_short(const char *from, std::size_t size) noexcept {
        if (size >= 8) {
            std::memcpy(bytes_, from, 8);
            if (size > 16) std::memcpy(bytes_ + 8, from + 8, 8);
            std::memcpy(bytes_ + size - 8, from + size - 8, 8);
        } else if (size >= 4) {
            std::memcpy(bytes_, from, 4);
            std::memcpy(bytes_ + size - 4, from + size - 4, 4);
        } else if (size > 0) {
            bytes_[0] = from[0];
            bytes_[size / 2] = from[size / 2];
            bytes_[size - 1] = from[size - 1];
        }
    }
    void steal(Name &other) noexcept {
        std::memcpy(bytes_, other.bytes_, sizeof bytes_);
        tag_ = std::exchange(other.tag_, 0);
    }
    void release() noexcept {
        if (tag_ == kSpilled) delete[] spilled_block().data;
        tag_ = 0;
    }

    char bytes_[kInline];
    std::uint8_t tag_ = 0; // the inline length, or kSpilled
};

static_assert(alignof(Name) == 1 && sizeof(Name) == Name::kInline + 1);

} // namespace quorvex::fs
