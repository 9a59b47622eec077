#include "core/open_data.hpp"

#include <deque>

namespace lexaro::open_data {

namespace {

constexpr char kFieldSep = '\x1f';
constexpr char kRecordSep = '\x1e';

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_alnum_upper(char c) { return is_digit(c) || (c >= 'A' && c <= 'Z'); }

// Trims blanks at the end only.
std::string_view trim_end(std::string_view v) {
    std::size_t b = v.size();
    while (b > 0 && v[b - 1] == ' ') --b;
    return v.substr(0, b);
}

// Trims blanks at both ends.
std::string_view trim(std::string_view v) {
    std::size_t a = 0, b = v.size();
    while (a < b && v[a] == ' ') ++a;
    while (b > a && v[b - 1] == ' ') --b;
    return v.substr(a, b - a);
}

bool all_zero(std::string_view v) {
    for (char c : v)
        if (c != '0') return false;
    return true;
}

}  // namespace

std::int64_t basico_key(std::string_view b) {
    if (b.size() != 8) return -1;
    bool digits = true;
    for (char c : b) {
        if (!is_alnum_upper(c)) return -1;
        if (!is_digit(c)) digits = false;
    }
    std::int64_t v = 0;
    if (digits) {
        for (char c : b) v = v * 10 + (c - '0');
        return v;
    }
    for (char c : b) v = v * 36 + (is_digit(c) ? c - '0' : c - 'A' + 10);
    return 100000000LL + v;
}

std::int64_t establishment_key(std::string_view basico, std::string_view ordem, std::string_view dv) {
    const std::int64_t b = basico_key(basico);
    if (b < 0 || ordem.size() != 4 || dv.size() != 2) return -1;
    std::int64_t suffix = 0;
    bool digits = true;
    for (char c : ordem) {
        if (!is_alnum_upper(c)) return -1;
        if (!is_digit(c)) digits = false;
    }
    for (char c : dv)
        if (!is_digit(c)) return -1;
    if (digits) {
        for (char c : ordem) suffix = suffix * 10 + (c - '0');
        for (char c : dv) suffix = suffix * 10 + (c - '0');
    }
    return b * 1000000LL + suffix;
}

bool valid_date(std::string_view d) {
    if (d.size() != 8) return false;
    for (char c : d)
        if (!is_digit(c)) return false;
    const int y = (d[0] - '0') * 1000 + (d[1] - '0') * 100 + (d[2] - '0') * 10 + (d[3] - '0');
    const int m = (d[4] - '0') * 10 + (d[5] - '0');
    const int day = (d[6] - '0') * 10 + (d[7] - '0');
    if (y < 1000 || m < 1 || m > 12 || day < 1) return false;
    static const int len[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int max = len[m - 1];
    // Gregorian leap years: every 4th, except centuries not divisible by 400.
    if (m == 2 && ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0)) max = 29;
    return day <= max;
}

namespace {

// A capital: digits, optionally a comma and more digits. The integer part
// "999999999999" is the placeholder some rows carry.
enum class Money { ok, placeholder, bad };
Money check_money(std::string_view v) {
    std::size_t i = 0;
    while (i < v.size() && is_digit(v[i])) ++i;
    if (i == 0) return Money::bad;
    const std::string_view whole = v.substr(0, i);
    if (i < v.size()) {
        if (v[i] != ',') return Money::bad;
        ++i;
        if (i == v.size()) return Money::bad;
        for (; i < v.size(); ++i)
            if (!is_digit(v[i])) return Money::bad;
    }
    return whole == "999999999999" ? Money::placeholder : Money::ok;
}

// Bytes that stop the scan of a field: the quote, the separator, and the
// control bytes that cleaning removes (NUL) or blanks (the rest, 0x7F too).
struct StopTable {
    bool stop[256] = {};
    constexpr StopTable() {
        for (int c = 0; c < 0x20; ++c) stop[c] = true;
        stop[0x7f] = true;
        stop[static_cast<unsigned char>('"')] = true;
        stop[static_cast<unsigned char>(';')] = true;
    }
};
constexpr StopTable kStop{};

bool is_control(unsigned char u) { return u < 0x20 || u == 0x7f; }

// The cleaned text of a raw field: NUL dropped (and counted), other control
// bytes blanked.
void clean_into(std::string_view raw, std::string& out, Counts& counts) {
    out.clear();
    for (char c : raw) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u == 0) {
            ++counts.nul_bytes;
            continue;
        }
        out.push_back(is_control(u) ? ' ' : c);
    }
}

