// servosim: stands in for the RT-FIFO driver and the real-time pulse module.
// The engine serves the pipes; the gauge shows a person what the servo does.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <string>

#include "arguments.h"
#include "engine.h"
#include "gauge.h"
#include "servo.h"

namespace {

constexpr const char *program = "servosim";

void usage(std::FILE *to)
{
    std::fputs("usage: servosim [--frame-ms MS] [--trace FILE]\n", to);
}

void help()
{
    usage(stdout);
    std::printf("\n"
                "Simulate the real-time servo side on named pipes:\n"
                "  commands from %s, 'D' to %s when a timed move ends.\n"
                "  --frame-ms MS  frame length, %d..%d, default %d (50 Hz)\n"
                "  --trace FILE   write a CSV of every width change (t_ms,width_ns)\n"
                "Stops on SIGINT, SIGTERM, SIGHUP or SIGQUIT and removes the pipes it made.\n",
                servo_command_device, servo_status_device, min_frame_ms, max_frame_ms,
                default_frame_ms);
}

// -1 to go on, or the status to exit with at once.
int parse_args(int argc, char **argv, engine_config &cfg, std::string &trace)
{
    static const option longs[] = {{"frame-ms", required_argument, nullptr, 'f'},
                                   {"trace", required_argument, nullptr, 't'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};
    opterr = 0;
    int opt;
    while ((opt = getopt_long(argc, argv, ":h", longs, nullptr)) != -1) {
        switch (opt) {
        case 'h':
            help();
            return 0;
        case 'f':
            if (!parse_frame_ms(program, optarg, cfg.frame_ms))
                return 2;
            break;
        case 't':
            trace = optarg;
            break;
        default:
            report_bad_option(program, opt, argv);
            usage(stderr);
            return 2;
        }
    }
    if (optind < argc) {
        report_bad_operand(program, argv[optind]);
        usage(stderr);
        return 2;
    }
    return -1;
}

} // namespace

int main(int argc, char **argv)
{
    open_standard_fds();
    stop_signals stops;
    std::string trace;
    engine_config cfg;
    cfg.program = program;
    if (const int rc = parse_args(argc, argv, cfg, trace); rc >= 0)
        return rc;

    line_output out(1, program);
    line_output err(2, program);
    if (!stops.ok()) {
        err.say(severity::error, "signalfd: %s", std::strerror(errno));
        return 1;
    }
    int status = 1;
    {
        rt_engine engine(cfg, {{servo_command_device, servo_status_device, trace}}, stops, out, err);
        if (!engine.prepare() || !engine.publish())
            return 1;
        // After publishing: whoever trusts this line finds everything ready.
        out.say(severity::info, "commands on %s, status on %s, %d ms frames", servo_command_device,
                servo_status_device, cfg.frame_ms);
        gauge_output gauge(out);
        servo_output *outputs[] = {&gauge};
        status = engine.run(outputs);
    }
    // Only now, with the pipes gone: it started, so it says it stopped.
    out.say(severity::info, "stopped");
    return status;
}
