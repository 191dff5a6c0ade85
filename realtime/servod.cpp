// servod: the real-time side as a daemon on today's Linux. The engine serves
// the pipes; a channel of the kernel's PWM class drives the servo.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <grp.h>
#include <sched.h>
#include <string>
#include <sys/mman.h>

#include "arguments.h"
#include "engine.h"
#include "pwm_channel.h"
#include "pwm_output.h"
#include "servo.h"

namespace {

constexpr const char *program = "servod";

struct options {
    engine_config engine;
    pwm_settings pwm;
    int min_us = 1000;
    int max_us = 2000;
    int initial_us = -1;
    bool release = false;
    int rt_priority = 0;
    gid_t group = static_cast<gid_t>(-1);
    std::string trace;
    int wait_s = 5;
};

void usage(std::FILE *to)
{
    std::fputs("usage: servod --pwm CHIP:CHANNEL [--sysfs DIR] [--frame-ms MS] [--min-us US]\n"
               "              [--max-us US] [--initial-us US] [--on-exit hold|release]\n"
               "              [--rt-priority N] [--group NAME] [--trace FILE] [--wait-s S]\n",
               to);
}

void help()
{
    usage(stdout);
    std::printf(
        "\n"
        "Serve the servo command pipe %s (status %s) and drive the servo\n"
        "through a channel of the kernel's PWM class.\n"
        "  --pwm CHIP:CHANNEL     e.g. pwmchip0:0 (required)\n"
        "  --sysfs DIR            where the PWM class is, default /sys/class/pwm\n"
        "  --frame-ms MS          PWM period and ramp step, default %d\n"
        "  --min-us, --max-us US  widths the servo may be given, default 1000..2000;\n"
        "                         every width is clamped into this range\n"
        "  --initial-us US        enable the output at this width on start; without it a\n"
        "                         running channel keeps its width, else it stays off\n"
        "  --on-exit hold|release hold the last width (default), or end the pulses\n"
        "  --rt-priority N        SCHED_FIFO priority 1..99 for the frame loop\n"
        "  --group NAME           pipes made 0660 for this group, else 0600\n"
        "  --trace FILE           write a CSV of every width given (t_ms,width_ns);\n"
        "                         a regular file\n"
        "  --wait-s S             wait up to S seconds for the chip and channel to\n"
        "                         appear, default 5\n",
        servo_command_device, servo_status_device, default_frame_ms);
}

bool parse_pwm(const char *text, pwm_settings &pwm)
{
    const char *colon = std::strrchr(text, ':');
    int channel = 0;
    if (colon == nullptr || colon == text || !parse_int_in(colon + 1, 0, 1 << 20, channel)) {
        report_invalid(program, "PWM channel", text, " (expected CHIP:CHANNEL, e.g. pwmchip0:0)");
        return false;
    }
    pwm.chip.assign(text, static_cast<std::size_t>(colon - text));
    if (pwm.chip.find('/') != std::string::npos || pwm.chip == "." || pwm.chip == "..") {
        report_invalid(program, "PWM chip", pwm.chip.c_str(), " (a name under the PWM class)");
        return false;
    }
    pwm.channel = static_cast<unsigned>(channel);
    return true;
}

bool parse_us(const char *what, const char *text, int &us)
{
    if (parse_int_in(text, 0, 1000000, us))
        return true;
    report_invalid(program, what, text, " (0..1000000 us)");
    return false;
}

// -1 to go on, or the status to exit with at once.
int parse_args(int argc, char **argv, options &opt)
{
    enum { o_pwm = 256, o_sysfs, o_frame, o_min, o_max, o_initial, o_exit, o_prio, o_group, o_trace, o_wait };
    static const option longs[] = {
        {"pwm", required_argument, nullptr, o_pwm},
        {"sysfs", required_argument, nullptr, o_sysfs},
        {"frame-ms", required_argument, nullptr, o_frame},
        {"min-us", required_argument, nullptr, o_min},
        {"max-us", required_argument, nullptr, o_max},
        {"initial-us", required_argument, nullptr, o_initial},
        {"on-exit", required_argument, nullptr, o_exit},
        {"rt-priority", required_argument, nullptr, o_prio},
        {"group", required_argument, nullptr, o_group},
        {"trace", required_argument, nullptr, o_trace},
        {"wait-s", required_argument, nullptr, o_wait},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0}};
    bool have_pwm = false;
    opterr = 0;
    int o;
    while ((o = getopt_long(argc, argv, ":h", longs, nullptr)) != -1) {
        bool ok = true;
        switch (o) {
        case 'h':
            help();
            return 0;
        case o_pwm:
            ok = have_pwm = parse_pwm(optarg, opt.pwm);
            break;
        case o_sysfs:
            opt.pwm.sysfs = optarg;
            break;
        case o_frame:
            ok = parse_frame_ms(program, optarg, opt.engine.frame_ms);
            break;
        case o_min:
            ok = parse_us("minimum width", optarg, opt.min_us);
            break;
        case o_max:
            ok = parse_us("maximum width", optarg, opt.max_us);
            break;
        case o_initial:
            ok = parse_us("initial width", optarg, opt.initial_us);
            break;
        case o_exit:
            ok = std::strcmp(optarg, "hold") == 0 || std::strcmp(optarg, "release") == 0;
            opt.release = std::strcmp(optarg, "release") == 0;
            if (!ok)
                report_invalid(program, "exit action", optarg, " (hold or release)");
            break;
        case o_prio: {
            const int lo = sched_get_priority_min(SCHED_FIFO), hi = sched_get_priority_max(SCHED_FIFO);
            ok = parse_int_in(optarg, lo, hi, opt.rt_priority);
            if (!ok) {
                char range[32];
                std::snprintf(range, sizeof range, " (%d..%d)", lo, hi);
                report_invalid(program, "real-time priority", optarg, range);
            }
            break;
        }
        case o_group: {
            const group *g = getgrnam(optarg);
            ok = g != nullptr;
            if (ok)
                opt.group = g->gr_gid;
            else
                report_invalid(program, "group", optarg, " (no such group)");
            break;
        }
        case o_trace:
            opt.trace = optarg;
            break;
        case o_wait:
            ok = parse_int_in(optarg, 0, 3600, opt.wait_s);
            if (!ok)
                report_invalid(program, "wait", optarg, " (0..3600 s)");
            break;
        default:
            report_bad_option(program, o, argv);
            ok = false;
        }
        if (!ok) {
            usage(stderr);
            return 2;
        }
    }
    const char *problem = nullptr;
    const long period_us = 1000L * opt.engine.frame_ms;
    if (optind < argc)
        report_bad_operand(program, argv[optind]);
    else if (!have_pwm)
        problem = "--pwm CHIP:CHANNEL is required";
    else if (opt.min_us >= opt.max_us)
        problem = "--min-us must be less than --max-us";
    else if (opt.max_us >= period_us)
        problem = "--max-us must be less than the period (--frame-ms)";
    else if (opt.initial_us >= 0 && (opt.initial_us < opt.min_us || opt.initial_us > opt.max_us))
        problem = "--initial-us must lie within --min-us..--max-us";
    else
        return -1;
    if (problem != nullptr)
        complain(program, "%s", problem);
    usage(stderr);
    return 2;
}

