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

Likeness compare_normalized(std::u32string_view contrato, std::u32string_view receita) {
    if (contrato.empty() || receita.empty()) return {Verdict::kEmpty, 0.0};
    if (contrato == receita) return {Verdict::kEqual, 1.0};
    if (words::contains(contrato.data(), contrato.size(), receita.data(), receita.size()) ||
        words::contains(receita.data(), receita.size(), contrato.data(), contrato.size()))
        return {Verdict::kContained, 0.9};
    const auto a = words::distinct_words(contrato.data(), contrato.size(), kMinWordLength);
    const auto b = words::distinct_words(receita.data(), receita.size(), kMinWordLength);
    if (a.empty() || b.empty()) return {Verdict::kNoWords, 0.0};
    const std::size_t both = words::shared_count(a, b);
    const std::size_t either = a.size() + b.size() - both;
    return {Verdict::kWords, static_cast<double>(both) / static_cast<double>(either)};
}

}  // namespace lexaro::address
