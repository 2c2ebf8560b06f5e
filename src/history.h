// MoveHistory: the moves of a game in order, held inside the game while they are
// few, so that copying a short game allocates nothing.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>

#include "player.h"

namespace gravline {

/// A vector of moves with room for kInline of them inside the object. A longer
/// history moves to the heap and grows by doubling; a copy of it takes exactly
/// the room its moves need, inline again when they fit. 40 bytes on 64-bit
/// machines. Every change either succeeds or throws with nothing changed.
class MoveHistory {
public:
    /// Moves held without an allocation: a dozen moves into a game is typical
    /// of the positions a training pipeline copies.
    static constexpr uint32_t kInline = 16;

    MoveHistory() = default;
    MoveHistory(const MoveHistory &o) { copy_from(o); }
    MoveHistory(MoveHistory &&o) noexcept { steal_from(o); }
    MoveHistory &operator=(const MoveHistory &o) {
        if (this != &o) {
            MoveHistory copy(o);  // may throw; *this is untouched until it succeeded
            release();
            steal_from(copy);
        }
        return *this;
    }
    MoveHistory &operator=(MoveHistory &&o) noexcept {
        if (this != &o) {
            release();
            steal_from(o);
        }
        return *this;
    }
    ~MoveHistory() { release(); }

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    std::size_t capacity() const { return capacity_; }
    /// True while the moves live inside the object.
    bool is_inline() const { return capacity_ == kInline; }

    const Move *data() const { return is_inline() ? inline_ : heap_; }
    Move *data() { return is_inline() ? inline_ : heap_; }
    const Move *begin() const { return data(); }
    const Move *end() const { return data() + size_; }
    Move *begin() { return data(); }
    Move *end() { return data() + size_; }
    const Move &operator[](std::size_t i) const { return data()[i]; }
    Move &operator[](std::size_t i) { return data()[i]; }
    const Move &back() const { return data()[size_ - 1]; }
    Move &back() { return data()[size_ - 1]; }

    /// Appends `m`; on a failed allocation throws std::bad_alloc with nothing changed.
    void push_back(Move m) {
        if (size_ == capacity_) grow();
        data()[size_++] = m;
    }
    void pop_back() { --size_; }
    /// Forgets every move; the room already taken is kept.
    void clear() { size_ = 0; }

    friend bool operator==(const MoveHistory &a, const MoveHistory &b) {
        return a.size_ == b.size_ && std::equal(a.begin(), a.end(), b.begin());
    }

private:
    uint32_t size_ = 0;
    uint32_t capacity_ = kInline;  // kInline exactly when the moves are inline
    union {
        Move inline_[kInline]{};
        Move *heap_;
    };

    void copy_from(const MoveHistory &o) {
        if (o.size_ > kInline) {
            heap_ = new Move[o.size_];
            capacity_ = o.size_;
        }
        size_ = o.size_;
        std::memcpy(data(), o.data(), size_ * sizeof(Move));
    }

    /// Takes o's moves and leaves o empty and inline.
    void steal_from(MoveHistory &o) noexcept {
        size_ = o.size_;
        capacity_ = o.capacity_;
        if (o.is_inline()) {
            std::memcpy(inline_, o.inline_, size_ * sizeof(Move));
        } else {
            heap_ = o.heap_;
            o.capacity_ = kInline;
        }
        o.size_ = 0;
    }

    void release() noexcept {
        if (!is_inline()) delete[] heap_;
        capacity_ = kInline;
        size_ = 0;
    }

    /// Doubles the room; the history is unchanged when the allocation fails.
    void grow() {
        if (capacity_ > UINT32_MAX / 2) throw std::length_error("move history too long");
        const uint32_t room = capacity_ * 2;
        Move *moved = new Move[room];
        std::memcpy(moved, data(), size_ * sizeof(Move));
        if (!is_inline()) delete[] heap_;
        heap_ = moved;
        capacity_ = room;
    }
};

static_assert(sizeof(MoveHistory) == 8 + 2 * MoveHistory::kInline || sizeof(void *) != 8);

}  // namespace gravline
