// Brazilian address normalisation and comparison.
//
// Normalisation folds the text (NFD, Mn removed, lower-cased), strips it,
// then applies the address rules in order, each one a global replacement of
// every leftmost non-overlapping match:
//
//    1  \s+                  -> " "
//    2  [.,;:\-/\\]          -> " "
//    3  \bn[ºo]?\s*          -> ""
//    4-16  whole words:  rua -> r, avenida -> av, avd|avda -> av,
//          travessa -> tv, praca|pracas -> pc, edificio|predio -> ed,
//          conjunto|conj -> cj, sala -> sl, andar -> and, bairro -> "",
//          cep -> ""
//
// and strips the result again. Character classes have the meanings of
// Python's `re` on text: \s = str.isspace(), \d = Unicode decimal digit,
// word character = str.isalnum() or "_", \b between a word character and a
// non-word character (the ends of the text count as non-word).
//
// The rules run as one pass of chained streaming stages. This is exact:
//  * stripping then rule 1 is "drop leading and trailing blanks, turn every
//    inner run of blanks into one space"; afterwards U+0020 is the only blank;
//  * rule 3 decides each "n" from the preceding character of its own input,
//    which the stage remembers, and its optional "º"/"o" is greedy (the
//    trailing \s* cannot fail, so there is never a reason to backtrack);
//  * rows 4-16 each replace a whole word (a maximal run of word characters)
//    by another whole word or by nothing. No replacement is a word of a
//    later row, and removing a word that stands between non-word characters
//    neither joins words nor moves a boundary, so the 13 rows act as a
//    single lookup of every maximal word.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/fold.hpp"
#include "core/unicode.hpp"

