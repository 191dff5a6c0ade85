// servosim: stands in for the RT-FIFO driver and the real-time pulse module.
// The engine serves the pipes; the gauge shows a person what the servo does.
#include <cstdio>
#include <getopt.h>

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
int parse_args(int argc, char **argv, engine_config &cfg)
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
            cfg.trace = optarg;
            break;
        default:
            report_bad_option(program, opt, argv[optind - 1]);
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
    engine_config cfg;
    cfg.program = program;
    if (const int rc = parse_args(argc, argv, cfg); rc >= 0)
        return rc;

    line_output out(1, program);
    line_output err(2, program);
    int status = 1;
    {
        rt_engine engine(cfg, out, err);
        if (engine.prepare() && engine.publish()) {
            // After publishing: whoever trusts this line finds everything ready.
            out.line("servosim: commands on %s, status on %s, %d ms frames", servo_command_device,
                     servo_status_device, cfg.frame_ms);
            gauge_output gauge(out);
            status = engine.run(gauge);
        }
    }
    out.line("servosim: stopped");
    return status;
}
