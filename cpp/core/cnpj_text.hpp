// CNPJ text: cleaning, validity and display form, plus the reading of the
// capital amounts that the registry services write as text.
//
// Cleaning keeps the Unicode decimal digits (regex \d on str), except for the
// alphanumeric CNPJ issued since July 2026: when the ASCII letters and digits
// of the text are exactly 14, hold a letter, have letters only in the first
// 12 places and carry valid mod-11 check digits, the cleaned form is those 14
// characters upper-cased.
//
// Everything works on code-point views of any width (1, 2 or 4 bytes).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/unicode.hpp"

namespace lexaro::cnpj_text {

inline constexpr std::size_t kLength = 14;

inline constexpr bool is_ascii_digit(char32_t c) noexcept { return c >= U'0' && c <= U'9'; }
inline constexpr bool is_ascii_upper(char32_t c) noexcept { return c >= U'A' && c <= U'Z'; }
inline constexpr bool is_ascii_lower(char32_t c) noexcept { return c >= U'a' && c <= U'z'; }
inline constexpr bool is_ascii_alnum(char32_t c) noexcept {
    return is_ascii_digit(c) || is_ascii_upper(c) || is_ascii_lower(c);
}

// The two check digits of the first 12 characters (ASCII digits or
// upper-case letters, each valued at its code minus 48), modulo 11.
void check_digits(const char* first12, char out[2]) noexcept;

// True when the 14 characters (digits or upper-case letters) end in the
// check digits of their first 12.
bool check_digits_valid(const char* c14) noexcept;

// The alphanumeric form of the text, when the rule above applies: writes the
// 14 upper-cased characters to `out` and returns true.
template <class CharT>
bool alphanumeric_form(const CharT* d, std::size_t n, char out[kLength]) noexcept {
    std::size_t k = 0;
    bool letter = false;
    for (std::size_t i = 0; i < n; ++i) {
        const char32_t c = static_cast<char32_t>(d[i]);
        if (!is_ascii_alnum(c)) continue;
        if (k == kLength) return false;  // more than 14
        char u = static_cast<char>(is_ascii_lower(c) ? c - (U'a' - U'A') : c);
        if (!is_ascii_digit(c)) {
            if (k >= 12) return false;  // a letter among the check digits
            letter = true;
        }
        out[k++] = u;
    }
    return k == kLength && letter && check_digits_valid(out);
}

// Calls sink(c) for every decimal digit of the text, in order.
template <class CharT, class Sink>
void for_each_digit(const CharT* d, std::size_t n, Sink&& sink) {
    if constexpr (sizeof(CharT) == 1) {
        // The only decimal digits of Latin-1 are the ASCII ones.
        for (std::size_t i = 0; i < n; ++i)
            if (is_ascii_digit(d[i])) sink(static_cast<char32_t>(d[i]));
    } else {
        for (std::size_t i = 0; i < n; ++i) {
            const char32_t c = static_cast<char32_t>(d[i]);
            if (is_ascii_digit(c) || (c >= 0x80 && unicode::is_digit(c))) sink(c);
        }
    }
}

template <class CharT>
std::size_t count_digits(const CharT* d, std::size_t n) noexcept {
    std::size_t k = 0;
    for_each_digit(d, n, [&](char32_t) { ++k; });
    return k;
}

// The cleaned form, as code points.
template <class CharT>
std::u32string clean(const CharT* d, std::size_t n) {
    std::u32string r;
    if (n == 0) return r;
    char an[kLength];
    if (alphanumeric_form(d, n, an)) return std::u32string(an, an + kLength);
    for_each_digit(d, n, [&](char32_t c) { r.push_back(c); });
    return r;
}

// Length of the cleaned form, without building it.
template <class CharT>
std::size_t clean_length(const CharT* d, std::size_t n) noexcept {
    if (n == 0) return 0;
    char an[kLength];
    if (alphanumeric_form(d, n, an)) return kLength;
    return count_digits(d, n);
}

// Display form "XX.XXX.XXX/XXXX-XX" of 14 cleaned characters.
inline constexpr std::size_t kDisplayLength = 18;
template <class CharT, class Sink>
void display(const CharT* c, Sink&& sink) {
    for (std::size_t i = 0; i < kLength; ++i) {
        if (i == 2 || i == 5) sink(U'.');
        if (i == 8) sink(U'/');
        if (i == 12) sink(U'-');
        sink(static_cast<char32_t>(c[i]));
    }
}

// How a capital amount written as text is turned into a number.
enum class CapitalForm {
    Empty,      // "" is the integer 0
    Comma,      // drop every ".", then "," becomes "." ("1.500.000,50")
    Decimal,    // one "." followed by one or two digits, as written ("3000.00")
    Thousands,  // drop every "." ("1.500.000")
};

template <class CharT>
CapitalForm capital_form(const CharT* d, std::size_t n) noexcept {
    if (n == 0) return CapitalForm::Empty;
    std::size_t dots = 0, last_dot = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const char32_t c = static_cast<char32_t>(d[i]);
        if (c == U',') return CapitalForm::Comma;
        if (c == U'.') {
            ++dots;
            last_dot = i;
        }
    }
    if (dots != 1) return CapitalForm::Thousands;
    const std::size_t tail = n - last_dot - 1;
    if (tail < 1 || tail > 2) return CapitalForm::Thousands;
    for (std::size_t i = last_dot + 1; i < n; ++i)
        if (!unicode::is_digit(static_cast<char32_t>(d[i]))) return CapitalForm::Thousands;
    return CapitalForm::Decimal;
}

// The text handed to the float conversion for a capital of the given form.
template <class CharT, class Sink>
void capital_text(const CharT* d, std::size_t n, CapitalForm form, Sink&& sink) {
    for (std::size_t i = 0; i < n; ++i) {
        const char32_t c = static_cast<char32_t>(d[i]);
        if (form == CapitalForm::Decimal) {
            sink(c);
        } else if (c == U'.') {
            continue;
        } else if (c == U',' && form == CapitalForm::Comma) {
            sink(U'.');
        } else {
            sink(c);
        }
    }
}

}  // namespace lexaro::cnpj_text