// Memory locked and SCHED_FIFO, or a reason why not.
bool go_real_time(int priority, line_output &err)
{
    if (mlockall(MCL_CURRENT | MCL_FUTURE) != 0) {
        err.say(severity::error, "--rt-priority: mlockall: %s (needs CAP_IPC_LOCK or a higher RLIMIT_MEMLOCK)",
                std::strerror(errno));
        return false;
    }
    sched_param param{};
    param.sched_priority = priority;
    if (sched_setscheduler(0, SCHED_FIFO, &param) != 0) {
        err.say(severity::error, "--rt-priority %d: %s (needs CAP_SYS_NICE or RLIMIT_RTPRIO)", priority,
                std::strerror(errno));
        return false;
    }
    return true;
}

// A stop signal during start-up: said as in serving, and nothing more.
int stopped_starting(stop_signals &stops, line_output &out)
{
    const char *name = "a stop signal";
    pid_t sender = 0;
    if (stops.take(name, sender))
        out.say(severity::info, "%s from pid %d: stopping", name, static_cast<int>(sender));
    return 0;
}

int serve(options &opt, stop_signals &stops)
{
    opt.engine.program = program;
    opt.pwm.period_ns = static_cast<std::int64_t>(opt.engine.frame_ms) * 1000000;
    opt.pwm.wait_ms = opt.wait_s * 1000;
    line_output out(1, program);
    line_output err(2, program);
    if (!stops.ok()) {
        err.say(severity::error, "signalfd: %s", std::strerror(errno));
        return 1;
    }

    kernel_sysfs sysfs;
    pwm_channel channel(sysfs, opt.pwm, stops);
    std::string why, note;
    if (!channel.check(why) && opt.wait_s > 0) // at boot the driver may still be on its way
        err.say(severity::info, "%s; waiting up to %d s for it", why.c_str(), opt.wait_s);
    if (!channel.find(why)) { // before anything is made or touched
        if (channel.stopped())
            return stopped_starting(stops, out);
        err.say(severity::error, "%s", why.c_str());
        return 1;
    }
    if (opt.rt_priority > 0 && !go_real_time(opt.rt_priority, err))
        return 1;

    rt_engine engine(opt.engine, {{servo_command_device, servo_status_device, opt.trace}}, stops, out, err);
    if (!engine.prepare())
        return 1;
    const mode_t mode = opt.group != static_cast<gid_t>(-1) ? 0660 : 0600;
    for (served_pipe *p : {&engine.command(0), &engine.status(0)}) {
        if (!p->set_access(mode, opt.group)) {
            err.say(severity::error, "%s", printable(p->error()).c_str());
            return 1;
        }
    }
    const width_range range{1000LL * opt.min_us, 1000LL * opt.max_us};
    const std::int64_t initial_ns = opt.initial_us < 0 ? -1 : 1000LL * opt.initial_us;
    if (!channel.start(initial_ns, range, why, note)) {
        if (channel.stopped())
            return stopped_starting(stops, out);
        err.say(severity::error, "%s", why.c_str());
        return 1;
    }
    if (!note.empty())
        err.say(severity::warning, "%s", note.c_str());
    if (initial_ns >= 0)
        engine.started_at(0, initial_ns);
    pwm_output output(channel, range, opt.release, err);
    if (!engine.publish())
        return 1;
    out.say(severity::info, "commands on %s, status on %s; %s, period %lld ns, widths %lld..%lld ns%s",
            servo_command_device, servo_status_device, channel.channel_path(),
            static_cast<long long>(opt.pwm.period_ns), static_cast<long long>(range.min_ns),
            static_cast<long long>(range.max_ns), channel.adopted() ? "; kept the running width" : "");
    servo_output *outputs[] = {&output};
    return engine.run(outputs);
}

} // namespace

int main(int argc, char **argv)
{
    // Before anything else: no descriptor of ours may land on 0-2, and a
    // stop signal is caught from here on.
    open_standard_fds();
    stop_signals stops;
    options opt;
    if (const int rc = parse_args(argc, argv, opt); rc >= 0)
        return rc;
    return serve(opt, stops);
}
