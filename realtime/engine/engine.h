// The real-time side on today's Linux: serves each servo's command and status
// pipes, applies records to its ramp model on one frame clock shared by all,
// answers finished ramps with 'D' and traces every width. What it drives is
// an output of the program's choosing: a gauge on a terminal, a PWM channel.
#ifndef SERVO_ENGINE_ENGINE_H
#define SERVO_ENGINE_ENGINE_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fifo.h"
#include "line_output.h"
#include "servo_model.h"
#include "stop_signals.h"

// What putting a width out came to.
enum class drive_result {
    ok,     // it went out
    failed, // nothing went out; the same width is tried again next frame
    gone,   // the output is gone for good: the server stops with 1
};

// What the engine drives for one servo. Called from the frame loop: never block.
class servo_output {
public:
    virtual ~servo_output() = default;
    // A record was applied to the model (unknown letters never get here);
    // replaced: it cut short a ramp that was still running.
    virtual void record(const my_msg_struct &rec, servo_model::outcome what,
                        const servo_model &model, bool replaced, std::int64_t now) = 0;
    // Puts width out; on ok, produced is what really went out.
    virtual drive_result drive(hrtime_t width, const servo_model &model, hrtime_t &produced,
                               std::int64_t now) = 0;
    // 'D' has been sent for the ramp whose end went out at the last drive().
    virtual void done(const servo_model &model) { (void)model; }
    // A stop signal arrived; the last chance to leave the hardware tidy.
    virtual void stop() {}
    // How long after a write its width is surely out: a PWM channel takes a
    // new duty cycle at the start of its next period. 'D' waits this long.
    virtual std::int64_t settle_ns() const { return 0; }
    // Pulses are going out that an idle release could end.
    virtual bool pulsing() const { return false; }
    // The servo has been idle for its idle-release time: its pulses end
    // (finish false), and a frame later the output is disabled (true).
    virtual drive_result idle_release(bool finish, std::int64_t now)
    {
        (void)finish;
        (void)now;
        return drive_result::ok;
    }
    // Repeated reports counted but not yet said: when they may be (0: none).
    virtual std::int64_t reports_due() const { return 0; }
    virtual void say_reports(std::int64_t now) { (void)now; }
};

// One servo the engine serves.
struct servo_setup {
    std::string command;   // its pipes
    std::string status;
    std::string trace;     // CSV of every width that reached the output; empty: none
    std::int64_t idle_release_ns = 0; // no record and no ramp for this long: pulses end; 0: never
};

struct engine_config {
    const char *program = "servosim"; // names the messages
    int frame_ms = 20;
};

std::int64_t monotonic_ns();

class rt_engine {
public:
    rt_engine(const engine_config &config, std::vector<servo_setup> servos, stop_signals &stops,
              line_output &out, line_output &err);
    ~rt_engine();
    rt_engine(const rt_engine &) = delete;
    rt_engine &operator=(const rt_engine &) = delete;

    // Takes each servo's single-server lock, opens its trace (a regular file
    // only) and makes its pipes, out of sight. False after reporting why.
    bool prepare();
    std::size_t servos() const { return slots.size(); }
    served_pipe &command(std::size_t i);
    served_pipe &status(std::size_t i);
    // A width already out before serving starts: the model holds it and the
    // trace shows it.
    void started_at(std::size_t i, hrtime_t width);
    // Puts the pipes in place and tells a service manager: from here on
    // clients can talk, and everything they can see is ready. The service
    // manager also keeps the pipes, for the next start to take back.
    bool publish();
    // Serves, driving outputs[i] for servo i, until a stop signal (0) or
    // until an output or the loop fails (1).
    int run(servo_output *const *outputs);

private:
    struct served_servo;
    engine_config cfg;
    stop_signals &signals;
    line_output &out;
    line_output &err;
    std::int64_t frame_ns;
    std::int64_t start = 0;
    // The frame clock: at most one width per servo a frame. A record that
    // finds the clock idle starts a frame; one for a servo not yet driven
    // in the running frame acts at once; the rest wait for the next tick,
    // where ramps step too, all servos together.
    std::int64_t next_tick = 0;
    std::uint64_t frame_no = 0;
    std::vector<std::unique_ptr<served_servo>> slots;

    void store_pipes();
    bool frame_work_left() const;
    bool every_servo_driven() const;
    void settle_dones();
    static std::int64_t idle_release_due(const served_servo &s);
    std::int64_t timers_due() const;
    std::int64_t dones_due() const;
    void on_timers(std::int64_t now);
    bool tick(std::int64_t now);
    void read_input(served_servo &s, bool fill, std::int64_t now);
    bool drive(served_servo &s, std::int64_t now);
    bool release_step(served_servo &s, std::int64_t now);
    void answer_done(served_servo &s, std::int64_t now);
    void trace_width(served_servo &s, hrtime_t width, std::int64_t now);
    std::int64_t reports_due() const;
    void say_reports(std::int64_t now);
};

#endif
