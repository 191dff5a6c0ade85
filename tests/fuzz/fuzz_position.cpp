// setServo's argument parsing against a plain reference reading of the rule:
// optional white space, optional sign, decimal digits only, within int.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "parse_position.h"

namespace {
bool reference(const char *s, int *out)
{
    std::size_t i = 0;
    while (s[i] == ' ' || (s[i] >= '\t' && s[i] <= '\r'))
        ++i;
    bool negative = false;
    if (s[i] == '+' || s[i] == '-')
        negative = s[i++] == '-';
    if (s[i] < '0' || s[i] > '9')
        return false;
    long long v = 0;
    for (; s[i] >= '0' && s[i] <= '9'; ++i) {
        v = v * 10 + (s[i] - '0');
        if (v > 1LL + INT_MAX)
            v = 1LL + INT_MAX + 1; // saturate: out of range either way
    }
    if (s[i] != '\0')
        return false;
    if (negative)
        v = -v;
    if (v < INT_MIN || v > INT_MAX)
        return false;
    *out = static_cast<int>(v);
    return true;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // An argv string ends at its first NUL.
    const std::string arg(reinterpret_cast<const char *>(data), size);
    const char *text = arg.c_str();
    int got = 12345, want = 12345;
    const bool ok = parse_position(text, &got);
    if (ok != reference(text, &want) || got != want)
        std::abort();
    return 0;
}
