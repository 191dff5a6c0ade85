// servoplot TRACE.csv OUT.svg: draw a servosim trace as a picture.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "trace_plot.h"

int main(int argc, char **argv)
{
    const char *usage = "usage: servoplot TRACE.csv OUT.svg\n";
    if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
        std::fputs(usage, stdout);
        return 0;
    }
    if (argc != 3) {
        std::fputs(usage, stderr);
        return 2;
    }
    std::ifstream in(argv[1]);
    if (!in) {
        std::fprintf(stderr, "servoplot: %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    std::vector<trace_point> points;
    std::string why;
    if (!parse_trace(in, points, why)) {
        std::fprintf(stderr, "servoplot: %s: %s\n", argv[1], why.c_str());
        return 1;
    }
    std::ofstream out(argv[2]);
    out << render_svg(points);
    out.close();
    if (!out) {
        std::fprintf(stderr, "servoplot: %s: cannot write\n", argv[2]);
        return 1;
    }
    return 0;
}
