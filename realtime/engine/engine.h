// The real-time side on today's Linux: serves the command and status pipes,
// applies records to the ramp model frame by frame, answers finished ramps
// with 'D' and traces every width. What it drives is an output of the
// program's choosing: a gauge on a terminal, a PWM channel.
#ifndef SERVO_ENGINE_ENGINE_H
#define SERVO_ENGINE_ENGINE_H

#include <cstdint>
#include <optional>

#include "fifo.h"
#include "instance_lock.h"
#include "line_output.h"
#include "servo_model.h"

// What the engine drives. Called from the frame loop: never block.
class servo_output {
public:
    virtual ~servo_output() = default;
    // A record was applied to the model (unknown letters never get here);
    // replaced: it cut short a ramp that was still running.
    virtual void record(const my_msg_struct &rec, servo_model::outcome what,
                        const servo_model &model, bool replaced) = 0;
    // Produce width from now on and set produced to what really went out.
    // False when the output is gone for good: the server then stops with 1.
    virtual bool drive(hrtime_t width, const servo_model &model, hrtime_t &produced) = 0;
    // 'D' has been sent for the ramp that ended at the last drive().
    virtual void done(const servo_model &model) { (void)model; }
    // A stop signal arrived; the last chance to leave the hardware tidy.
    virtual void stop() {}
};

struct engine_config {
    const char *program = "servosim"; // names the messages
    int frame_ms = 20;
    const char *trace = nullptr;       // CSV of every width produced, or none
};

std::int64_t monotonic_ns();

class rt_engine {
public:
    rt_engine(const engine_config &config, line_output &out, line_output &err);
    ~rt_engine();
    rt_engine(const rt_engine &) = delete;
    rt_engine &operator=(const rt_engine &) = delete;

    // Catches stop signals, takes the single-server lock, opens both pipes
    // (those it makes stay out of sight) and writes the trace header.
    // False after reporting why.
    bool prepare();
    served_pipe &command() { return command_pipe; }
    served_pipe &status() { return status_pipe; }
    // Puts the pipes in place and tells a service manager: from here on
    // clients can talk, and everything they can see is ready.
    bool publish();
    // Serves until a stop signal (0) or until the output or the loop fails (1).
    int run(servo_output &output);

private:
    engine_config cfg;
    line_output &out;
    line_output &err;
    std::int64_t frame_ns;
    int signals = -1;
    int trace_fd = -1;
    std::optional<line_output> trace;
    instance_lock lock;
    served_pipe command_pipe, status_pipe;

    record_splitter splitter;
    servo_model model;
    servo_output *output = nullptr;
    std::int64_t start = 0;
    // A width is driven at most once per frame; one that comes sooner waits.
    std::int64_t next_drive = 0;
    bool drive_pending = false;
    std::int64_t ramp_deadline = 0; // absolute, so a late frame does not delay the rest
    bool traced_any = false;
    hrtime_t traced = 0;

    bool fail(const char *what, const char *detail);
    bool on_input(std::int64_t now);
    bool on_deadline(std::int64_t now);
    bool drive(std::int64_t at, std::int64_t now);
    void answer_done();
};

#endif
