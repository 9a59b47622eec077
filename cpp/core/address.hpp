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
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "core/fold.hpp"
#include "core/unicode.hpp"
#include "core/words.hpp"

namespace lexaro::address {

// ------------------------------------------------------------ classes

using words::is_space;
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
// A Latin-1 code unit of a result. Not a character type, so the compiler
// knows that writing one changes no other object (no reloads of the state
// of the normaliser after every character written).
enum class Latin1 : std::uint8_t {};

// Whether a word that starts with c can be one of rows 4-16.
inline bool may_abbreviate(char32_t c) noexcept {
    constexpr std::uint32_t firsts = (1u << ('r' - 'a')) | (1u << 0) | (1u << ('t' - 'a')) | (1u << ('p' - 'a')) |
                                     (1u << ('e' - 'a')) | (1u << ('c' - 'a')) | (1u << ('s' - 'a')) |
                                     (1u << ('b' - 'a'));
    const char32_t d = c - U'a';
    return d < 26 && ((firsts >> d) & 1u);
}

bool abbreviation(const Latin1* w, std::size_t n, std::string_view& out) noexcept;
bool abbreviation(const char32_t* w, std::size_t n, std::string_view& out) noexcept;

// What the rules need to know of a folded character.
enum Kind : std::uint8_t { kOther = 0, kWord = 1, kBlank = 2, kSeparator = 3 };

namespace detail {
struct LatinEntry {
    std::uint8_t fold;  // the folded character
    std::uint8_t kind;  // the Kind of the folded character
};
// Filled from the Unicode data when the library is loaded.
extern LatinEntry latin[256];           // by raw Latin-1 character
extern std::uint8_t latin_kind[256];    // by (folded) character
}  // namespace detail

inline Kind kind_of(char32_t c) noexcept {
    if (c < 256) return static_cast<Kind>(detail::latin_kind[c]);
    return unicode::is_space(c) ? kBlank : (unicode::is_word(c) ? kWord : kOther);
}

// The rules as one streaming transducer over the folded text. Its stages,
// each fed by the one before:
//   A  strip + rows 1-2: leading blanks dropped, an inner run of blanks
//      becomes one space (a trailing run never reaches B), separators spaces;
//   B  row 3, deciding each "n" by the previous character of B's input;
//   C  rows 4-16, each word written out at once and, when it ends, looked up
//      and rewritten in place;
//   D  final strip: a space is dropped while the output is empty, trailing
//      spaces are cut at the end. The output never starts with a space and
//      C only rewrites its tail, so "output empty" is "nothing emitted yet".
// Output is never longer than the folded text.
template <class OutT>
class Normalizer {
public:
    explicit Normalizer(std::size_t expected) : out_(expected < 16 ? 16 : expected) {}

    // One character of the folded text and its kind.
    void put(char32_t c, Kind k) {
        if (k == kBlank) {
            pending_blank_ = started_;
            return;
        }
        if (pending_blank_) {
            ordinal(U' ', kBlank);
            pending_blank_ = false;
        }
        started_ = true;
        if (k == kSeparator)
            ordinal(U' ', kBlank);
        else
            ordinal(c, k);
    }
    void put(char32_t c) { put(c, kind_of(c)); }

    // Raw Latin-1 text, folded by table. While stage C is inside a word,
    // stage A holds no blank and stage B is idle (so B's previous character
    // was this word's), a word character only extends the word: such runs
    // are copied by a tight loop.
    void put_latin1(const std::uint8_t* s, std::size_t n) {
        detail::LatinEntry tab[256];  // a local copy: its address is known to the loop
        std::copy(std::begin(detail::latin), std::end(detail::latin), tab);
        std::size_t i = 0;
        while (i < n) {
            const detail::LatinEntry e = tab[s[i]];
            if (e.kind == kWord && word_start_ != kNoWord && mode_ == kNormal && !pending_blank_) {
                OutT* const out = out_.data();
                std::size_t o = o_;
                const std::size_t stop = i + std::min(n - i, out_.size() - o);
                std::size_t j = i;
                while (j < stop) {
                    const detail::LatinEntry f = tab[s[j]];
                    if (f.kind != kWord) break;
                    out[o++] = static_cast<OutT>(f.fold);
                    ++j;
                }
                o_ = o;
                if (j != i) {
                    i = j;
                    continue;
                }
            }
            put(e.fold, static_cast<Kind>(e.kind));
            ++i;
        }
    }

