// servod: the real-time side as a daemon on today's Linux. The engine serves
// each servo's pipes on one frame clock; a channel of the kernel's PWM class
// drives each servo.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <memory>
#include <sched.h>
#include <string>
#include <sys/mman.h>
#include <utility>
#include <vector>

#include "arguments.h"
#include "engine.h"
#include "pwm_channel.h"
#include "pwm_output.h"
#include "servo.h"
#include "servod_config.h"

namespace {

constexpr const char *program = "servod";

void usage(std::FILE *to)
{
    std::fputs("usage: servod --pwm CHIP:CHANNEL [--sysfs DIR] [--frame-ms MS] [--min-us US]\n"
               "              [--max-us US] [--initial-us US] [--on-exit hold|release]\n"
               "              [--idle-release-s S] [--rt-priority N] [--group NAME]\n"
               "              [--trace FILE] [--wait-s S]\n"
               "       servod --config FILE [--sysfs DIR] [--frame-ms MS] [--rt-priority N]\n"
               "              [--group NAME] [--wait-s S]\n",
               to);
}

void help()
{
    usage(stdout);
    std::printf(
        "\n"
        "Serve the servo command pipe %s (status %s) and drive the servo\n"
        "through a channel of the kernel's PWM class; or, with --config, any number\n"
        "of servos, each with its own pipes and channel, on one frame clock.\n"
        "  --pwm CHIP:CHANNEL     e.g. pwmchip0:0, or the chip's device: 1-0040:0\n"
        "  --sysfs DIR            where the PWM class is, default /sys/class/pwm\n"
        "  --frame-ms MS          PWM period and ramp step, default %d\n"
        "  --min-us, --max-us US  widths the servo may be given, default 1000..2000;\n"
        "                         every width is clamped into this range\n"
        "  --initial-us US        enable the output at this width on start; without it a\n"
        "                         running channel keeps its width, else it stays off\n"
        "  --on-exit hold|release hold the last width (default), or end the pulses\n"
        "  --idle-release-s S     end the pulses after S s without a record or a ramp;\n"
        "                         0 (default): never\n"
        "  --rt-priority N        SCHED_FIFO priority 1..99 for the frame loop\n"
        "  --group NAME           pipes made 0660 for this group, else 0600\n"
        "  --trace FILE           write a CSV of every width given (t_ms,width_ns);\n"
        "                         a regular file\n"
        "  --wait-s S             wait up to S seconds for the chips and channels to\n"
        "                         appear, default 5\n"
        "  --config FILE          the servos, one [section] each (see servod(1))\n",
        servo_command_device, servo_status_device, default_frame_ms);
}

struct parsed {
    servod_settings daemon;
    std::string config;
};

// -1 to go on, or the status to exit with at once.
int parse_args(int argc, char **argv, parsed &p)
{
    enum { o_config = 256 };
    // Every option but --config and --help is a key of the configuration file.
    static const option longs[] = {
        {"pwm", required_argument, nullptr, 0},        {"sysfs", required_argument, nullptr, 0},
        {"frame-ms", required_argument, nullptr, 0},   {"min-us", required_argument, nullptr, 0},
        {"max-us", required_argument, nullptr, 0},     {"initial-us", required_argument, nullptr, 0},
        {"on-exit", required_argument, nullptr, 0},    {"idle-release-s", required_argument, nullptr, 0},
        {"rt-priority", required_argument, nullptr, 0}, {"group", required_argument, nullptr, 0},
        {"trace", required_argument, nullptr, 0},      {"wait-s", required_argument, nullptr, 0},
        {"config", required_argument, nullptr, o_config}, {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0}};
    servo_settings one;
    one.command = servo_command_device;
    one.status = servo_status_device;
    std::vector<std::pair<std::string, const char *>> daemon_keys; // applied over the file's
    std::string per_servo;                                          // the first such option given
    opterr = 0;
    int o, index = -1;
    while ((o = getopt_long(argc, argv, ":h", longs, &index)) != -1) {
        std::string why;
        bool ok = true;
        if (o == 'h') {
            help();
            return 0;
        } else if (o == o_config) {
            p.config = optarg;
        } else if (o == 0) {
            const std::string key = longs[index].name;
            if (is_daemon_key(key)) {
                ok = set_daemon_key(p.daemon, key, optarg, why);
                daemon_keys.emplace_back(key, optarg);
            } else {
                ok = set_servo_key(one, key, optarg, why);
                if (per_servo.empty())
                    per_servo = "--" + key;
            }
        } else {
            report_bad_option(program, o, argv);
            ok = false;
        }
        if (!ok) {
            if (!why.empty())
                complain(program, "%s", why.c_str());
            usage(stderr);
            return 2;
        }
    }
    std::string why;
    if (optind < argc) {
        report_bad_operand(program, argv[optind]);
    } else if (!p.config.empty()) {
        if (!per_servo.empty()) {
            complain(program, "%s is for the servo of the command line; with --config each servo's "
                              "settings are in its section", per_servo.c_str());
        } else if (!read_config(p.config, p.daemon, why)) {
            complain(program, "%s", why.c_str());
            return 2;
        } else {
            for (const auto &[key, value] : daemon_keys) // the command line has the last word
                set_daemon_key(p.daemon, key, value, why);
            for (const servo_settings &s : p.daemon.servos) {
                if (!check_servo(p.daemon, s, "", why)) {
                    complain(program, "%s:%d: [%s]: %s", p.config.c_str(), s.line, s.name.c_str(), why.c_str());
                    return 2;
                }
            }
            return -1;
        }
    } else if (!check_servo(p.daemon, one, "--", why)) {
        complain(program, "%s", why.c_str());
    } else {
        p.daemon.servos.push_back(one);
        return -1;
    }
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

// One servo as servod drives it.
struct driven {
    const servo_settings &cfg;
    std::string label; // "shoulder: ", or "" for the one servo of the command line
    std::unique_ptr<pwm_channel> channel;
    std::unique_ptr<pwm_output> output;
};

// Finds every chip and channel, waiting for them a while in all: at boot a
// board's PWM driver may still be on its way.
int find_channels(const parsed &p, std::vector<driven> &servos, std::int64_t until_ms, stop_signals &stops,
                  line_output &out, line_output &err)
{
    std::string why;
    for (const driven &d : servos) {
        if (!d.channel->check(why) && p.daemon.wait_s > 0) {
            err.say(severity::info, "%s%s; waiting up to %d s for it", d.label.c_str(), why.c_str(),
                    p.daemon.wait_s);
            break;
        }
    }
    for (driven &d : servos) {
        if (!d.channel->find(until_ms, why)) { // each waits what is left of wait-s
            if (d.channel->stopped())
                return stopped_starting(stops, out);
            err.say(severity::error, "%s%s", d.label.c_str(), why.c_str());
            return 1;
        }
    }
    // Two names for one channel (a chip and its device) would drive it twice.
    for (std::size_t i = 0; i < servos.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            if (servos[i].channel->chip() == servos[j].channel->chip() &&
                servos[i].cfg.channel == servos[j].cfg.channel) {
                err.say(severity::error, "%s:%d: [%s] drives %s:%u, which is [%s]'s already", p.config.c_str(),
                        servos[i].cfg.pwm_line, servos[i].cfg.name.c_str(), servos[i].channel->chip().c_str(),
                        servos[i].cfg.channel, servos[j].cfg.name.c_str());
                return 2;
            }
        }
    }
    return -1;
}

int serve(const parsed &p, stop_signals &stops)
{
    const servod_settings &daemon = p.daemon;
    line_output out(1, program);
    line_output err(2, program);
    if (!stops.ok()) {
        err.say(severity::error, "signalfd: %s", std::strerror(errno));
        return 1;
    }
    kernel_sysfs sysfs;
    std::vector<driven> servos;
    std::vector<servo_setup> setups;
    const std::int64_t period_ns = static_cast<std::int64_t>(daemon.frame_ms) * 1000000;
    const std::int64_t deadline_ms = monotonic_ns() / 1000000 + 1000LL * daemon.wait_s;
    for (const servo_settings &s : daemon.servos) {
        pwm_settings pwm;
        pwm.sysfs = daemon.sysfs;
        pwm.chip = s.chip;
        pwm.channel = s.channel;
        pwm.period_ns = period_ns;
        servos.push_back({s, s.name.empty() ? "" : s.name + ": ", std::make_unique<pwm_channel>(sysfs, pwm, stops),
                          nullptr});
        setups.push_back({s.command, s.status, s.trace, 1000000000LL * s.idle_release_s});
    }
    if (const int rc = find_channels(p, servos, deadline_ms, stops, out, err); rc >= 0)
        return rc; // before anything is made or touched
    if (daemon.rt_priority > 0 && !go_real_time(daemon.rt_priority, err))
        return 1;

    engine_config engine_cfg;
    engine_cfg.program = program;
    engine_cfg.frame_ms = daemon.frame_ms;
    rt_engine engine(engine_cfg, std::move(setups), stops, out, err);
    if (!engine.prepare())
        return 1;
    // Access is set here, for every pipe alike, and nowhere else.
    const mode_t mode = daemon.group != static_cast<gid_t>(-1) ? 0660 : 0600;
    for (std::size_t i = 0; i < servos.size(); ++i) {
        for (served_pipe *pipe : {&engine.command(i), &engine.status(i)}) {
            if (!pipe->set_access(mode, daemon.group)) {
                err.say(severity::error, "%s", printable(pipe->error()).c_str());
                return 1;
            }
        }
    }
    std::vector<servo_output *> outputs;
    for (std::size_t i = 0; i < servos.size(); ++i) {
        driven &d = servos[i];
        const width_range range{1000LL * d.cfg.min_us, 1000LL * d.cfg.max_us};
        const std::int64_t initial_ns = d.cfg.initial_us < 0 ? -1 : 1000LL * d.cfg.initial_us;
        std::string why, note;
        if (!d.channel->start(initial_ns, range, why, note)) {
            if (d.channel->stopped())
                return stopped_starting(stops, out);
            err.say(severity::error, "%s%s", d.label.c_str(), why.c_str());
            return 1;
        }
        if (!note.empty())
            err.say(severity::warning, "%s", note.c_str());
        if (initial_ns >= 0)
            engine.started_at(i, initial_ns);
        d.output = std::make_unique<pwm_output>(*d.channel, range, d.cfg.release, err, d.label.c_str());
        outputs.push_back(d.output.get());
    }
    if (!engine.publish())
        return 1;
    for (const driven &d : servos)
        out.say(severity::info, "%scommands on %s, status on %s; %s, period %lld ns, widths %lld..%lld ns%s",
                d.label.c_str(), printable(d.cfg.command).c_str(), printable(d.cfg.status).c_str(),
                d.channel->channel_path(), static_cast<long long>(period_ns), 1000LL * d.cfg.min_us,
                1000LL * d.cfg.max_us,
                d.channel->adopted() ? "; kept the running width" : "");
    return engine.run(outputs.data());
}

} // namespace

int main(int argc, char **argv)
{
    // Before anything else: no descriptor of ours may land on 0-2, and a
    // stop signal is caught from here on.
    open_standard_fds();
    stop_signals stops;
    parsed p;
    if (const int rc = parse_args(argc, argv, p); rc >= 0)
        return rc;
    return serve(p, stops);
}
