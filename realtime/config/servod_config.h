// servod's settings: one servo from the command line, or any number from a
// configuration file, one [section] a servo:
//
//   frame-ms = 20          # before the first section: the whole daemon
//   group = gpio
//   [shoulder]
//   pwm = pwmchip0:0       # CHIP:CHANNEL, or the chip's DEVICE:CHANNEL
//   command = /dev/rtf1
//   status = /dev/rtf2
//   min-us = 1000
#ifndef SERVO_CONFIG_SERVOD_CONFIG_H
#define SERVO_CONFIG_SERVOD_CONFIG_H

#include <string>
#include <sys/types.h>
#include <vector>

struct servo_settings {
    std::string name;  // the section; empty for the servo of the command line
    int line = 0;      // where its section starts
    int pwm_line = 0;  // where its pwm is given
    std::string chip;  // pwmchipN, or the name of the chip's device; empty: no pwm given
    unsigned channel = 0;
    std::string command, status; // its pipes
    int min_us = 1000;
    int max_us = 2000;
    int initial_us = -1;  // none
    bool release = false; // on exit; hold otherwise
    int idle_release_s = 0;
    std::string trace;
};

struct servod_settings {
    int frame_ms = 20;
    int rt_priority = 0;
    gid_t group = static_cast<gid_t>(-1);
    std::string sysfs = "/sys/class/pwm";
    int wait_s = 5;
    std::vector<servo_settings> servos;
};

// One key as the file spells it ("min-us"), for the file and the command
// line alike. false with why: "invalid minimum width 'x' (0..1000000 us)".
// An unknown key is reported as such.
bool set_daemon_key(servod_settings &daemon, const std::string &key, const char *value, std::string &why);
bool set_servo_key(servo_settings &servo, const std::string &key, const char *value, std::string &why);
bool is_daemon_key(const std::string &key);
bool is_servo_key(const std::string &key);

// What must hold between one servo's settings and the daemon's, with keys
// shown after dash ("--" on the command line): "min-us must be less than
// max-us". true when all is well.
bool check_servo(const servod_settings &daemon, const servo_settings &servo, const char *dash,
                 std::string &why);

// Reads a configuration file. false with why: "FILE:LINE: reason".
bool read_config(const std::string &file, servod_settings &daemon, std::string &why);

#endif
