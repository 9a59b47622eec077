// Multi-pattern substring search over folded text: an Aho-Corasick automaton
// compiled to a dense DFA, with the folding fused into the scan. Long texts
// are cut into segments scanned by interleaved automata (independent
// dependency chains), each segment running on past its end until no match
// that began inside it can still complete.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/fold.hpp"

namespace lexaro::text {

class MultiMatcher {
public:
    // Patterns are already folded; scan(...)[i] tells whether pattern i occurs.
    explicit MultiMatcher(const std::vector<std::u32string>& patterns);

    std::size_t pattern_count() const noexcept { return npat_; }

    // Searches the folded form of the raw text s[0..n).
    template <class CharT>
    std::vector<bool> scan(const CharT* s, std::size_t n) const;

private:
    // States are premultiplied by the row width. Column `slow_` is taken for
    // characters whose fold is not a single character (or depends on the
    // context); it leads to the absorbing state `bail_`, after which the text
    // is folded exactly and scanned again.
    using State = std::uint32_t;

    std::uint32_t symbol(char32_t c) const noexcept;
    State step(State s, std::uint32_t sym) const noexcept { return trans_[s + sym]; }
    // Symbol of the fold of a 16-bit code point (slow_ when not one character).
    const std::uint16_t* sym16() const;
    std::uint32_t wide_symbol(char32_t c) const noexcept;

    template <class CharT>
    std::uint32_t sym_of(char32_t c, const std::uint16_t* s16) const noexcept {
        if constexpr (sizeof(CharT) == 1) return latin_sym_[c];
        else if constexpr (sizeof(CharT) == 2) return s16[c];
        else return c < 0x10000 ? s16[c] : wide_symbol(c);
    }

    template <class CharT>
    bool run_lanes(const CharT* s, std::size_t n, std::uint8_t* seen) const;
    std::vector<bool> collect(const std::vector<std::uint8_t>& seen) const;

    std::size_t npat_ = 0;
    std::uint32_t slow_ = 1;     // the slow column; also the number of real symbols
    std::uint32_t width_ = 2;    // row width: symbols plus the slow column
    State bail_ = 0;
    std::vector<State> trans_;
    std::vector<std::uint32_t> depth_;             // by state row
    std::vector<std::vector<std::uint32_t>> out_;  // patterns ending in each state row
    std::vector<std::uint8_t> accepting_;          // by premultiplied state
    std::vector<bool> always_;                     // empty patterns
    std::uint32_t raw_sym_[256] = {};
    std::uint32_t latin_sym_[256] = {};            // symbol of the fold of a Latin-1 character
    std::vector<std::pair<char32_t, std::uint32_t>> wide_syms_;
    mutable std::once_flag sym16_once_;
    mutable std::vector<std::uint16_t> sym16_;
};

template <class CharT>
bool MultiMatcher::run_lanes(const CharT* s, std::size_t n, std::uint8_t* seen) const {
    const std::uint16_t* s16 = nullptr;
    if constexpr (sizeof(CharT) > 1) s16 = sym16();
    constexpr std::size_t K = 4;
    const std::size_t L = n >= 4096 ? n / K : 0;
    State st[K] = {0, 0, 0, 0};
    if (L) {
        // Interleaved main part: lane k covers [k*L, (k+1)*L).
        State s0 = 0, s1 = 0, s2 = 0, s3 = 0;
        const CharT* p0 = s;
        const CharT* p1 = s + L;
        const CharT* p2 = s + 2 * L;
        const CharT* p3 = s + 3 * L;
        for (std::size_t i = 0; i < L; ++i) {
            s0 = step(s0, sym_of<CharT>(p0[i], s16));
            seen[s0] = 1;
            s1 = step(s1, sym_of<CharT>(p1[i], s16));
            seen[s1] = 1;
            s2 = step(s2, sym_of<CharT>(p2[i], s16));
            seen[s2] = 1;
            s3 = step(s3, sym_of<CharT>(p3[i], s16));
            seen[s3] = 1;
        }
        st[0] = s0, st[1] = s1, st[2] = s2, st[3] = s3;
    }
    // Each lane runs on past its end while a match begun inside it may still
    // complete (every character folds to one here); the last lane runs to
    // the end of the text.
    for (std::size_t k = 0; k < K; ++k) {
        if (L == 0 && k > 0) break;
        const bool last = (L == 0) || k + 1 == K;
        State cur = st[k];
        std::size_t emitted = 0;
        for (std::size_t i = L == 0 ? 0 : (k + 1) * L; i < n; ++i, ++emitted) {
            if (!last && depth_[cur / width_] <= emitted) break;
            cur = step(cur, sym_of<CharT>(s[i], s16));
            seen[cur] = 1;
        }
    }
    return !seen[bail_];
}

template <class CharT>
std::vector<bool> MultiMatcher::scan(const CharT* s, std::size_t n) const {
    if (sizeof(CharT) > 1 && slow_ >= 0xFFFF) {
        // An alphabet too large for the 16-bit symbol table.
    } else if (n <= 256) {
        // Short text: check acceptance at each step instead of clearing a
        // table of visited states.
        const std::uint16_t* s16 = nullptr;
        if constexpr (sizeof(CharT) > 1) s16 = sym16();
        std::vector<bool> found = always_;
        State st = 0;
        for (std::size_t i = 0; i < n; ++i) {
            st = step(st, sym_of<CharT>(s[i], s16));
            if (accepting_[st])
                for (std::uint32_t p : out_[st / width_]) found[p] = true;
        }
        if (st != bail_) return found;
    } else {
        std::vector<std::uint8_t> seen(trans_.size(), 0);
        if (run_lanes(s, n, seen.data())) return collect(seen);
    }
    // Characters that fold to several, to none, or by context: fold exactly,
    // streaming the folded text through the automaton.
    std::vector<bool> found = always_;
    State st = 0;
    fold_each(s, n, [&](char32_t c) {
        st = step(st, symbol(c));
        if (accepting_[st])
            for (std::uint32_t p : out_[st / width_]) found[p] = true;
    });
    return found;
}

}  // namespace lexaro::text
