// Reader of the Receita Federal open-data CSV files: ISO-8859-1 bytes, `;`
// between fields, every field in double quotes, no header, one record a line.
//
// The files are not clean CSV, so the rules below are lenient on purpose and
// every oddity is data, never a failure:
// - A record is one line ("\n", with an optional "\r" before it). An empty
//   line is skipped.
// - A field that starts with `"` ends at the first `"` followed by `;` or by
//   the end of the line; any other `"` is kept as it is. The files do not
//   escape quotes (`"BAR "DO ZE""` is a name ending in a quote), so `""` is
//   not read as an escape: it would swallow the `;` that follows such a name.
//   A quote never closed ends with the line. A field that does not start
//   with `"` ends at the next `;`.
// - NUL bytes are dropped and counted; other control bytes (tab, stray CR,
//   and the two separators 0x1E/0x1F that the packed form uses) become a
//   blank; blanks around a field are trimmed, except the leading blanks of a
//   text field, which are kept as published (only its end padding goes).
// - A record with the wrong number of fields is rejected and counted.
// - Per field type: dates `YYYYMMDD` (`0`, `00000000` or blank mean none; an
//   impossible date is counted and stored as none), capitals with a decimal
//   comma (the 999999999999 placeholder is counted and kept; a capital that
//   is not a number is counted and stored as none), codes whose distinct
//   values are tallied so the caller can count those missing from the code
//   tables.
//
// Each accepted record becomes a key (a 64-bit integer that orders records by
// CNPJ; 0 for the code tables, which have no CNPJ) and its packed form: the cleaned fields joined by 0x1F.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace lexaro::open_data {

enum class FieldKind : char {
    key = 'k',    // part of the CNPJ: basico (8), ordem (4), dv (2)
    text = 't',
    date = 'd',
    money = 'm',
    code = 'c',
};

struct Counts {
    std::uint64_t rows = 0;            // accepted records
    std::uint64_t bad_columns = 0;     // rejected: wrong number of fields
    std::uint64_t bad_cnpj = 0;        // rejected: the CNPJ part is malformed
    std::uint64_t nul_bytes = 0;       // NUL bytes dropped
    std::uint64_t bad_dates = 0;       // impossible dates stored as none
    std::uint64_t placeholder_capital = 0;
    std::uint64_t bad_capital = 0;     // capital that is not a number
    std::uint64_t long_lines = 0;      // rejected: longer than kMaxLine (no real row comes near)
};

// The longest line read as a record; a longer one is rejected and counted, so
// that neither memory nor time depends on what a broken file holds.
inline constexpr std::size_t kMaxLine = 64 * 1024;

struct Record {
    std::int64_t key;
    std::string packed;
};

struct Result {
    std::vector<Record> records;
    std::size_t consumed = 0;  // bytes of input fully read (whole lines)
    Counts counts;
    // For each field (by index; empty unless it is a code field): distinct
    // value -> number of rows.
    std::vector<std::map<std::string, std::uint64_t, std::less<>>> codes;
};

// The key of a cnpj_basico: its number when it is 8 digits, else (the
// alphanumeric identifiers) 10^8 plus its base-36 value, which keeps the two
// ranges apart and stays injective. -1 when it is not 8 characters of
// [0-9A-Z].
std::int64_t basico_key(std::string_view basico);

// The key of an establishment: basico_key * 10^6 plus ordem and dv read as a
// six-digit number (0 when they hold letters, so an alphanumeric branch sorts
// with its company; the packed record tells them apart). -1 when malformed.
std::int64_t establishment_key(std::string_view basico, std::string_view ordem, std::string_view dv);

// True when `d` (8 digits) is a real calendar date from year 1000 on.
bool valid_date(std::string_view d);

// Parses the complete lines of `data` (all of it when `final`), with the field
// kinds `kinds` (one letter per expected field; the 'k' fields lead). Never
// throws on content.
Result parse(std::string_view data, std::string_view kinds, bool final);

// Field `k` of a packed record (empty when it has fewer fields).
std::string_view packed_field(std::string_view packed, std::size_t k);

// Words of a cleaned Latin-1 field, as Python's str.split() counts them once
// the bytes are decoded (the blanks left after cleaning are the space, NEL
// 0x85 and the no-break space 0xA0).
std::size_t count_words(std::string_view field);

// Where the blocks of a table are cut, for records placed in key order.
// A block closes once it holds at least `target` bytes (each record counts
// its size plus one separator), and only between groups (keys that differ
// after division by `divisor`: a company's establishments stay together), or
// inside a group larger than `max_group` records, but never between two
// records of the same key: a block is found by the key of its first record,
// which must be unique.
struct CutState {
    std::int64_t last = -1;   // key of the last record placed
    std::size_t size = 0;     // bytes in the open block
    std::size_t count = 0;    // records in the open block
};

// Places one record of key `key` (not smaller than the last one) and `size`
// bytes; true when it opens a new block (the open block is then this one).
bool place(CutState& state, std::int64_t key, std::size_t size, std::int64_t divisor, std::size_t target,
           std::size_t max_group);

}  // namespace lexaro::open_data
