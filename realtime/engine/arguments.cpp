#include "arguments.h"

#include <cstdio>
#include <cstring>
#include <getopt.h>

#include "line_output.h"
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
    complain(program, "invalid %s '%s'%s", what, shown(text).text, extra);
}

void report_bad_option(const char *program, int code, char **argv)
{
    const char *element = argv[optind - 1];
    char short_option[3] = {'-', static_cast<char>(optopt), '\0'};
    // getopt_long sets optopt to a long option's value too; only a short
    // option is named by it.
    const char *name = std::strncmp(element, "--", 2) != 0 && optopt > 0 && optopt < 128
                           ? short_option
                           : element;
    complain(program, code == ':' ? "option '%s' needs a value" : "unknown option '%s'", shown(name).text);
}

void report_bad_operand(const char *program, const char *arg)
{
    complain(program, "unexpected argument '%s'", shown(arg).text);
}
