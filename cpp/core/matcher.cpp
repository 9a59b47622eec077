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
    nsym_ = static_cast<std::uint32_t>(alpha.size()) + 1;
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
    std::vector<std::uint32_t> dense(S * nsym_, 0);
    std::deque<std::uint32_t> q;
    for (std::uint32_t a = 0; a < nsym_; ++a) {
        auto it = kids[0].find(a);
        if (a != 0 && it != kids[0].end()) {
            dense[a] = it->second;
            fail[it->second] = 0;
            q.push_back(it->second);
        }
    }
    while (!q.empty()) {
        const std::uint32_t s = q.front();
        q.pop_front();
        out[s].insert(out[s].end(), out[fail[s]].begin(), out[fail[s]].end());
        for (std::uint32_t a = 0; a < nsym_; ++a) {
            auto it = (a == 0) ? kids[s].end() : kids[s].find(a);
            if (it != kids[s].end()) {
                const std::uint32_t t = it->second;
                fail[t] = dense[fail[s] * nsym_ + a];
                dense[s * nsym_ + a] = t;
                q.push_back(t);
            } else {
                dense[s * nsym_ + a] = dense[fail[s] * nsym_ + a];
            }
        }
    }
    trans_.resize(S * nsym_);
    for (std::size_t i = 0; i < dense.size(); ++i) trans_[i] = dense[i] * nsym_;
    depth_ = std::move(depth);
    out_ = std::move(out);
}

std::vector<bool> MultiMatcher::collect(const std::vector<std::uint8_t>& seen) const {
    std::vector<bool> found = always_;
    for (std::size_t s = 0; s < seen.size(); s += nsym_) {
        if (!seen[s]) continue;
        for (std::uint32_t p : out_[s / nsym_]) found[p] = true;
    }
    return found;
}

std::vector<bool> MultiMatcher::scan_folded(const char32_t* s, std::size_t n) const {
    std::vector<std::uint8_t> seen(trans_.size() ? trans_.size() : 1, 0);
    State st = 0;
    for (std::size_t i = 0; i < n; ++i) {
        st = step(st, symbol(s[i]));
        seen[st] = 1;
    }
    return collect(seen);
}

}  // namespace lexaro::text
