// Words of folded text, for name matching (core/names.hpp) and address
// comparison (core/address.hpp): the containment scan, the distinct words of
// a minimum length, and the count of words two texts share. Works on
// code-point views of any width; the two sides may differ in width.
#pragma once
#include <algorithm>
#include <cstddef>
#include <string_view>
#include <type_traits>
#include <vector>

#include "core/unicode.hpp"

namespace lexaro::words {

// \s of Python's `re` on text, str.isspace(): the ASCII blanks answered
// without the tables.
inline bool is_space(char32_t c) noexcept {
    if (c < 128) return c == U' ' || (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x1F);
    return unicode::is_space(c);
}

// Calls accept(p) for each position p where `needle` occurs in `hay`,
// leftmost first, overlapping occurrences included, until accept returns
// true; returns whether it did. Knuth-Morris-Pratt: the scan is linear,
// whatever the texts. An empty needle is never looked for.
template <class A, class B, class Accept>
bool find_each(const A* needle, std::size_t nn, const B* hay, std::size_t nh, Accept&& accept) {
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
            if (accept(i + 1 - nn)) return true;
            k = fail[k - 1];
        }
    }
    return false;
}

// `needle in hay`: an empty needle is in every text. A short needle is
// compared at each position (at most 16 steps each); a longer one takes the
// linear scan.
template <class A, class B>
bool contains(const A* needle, std::size_t nn, const B* hay, std::size_t nh) {
    if (nn == 0) return true;
    if (nn > nh) return false;
    if (nn <= 16) {
        for (std::size_t p = 0; p + nn <= nh; ++p) {
            std::size_t i = 0;
            while (i < nn && static_cast<char32_t>(hay[p + i]) == static_cast<char32_t>(needle[i])) ++i;
            if (i == nn) return true;
        }
        return false;
    }
    return find_each(needle, nn, hay, nh, [](std::size_t) { return true; });
}

// A word: a view of code points inside the text it was split from.
template <class C>
struct Word {
    const C* data;
    std::size_t size;
};

// Code-point order of two words of any widths: negative, zero or positive.
template <class A, class B>
int compare(const Word<A>& a, const Word<B>& b) noexcept {
    if constexpr (std::is_same_v<A, char32_t> && std::is_same_v<B, char32_t>) {
        return std::u32string_view(a.data, a.size).compare(std::u32string_view(b.data, b.size));
    }
    const std::size_t n = std::min(a.size, b.size);
    for (std::size_t i = 0; i < n; ++i) {
        const char32_t x = static_cast<char32_t>(a.data[i]), y = static_cast<char32_t>(b.data[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size < b.size ? -1 : (a.size > b.size ? 1 : 0);
}

// The distinct words of s[0..n) of at least `min_length` code points, split
// on runs of white space as str.split() does; sorted by code point.
template <class C>
std::vector<Word<C>> distinct_words(const C* s, std::size_t n, std::size_t min_length) {
    std::vector<Word<C>> out;
    std::size_t i = 0;
    while (i < n) {
        while (i < n && is_space(static_cast<char32_t>(s[i]))) ++i;
        const std::size_t b = i;
        while (i < n && !is_space(static_cast<char32_t>(s[i]))) ++i;
        if (i - b >= min_length) out.push_back({s + b, i - b});
    }
    std::sort(out.begin(), out.end(), [](const Word<C>& x, const Word<C>& y) { return compare(x, y) < 0; });
    out.erase(std::unique(out.begin(), out.end(), [](const Word<C>& x, const Word<C>& y) { return compare(x, y) == 0; }),
              out.end());
    return out;
}

// How many words two sorted lists of distinct words share: one merge.
template <class A, class B>
std::size_t shared_count(const std::vector<Word<A>>& a, const std::vector<Word<B>>& b) {
    std::size_t count = 0;
    for (std::size_t i = 0, j = 0; i < a.size() && j < b.size();) {
        const int c = compare(a[i], b[j]);
        if (c < 0) {
            ++i;
        } else if (c > 0) {
            ++j;
        } else {
            ++count, ++i, ++j;
        }
    }
    return count;
}

}  // namespace lexaro::words
