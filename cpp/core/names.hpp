// Comparison of person and company names on folded text (accents removed,
// lower-cased, outer blanks stripped). Works on code-point views of any
// width; the two sides may differ in width.
#pragma once
#include <cstddef>
#include <vector>

#include "core/unicode.hpp"
#include "core/words.hpp"

namespace lexaro::names {

// Words of 3 or more code points count in the shared-words rule.
inline constexpr std::size_t kMinWordLength = 3;
// Shared distinct words needed for two names to match.
inline constexpr std::size_t kMinSharedWords = 2;

// True when `needle` occurs in `hay` at a position where the code point
// before it and the one after it (where present) are not alphanumeric in the
// sense of str.isalnum(). Every occurrence is tried, not only the first, in
// one linear scan. An empty needle is never looked for (the callers rule
// empty names out first).
template <class A, class B>
bool contains_at_word_boundaries(const A* needle, std::size_t nn, const B* hay, std::size_t nh) {
    return words::find_each(needle, nn, hay, nh, [&](std::size_t p) {
        const std::size_t e = p + nn;
        const bool left_ok = p == 0 || !unicode::is_alnum(static_cast<char32_t>(hay[p - 1]));
        const bool right_ok = e == nh || !unicode::is_alnum(static_cast<char32_t>(hay[e]));
        return left_ok && right_ok;
    });
}

// The match rule on two folded names: false when either is empty; true when
// one occurs inside the other at word boundaries; else true when they share
// at least kMinSharedWords distinct words of kMinWordLength or more.
template <class A, class B>
bool compare_folded(const A* a, std::size_t na, const B* b, std::size_t nb) {
    if (na == 0 || nb == 0) return false;
    if (contains_at_word_boundaries(a, na, b, nb)) return true;
    if (contains_at_word_boundaries(b, nb, a, na)) return true;
    return words::shared_count(words::distinct_words(a, na, kMinWordLength),
                               words::distinct_words(b, nb, kMinWordLength)) >= kMinSharedWords;
}

// The words of s[0..n): maximal runs of alphanumeric code points (in the
// sense of str.isalnum()); everything else separates them.
template <class C>
std::vector<words::Word<C>> alnum_words(const C* s, std::size_t n) {
    std::vector<words::Word<C>> out;
    std::size_t i = 0;
    while (i < n) {
        while (i < n && !unicode::is_alnum(static_cast<char32_t>(s[i]))) ++i;
        const std::size_t b = i;
        while (i < n && unicode::is_alnum(static_cast<char32_t>(s[i]))) ++i;
        if (i > b) out.push_back({s + b, i - b});
    }
    return out;
}

// A word made only of the ASCII digits 0-9.
template <class C>
bool ascii_digits(const words::Word<C>& w) noexcept {
    for (std::size_t i = 0; i < w.size; ++i) {
        const char32_t c = static_cast<char32_t>(w.data[i]);
        if (c < U'0' || c > U'9') return false;
    }
    return true;
}

// True when the folded `name` is the folded company name `holder` of an
// individual enterprise: the same words in the same order, once the words of
// digits that end `holder` (the owner's CPF, which the registry writes after
// the name) are left out. No words on either side match nothing.
template <class A, class B>
bool is_holder_name(const A* name, std::size_t nn, const B* holder, std::size_t nh) {
    const auto a = alnum_words(name, nn);
    auto b = alnum_words(holder, nh);
    while (!b.empty() && ascii_digits(b.back())) b.pop_back();
    if (a.empty() || a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (words::compare(a[i], b[i]) != 0) return false;
    }
    return true;
}

}  // namespace lexaro::names
