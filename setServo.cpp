// setServo POSITION: command one servo position and exit.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <getopt.h>

#include "parse_position.h"
#include "printable_arg.h"
#include "servo.h"

namespace {

constexpr int exit_ok = 0;
constexpr int exit_failed = 1;
constexpr int exit_usage = 2;

void print_usage(std::FILE *to)
{
    std::fputs("usage: setServo POSITION\n", to);
}

void print_help()
{
    print_usage(stdout);
    std::printf("\n"
                "Command the servo to POSITION and exit.\n"
                "POSITION is a decimal integer; 0..255 spans pulse widths 1 ms to 1.996 ms.\n"
                "Other values are sent as they map, for the real-time side to judge.\n"
                "  -h, --help  show this help and exit\n"
                "Command device: %s\n",
                servo_command_device);
}

} // namespace

int main(int argc, char **argv)
{
    static const option longopts[] = {{"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
    opterr = 0; // our own messages, with the argument escaped
    bool help = false;
    int position = 0;
    bool parsed = false; // position holds argv[operands]
    int operands = 1;
    for (;;) {
        operands = optind;
        // A number is a position even where it looks like an option: setServo -5.
        if (optind >= argc)
            break;
        parsed = parse_position(argv[optind], &position);
        if (parsed)
            break;
        const int c = getopt_long(argc, argv, "+h", longopts, nullptr);
        if (c == -1) {
            operands = optind;
            break;
        }
        if (c != 'h')
            break; // an unknown option is refused below as a position
        help = true;
    }
    const int count = argc - operands;
    if (help && count == 0) {
        print_help();
        return exit_ok;
    }
    if (help || count != 1) {
        print_usage(stderr);
        return exit_usage;
    }
    if (!parsed && !parse_position(argv[operands], &position)) {
        char shown[256];
        std::fprintf(stderr, "setServo: invalid position '%s'\n",
                     printable_arg(argv[operands], shown, sizeof shown));
        return exit_usage;
    }

    t_BaseServo servo(position);
    const int err = servo.get_error();
    if (err != 0) {
        const char *hint = err == ENOENT   ? " (is the real-time servo module or servosim running?)"
                           : err == ENODEV ? " (not a FIFO or character device)"
                                           : "";
        std::fprintf(stderr, "setServo: %s: %s%s\n", servo_command_device, std::strerror(err), hint);
        return exit_failed;
    }
    return exit_ok;
}