namespace lexaro::address {

// ------------------------------------------------------------ classes

inline bool is_space(char32_t c) noexcept {
    if (c < 128) return c == U' ' || (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x1F);
    return unicode::is_space(c);
}
inline bool is_word(char32_t c) noexcept {
    if (c < 128) {
        return (c >= U'a' && c <= U'z') || (c >= U'0' && c <= U'9') || (c >= U'A' && c <= U'Z') || c == U'_';
    }
    return unicode::is_word(c);
}
inline bool is_digit(char32_t c) noexcept {
    if (c < 128) return c >= U'0' && c <= U'9';
    return unicode::is_digit(c);
}
// Rule 2's class: full stop, comma, semicolon, colon, hyphen, slash, backslash.
inline bool is_separator(char32_t c) noexcept {
    switch (c) {
        case U'.': case U',': case U';': case U':': case U'-': case U'/': case U'\\':
            return true;
        default:
            return false;
    }
}

inline constexpr char32_t kOrdinal = 0x00BA;  // "º", masculine ordinal indicator
inline constexpr std::size_t kLongestWord = 8;  // "travessa", "edificio", "conjunto"

// The replacement of rows 4-16 for a whole word w[0..n), or false when the
// word is not one of theirs. `out` receives the replacement (maybe empty).
bool abbreviation(const char32_t* w, std::size_t n, std::u32string_view& out) noexcept;

// ------------------------------------------------------------ stages

// Strip, then rows 1 and 2.
template <class Next>
struct CollapseStage {
    Next& next;
    bool started = false;
    bool pending = false;
    void put(char32_t c) {
        if (is_space(c)) {
            pending = started;
            return;
        }
        if (pending) {
            next.put(U' ');
            pending = false;
        }
        started = true;
        next.put(is_separator(c) ? U' ' : c);
    }
    void finish() { next.finish(); }
};

// Row 3: \bn[ºo]?\s* -> "".
template <class Next>
struct OrdinalStage {
    Next& next;
    enum Mode : std::uint8_t { kNormal, kAfterN, kBlanks };
    Mode mode = kNormal;
    bool prev_word = false;  // the previous character of this stage's input
    void put(char32_t c) {
        if (mode == kAfterN) {
            mode = kBlanks;
            if (c == U'o' || c == kOrdinal) {
                prev_word = is_word(c);
                return;
            }
        }
        if (mode == kBlanks) {
            if (is_space(c)) {
                prev_word = false;
                return;
            }
            mode = kNormal;
        }
        const bool w = is_word(c);
        if (c == U'n' && !prev_word) {
            mode = kAfterN;
        } else {
            next.put(c);
        }
        prev_word = w;
    }
    void finish() { next.finish(); }
};

// Rows 4-16: every maximal word looked up once.
template <class Next>
struct WordStage {
    Next& next;
    char32_t buf[kLongestWord] = {};
    std::size_t len = 0;
    bool long_word = false;  // the current word is already longer than any row's
    void end_word() {
        if (len) {
            std::u32string_view rep;
            if (abbreviation(buf, len, rep)) {
                for (char32_t r : rep) next.put(r);
            } else {
                for (std::size_t i = 0; i < len; ++i) next.put(buf[i]);
            }
            len = 0;
        }
        long_word = false;
    }
    void put(char32_t c) {
        if (is_word(c)) {
            if (long_word) {
                next.put(c);
            } else if (len < kLongestWord) {
                buf[len++] = c;
            } else {
                for (std::size_t i = 0; i < len; ++i) next.put(buf[i]);
                len = 0;
                long_word = true;
                next.put(c);
            }
            return;
        }
        end_word();
        next.put(c);
    }
    void finish() {
        end_word();
        next.finish();
    }
};

// Final strip. Its input holds no blank but U+0020 (rule 1 made them so).
template <class Sink>
struct TrimStage {
    Sink& emit;
    bool started = false;
    std::size_t pending = 0;
    void put(char32_t c) {
        if (c == U' ') {
            if (started) ++pending;
            return;
        }
        for (; pending; --pending) emit(U' ');
        started = true;
        emit(c);
    }
    void finish() {}
};

// Calls emit(char32_t) for every character of the normalised address.
template <class CharT, class Sink>
void normalize_each(const CharT* s, std::size_t n, Sink&& emit) {
    TrimStage<std::remove_reference_t<Sink>> trim{emit};
    WordStage<decltype(trim)> words{trim};
    OrdinalStage<decltype(words)> ordinal{words};
    CollapseStage<decltype(ordinal)> collapse{ordinal};
    text::fold_each(s, n, [&](char32_t c) { collapse.put(c); });
    collapse.finish();
}

template <class CharT>
std::u32string normalize(const CharT* s, std::size_t n) {
    std::u32string out;
    out.reserve(n);
    normalize_each(s, n, [&](char32_t c) { out.push_back(c); });
    return out;
}

// Latin-1 text normalises to Latin-1 text (its folding stays below 256).
std::string normalize_latin1(const std::uint8_t* s, std::size_t n);

// ------------------------------------------------------------ CEP

// The first (leftmost) match of \d{5}\s*-?\s*\d{3} in s[0..n), with the
// backtracking of Python's `re`: the blanks before the hyphen are all taken
// (a blank cannot start the three digits), then the hyphen when it is there
// and followed by blanks and three digits, else no hyphen. On a match,
// `digits` receives its decimal digits (the match with \D removed) and
// true is returned.
template <class CharT>
bool find_cep(const CharT* s, std::size_t n, std::u32string& digits) {
    auto three_at = [&](std::size_t q) {
        return q + 3 <= n && is_digit(s[q]) && is_digit(s[q + 1]) && is_digit(s[q + 2]);
    };
    std::size_t run = 0;  // length of the run of digits ending just before i
    for (std::size_t i = 0; i < n; ++i) {
        if (!is_digit(static_cast<char32_t>(s[i]))) {
            run = 0;
            continue;
        }
        if (++run < 5) continue;
        // s[i-4..i] are five digits: try the match that starts at i - 4.
        const std::size_t start = i - 4;
        std::size_t p = i + 1;
        while (p < n && is_space(static_cast<char32_t>(s[p]))) ++p;
        std::size_t end = 0;
        if (p < n && s[p] == static_cast<CharT>(U'-')) {
            std::size_t q = p + 1;
            while (q < n && is_space(static_cast<char32_t>(s[q]))) ++q;
            if (three_at(q)) end = q + 3;
        }
        if (!end && three_at(p)) end = p + 3;
        if (end) {
            digits.clear();
            for (std::size_t k = start; k < end; ++k)
                if (is_digit(static_cast<char32_t>(s[k]))) digits.push_back(static_cast<char32_t>(s[k]));
            return true;
        }
    }
    return false;
}

// s with every character that is not a decimal digit removed (re.sub(r"\D", "", s)).
template <class CharT>
std::u32string digits_of(const CharT* s, std::size_t n) {
    std::u32string out;
    for (std::size_t i = 0; i < n; ++i)
        if (is_digit(static_cast<char32_t>(s[i]))) out.push_back(static_cast<char32_t>(s[i]));
    return out;
}

// ------------------------------------------------------------ comparison

// Outcome of comparing two normalised addresses, before the CEP step.
enum class Verdict {
    kEmpty,      // a side is empty: no match, 0.0
    kEqual,      // same text: match, 1.0
    kContained,  // one text inside the other: match, 0.9
    kNoWords,    // a side has no word longer than 2 characters: no match, 0.0
    kWords,      // Jaccard index of the word sets, in `similarity`
};
struct Likeness {
    Verdict verdict;
    double similarity;
};

Likeness compare_normalized(std::u32string_view contrato, std::u32string_view receita);

// Whether `needle` occurs in `hay` (linear time whatever the texts).
bool contains(std::u32string_view hay, std::u32string_view needle);

// The distinct blank-separated words of `s` longer than 2 characters, sorted.
std::vector<std::u32string_view> long_words(std::u32string_view s);

inline constexpr double kCepFloor = 0.8;
inline constexpr double kThreshold = 0.5;

}  // namespace lexaro::address
