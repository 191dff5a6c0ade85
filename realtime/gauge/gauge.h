// servosim's output: what a person watching the servo wants to see.
#ifndef SERVO_GAUGE_H
#define SERVO_GAUGE_H

#include <cstdint>

#include "engine.h"

struct gauge_text {
    char text[96];
};

// "pos 128.0  1.500 ms  [....#....]"; '<' or '>' marks a width beyond 0..255.
gauge_text describe_width(hrtime_t width);

// One line per command, a few per ramp, and one when a ramp is done.
class gauge_output : public servo_output {
public:
    explicit gauge_output(line_output &lines) : out(lines) {}

    void record(const my_msg_struct &rec, servo_model::outcome what, const servo_model &model,
                bool replaced, std::int64_t now) override;
    drive_result drive(hrtime_t width, const servo_model &model, hrtime_t &produced,
                       std::int64_t now) override;
    void done(const servo_model &model) override;

private:
    line_output &out;
    bool ramp_shown = false;  // progress lines belong to a ramp in progress
    bool start_driven = false;
    std::uint64_t frames = 0;
    std::uint64_t every = 1;
};

#endif
