#include "core/names.hpp"

namespace lexaro::names {

std::size_t shared_count(const std::vector<std::u32string>& a, const std::vector<std::u32string>& b) {
    std::size_t count = 0;
    auto i = a.begin();
    auto j = b.begin();
    while (i != a.end() && j != b.end()) {
        if (*i < *j) {
            ++i;
        } else if (*j < *i) {
            ++j;
        } else {
            ++count;
            ++i;
            ++j;
        }
    }
    return count;
}

}  // namespace lexaro::names
