#include "printable_arg.h"

namespace {
bool plain(unsigned char c)
{
    return c >= 0x20 && c < 0x7f;
}

std::size_t shown_width(unsigned char c)
{
    return plain(c) ? 1 : 4;
}
} // namespace

const char *printable_arg(const char *text, char *out, std::size_t size)
{
    if (size == 0)
        return out;
    const auto *in = reinterpret_cast<const unsigned char *>(text);
    std::size_t whole = 0;
    for (const unsigned char *p = in; *p != '\0'; ++p)
        whole += shown_width(*p);
    // Everything if it fits, else as much as leaves room for "..." and the NUL.
    const bool cut = whole >= size;
    const std::size_t room = cut ? (size > 4 ? size - 4 : 0) : whole;
    static const char hex[] = "0123456789abcdef";
    std::size_t at = 0;
    for (const unsigned char *p = in; *p != '\0' && at + shown_width(*p) <= room; ++p) {
        if (plain(*p)) {
            out[at++] = static_cast<char>(*p);
        } else {
            out[at++] = '\\';
            out[at++] = 'x';
            out[at++] = hex[*p >> 4];
            out[at++] = hex[*p & 0xf];
        }
    }
    for (int i = 0; cut && i < 3 && at + 1 < size; ++i)
        out[at++] = '.';
    out[at] = '\0';
    return out;
}
