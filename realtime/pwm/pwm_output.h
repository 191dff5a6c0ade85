// servod's output: the width the engine asks for, kept within the range the
// servo may be given, on a PWM channel.
#ifndef SERVO_PWM_OUTPUT_H
#define SERVO_PWM_OUTPUT_H

#include "engine.h"
#include "pwm_channel.h"
#include "repeated_report.h"

class pwm_output : public servo_output {
public:
    // label: "shoulder: " where servod drives several servos, else "".
    pwm_output(pwm_channel &channel, width_range range, bool release_on_stop, line_output &errors,
               const char *label = "")
        : ch(channel), allowed(range), release(release_on_stop), err(errors), who(label)
    {
    }

    // Reports a record that asks for a width outside the range, and what is used.
    void record(const my_msg_struct &rec, servo_model::outcome what, const servo_model &model,
                bool replaced, std::int64_t now) override;
    // Every width is clamped before it reaches the hardware. A failed write
    // is reported and tried again next frame; a channel that is gone ends it.
    drive_result drive(hrtime_t width, const servo_model &model, hrtime_t &produced,
                       std::int64_t now) override;
    void stop() override;
    std::int64_t settle_ns() const override { return ch.period(); }
    bool pulsing() const override { return ch.width() > 0; }
    drive_result idle_release(bool finish, std::int64_t now) override;
    std::int64_t reports_due() const override;
    void say_reports(std::int64_t now) override;

private:
    pwm_channel &ch;
    width_range allowed;
    bool release;
    line_output &err;
    const char *who;
    repeated_report clamped, failures;
    std::uint64_t failed_in_a_row = 0;
    int last_errno = 0;

    void say_failure(pwm_channel::status s, std::uint64_t count);
    drive_result outcome(pwm_channel::status s, std::int64_t now);
};

#endif
