// Accent folding: canonical decomposition, removal of category Mn, full
// lower-casing; the same result as Python's
//     "".join(c for c in unicodedata.normalize("NFD", s)
//             if unicodedata.category(c) != "Mn").lower()
// on the interpreter that generated the tables.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/unicode.hpp"

namespace lexaro::text {

inline constexpr char32_t kCapitalSigma = 0x03A3;
inline constexpr char32_t kSmallSigma = 0x03C3;
inline constexpr char32_t kFinalSigma = 0x03C2;

namespace detail {

// Emits the folded (lower-cased) form of a character that is already
// decomposed and is not in category Mn.
template <class Sink>
inline void emit_lower(char32_t x, Sink& emit) {
    const auto& e = unicode::entry(x);
    if (e.flags & unicode::kIdent) {
        emit(x);
    } else {
        for (unsigned k = 0; k < e.fold_len; ++k) emit(unicode::tables::pool[e.fold_off + k]);
    }
}

// Streams NFD minus Mn. With Lower, every kept character is also
// lower-cased (valid only when the text holds no capital sigma, whose
// lowering depends on its neighbours). Combining characters that survive the
// Mn filter (a handful of Mc characters) are put in canonical order, as NFD
// does, before they are emitted.
template <bool Lower, class CharT, class Sink>
void decompose_filter(const CharT* s, std::size_t n, Sink& emit) {
    std::vector<std::pair<std::uint8_t, char32_t>> pending;
    auto out = [&](char32_t x) {
        if constexpr (Lower) emit_lower(x, emit); else emit(x);
    };
    auto flush = [&] {
        std::stable_sort(pending.begin(), pending.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        for (const auto& p : pending) out(p.second);
        pending.clear();
    };
    for (std::size_t i = 0; i < n; ++i) {
        const char32_t c = static_cast<char32_t>(s[i]);
        if constexpr (Lower) {
            if (c < 256 && pending.empty()) {
                emit(static_cast<char32_t>(unicode::tables::latin_fold[c]));
                continue;
            }
        }
        const auto& e = unicode::entry(c);
        if (e.flags & unicode::kSpecial) {
            const auto* sp = unicode::find_special(c);
            for (std::uint32_t k = 0; k < sp->len; ++k) {
                const auto& el = unicode::tables::special_elems[sp->off + k];
                if (el.ccc == 0) {
                    if (!pending.empty()) flush();
                    if (!el.is_mn) out(el.cp);
                } else if (!el.is_mn) {
                    pending.emplace_back(el.ccc, el.cp);
                }
            }
            continue;
        }
        if (!pending.empty()) {
            if (!(e.flags & unicode::kStarter)) continue;  // only Mn: nothing kept
            flush();
        }
        if (e.flags & unicode::kIdent) {
            emit(c);
        } else if (e.flags & unicode::kHangul) {
            char32_t j[3];
            const int m = unicode::hangul_decompose(c, j);
            for (int k = 0; k < m; ++k) emit(j[k]);  // jamo are their own lower case
        } else if constexpr (Lower) {
            for (unsigned k = 0; k < e.fold_len; ++k) emit(unicode::tables::pool[e.fold_off + k]);
        } else {
            for (unsigned k = 0; k < e.pre_len; ++k) emit(unicode::tables::pool[e.pre_off + k]);
        }
    }
    if (!pending.empty()) flush();
}

}  // namespace detail

template <class CharT>
inline bool has_capital_sigma(const CharT* s, std::size_t n) noexcept {
    if constexpr (sizeof(CharT) == 1) {
        (void)s, (void)n;
        return false;
    } else {
        for (std::size_t i = 0; i < n; ++i)
            if (static_cast<char32_t>(s[i]) == kCapitalSigma) return true;
        return false;
    }
}

// Python's final-sigma rule, applied to the decomposed text `pre` at `i`.
inline bool is_final_sigma(const std::vector<char32_t>& pre, std::size_t i) noexcept {
    using namespace unicode;
    std::size_t j = i;
    while (j > 0 && (flags(pre[j - 1]) & kIgnorable)) --j;
    if (j == 0 || !(flags(pre[j - 1]) & kCased)) return false;
    std::size_t k = i + 1;
    while (k < pre.size() && (flags(pre[k]) & kIgnorable)) ++k;
    return k == pre.size() || !(flags(pre[k]) & kCased);
}

// Calls emit(char32_t) for every code point of the folded text, in order.
template <class CharT, class Sink>
void fold_each(const CharT* s, std::size_t n, Sink&& emit) {
    if constexpr (sizeof(CharT) == 1) {
        for (std::size_t i = 0; i < n; ++i) emit(static_cast<char32_t>(unicode::tables::latin_fold[s[i]]));
    } else {
        if (!has_capital_sigma(s, n)) {
            detail::decompose_filter<true>(s, n, emit);
            return;
        }
        std::vector<char32_t> pre;
        pre.reserve(n);
        auto push = [&](char32_t c) { pre.push_back(c); };
        detail::decompose_filter<false>(s, n, push);
        for (std::size_t i = 0; i < pre.size(); ++i) {
            if (pre[i] == kCapitalSigma)
                emit(is_final_sigma(pre, i) ? kFinalSigma : kSmallSigma);
            else
                detail::emit_lower(pre[i], emit);
        }
    }
}

// Folded text as UTF-32, for callers that need random access.
template <class CharT>
std::u32string fold_to_u32(const CharT* s, std::size_t n) {
    std::u32string out;
    out.reserve(n);
    fold_each(s, n, [&](char32_t c) { out.push_back(c); });
    return out;
}

}  // namespace lexaro::text
