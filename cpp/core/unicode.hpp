// Unicode character data of the text core: folding sequences and character
// classes, generated at build time from the building interpreter.
#pragma once
#include <cstddef>
#include <cstdint>

namespace lexaro::unicode {

enum Flag : std::uint16_t {
    kIdent = 1u << 0,    // folds to itself and has no Mn in its decomposition
    kSpecial = 1u << 1,  // its decomposition keeps a non-Mn combining character
    kStarter = 1u << 2,  // its decomposition holds a character of combining class 0
    kIgnorable = 1u << 3,  // case-ignorable (final-sigma rule)
    kCased = 1u << 4,      // cased and not case-ignorable (final-sigma rule)
    kHangul = 1u << 5,     // precomposed Hangul syllable (algorithmic decomposition)
    kDigit = 1u << 6,      // Unicode decimal digit: regex \d, str.isdecimal()
    kSpace = 1u << 7,      // regex \s, str.isspace()
    kAlnum = 1u << 8,      // str.isalnum(); with "_" the regex word characters
};

namespace tables {
struct Entry {
    std::uint32_t fold_off;
    std::uint32_t pre_off;
    std::uint16_t flags;
    std::uint8_t fold_len;
    std::uint8_t pre_len;
};
struct SpecialElem {
    char32_t cp;
    std::uint8_t ccc;
    std::uint8_t is_mn;
};
struct Special {
    char32_t cp;
    std::uint32_t off;
    std::uint32_t len;
};
extern const char unidata_version[];
extern const std::uint16_t stage1[];
extern const std::uint16_t stage2[];
extern const Entry entries[];
extern const char32_t pool[];
extern const std::uint8_t latin_fold[256];
extern const SpecialElem special_elems[];
extern const Special specials[];
extern const std::size_t n_specials;
}  // namespace tables

inline const tables::Entry& entry(char32_t cp) noexcept {
    if (cp > 0x10FFFF) cp = 0x10FFFF;  // never reached for Python text
    return tables::entries[tables::stage2[(static_cast<std::size_t>(tables::stage1[cp >> 8]) << 8) | (cp & 0xFF)]];
}
inline std::uint16_t flags(char32_t cp) noexcept { return entry(cp).flags; }
inline bool is_digit(char32_t cp) noexcept { return flags(cp) & kDigit; }
inline bool is_space(char32_t cp) noexcept { return flags(cp) & kSpace; }
inline bool is_alnum(char32_t cp) noexcept { return flags(cp) & kAlnum; }
// Word character of Python's `re` on text: alphanumeric or the underscore.
inline bool is_word(char32_t cp) noexcept { return cp == U'_' || is_alnum(cp); }

const tables::Special* find_special(char32_t cp) noexcept;

// Hangul syllables decompose algorithmically into two or three jamo.
inline int hangul_decompose(char32_t cp, char32_t out[3]) noexcept {
    constexpr char32_t SBase = 0xAC00, LBase = 0x1100, VBase = 0x1161, TBase = 0x11A7;
    constexpr unsigned TCount = 28, NCount = 588;
    const unsigned s = cp - SBase;
    out[0] = LBase + s / NCount;
    out[1] = VBase + (s % NCount) / TCount;
    const unsigned t = s % TCount;
    if (t == 0) return 2;
    out[2] = TBase + t;
    return 3;
}

}  // namespace lexaro::unicode
