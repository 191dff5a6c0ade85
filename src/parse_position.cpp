#include "parse_position.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>

bool parse_position(const char *text, int *out)
{
    if (text == nullptr)
        return false;
    const char *p = text;
    while (std::isspace(static_cast<unsigned char>(*p)))
        ++p;
    if (*p == '+' || *p == '-')
        ++p;
    // strtol would also take a second sign or white space after ours; refuse.
    if (!std::isdigit(static_cast<unsigned char>(*p)))
        return false;

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
