#include "core/address.hpp"

#include <algorithm>
#include <type_traits>

namespace lexaro::address {

namespace detail {

namespace {
Kind kind_by_table(char32_t c) noexcept {
    if (is_separator(c)) return kSeparator;
    if (unicode::is_space(c)) return kBlank;
    return unicode::is_word(c) ? kWord : kOther;
}
}  // namespace

std::uint8_t latin_kind[256];
LatinEntry latin[256];

namespace {
// Fills the two Latin-1 tables from the Unicode data at load time.
struct LatinTables {
    LatinTables() {
        for (char32_t c = 0; c < 256; ++c) latin_kind[c] = kind_by_table(c);
        for (char32_t c = 0; c < 256; ++c) {
            const std::uint8_t f = unicode::tables::latin_fold[c];
            latin[c] = {f, latin_kind[f]};
        }
    }
};
const LatinTables fill_latin_tables;
}  // namespace

}  // namespace detail

namespace {

// Up to 8 ASCII letters packed into one number; word characters are never
// NUL, so words of different lengths never share a key.
constexpr std::uint64_t pack(std::string_view w) noexcept {
    std::uint64_t k = 0;
    for (char c : w) k = (k << 8) | static_cast<unsigned char>(c);
    return k;
}

template <class CharT>
bool lookup(const CharT* w, std::size_t n, std::string_view& out) noexcept {
    if (n < 3 || n > kLongestWord) return false;
    std::uint64_t k = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const auto c = static_cast<std::uint32_t>(w[i]);
        if (c >= 128) return false;
        k = (k << 8) | c;
    }
    // Rows 4-16: each word and its replacement.
    switch (k) {
        case pack("rua"): out = "r"; return true;
        case pack("avenida"): out = "av"; return true;
        case pack("avd"): out = "av"; return true;
        case pack("avda"): out = "av"; return true;
        case pack("travessa"): out = "tv"; return true;
        case pack("praca"): out = "pc"; return true;
        case pack("pracas"): out = "pc"; return true;
        case pack("edificio"): out = "ed"; return true;
        case pack("predio"): out = "ed"; return true;
        case pack("conjunto"): out = "cj"; return true;
        case pack("conj"): out = "cj"; return true;
        case pack("sala"): out = "sl"; return true;
        case pack("andar"): out = "and"; return true;
        case pack("bairro"): out = ""; return true;
        case pack("cep"): out = ""; return true;
        default: return false;
    }
}

}  // namespace

bool abbreviation(const Latin1* w, std::size_t n, std::string_view& out) noexcept { return lookup(w, n, out); }
bool abbreviation(const char32_t* w, std::size_t n, std::string_view& out) noexcept { return lookup(w, n, out); }

std::vector<Latin1> normalize_latin1(const std::uint8_t* s, std::size_t n) {
    Normalizer<Latin1> norm(n);
    norm.put_latin1(s, n);
    return norm.finish();
}

bool contains(std::u32string_view hay, std::u32string_view needle) {
    const std::size_t m = needle.size();
    if (m == 0) return true;
    if (m > hay.size()) return false;
    if (m <= 16) return hay.find(needle) != std::u32string_view::npos;
    // Knuth-Morris-Pratt: no quadratic case on long, repetitive texts.
    std::vector<std::size_t> fail(m, 0);
    for (std::size_t i = 1, k = 0; i < m; ++i) {
        while (k && needle[i] != needle[k]) k = fail[k - 1];
        if (needle[i] == needle[k]) ++k;
        fail[i] = k;
    }
    for (std::size_t i = 0, k = 0; i < hay.size(); ++i) {
        while (k && hay[i] != needle[k]) k = fail[k - 1];
        if (hay[i] == needle[k] && ++k == m) return true;
    }
    return false;
}

std::vector<std::u32string_view> long_words(std::u32string_view s) {
    std::vector<std::u32string_view> words;
    std::size_t i = 0;
    const std::size_t n = s.size();
    while (i < n) {
        while (i < n && is_space(s[i])) ++i;
        const std::size_t b = i;
        while (i < n && !is_space(s[i])) ++i;
        if (i - b > 2) words.push_back(s.substr(b, i - b));
    }
    std::sort(words.begin(), words.end());
    words.erase(std::unique(words.begin(), words.end()), words.end());
    return words;
}

Likeness compare_normalized(std::u32string_view contrato, std::u32string_view receita) {
    if (contrato.empty() || receita.empty()) return {Verdict::kEmpty, 0.0};
    if (contrato == receita) return {Verdict::kEqual, 1.0};
    if (contains(receita, contrato) || contains(contrato, receita)) return {Verdict::kContained, 0.9};
    const auto a = long_words(contrato);
    const auto b = long_words(receita);
    if (a.empty() || b.empty()) return {Verdict::kNoWords, 0.0};
    std::size_t both = 0;
    for (std::size_t i = 0, j = 0; i < a.size() && j < b.size();) {
        if (a[i] < b[j]) {
            ++i;
        } else if (b[j] < a[i]) {
            ++j;
        } else {
            ++both, ++i, ++j;
        }
    }
    const std::size_t either = a.size() + b.size() - both;
    return {Verdict::kWords, static_cast<double>(both) / static_cast<double>(either)};
}

}  // namespace lexaro::address
