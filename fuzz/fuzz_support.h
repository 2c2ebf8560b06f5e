// What every fuzzer shares: FUZZ_CHECK, which aborts the run on a broken
// invariant, and Input, which hands out the input bytes one at a time.
// Each fuzzer is one translation unit that includes this once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

/// Aborts with the fuzzer's name, the line and the condition when cond is
/// false, e.g. "engine_fuzzer: invariant failed at line 12: g.make_move(m)".
/// The including file names itself in kFuzzerName.
#define FUZZ_CHECK(cond)                                                                     \
    do {                                                                                     \
        if (!(cond)) {                                                                       \
            std::fprintf(stderr, "%s: invariant failed at line %d: %s\n", kFuzzerName,       \
                         __LINE__, #cond);                                                   \
            std::abort();                                                                    \
        }                                                                                    \
    } while (0)

// The anonymous namespace keeps these with the fuzzer's own checks, which the
// coverage instrumentation skips (coverage_ignore.txt).
namespace {

/// The input after the leading size bytes; reads past the end give 0.
class Input {
    const uint8_t *p_;
    std::size_t n_;

public:
    Input(const uint8_t *p, std::size_t n) : p_(p), n_(n) {}
    bool empty() const { return n_ == 0; }
    uint8_t next() {
        if (n_ == 0) return 0;
        --n_;
        return *p_++;
    }
    /// Eight bytes, least significant first.
    uint64_t next_u64() {
        uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v |= uint64_t{next()} << (8 * i);
        return v;
    }
};

}  // namespace
