#include "arguments.h"

#include <cstdio>

#include "parse_position.h"
#include "printable_arg.h"

namespace {
// An argument rendered safe for the terminal (no escape sequences replayed).
struct shown {
    char text[256];
    explicit shown(const char *arg) { printable_arg(arg, text, sizeof text); }
};
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
    std::fprintf(stderr, "%s: invalid %s '%s'%s\n", program, what, shown(text).text, extra);
}

void report_bad_option(const char *program, int code, const char *arg)
{
    std::fprintf(stderr, code == ':' ? "%s: option '%s' needs a value\n" : "%s: unknown option '%s'\n",
                 program, shown(arg).text);
}

void report_bad_operand(const char *program, const char *arg)
{
    std::fprintf(stderr, "%s: unexpected argument '%s'\n", program, shown(arg).text);
}