// Splits one line (without its end of line) into fields. A field is a view of
// the line itself, or of `scratch` when it had control bytes to clean (both
// reused from line to line; a deque, so that growing it never moves the
// strings that earlier fields of the line point into). Returns how many fields the line has.
std::size_t split_line(std::string_view line, std::vector<std::string_view>& fields,
                       std::deque<std::string>& scratch, Counts& counts) {
    std::size_t count = 0;
    std::size_t i = 0;
    const std::size_t n = line.size();
    const char* d = line.data();
    while (true) {
        std::size_t start, end;
        bool dirty = false;
        if (i < n && d[i] == '"') {
            start = ++i;
            while (true) {
                while (i < n && !kStop.stop[static_cast<unsigned char>(d[i])]) ++i;
                if (i == n) {  // quote never closed: the field ends with the line
                    end = n;
                    break;
                }
                if (d[i] == '"' && (i + 1 == n || d[i + 1] == ';')) {
                    end = i++;
                    break;
                }
                if (is_control(static_cast<unsigned char>(d[i]))) dirty = true;
                ++i;  // a quote inside the field, a `;` inside quotes: content
            }
        } else {
            start = i;
            while (i < n && d[i] != ';') {
                if (is_control(static_cast<unsigned char>(d[i]))) dirty = true;
                ++i;
            }
            end = i;
        }
        if (count == fields.size()) {
            fields.emplace_back();
            scratch.emplace_back();
        }
        std::string_view v = line.substr(start, end - start);
        if (dirty) {
            clean_into(v, scratch[count], counts);
            v = scratch[count];
        }
        fields[count++] = v;
        if (i < n && d[i] == ';') {
            ++i;
            continue;
        }
        return count;
    }
}

}  // namespace

Result parse(std::string_view data, std::string_view kinds, bool final) {
    Result r;
    const std::size_t nfields = kinds.size();
    std::size_t nkey = 0;
    while (nkey < nfields && kinds[nkey] == 'k') ++nkey;
    r.codes.resize(nfields);
    std::vector<std::string_view> fields;
    std::deque<std::string> scratch;
    fields.reserve(nfields + 4);
    std::size_t pos = 0;
    const std::size_t size = data.size();
    while (pos < size) {
        std::size_t eol = data.find('\n', pos);
        std::size_t next;
        if (eol == std::string_view::npos) {
            if (!final) break;
            eol = size;
            next = size;
        } else {
            next = eol + 1;
        }
        std::string_view line = data.substr(pos, eol - pos);
        pos = next;
        r.consumed = pos;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) continue;
        if (line.size() > kMaxLine) {
            ++r.counts.long_lines;
            continue;
        }
        if (split_line(line, fields, scratch, r.counts) != nfields) {
            ++r.counts.bad_columns;
            continue;
        }
        std::int64_t key;
        if (nkey == 0)
            key = 0;
        else if (nkey >= 3)
            key = establishment_key(trim(fields[0]), trim(fields[1]), trim(fields[2]));
        else
            key = basico_key(trim(fields[0]));
        if (key < 0) {
            ++r.counts.bad_cnpj;
            continue;
        }
        Record rec;
        rec.key = key;
        std::string& out = rec.packed;
        out.reserve(line.size());
        for (std::size_t k = 0; k < nfields; ++k) {
            if (k) out.push_back(kFieldSep);
            // Text keeps its leading blanks as published (only the padding at
            // its end goes); the other kinds are read without blanks around them.
            const bool text = static_cast<FieldKind>(kinds[k]) == FieldKind::text;
            std::string_view v = text ? trim_end(fields[k]) : trim(fields[k]);
            switch (static_cast<FieldKind>(kinds[k])) {
                case FieldKind::date:
                    if (v.empty() || all_zero(v)) v = {};
                    else if (!valid_date(v)) {
                        ++r.counts.bad_dates;
                        v = {};
                    }
                    break;
                case FieldKind::money:
                    if (!v.empty()) {
                        const Money m = check_money(v);
                        if (m == Money::placeholder) ++r.counts.placeholder_capital;
                        if (m == Money::bad) {
                            ++r.counts.bad_capital;
                            v = {};
                        }
                    }
                    break;
                case FieldKind::code: {
                    auto& tally = r.codes[k];
                    auto it = tally.find(v);
                    if (it == tally.end()) it = tally.emplace(std::string(v), 0).first;
                    ++it->second;
                    break;
                }
                default:
                    break;
            }
            out.append(v.data(), v.size());
        }
        static_assert(kRecordSep != kFieldSep);
        r.records.push_back(std::move(rec));
        ++r.counts.rows;
    }
    if (final) r.consumed = size;
    return r;
}

std::string_view packed_field(std::string_view packed, std::size_t k) {
    std::size_t start = 0;
    for (std::size_t i = 0; i < k; ++i) {
        const std::size_t sep = packed.find(kFieldSep, start);
        if (sep == std::string_view::npos) return {};
        start = sep + 1;
    }
    const std::size_t end = packed.find(kFieldSep, start);
    return packed.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
}

std::size_t count_words(std::string_view field) {
    std::size_t words = 0;
    bool in_word = false;
    for (char c : field) {
        const unsigned char u = static_cast<unsigned char>(c);
        const bool blank = u == 0x20 || u == 0x85 || u == 0xA0 || u < 0x20;
        if (!blank && !in_word) ++words;
        in_word = !blank;
    }
    return words;
}

bool place(CutState& st, std::int64_t k, std::size_t size, std::int64_t divisor, std::size_t target,
           std::size_t max_group) {
    // st.size >= target implies a record was placed, so st.last >= 0 and
    // the divisions below are on non-negative keys.
    bool opens = false;
    if (st.size >= target && (k / divisor != st.last / divisor || (st.count >= max_group && k != st.last))) {
        st.size = 0;
        st.count = 0;
        opens = true;
    }
    st.size += size + 1;
    ++st.count;
    st.last = k;
    return opens;
}

}  // namespace lexaro::open_data
