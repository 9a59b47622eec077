#include "core/address.hpp"

#include <algorithm>

namespace lexaro::address {

namespace {

bool same(const char32_t* w, std::size_t n, const char* ascii) noexcept {
    for (std::size_t i = 0; i < n; ++i)
        if (w[i] != static_cast<char32_t>(static_cast<unsigned char>(ascii[i]))) return false;
    return ascii[n] == '\0';
}

}  // namespace

bool abbreviation(const char32_t* w, std::size_t n, std::u32string_view& out) noexcept {
    // Rows 4-16; each word's row gives its replacement.
    struct Row {
        const char* word;
        std::u32string_view rep;
    };
    static constexpr Row rows[] = {
        {"rua", U"r"},        {"avenida", U"av"}, {"avd", U"av"},      {"avda", U"av"},
        {"travessa", U"tv"},  {"praca", U"pc"},   {"pracas", U"pc"},   {"edificio", U"ed"},
        {"predio", U"ed"},    {"conjunto", U"cj"}, {"conj", U"cj"},    {"sala", U"sl"},
        {"andar", U"and"},    {"bairro", U""},    {"cep", U""},
    };
    if (n < 3 || n > kLongestWord) return false;
    switch (w[0]) {
        case U'r': case U'a': case U't': case U'p': case U'e': case U'c': case U's': case U'b':
            break;
        default:
            return false;
    }
    for (const Row& r : rows) {
        if (static_cast<char32_t>(r.word[0]) == w[0] && same(w, n, r.word)) {
            out = r.rep;
            return true;
        }
    }
    return false;
}

std::string normalize_latin1(const std::uint8_t* s, std::size_t n) {
    std::string out;
    out.reserve(n);
    normalize_each(s, n, [&](char32_t c) { out.push_back(static_cast<char>(static_cast<unsigned char>(c))); });
    return out;
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
