#include "arguments.h"

#include <cstdio>
#include <string>

#include "parse_position.h"

namespace {
// Printable text as it is, anything else as \xHH, so that an argument cannot
// play escape sequences into the user's terminal.
std::string shown(const char *text)
{
    std::string s;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p != '\0'; ++p) {
        if (*p >= 0x20 && *p < 0x7f) {
            s += static_cast<char>(*p);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", *p);
            s += hex;
        }
    }
    return s;
}
} // namespace

bool parse_int_in(const char *text, long min, long max, int &out)
{
    int v = 0;
    if (!parse_position(text, &v) || v < min || v > max)
        return false;
    out = v;
    return true;
}

bool parse_frame_ms(const char *program, const char *text, int &frame_ms)
{
    if (parse_int_in(text, min_frame_ms, max_frame_ms, frame_ms))
        return true;
    char range[32];
    std::snprintf(range, sizeof range, " (%d..%d ms)", min_frame_ms, max_frame_ms);
    report_invalid(program, "frame length", text, range);
    return false;
}

void report_invalid(const char *program, const char *what, const char *text, const char *extra)
{
    std::fprintf(stderr, "%s: invalid %s '%s'%s\n", program, what, shown(text).c_str(), extra);
}

void report_bad_option(const char *program, int code, const char *arg)
{
    std::fprintf(stderr, code == ':' ? "%s: option '%s' needs a value\n" : "%s: unknown option '%s'\n",
                 program, shown(arg).c_str());
}

void report_bad_operand(const char *program, const char *arg)
{
    std::fprintf(stderr, "%s: unexpected argument '%s'\n", program, shown(arg).c_str());
}
