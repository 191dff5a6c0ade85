// setServo [-d PATH] POSITION: command one servo position and exit.
#include <cerrno>
#include <climits>
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
    std::fputs("usage: setServo [-d PATH] POSITION\n", to);
}

void print_help()
{
    print_usage(stdout);
    std::printf("\n"
                "Command the servo to POSITION and exit.\n"
                "POSITION is a decimal integer; 0..255 spans pulse widths 1 ms to 1.996 ms.\n"
                "Other values are sent as they map, for the real-time side to judge.\n"
                "  -d, --device PATH  send to the command device PATH\n"
                "  -h, --help         show this help and exit\n"
                "Command device unless -d gives one: %s\n",
                servo_command_device);
}

} // namespace

int main(int argc, char **argv)
{
    static const option longopts[] = {{"device", required_argument, nullptr, 'd'},
                                       {"help", no_argument, nullptr, 'h'},
                                       {nullptr, 0, nullptr, 0}};
    opterr = 0; // our own messages, with the argument escaped
    bool help = false;
    const char *device = servo_command_device;
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
        // With the leading ':', a missing value gives ':', not the '?' of an unknown option.
        const int c = getopt_long(argc, argv, "+:d:h", longopts, nullptr);
        if (c == -1) {
            operands = optind;
            break;
        }
        if (c == 'd' && optarg[0] != '\0') {
            device = optarg;
            continue;
        }
        if (c == 'd' || c == ':') {
            // An empty PATH is most likely an unset shell variable.
            std::fputs("setServo: -d, --device needs a PATH\n", stderr);
            print_usage(stderr);
            return exit_usage;
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

    t_BaseServo servo(position, device);
    const int err = servo.get_error();
    if (err != 0) {
        const char *hint = err == ENOENT   ? " (is the real-time servo module or servosim running?)"
                           : err == ENODEV ? " (not a FIFO or character device)"
                                           : "";
        char shown[PATH_MAX]; // any plain path the kernel takes shows whole
        std::fprintf(stderr, "setServo: %s: %s%s\n", printable_arg(device, shown, sizeof shown),
                     std::strerror(err), hint);
        return exit_failed;
    }
    return exit_ok;
}
