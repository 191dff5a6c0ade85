// setServo POSITION: command one servo position and exit.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "parse_position.h"
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
                "Command device: %s\n",
                servo_command_device);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
        print_help();
        return exit_ok;
    }
    if (argc != 2) {
        print_usage(stderr);
        return exit_usage;
    }

    int position = 0;
    if (!parse_position(argv[1], &position)) {
        std::fprintf(stderr, "setServo: invalid position '%s'\n", argv[1]);
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
