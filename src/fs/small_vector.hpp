// A vector that keeps its first N elements inside the object itself.
//
// The layout follows LLVM's SmallVector: SmallVectorImpl<T> holds the pointer, size and
// capacity and every operation, so signatures never mention N; SmallVector<T, N> only adds
// the inline storage directly behind that header. The vector is "small" while its pointer
// still points at that storage.
#pragma once

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <new>
#include <span>
#include <type_traits>
#include <utility>

namespace quorvex::fs {

template <class T> class SmallVectorImpl {
  public:
    using value_type = T;
    using size_type = std::size_t;
    using iterator = T *;
    using const_iterator = const T *;

    SmallVectorImpl(const SmallVectorImpl &) = delete;
    SmallVectorImpl &operator=(const SmallVectorImpl &other) {
        if (this != &other) assign(other.begin(), other.end());
        return *this;
    }
    // Between vectors of different inline sizes this may allocate (a small source can hold
    // more than this vector's inline capacity), so it is not noexcept; SmallVector<T, N>'s
    // own move-assignment, whose source never outgrows this vector's capacity, is.
    // NOLINTNEXTLINE(performance-noexcept-move-constructor): see above
    SmallVectorImpl &operator=(SmallVectorImpl &&other) {
        if (this == &other) return *this;
        if (!other.is_small()) {
            destroy_all();
            free_heap();
            data_ = std::exchange(other.data_, other.inline_begin());
            size_ = std::exchange(other.size_, 0);
            capacity_ = std::exchange(other.capacity_, other.inline_capacity_);
            return *this;
        }
        clear();
        reserve(other.size_);
        std::uninitialized_move(other.begin(), other.end(), data_);
        size_ = other.size_;
        other.clear();
        return *this;
    }

    [[nodiscard]] bool is_small() const noexcept { return data_ == inline_begin(); }
    [[nodiscard]] size_type size() const noexcept { return size_; }
    [[nodiscard]] size_type capacity() const noexcept { return capacity_; }
    [[nodiscard]] bool empty() const noexcept { return size_ == 0; }

    T *data() noexcept { return data_; }
    const T *data() const noexcept { return data_; }
    iterator begin() noexcept { return data_; }
    iterator end() noexcept { return data_ + size_; }
    const_iterator begin() const noexcept { return data_; }
    const_iterator end() const noexcept { return data_ + size_; }
    T &operator[](size_type i) noexcept { return assert(i < size_), data_[i]; }
    const T &operator[](size_type i) const noexcept { return assert(i < size_), data_[i]; }
    T &front() noexcept { return (*this)[0]; }
    T &back() noexcept { return (*this)[size_ - 1]; }
    const T &back() const noexcept { return (*this)[size_ - 1]; }

    operator std::span<T>() noexcept { return {data_, size_}; }             // NOLINT
    operator std::span<const T>() const noexcept { return {data_, size_}; } // NOLINT

    void reserve(size_type wanted) {
        if (wanted > capacity_) grow(wanted);
    }

    // The arguments may refer to elements of this vector (push_back(v[0])): when full, the
    // new element is made in the fresh buffer before the old one is let go.
    template <class... Args> T &emplace_back(Args &&...args) {
        if (size_ == capacity_) return grow_and_emplace_back(std::forward<Args>(args)...);
        T *slot = ::new (static_cast<void *>(data_ + size_)) T(std::forward<Args>(args)...);
        ++size_;
        return *slot;
    }
    void push_back(const T &value) { emplace_back(value); }
    void push_back(T &&value) { emplace_back(std::move(value)); }
    void pop_back() noexcept {
        assert(size_ > 0);
        --size_;
        std::destroy_at(data_ + size_);
    }

    // The range may lie in this vector itself.
    template <class It> void append(It first, It last) {
        const auto count = static_cast<size_type>(std::distance(first, last));
        if constexpr (std::is_convertible_v<It, const T *>) {
            if (count > capacity_ - size_ && points_into(first)) {
                const auto offset = static_cast<size_type>(first - data_);
                reserve(size_ + count);
                std::uninitialized_copy_n(data_ + offset, count, data_ + size_);
                size_ += count;
                return;
            }
        }
        reserve(size_ + count);
        std::uninitialized_copy(first, last, data_ + size_);
        size_ += count;
    }
    // The range must not lie in this vector, whose elements go first.
    template <class It> void assign(It first, It last) {
        if constexpr (std::is_convertible_v<It, const T *>) {
            assert(first == last || !points_into(first));
        }
        clear();
        append(first, last);
    }

    // Grows with value-initialised (zeroed, for scalars) elements, or shrinks.
    void resize(size_type count) {
        if (count < size_) {
            std::destroy(data_ + count, data_ + size_);
        } else if (count > size_) {
            reserve(count);
            std::uninitialized_value_construct(data_ + size_, data_ + count);
        }
        size_ = count;
    }

    // Grows to `count` elements and leaves the new ones as they are, for a caller that
    // overwrites them at once (a file's bytes about to be written): skips zeroing them.
    void grow_for_overwrite(size_type count)
        requires std::is_trivially_copyable_v<T>
    {
        if (count <= size_) return;
        reserve(count);
        size_ = count;
    }

    iterator erase(const_iterator position) {
        auto *at = const_cast<T *>(position);
        std::move(at + 1, end(), at);
        pop_back();
        return at;
    }

    void clear() noexcept {
        destroy_all();
        size_ = 0;
    }

  protected:
    explicit SmallVectorImpl(size_type inline_capacity) noexcept
        : data_(inline_begin()), capacity_(inline_capacity), inline_capacity_(inline_capacity) {}
    ~SmallVectorImpl() {
        destroy_all();
        free_heap();
    }

  private:
    // The inline storage begins right after this header (see SmallVector below).
    T *inline_begin() noexcept;
    const T *inline_begin() const noexcept {
        return const_cast<SmallVectorImpl *>(this)->inline_begin();
    }

    [[nodiscard]] bool points_into(const T *element) const noexcept {
        // Compared as addresses, since the pointer may lie in another object altogether.
        const auto at = reinterpret_cast<std::uintptr_t>(element);
        return at >= reinterpret_cast<std::uintptr_t>(data_) &&
               at < reinterpret_cast<std::uintptr_t>(data_ + size_);
    }

    // Plain bytes and the like live in malloc's blocks, so that growing can realloc: a
    // block is then extended in place, or a large one moved by remapping its pages,
    // instead of copied into a fresh block whose every page is touched anew.
    static constexpr bool kReallocates =
        std::is_trivially_copyable_v<T> && alignof(T) <= alignof(std::max_align_t);

    void destroy_all() noexcept { std::destroy(data_, data_ + size_); }
    void free_heap() noexcept {
        if (!is_small()) deallocate(data_);
    }

    // Blocks of types that do not reallocate.
    [[nodiscard]] static T *allocate(size_type capacity) {
        return static_cast<T *>(::operator new(capacity * sizeof(T), std::align_val_t(alignof(T))));
    }
    static void deallocate(T *block) noexcept {
        if constexpr (kReallocates) {
            std::free(block);
        } else {
            ::operator delete(static_cast<void *>(block), std::align_val_t(alignof(T)));
        }
    }
    // Moves the elements into `fresh` (of `capacity` slots) and lets the old buffer go.
    void adopt(T *fresh, size_type capacity) noexcept(std::is_nothrow_move_constructible_v<T>) {
        std::uninitialized_move(data_, data_ + size_, fresh);
        destroy_all();
        free_heap();
        data_ = fresh;
        capacity_ = capacity;
    }

    void grow(size_type minimum) {
        const size_type new_capacity = std::max(minimum, capacity_ * 2);
        if constexpr (kReallocates) {
            if (new_capacity > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
            T *old = is_small() ? nullptr : data_;
            auto *fresh = static_cast<T *>(std::realloc(old, new_capacity * sizeof(T)));
            if (!fresh) throw std::bad_alloc(); // the old block, if any, is still intact
            if (!old && size_ > 0) std::memcpy(fresh, data_, size_ * sizeof(T));
            data_ = fresh;
            capacity_ = new_capacity;
        } else {
            T *fresh = allocate(new_capacity);
            try {
                adopt(fresh, new_capacity);
            } catch (...) {
                deallocate(fresh);
                throw;
            }
        }
    }

    template <class... Args> T &grow_and_emplace_back(Args &&...args) {
        if constexpr (kReallocates) {
            // realloc may free the old block at once: the value is made before it moves.
            T value(std::forward<Args>(args)...);
            grow(size_ + 1);
            T *slot = ::new (static_cast<void *>(data_ + size_)) T(value);
            ++size_;
            return *slot;
        } else {
            const size_type new_capacity = std::max(size_ + 1, capacity_ * 2);
            T *fresh = allocate(new_capacity);
            T *slot = nullptr;
            try {
                slot = ::new (static_cast<void *>(fresh + size_)) T(std::forward<Args>(args)...);
                adopt(fresh, new_capacity);
            } catch (...) {
                if (slot) std::destroy_at(slot);
                deallocate(fresh);
                throw;
            }
            ++size_;
            return *slot;
        }
    }

    T *data_;
    size_type size_ = 0;
    size_type capacity_;
    size_type inline_capacity_;
};

template <class T, std::size_t N> class SmallVector : public SmallVectorImpl<T> {
    static_assert(N > 0, "use a std::vector when nothing should be inline");

  public:
    SmallVector() noexcept : SmallVectorImpl<T>(N) {}
    SmallVector(std::initializer_list<T> items) : SmallVector() {
        this->append(items.begin(), items.end());
    }
    template <class It> SmallVector(It first, It last) : SmallVector() {
        this->append(first, last);
    }
    explicit SmallVector(std::span<const T> items) : SmallVector(items.begin(), items.end()) {}
    SmallVector(const SmallVector &other) : SmallVector() {
        this->append(other.begin(), other.end());
    }
    SmallVector(SmallVector &&other) noexcept(std::is_nothrow_move_constructible_v<T>)
        : SmallVector() {
        SmallVectorImpl<T>::operator=(std::move(other));
    }
    SmallVector &operator=(const SmallVector &other) {
        if (this != &other) SmallVectorImpl<T>::operator=(other);
        return *this;
    }
    SmallVector &operator=(SmallVector &&other) noexcept(std::is_nothrow_move_constructible_v<T>) {
        SmallVectorImpl<T>::operator=(std::move(other));
        return *this;
    }
    ~SmallVector() = default;

  private:
    friend class SmallVectorImpl<T>;
    alignas(T) std::byte storage_[N * sizeof(T)];
};

namespace detail {
// The offset of the inline storage behind the header: the same for every N.
template <class T> struct SmallVectorLayout {
    SmallVectorImpl<T> header;
    alignas(T) std::byte storage[sizeof(T)];
};
} // namespace detail

template <class T> T *SmallVectorImpl<T>::inline_begin() noexcept {
    return reinterpret_cast<T *>(reinterpret_cast<std::byte *>(this) +
                                 offsetof(detail::SmallVectorLayout<T>, storage));
}

} // namespace quorvex::fs
