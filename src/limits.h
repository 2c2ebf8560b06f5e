// Board size limits, the word count of a size, and the engine's fatal error.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace gravline {

inline constexpr unsigned kMinDimension = 4;
inline constexpr unsigned kMaxDimension = 32;
/// Words in the largest bit set: 32 x 32 cells need 1024 bits.
inline constexpr int kMaxWords = 16;
/// One column mask per possible column, whatever the width.
inline constexpr unsigned kMaxColumns = kMaxDimension;
/// Width and height of the standard board.
inline constexpr unsigned kStandardWidth = 7;
inline constexpr unsigned kStandardHeight = 6;

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

}  // namespace gravline
