#include "servod_config.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <grp.h>
#include <map>
#include <sched.h>
#include <sys/stat.h>

#include "arguments.h"
#include "printable_arg.h"

namespace {
std::string shown(const char *text)
{
    std::vector<char> out(4 * std::strlen(text) + 4);
    return printable_arg(text, out.data(), out.size());
}

std::string invalid(const char *what, const char *value, const std::string &extra)
{
    return std::string("invalid ") + what + " '" + shown(value) + "'" + extra;
}

bool number(const char *value, long lo, long hi, int &into, const char *what, const char *unit,
            std::string &why)
{
    if (parse_int_in(value, lo, hi, into))
        return true;
    why = invalid(what, value, " (" + std::to_string(lo) + ".." + std::to_string(hi) + " " + unit + ")");
    return false;
}

bool path(const char *value, std::string &into, const char *what, std::string &why)
{
    if (value[0] == '\0') {
        why = std::string("invalid ") + what + " '' (a path)";
        return false;
    }
    into = value;
    return true;
}

bool pwm(const char *value, servo_settings &s, std::string &why)
{
    const char *colon = std::strrchr(value, ':');
    int channel = 0;
    if (colon == nullptr || colon == value || !parse_int_in(colon + 1, 0, 1 << 20, channel)) {
        why = invalid("PWM channel", value, " (expected CHIP:CHANNEL, e.g. pwmchip0:0)");
        return false;
    }
    const std::string chip(value, static_cast<std::size_t>(colon - value));
    if (chip.find('/') != std::string::npos || chip == "." || chip == "..") {
        why = invalid("PWM chip", chip.c_str(), " (a chip or its device under the PWM class)");
        return false;
    }
    s.chip = chip;
    s.channel = static_cast<unsigned>(channel);
    return true;
}

std::string trim(const std::string &s)
{
    const std::size_t from = s.find_first_not_of(" \t\r");
    if (from == std::string::npos)
        return "";
    return s.substr(from, s.find_last_not_of(" \t\r") - from + 1);
}
} // namespace

bool is_daemon_key(const std::string &key)
{
    for (const char *k : {"frame-ms", "rt-priority", "group", "sysfs", "wait-s"})
        if (key == k)
            return true;
    return false;
}

bool is_servo_key(const std::string &key)
{
    for (const char *k : {"pwm", "command", "status", "min-us", "max-us", "initial-us", "on-exit",
                          "idle-release-s", "trace"})
        if (key == k)
            return true;
    return false;
}

bool set_daemon_key(servod_settings &d, const std::string &key, const char *value, std::string &why)
{
    if (key == "frame-ms")
        return number(value, min_frame_ms, max_frame_ms, d.frame_ms, "frame length", "ms", why);
    if (key == "rt-priority") {
        const int lo = sched_get_priority_min(SCHED_FIFO), hi = sched_get_priority_max(SCHED_FIFO);
        if (parse_int_in(value, lo, hi, d.rt_priority))
            return true;
        why = invalid("real-time priority", value, " (" + std::to_string(lo) + ".." + std::to_string(hi) + ")");
        return false;
    }
    if (key == "group") {
        const group *g = getgrnam(value);
        if (g == nullptr) {
            why = invalid("group", value, " (no such group)");
            return false;
        }
        d.group = g->gr_gid;
        return true;
    }
    if (key == "sysfs")
        return path(value, d.sysfs, "PWM class directory", why);
    if (key == "wait-s")
        return number(value, 0, 3600, d.wait_s, "wait", "s", why);
    why = "unknown key '" + shown(key.c_str()) + "'";
    return false;
}

bool set_servo_key(servo_settings &s, const std::string &key, const char *value, std::string &why)
{
    if (key == "pwm")
        return pwm(value, s, why);
    if (key == "command")
        return path(value, s.command, "command pipe", why);
    if (key == "status")
        return path(value, s.status, "status pipe", why);
    if (key == "min-us")
        return number(value, 0, 1000000, s.min_us, "minimum width", "us", why);
    if (key == "max-us")
        return number(value, 0, 1000000, s.max_us, "maximum width", "us", why);
    if (key == "initial-us")
        return number(value, 0, 1000000, s.initial_us, "initial width", "us", why);
    if (key == "on-exit") {
        if (std::strcmp(value, "hold") != 0 && std::strcmp(value, "release") != 0) {
            why = invalid("exit action", value, " (hold or release)");
            return false;
        }
        s.release = std::strcmp(value, "release") == 0;
        return true;
    }
    if (key == "idle-release-s")
        return number(value, 0, 86400, s.idle_release_s, "idle release", "s", why);
    if (key == "trace")
        return path(value, s.trace, "trace", why);
    why = "unknown key '" + shown(key.c_str()) + "'";
    return false;
}

