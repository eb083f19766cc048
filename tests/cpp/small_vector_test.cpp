#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "fs/small_vector.hpp"

namespace quorvex::fs {
namespace {

// Counts live instances, so that every construction can be matched with a destruction,
// and copies and moves apart; a moved-from instance holds kMovedFrom.
struct Counted {
    static constexpr int kMovedFrom = -1;
    static inline int live = 0;
    static inline int copies = 0;
    static inline int moves = 0;
    int value = 0;
    Counted() { ++live; }
    explicit Counted(int v) : value(v) { ++live; }
    Counted(const Counted &other) : value(other.value) { ++live, ++copies; }
    Counted(Counted &&other) noexcept : value(std::exchange(other.value, kMovedFrom)) {
        ++live, ++moves;
    }
    Counted &operator=(const Counted &other) {
        value = other.value, ++copies;
        return *this;
    }
    Counted &operator=(Counted &&other) noexcept {
        value = std::exchange(other.value, kMovedFrom), ++moves;
        return *this;
    }
    ~Counted() { --live; }
    friend bool operator==(const Counted &, const Counted &) = default;
    static void reset_counts() { copies = moves = 0; }
};

// Over-aligned, so that the inline storage's offset behind the header matters.
struct alignas(32) Wide {
    int value = 0;
    friend bool operator==(const Wide &, const Wide &) = default;
};

template <class T> T make(int i) {
    if constexpr (std::is_same_v<T, std::string>) {
        return "value number " + std::to_string(i) + " long enough to allocate";
    } else if constexpr (std::is_arithmetic_v<T>) {
        return static_cast<T>(i + 1);
    } else {
        return T{i + 1};
    }
}

template <class V> struct InlineSize;
template <class T, std::size_t N> struct InlineSize<SmallVector<T, N>> {
    static constexpr std::size_t value = N;
};

template <class V> class SmallVectorTest : public testing::Test {
  protected:
    using T = typename V::value_type;
    static constexpr std::size_t kInline = InlineSize<V>::value;

    static V filled(std::size_t count) {
        V v;
        for (std::size_t i = 0; i < count; ++i)
            v.push_back(make<T>(static_cast<int>(i)));
        return v;
    }
    static std::vector<T> items(const V &v) { return std::vector<T>(v.begin(), v.end()); }
    static std::vector<T> expected(std::size_t count) { return items(filled(count)); }

    void TearDown() override { EXPECT_EQ(Counted::live, 0); }
};

using Vectors =
    testing::Types<SmallVector<int, 1>, SmallVector<std::uint8_t, 32>, SmallVector<std::string, 2>,
                   SmallVector<Counted, 3>, SmallVector<Wide, 4>>;
// Test names: the element type and the inline capacity, e.g. SmallVectorTest/String2.
template <class T> constexpr const char *kElementName = nullptr;
template <> constexpr const char *kElementName<int> = "Int";
template <> constexpr const char *kElementName<std::uint8_t> = "Byte";
template <> constexpr const char *kElementName<std::string> = "String";
template <> constexpr const char *kElementName<Counted> = "Counted";
template <> constexpr const char *kElementName<Wide> = "Wide";
struct VectorName {
    template <class V> static std::string GetName(int) {
        return kElementName<typename V::value_type> + std::to_string(InlineSize<V>::value);
    }
};
TYPED_TEST_SUITE(SmallVectorTest, Vectors, VectorName);

TYPED_TEST(SmallVectorTest, StaysInlineUpToItsCapacityThenMovesToTheHeap) {
    TypeParam v;
    const auto *object = reinterpret_cast<const std::byte *>(&v);
    for (std::size_t i = 0; i < this->kInline; ++i) {
        v.push_back(make<typename TestFixture::T>(static_cast<int>(i)));
        EXPECT_TRUE(v.is_small());
    }
    // Inline elements live inside the object and are suitably aligned.
    const auto *first = reinterpret_cast<const std::byte *>(v.data());
    EXPECT_GE(first, object);
    EXPECT_LE(first + this->kInline * sizeof(typename TestFixture::T), object + sizeof(v));
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(first) % alignof(typename TestFixture::T), 0u);

