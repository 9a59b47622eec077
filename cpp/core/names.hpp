// Comparison of person and company names on folded text (accents removed,
// lower-cased, outer blanks stripped). Works on code-point views of any
// width; the two sides may differ in width.
#pragma once
#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include "core/unicode.hpp"

namespace lexaro::names {

// Words of 3 or more code points count in the shared-words rule.
inline constexpr std::size_t kMinWordLength = 3;
// Shared distinct words needed for two names to match.
inline constexpr std::size_t kMinSharedWords = 2;

// True when `needle` occurs in `hay` at a position where the code point
// before it and the one after it (where present) are not alphanumeric in the
// sense of str.isalnum(). Every occurrence is tried, not only the first; the
// scan is linear (Knuth-Morris-Pratt), whatever the texts. An empty needle
// is never looked for (the callers rule empty names out first).
template <class A, class B>
bool contains_at_word_boundaries(const A* needle, std::size_t nn, const B* hay, std::size_t nh) {
    if (nn == 0 || nn > nh) return false;
    auto at = [needle](std::size_t i) { return static_cast<char32_t>(needle[i]); };
    std::vector<std::size_t> fail(nn, 0);
    for (std::size_t i = 1, k = 0; i < nn; ++i) {
        while (k > 0 && at(i) != at(k)) k = fail[k - 1];
        if (at(i) == at(k)) ++k;
        fail[i] = k;
    }
    std::size_t k = 0;
    for (std::size_t i = 0; i < nh; ++i) {
        const char32_t c = static_cast<char32_t>(hay[i]);
        while (k > 0 && c != at(k)) k = fail[k - 1];
        if (c == at(k)) ++k;
        if (k == nn) {
            const std::size_t p = i + 1 - nn;
            const bool left_ok = p == 0 || !unicode::is_alnum(static_cast<char32_t>(hay[p - 1]));
            const bool right_ok = i + 1 == nh || !unicode::is_alnum(static_cast<char32_t>(hay[i + 1]));
            if (left_ok && right_ok) return true;
            k = fail[k - 1];
        }
    }
    return false;
}

// The distinct words of at least kMinWordLength code points, split on runs
// of white space (str.isspace()), as str.split() does; sorted.
template <class C>
std::vector<std::u32string> long_words(const C* s, std::size_t n) {
    std::vector<std::u32string> words;
    std::size_t i = 0;
    while (i < n) {
        while (i < n && unicode::is_space(static_cast<char32_t>(s[i]))) ++i;
        const std::size_t b = i;
        while (i < n && !unicode::is_space(static_cast<char32_t>(s[i]))) ++i;
        if (i - b >= kMinWordLength) {
            std::u32string w;
            w.reserve(i - b);
            for (std::size_t k = b; k < i; ++k) w.push_back(static_cast<char32_t>(s[k]));
            words.push_back(std::move(w));
        }
    }
    std::sort(words.begin(), words.end());
    words.erase(std::unique(words.begin(), words.end()), words.end());
    return words;
}

// Number of words that two sorted, distinct word lists share.
std::size_t shared_count(const std::vector<std::u32string>& a, const std::vector<std::u32string>& b);

// The match rule on two folded names: false when either is empty; true when
// one occurs inside the other at word boundaries; else true when they share
// at least kMinSharedWords distinct words of kMinWordLength or more.
template <class A, class B>
bool compare_folded(const A* a, std::size_t na, const B* b, std::size_t nb) {
    if (na == 0 || nb == 0) return false;
    if (contains_at_word_boundaries(a, na, b, nb)) return true;
    if (contains_at_word_boundaries(b, nb, a, na)) return true;
    return shared_count(long_words(a, na), long_words(b, nb)) >= kMinSharedWords;
}

}  // namespace lexaro::names
