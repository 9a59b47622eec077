#include "core/cnpj_text.hpp"

namespace lexaro::cnpj_text {

namespace {
// Weights 2..9 from the right, restarting after 9.
int check_digit(const char* c, std::size_t n) noexcept {
    int sum = 0;
    int w = 2;
    for (std::size_t i = n; i-- > 0;) {
        sum += (static_cast<int>(static_cast<unsigned char>(c[i])) - 48) * w;
        w = (w == 9) ? 2 : w + 1;
    }
    const int r = sum % 11;
    return r < 2 ? 0 : 11 - r;
}
}  // namespace

void check_digits(const char* first12, char out[2]) noexcept {
    char buf[13];
    for (std::size_t i = 0; i < 12; ++i) buf[i] = first12[i];
    buf[12] = static_cast<char>('0' + check_digit(buf, 12));
    out[0] = buf[12];
    out[1] = static_cast<char>('0' + check_digit(buf, 13));
}

bool check_digits_valid(const char* c14) noexcept {
    char dv[2];
    check_digits(c14, dv);
    return c14[12] == dv[0] && c14[13] == dv[1];
}

}  // namespace lexaro::cnpj_text
