// servod's output: the width the engine asks for, kept within the range the
// servo may be given, on a PWM channel.
#ifndef SERVO_PWM_OUTPUT_H
#define SERVO_PWM_OUTPUT_H

#include "engine.h"
#include "pwm_channel.h"

struct width_range {
    hrtime_t min_ns;
    hrtime_t max_ns;
    hrtime_t clamp(hrtime_t w) const { return w < min_ns ? min_ns : w > max_ns ? max_ns : w; }
};

class pwm_output : public servo_output {
public:
    pwm_output(pwm_channel &channel, width_range range, bool release_on_stop, line_output &errors)
        : ch(channel), allowed(range), release(release_on_stop), err(errors)
    {
    }

    // Reports, once per record, a width outside the range and what is used.
    void record(const my_msg_struct &rec, servo_model::outcome what, const servo_model &model,
                bool replaced) override;
    // Every width is clamped before it reaches the hardware. A failed write
    // is reported and serving goes on; a channel that is gone ends it.
    bool drive(hrtime_t width, const servo_model &model, hrtime_t &produced) override;
    void stop() override;

private:
    pwm_channel &ch;
    width_range allowed;
    bool release;
    line_output &err;

    void report(pwm_channel::status s);
};

#endif
