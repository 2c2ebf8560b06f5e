// Board size limits, the word count of a size and its turn into a template
// argument, the history depth of the input planes, and the engine's fatal error.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <type_traits>

namespace gravline {

inline constexpr unsigned kMinDimension = 4;
inline constexpr unsigned kMaxDimension = 32;
/// Words in the largest bit set: 32 x 32 cells need 1024 bits.
inline constexpr int kMaxWords = 16;
/// One column mask per possible column, whatever the width.
inline constexpr unsigned kMaxColumns = kMaxDimension;
/// Sizes per dimension: 4 .. 32.
inline constexpr unsigned kDimensions = kMaxDimension - kMinDimension + 1;
/// Width and height of the standard board.
inline constexpr unsigned kStandardWidth = 7;
inline constexpr unsigned kStandardHeight = 6;

/// Positions the input planes show: the current one and the seven before it.
inline constexpr unsigned kHistoryPositions = 8;
/// Take-backs that reach the oldest of those positions; also the number of last
/// moves that the state hash covers.
inline constexpr unsigned kHistoryPlies = kHistoryPositions - 1;

/// Words of 64 bits that hold one bit per cell, e.g. 7 x 6 needs 1 and 9 x 8 needs 2.
constexpr int words_for(unsigned width, unsigned height) {
    return static_cast<int>((width * height + 63) / 64);
}

/// A broken invariant inside the engine. Only states that the Python layer rules
/// out first can raise it; the binding reports it as an internal failure.
class InternalError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] inline void fatal(const std::string &message) { throw InternalError(message); }

/// Calls f(std::integral_constant<int, NW>{}) for a word count `nw` known only
/// at run time: the one place where a word count becomes a template argument.
/// A count outside 1..16 is a broken invariant.
template <class F>
decltype(auto) with_word_count(int nw, F &&f) {
    static_assert(kMaxWords == 16, "one case per word count");
    switch (nw) {
#define GRAVLINE_NW_CASE(N) \
    case N: return f(std::integral_constant<int, N>{});
        GRAVLINE_NW_CASE(1) GRAVLINE_NW_CASE(2) GRAVLINE_NW_CASE(3) GRAVLINE_NW_CASE(4)
        GRAVLINE_NW_CASE(5) GRAVLINE_NW_CASE(6) GRAVLINE_NW_CASE(7) GRAVLINE_NW_CASE(8)
        GRAVLINE_NW_CASE(9) GRAVLINE_NW_CASE(10) GRAVLINE_NW_CASE(11) GRAVLINE_NW_CASE(12)
        GRAVLINE_NW_CASE(13) GRAVLINE_NW_CASE(14) GRAVLINE_NW_CASE(15) GRAVLINE_NW_CASE(16)
#undef GRAVLINE_NW_CASE
    }
    // A fixed public text (the module raises it as PanicException): keep it as it is.
    fatal("internal error: entered unreachable code: NW out of range: " + std::to_string(nw));
}

inline bool dimension_ok(unsigned n) { return kMinDimension <= n && n <= kMaxDimension; }

inline std::string width_error() {
    return "Board width must be between " + std::to_string(kMinDimension) + " and " +
           std::to_string(kMaxDimension);
}

inline std::string height_error() {
    return "Board height must be between " + std::to_string(kMinDimension) + " and " +
           std::to_string(kMaxDimension);
}

/// The engine constructors' own check: width first, then height, then the variant.
inline void check_size(int nw, unsigned width, unsigned height) {
    if (!dimension_ok(width)) fatal(width_error());
    if (!dimension_ok(height)) fatal(height_error());
    const int need = words_for(width, height);
    if (need != nw)
        fatal("NW=" + std::to_string(nw) + " does not match board " + std::to_string(width) + "x" +
              std::to_string(height) + " (need " + std::to_string(need) + ")");
}

/// The failure of check_size for a size known to fail it, out of line.
[[noreturn, gnu::cold, gnu::noinline]] inline void size_error(int nw, unsigned width, unsigned height) {
    check_size(nw, width, height);
    fatal("size error for a valid size");
}

}  // namespace gravline
