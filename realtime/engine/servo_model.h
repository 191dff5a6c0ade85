// What the real-time pulse module does with command records, without timing:
// servosim paces it with frames, tests and the fuzzer drive it directly.
#ifndef SERVOSIM_SERVO_MODEL_H
#define SERVOSIM_SERVO_MODEL_H

#include <cstdint>

#include "servodata.h"

class servo_model {
public:
    enum class outcome { set, ramp_started, ramp_done_at_once, unknown };

    // A newer record replaces a running ramp, and a 'D' its end still owed;
    // an unknown one changes nothing.
    outcome apply(const my_msg_struct &rec);
    // One frame of a running ramp. True when the width changed.
    bool tick();
    // True once for each ramp that reached its end; the caller sends 'D'.
    bool take_done();

    bool ramping() const { return ramp_on; }
    hrtime_t width() const { return current; }
    hrtime_t target() const { return goal; }
    hrtime_t increment() const { return inc; }
    // Frames the running ramp still needs; 0 when idle.
    std::uint64_t frames_left() const;

private:
    hrtime_t current = 0;
    hrtime_t goal = 0;
    hrtime_t inc = 0;
    bool ramp_on = false;
    bool done_pending = false;
};

// Position a width stands for, the inverse of the width rule (not rounded).
double width_to_position(hrtime_t width);

#endif
