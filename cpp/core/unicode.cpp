#include "core/unicode.hpp"

#include <algorithm>

namespace lexaro::unicode {

const tables::Special* find_special(char32_t cp) noexcept {
    const tables::Special* begin = tables::specials;
    const tables::Special* end = tables::specials + tables::n_specials;
    const tables::Special* it =
        std::lower_bound(begin, end, cp, [](const tables::Special& s, char32_t c) { return s.cp < c; });
    return (it != end && it->cp == cp) ? it : nullptr;
}

}  // namespace lexaro::unicode