bool check_servo(const servod_settings &d, const servo_settings &s, const char *dash, std::string &why)
{
    const std::string D = dash;
    if (s.chip.empty())
        why = D + "pwm CHIP:CHANNEL is required";
    else if (s.min_us >= s.max_us)
        why = D + "min-us must be less than " + D + "max-us";
    else if (1000L * s.max_us >= 1000000L * d.frame_ms)
        why = D + "max-us must be less than the period (" + D + "frame-ms)";
    else if (s.initial_us >= 0 && (s.initial_us < s.min_us || s.initial_us > s.max_us))
        why = D + "initial-us must lie within " + D + "min-us.." + D + "max-us";
    else
        return true;
    return false;
}

namespace {
struct place {
    std::string owner; // "[shoulder]'s command pipe"
    int line;
};

// Checks and records a name, channel or pipe that must be unique.
bool unique(std::map<std::string, place> &seen, const std::string &what, const std::string &owner, int line,
            std::string &why)
{
    const auto [it, fresh] = seen.emplace(what, place{owner, line});
    if (fresh)
        return true;
    why = shown(what.c_str()) + " is " + it->second.owner + " already (line " + std::to_string(it->second.line) +
          ")";
    return false;
}
} // namespace

bool read_config(const std::string &file, servod_settings &d, std::string &why)
{
    const std::string where = shown(file.c_str());
    // Only a regular file: a pipe would hang the open, a device (/dev/zero)
    // never end, and a directory read as an empty file.
    struct stat st {};
    std::ifstream in;
    if (stat(file.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        why = where + ": not a regular file";
        return false;
    }
    in.open(file);
    if (!in) {
        why = where + ": " + std::strerror(errno);
        return false;
    }
    std::map<std::string, int> keys_given; // in the current scope, by line
    std::map<std::string, int> key_lines;  // pwm, command, status of each servo
    std::string text;
    int line = 0;
    auto fail = [&](int at, const std::string &reason) {
        why = where + ":" + std::to_string(at) + ": " + reason;
        return false;
    };
    std::map<std::string, place> names;
    while (std::getline(in, text)) {
        ++line;
        text = trim(text.substr(0, text.find('#')));
        if (text.empty())
            continue;
        if (text.front() == '[') {
            const std::string name = text.size() > 2 && text.back() == ']' ? text.substr(1, text.size() - 2) : "";
            if (name.empty() || name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                                       "0123456789_.-") != std::string::npos)
                return fail(line, "invalid section '" + shown(text.c_str()) + "' (a name of letters, digits, "
                                  "'_', '.' and '-' in brackets)");
            if (!unique(names, name, "a servo", line, why))
                return fail(line, why);
            d.servos.emplace_back();
            d.servos.back().name = name;
            d.servos.back().line = line;
            keys_given.clear();
            continue;
        }
        const std::size_t eq = text.find('=');
        if (eq == std::string::npos)
            return fail(line, "expected KEY = VALUE or [NAME]");
        const std::string key = trim(text.substr(0, eq)), value = trim(text.substr(eq + 1));
        const bool in_servo = !d.servos.empty();
        if (in_servo && is_daemon_key(key))
            return fail(line, "'" + key + "' is for the whole daemon: give it before the first section");
        if (!in_servo && is_servo_key(key))
            return fail(line, "'" + key + "' is for one servo: give it in a [NAME] section");
        if (const auto [it, fresh] = keys_given.emplace(key, line); !fresh && (is_daemon_key(key) || is_servo_key(key)))
            return fail(line, "'" + key + "' given twice (line " + std::to_string(it->second) + ")");
        if (!(in_servo ? set_servo_key(d.servos.back(), key, value.c_str(), why)
                       : set_daemon_key(d, key, value.c_str(), why)))
            return fail(line, why);
        if (in_servo)
            key_lines[d.servos.back().name + "\n" + key] = line;
        if (in_servo && key == "pwm")
            d.servos.back().pwm_line = line;
    }
    if (d.servos.empty()) {
        why = where + ": no servo: add a [NAME] section with pwm, command and status";
        return false;
    }
    std::map<std::string, place> channels, pipes;
    for (const servo_settings &s : d.servos) {
        for (const char *key : {"pwm", "command", "status"})
            if (key_lines.count(s.name + "\n" + key) == 0)
                return fail(s.line, "[" + s.name + "] has no " + key);
        if (!check_servo(d, s, "", why))
            return fail(s.line, "[" + s.name + "]: " + why);
        const std::string owner = "[" + s.name + "]'s";
        if (!unique(channels, s.chip + ":" + std::to_string(s.channel), owner + " channel",
                    key_lines[s.name + "\npwm"], why))
            return fail(key_lines[s.name + "\npwm"], why);
        for (const char *role : {"command", "status"}) {
            const int at = key_lines[s.name + "\n" + role];
            if (!unique(pipes, role[0] == 'c' ? s.command : s.status, owner + " " + role + " pipe", at, why))
                return fail(at, why);
        }
    }
    return true;
}