    v.push_back(make<typename TestFixture::T>(static_cast<int>(this->kInline)));
    EXPECT_FALSE(v.is_small());
    EXPECT_GE(v.capacity(), v.size());
    EXPECT_EQ(this->items(v), this->expected(this->kInline + 1));
}

TYPED_TEST(SmallVectorTest, CopiesAndMovesSmallAndLarge) {
    for (const std::size_t count : {std::size_t{0}, this->kInline, this->kInline + 5}) {
        SCOPED_TRACE(count);
        const auto want = this->expected(count);
        TypeParam source = this->filled(count);

        TypeParam copy(source);
        EXPECT_EQ(this->items(copy), want);
        EXPECT_EQ(this->items(source), want);

        TypeParam moved(std::move(source));
        EXPECT_EQ(this->items(moved), want);
        EXPECT_TRUE(source.empty());
        EXPECT_TRUE(source.is_small());
        source.push_back(make<typename TestFixture::T>(0)); // the moved-from vector is usable
        EXPECT_EQ(source.size(), 1u);

        // Assignment over targets that are themselves small or large.
        for (const std::size_t before : {std::size_t{1}, this->kInline + 3}) {
            TypeParam copied = this->filled(before);
            copied = copy;
            EXPECT_EQ(this->items(copied), want);
            TypeParam move_target = this->filled(before);
            move_target = std::move(copied);
            EXPECT_EQ(this->items(move_target), want);
            EXPECT_TRUE(copied.empty());
        }
        copy = static_cast<const TypeParam &>(copy);
        EXPECT_EQ(this->items(copy), want);
    }
}

TYPED_TEST(SmallVectorTest, EraseKeepsOrderAndResizeValueInitialises) {
    using T = typename TestFixture::T;
    TypeParam v = this->filled(this->kInline + 3);
    auto want = this->expected(this->kInline + 3);
    for (const std::size_t at :
         {std::size_t{1}, std::size_t{0}, this->kInline}) { // the last: at end
        EXPECT_EQ(v.erase(v.begin() + at), v.begin() + at);
        want.erase(want.begin() + static_cast<std::ptrdiff_t>(at));
        EXPECT_EQ(this->items(v), want);
    }
    v.resize(1);
    v.resize(this->kInline + 2); // grows back across the inline capacity
    EXPECT_EQ(v[0], want[0]);
    for (std::size_t i = 1; i < v.size(); ++i)
        EXPECT_EQ(v[i], T{});
    v.resize(0);
    EXPECT_TRUE(v.empty());
}

TYPED_TEST(SmallVectorTest, AppendingItsOwnElementsWhileGrowingReadsThemFirst) {
    for (const std::size_t count : {this->kInline, 2 * this->kInline}) {
        TypeParam v = this->filled(count);
        while (v.size() < v.capacity())
            v.push_back(v.back());
        auto want = this->items(v);
        v.push_back(v[0]); // at full capacity: the element lives in the buffer being replaced
        v.emplace_back(v[1]);
        want.push_back(want[0]);
        want.push_back(want[1]);
        EXPECT_EQ(this->items(v), want);
        v.append(v.begin(), v.end()); // the whole vector, onto itself
        const auto before = want;
        want.insert(want.end(), before.begin(), before.end());
        EXPECT_EQ(this->items(v), want);
    }
}

TEST(SmallVectorCountsTest, MovingStealsAHeapBufferAndMovesInlineElements) {
    SmallVector<Counted, 3> large{Counted(1), Counted(2), Counted(3), Counted(4)};
    SmallVector<Counted, 3> small{Counted(5), Counted(6)};
    Counted::reset_counts();
    SmallVector<Counted, 3> stolen(std::move(large));
    EXPECT_EQ(Counted::copies + Counted::moves, 0); // the buffer changed hands
    SmallVector<Counted, 3> moved(std::move(small));
    EXPECT_EQ(Counted::copies, 0);
    EXPECT_EQ(Counted::moves, 2);
    EXPECT_EQ(moved[1].value, 6);
    const SmallVector<Counted, 3> copied(moved);
    EXPECT_EQ(Counted::copies, 2);
    EXPECT_EQ(moved[0].value, 5); // copying leaves the source alone
}

TEST(SmallVectorCountsTest, MoveAssignmentAcrossInlineSizesMayAllocateAndSaysSo) {
    // Only the same-size assignment is noexcept: there a small source always fits.
    static_assert(std::is_nothrow_move_assignable_v<SmallVector<Counted, 3>>);
    static_assert(
        !std::is_nothrow_assignable_v<SmallVectorImpl<Counted> &, SmallVectorImpl<Counted> &&>);
    SmallVector<Counted, 8> wide{Counted(1), Counted(2), Counted(3), Counted(4), Counted(5)};
    SmallVector<Counted, 2> narrow{Counted(9)};
    static_cast<SmallVectorImpl<Counted> &>(narrow) = std::move(wide);
    ASSERT_EQ(narrow.size(), 5u);
    EXPECT_FALSE(narrow.is_small());
    EXPECT_EQ(narrow[4].value, 5);
    EXPECT_TRUE(wide.empty());
}

} // namespace
} // namespace quorvex::fs
