// Multi-pattern substring search over folded text: an Aho-Corasick automaton
// compiled to a dense DFA, with the folding fused into the scan. Long texts
// are cut into segments scanned by interleaved automata (independent
// dependency chains), each segment running on past its end until no match
// that began inside it can still complete.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/fold.hpp"

namespace lexaro::text {

class MultiMatcher {
public:
    // Patterns are already folded. found()[i] tells whether pattern i occurs.
    explicit MultiMatcher(const std::vector<std::u32string>& patterns);

    std::size_t pattern_count() const noexcept { return npat_; }

    // Searches the folded form of the raw text s[0..n).
    template <class CharT>
    std::vector<bool> scan(const CharT* s, std::size_t n) const;

    // Searches text that is already folded.
    std::vector<bool> scan_folded(const char32_t* s, std::size_t n) const;

private:
    using State = std::uint32_t;  // premultiplied: state index * nsym_

    std::uint32_t symbol(char32_t c) const noexcept {
        if (c < 256) return raw_sym_[c];
        std::size_t lo = 0, hi = wide_syms_.size();
        while (lo < hi) {
            const std::size_t mid = (lo + hi) / 2;
            if (wide_syms_[mid].first < c) lo = mid + 1; else hi = mid;
        }
        return (lo < wide_syms_.size() && wide_syms_[lo].first == c) ? wide_syms_[lo].second : 0;
    }
    State step(State s, std::uint32_t sym) const noexcept { return trans_[s + sym]; }

    // Steps over the folded form of one code point of at least 256; false
    // when the character needs the exact slow path (context or reordering).
    bool step_wide(char32_t c, State& s, std::uint8_t* seen, std::size_t& emitted) const noexcept;

    template <class CharT>
    bool run_lanes(const CharT* s, std::size_t n, std::uint8_t* seen) const;

    std::vector<bool> collect(const std::vector<std::uint8_t>& seen) const;

    std::size_t npat_ = 0;
    std::uint32_t nsym_ = 1;
    std::vector<State> trans_;
    std::vector<std::uint32_t> depth_;               // by premultiplied state / nsym_
    std::vector<std::vector<std::uint32_t>> out_;    // patterns ending in each state
    std::vector<bool> always_;                       // empty patterns
    std::uint32_t raw_sym_[256] = {};
    std::uint32_t latin_sym_[256] = {};              // symbol of the fold of a Latin-1 character
    std::vector<std::pair<char32_t, std::uint32_t>> wide_syms_;
};

// ------------------------------------------------------------------ inline

inline bool MultiMatcher::step_wide(char32_t c, State& s, std::uint8_t* seen, std::size_t& emitted) const noexcept {
    const auto& e = unicode::entry(c);
    if ((e.flags & unicode::kSpecial) || c == kCapitalSigma) return false;
    if (e.flags & unicode::kIdent) {
        s = step(s, symbol(c));
        seen[s] = 1;
        ++emitted;
    } else if (e.flags & unicode::kHangul) {
        char32_t j[3];
        const int m = unicode::hangul_decompose(c, j);
        for (int k = 0; k < m; ++k) {
            s = step(s, symbol(j[k]));
            seen[s] = 1;
        }
        emitted += static_cast<std::size_t>(m);
    } else {
        for (unsigned k = 0; k < e.fold_len; ++k) {
            s = step(s, symbol(unicode::tables::pool[e.fold_off + k]));
            seen[s] = 1;
        }
        emitted += e.fold_len;
    }
    return true;
}

template <class CharT>
bool MultiMatcher::run_lanes(const CharT* s, std::size_t n, std::uint8_t* seen) const {
    constexpr std::size_t K = 4;
    const std::size_t L = n >= 4096 ? n / K : 0;
    State st[K] = {0, 0, 0, 0};
    std::size_t dummy = 0;
    // Interleaved main part: lane k covers [k*L, (k+1)*L).
    for (std::size_t i = 0; i < L; ++i) {
        for (std::size_t k = 0; k < K; ++k) {
            const char32_t c = static_cast<char32_t>(s[k * L + i]);
            if (sizeof(CharT) == 1 || c < 256) {
                st[k] = step(st[k], latin_sym_[c]);
                seen[st[k]] = 1;
            } else if (!step_wide(c, st[k], seen, dummy)) {
                return false;
            }
        }
    }
    // Each lane runs on past its end while a match begun inside it may still
    // complete; the last lane runs to the end of the text.
    for (std::size_t k = 0; k < K; ++k) {
        if (L == 0 && k > 0) break;
        std::size_t i = L == 0 ? 0 : (k + 1) * L;
        const bool last = (L == 0) || k + 1 == K;
        State cur = st[k];
        std::size_t emitted = 0;
        for (; i < n; ++i) {
            if (!last && depth_[cur / nsym_] <= emitted) break;
            const char32_t c = static_cast<char32_t>(s[i]);
            if (sizeof(CharT) == 1 || c < 256) {
                cur = step(cur, latin_sym_[c]);
                seen[cur] = 1;
                ++emitted;
            } else if (!step_wide(c, cur, seen, emitted)) {
                return false;
            }
        }
    }
    return true;
}

template <class CharT>
std::vector<bool> MultiMatcher::scan(const CharT* s, std::size_t n) const {
    std::vector<std::uint8_t> seen(trans_.size() ? trans_.size() : 1, 0);
    if (run_lanes(s, n, seen.data())) return collect(seen);
    // Capital sigma or reordered combining characters: fold exactly first.
    const std::u32string folded = fold_to_u32(s, n);
    return scan_folded(folded.data(), folded.size());
}

}  // namespace lexaro::text