    // The normalised text; the normaliser is spent.
    std::vector<OutT> finish() {
        if (word_start_ != kNoWord) end_word();
        while (o_ && out_[o_ - 1] == static_cast<OutT>(U' ')) --o_;
        out_.resize(o_);
        return std::move(out_);
    }

private:
    static constexpr std::size_t kNoWord = static_cast<std::size_t>(-1);
    enum Mode : std::uint8_t { kNormal, kAfterN, kBlanks };

    // Stage B: \bn[ºo]?\s* -> "". After stage A the only blank is U+0020.
    void ordinal(char32_t c, Kind k) {
        if (mode_ == kAfterN) {
            mode_ = kBlanks;
            if (c == U'o' || c == kOrdinal) return;  // both word characters
        }
        if (mode_ == kBlanks) {
            if (c == U' ') {
                prev_word_ = false;
                return;
            }
            mode_ = kNormal;
        }
        if (c == U'n' && !prev_word_) {
            mode_ = kAfterN;
            prev_word_ = true;
            return;
        }
        prev_word_ = (k == kWord);
        words(c, k);
    }

    // Stage C: whole words of rows 4-16.
    void words(char32_t c, Kind k) {
        if (k == kWord) {
            if (word_start_ == kNoWord) word_start_ = o_;
            write(c);
            return;
        }
        if (word_start_ != kNoWord) end_word();
        // Stage D: no space at the start.
        if (c == U' ' && o_ == 0) return;
        write(c);
    }

    void end_word() {
        const std::size_t n = o_ - word_start_;
        std::string_view rep;
        if (n >= 3 && n <= kLongestWord && may_abbreviate(static_cast<char32_t>(out_[word_start_])) &&
            abbreviation(out_.data() + word_start_, n, rep)) {
            for (std::size_t i = 0; i < rep.size(); ++i) out_[word_start_ + i] = static_cast<OutT>(rep[i]);
            o_ = word_start_ + rep.size();
        }
        word_start_ = kNoWord;
    }

    void write(char32_t c) {
        if (o_ == out_.size()) out_.resize(out_.size() * 2);
        out_[o_++] = static_cast<OutT>(c);
    }

    std::vector<OutT> out_;
    std::size_t o_ = 0;
    bool started_ = false;        // A: a non-blank was seen
    bool pending_blank_ = false;  // A: a run of blanks since the last non-blank
    Mode mode_ = kNormal;         // B
    bool prev_word_ = false;      // B: its previous input was a word character
    std::size_t word_start_ = kNoWord;  // C: where the current word begins in out_
};

// The normalised address as UTF-32.
template <class CharT>
std::vector<char32_t> normalize(const CharT* s, std::size_t n) {
    Normalizer<char32_t> norm(n);
    if constexpr (sizeof(CharT) == 1) {
        norm.put_latin1(s, n);
    } else {
        text::fold_each(s, n, [&](char32_t c) { norm.put(c); });
    }
    return norm.finish();
}

// Latin-1 text normalises to Latin-1 text (its folding stays below 256).
std::vector<Latin1> normalize_latin1(const std::uint8_t* s, std::size_t n);

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

// Words longer than 2 characters count in the Jaccard index.
inline constexpr std::size_t kMinWordLength = 3;

Likeness compare_normalized(std::u32string_view contrato, std::u32string_view receita);

inline constexpr double kCepFloor = 0.8;
inline constexpr double kThreshold = 0.5;

}  // namespace lexaro::address
