#include "core/matcher.hpp"

#include <algorithm>
#include <deque>
#include <map>

namespace lexaro::text {

MultiMatcher::MultiMatcher(const std::vector<std::u32string>& patterns) : npat_(patterns.size()) {
    always_.assign(npat_, false);
    // Alphabet: the distinct code points of the patterns; symbol 0 is "any other".
    std::vector<char32_t> alpha;
    for (const auto& p : patterns) alpha.insert(alpha.end(), p.begin(), p.end());
    std::sort(alpha.begin(), alpha.end());
    alpha.erase(std::unique(alpha.begin(), alpha.end()), alpha.end());
    const auto nsym = static_cast<std::uint32_t>(alpha.size()) + 1;
    slow_ = nsym;
    width_ = nsym + 1;
    for (std::size_t i = 0; i < alpha.size(); ++i) {
        const auto sym = static_cast<std::uint32_t>(i + 1);
        if (alpha[i] < 256) raw_sym_[alpha[i]] = sym; else wide_syms_.emplace_back(alpha[i], sym);
    }
    for (unsigned c = 0; c < 256; ++c) latin_sym_[c] = raw_sym_[unicode::tables::latin_fold[c]];

    // Trie.
    std::vector<std::map<std::uint32_t, std::uint32_t>> kids(1);
    std::vector<std::uint32_t> depth(1, 0);
    std::vector<std::vector<std::uint32_t>> out(1);
    for (std::size_t pi = 0; pi < patterns.size(); ++pi) {
        const auto& p = patterns[pi];
        if (p.empty()) {
            always_[pi] = true;
            continue;
        }
        std::uint32_t s = 0;
        for (char32_t c : p) {
            const std::uint32_t sym = symbol(c);
            auto it = kids[s].find(sym);
            if (it == kids[s].end()) {
                const auto ns = static_cast<std::uint32_t>(kids.size());
                kids[s][sym] = ns;
                kids.emplace_back();
                depth.push_back(depth[s] + 1);
                out.emplace_back();
                s = ns;
            } else {
                s = it->second;
            }
        }
        out[s].push_back(static_cast<std::uint32_t>(pi));
    }
    // Failure links, breadth first, folded into a dense transition table.
    const std::size_t S = kids.size();
    std::vector<std::uint32_t> fail(S, 0);
    std::vector<std::uint32_t> dense(S * nsym, 0);
    std::deque<std::uint32_t> q;
    for (const auto& [a, t] : kids[0]) {
        dense[a] = t;
        q.push_back(t);
    }
    while (!q.empty()) {
        const std::uint32_t s = q.front();
        q.pop_front();
        out[s].insert(out[s].end(), out[fail[s]].begin(), out[fail[s]].end());
        for (std::uint32_t a = 0; a < nsym; ++a) {
            auto it = (a == 0) ? kids[s].end() : kids[s].find(a);
            if (it != kids[s].end()) {
                const std::uint32_t t = it->second;
                fail[t] = dense[fail[s] * nsym + a];
                dense[s * nsym + a] = t;
                q.push_back(t);
            } else {
                dense[s * nsym + a] = dense[fail[s] * nsym + a];
            }
        }
    }
    // Premultiplied rows, plus the slow column and the absorbing bail state.
    bail_ = static_cast<State>(S * width_);
    trans_.assign((S + 1) * width_, bail_);
    for (std::size_t r = 0; r < S; ++r)
        for (std::uint32_t a = 0; a < nsym; ++a) trans_[r * width_ + a] = dense[r * nsym + a] * width_;
    depth.push_back(0);
    out.emplace_back();
    depth_ = std::move(depth);
    out_ = std::move(out);
    accepting_.assign(trans_.size(), 0);
    for (std::size_t r = 0; r <= S; ++r) accepting_[r * width_] = out_[r].empty() ? 0 : 1;
}

std::uint32_t MultiMatcher::symbol(char32_t c) const noexcept {
    if (c < 256) return raw_sym_[c];
    auto it = std::lower_bound(wide_syms_.begin(), wide_syms_.end(), c,
                               [](const auto& e, char32_t x) { return e.first < x; });
    return (it != wide_syms_.end() && it->first == c) ? it->second : 0;
}

std::uint32_t MultiMatcher::wide_symbol(char32_t c) const noexcept {
    const auto& e = unicode::entry(c);
    if ((e.flags & (unicode::kSpecial | unicode::kHangul)) || c == kCapitalSigma) return slow_;
    if (e.flags & unicode::kIdent) return symbol(c);
    if (e.fold_len == 1) return symbol(unicode::tables::pool[e.fold_off]);
    return slow_;
}

const std::uint16_t* MultiMatcher::sym16() const {
    std::call_once(sym16_once_, [this] {
        sym16_.resize(0x10000);
        for (char32_t c = 0; c < 0x10000; ++c) {
            const std::uint32_t v = c < 256 ? latin_sym_[c] : wide_symbol(c);
            sym16_[c] = static_cast<std::uint16_t>(v);
        }
    });
    return sym16_.data();
}

std::vector<bool> MultiMatcher::collect(const std::vector<std::uint8_t>& seen) const {
    std::vector<bool> found = always_;
    for (std::size_t s = 0; s < seen.size(); s += width_) {
        if (!seen[s]) continue;
        for (std::uint32_t p : out_[s / width_]) found[p] = true;
    }
    return found;
}

}  // namespace lexaro::text
