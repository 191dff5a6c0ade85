// servoplot: draw servosim or servod traces as one picture.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <getopt.h>

#include "arguments.h"
#include "line_output.h"
#include "printable_arg.h"
#include "trace_plot.h"

namespace {

constexpr const char *program = "servoplot";

void usage(std::FILE *to)
{
    std::fputs("usage: servoplot [--range MIN_US:MAX_US] -o OUT.svg TRACE...\n"
               "       servoplot [--range MIN_US:MAX_US] TRACE OUT.svg\n",
               to);
}

void help()
{
    usage(stdout);
    std::puts("\n"
              "Draw the pulse width over time of each trace (t_ms,width_ns, as servosim\n"
              "--trace and servod --trace write them) as step lines on shared axes: widths\n"
              "on the left, the positions 0..255 they stand for on the right, one colour\n"
              "and dash a trace, named after its file in a legend. A width of 0 (pulses\n"
              "off) leaves a gap.\n"
              "  -o, --output OUT.svg         where the picture goes\n"
              "  -r, --range MIN_US:MAX_US    shade the widths servod allows, e.g. 1000:2000");
}

// "1000:2000" in µs, as servod's --min-us and --max-us take them.
bool parse_range(const char *text, width_band &band)
{
    const char *colon = std::strchr(text, ':');
    int lo = 0, hi = 0;
    if (colon == nullptr || !parse_int_in(std::string(text, colon).c_str(), 0, 1000000, lo) ||
        !parse_int_in(colon + 1, 0, 1000000, hi) || lo >= hi) {
        report_invalid(program, "range", text);
        return false;
    }
    band = {1000LL * lo, 1000LL * hi};
    return true;
}

bool ends_with(const std::string &s, const char *tail)
{
    const std::size_t n = std::strlen(tail);
    return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

// The file's name without its directory and its last extension.
std::string stem(const std::string &path)
{
    std::string name = path.substr(path.find_last_of('/') + 1);
    const std::size_t dot = name.find_last_of('.');
    if (dot != std::string::npos && dot > 0)
        name.erase(dot);
    return name;
}

// A path in a message, escaped as arguments are.
void fail(const std::string &path, const char *why)
{
    char shown[256];
    std::fprintf(stderr, "%s: %s: %s\n", program, printable_arg(path.c_str(), shown, sizeof shown), why);
}

bool read_trace_file(const char *path, plot_trace &trace)
{
    std::ifstream in(path);
    if (!in) {
        fail(path, std::strerror(errno));
        return false;
    }
    std::string why;
    if (!parse_trace(in, trace.points, why)) {
        fail(path, why.c_str());
        return false;
    }
    trace.name = stem(path);
    return true;
}

// Traces of the same name from different directories (two servos' trace.csv)
// are told apart by their paths.
void name_apart(std::vector<plot_trace> &traces, const std::vector<const char *> &paths)
{
    std::vector<std::string> stems;
    stems.reserve(traces.size());
    for (const plot_trace &t : traces)
        stems.push_back(t.name);
    for (std::size_t i = 0; i < traces.size(); ++i)
        if (std::count(stems.begin(), stems.end(), stems[i]) > 1)
            traces[i].name = paths[i];
}

} // namespace

int main(int argc, char **argv)
{
    static const option longs[] = {{"output", required_argument, nullptr, 'o'},
                                   {"range", required_argument, nullptr, 'r'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};
    std::string output;
    std::optional<width_band> allowed;
    opterr = 0;
    int opt;
    while ((opt = getopt_long(argc, argv, ":ho:r:", longs, nullptr)) != -1) {
        switch (opt) {
        case 'h':
            help();
            return 0;
        case 'o':
            output = optarg;
            break;
        case 'r':
            if (!parse_range(optarg, allowed.emplace()))
                return 2;
            break;
        default:
            report_bad_option(program, opt, argv);
            usage(stderr);
            return 2;
        }
    }
    std::vector<const char *> inputs(argv + optind, argv + argc);
    if (output.empty() && inputs.size() == 2) {
        // The older form; a second trace is never taken for the picture.
        if (ends_with(inputs[1], ".csv")) {
            report_invalid(program, "picture name", inputs[1], " (several traces: -o OUT.svg TRACE...)");
            return 2;
        }
        output = inputs[1];
        inputs.pop_back();
    }
    if (output.empty() || inputs.empty()) {
        complain(program, output.empty() ? "no picture named (-o OUT.svg)" : "no trace given");
        usage(stderr);
        return 2;
    }

    if (std::find(inputs.begin(), inputs.end(), output) != inputs.end()) {
        report_invalid(program, "picture name", output.c_str(), " (it is one of the traces)");
        return 2;
    }

    std::vector<plot_trace> traces(inputs.size());
    for (std::size_t i = 0; i < inputs.size(); ++i)
        if (!read_trace_file(inputs[i], traces[i]))
            return 1;
    name_apart(traces, inputs);
    std::ofstream out(output);
    if (!out) {
        fail(output, std::strerror(errno));
        return 1;
    }
    out << render_svg(traces, allowed);
    out.close();
    if (!out) {
        fail(output, "cannot write");
        return 1;
    }
    return 0;
}
