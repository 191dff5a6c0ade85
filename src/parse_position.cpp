#include "parse_position.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

bool parse_position(const char *text, int *out)
{
    if (text == nullptr)
        return false;
    // strtol takes exactly the accepted prefix: white space, one sign, digits.
    errno = 0;
    char *end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (errno == ERANGE || end == text || *end != '\0')
        return false;
    if (v < INT_MIN || v > INT_MAX)
        return false;
    *out = static_cast<int>(v);
    return true;
}
