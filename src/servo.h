// User-space side of a servo whose pulses come from a real-time module.
// Commands go down the command device as 28-byte records (servodata.h).
#ifndef SERVO_SERVO_H
#define SERVO_SERVO_H

#include "servodata.h"

// Device paths this library was built for.
extern const char servo_command_device[];
extern const char servo_status_device[];

// Pulse width in ns for a position: 0 -> 1 ms, 255 -> 1996093 ns, linear,
// truncated toward zero and never clamped (so -1 -> 996094).
hrtime_t servo_width(int position);

// One servo: owns a blocking handle on the command device.
// Nothing here throws or prints; a failed system call is kept for get_error().
// Not polymorphic (no virtual destructor): never delete a t_Servo through a
// t_BaseServo pointer, or its status handle stays open.
class t_BaseServo {
public:
    // Opens the command device and commands initialvalue at once.
    // The stepping position (get_pos) starts at 0, not at initialvalue.
    t_BaseServo(int initialvalue);
    // The same on command_device, which is not kept. A null path opens
    // nothing and leaves EFAULT in get_error().
    t_BaseServo(int initialvalue, const char *command_device);
    ~t_BaseServo();

    t_BaseServo(const t_BaseServo &) = delete;
    t_BaseServo &operator=(const t_BaseServo &) = delete;

    // Sends an 'N' record for any position; the stepping position is untouched.
    void set(int value);
    // Accepts 1..19; returns -1 and keeps the old width otherwise.
    int set_stepwidth(int value);
    int get_stepwidth() const;
    // Step by the step width if the result stays in 0..255, else stay put.
    // The position is sent in either case; the new position is returned.
    int move_left();
    int move_right();
    int get_pos() const;
    // errno of the most recent failed system call of this object, or 0.
    int get_error() const;

protected:
    int rtf1;           // command device handle, -1 once closed
    int rtf2;           // status device handle; only t_Servo opens it
    my_msg_struct msg;  // outgoing record, rewritten whole by every command
    hrtime_t my_time;   // t_Servo::move scratch and result

    // -1 on failure; anything but a FIFO or character device fails with ENODEV.
    int open_device(const char *path, int flags);
    // Closes once and marks the handle -1, so a second call is harmless.
    void close_handle(int &fd);
    // Sends msg in one write, retried on EINTR only.
    void send_msg();
    void note_error(int err);

private:
    unsigned char value = 0;
    unsigned char step = 3; // the constructor's step width
    int last_error = 0;
};

// A servo that can ramp: sends 'T' records and polls the status device.
//
// Behaviour callers and the real-time side rely on, odd as some of it looks:
// - The constructor ignores initvalue: it commands position 0 twice, once
//   through its own handle and once through a second, short-lived one.
//   get_pos() starts at 0 as for t_BaseServo.
// - move() sends an increment per ramp step of
//       W(end)/(5*time) - W(start)/(5*time)   (swapped if start > end),
//   each quotient truncated on its own, so it can be one more than the
//   truncated quotient of the difference. time == 0 means "as fast as the
//   real-time side can": the increment is the whole distance, one step.
//   A negative time gives a zero or negative increment.
// - So a longer time can give the fastest move: once 5*time exceeds both
//   widths the increment is 0, and the real-time side jumps to the end at
//   once. For 0 -> 255 that is every time >= 399219 (and 199610..200000,
//   where both quotients are 1); 200001..399218 give 1 ns a step, hours.
// - isdone_moving() reads at most one byte and never blocks. Any byte but 'D'
//   is consumed and lost. A 'D' nobody read stays waiting, so the first poll
//   after a later move() can report that earlier move as done.
class t_Servo : public t_BaseServo {
public:
    t_Servo(int initvalue);
    // The same on these devices, both commands included; neither path is kept.
    t_Servo(int initvalue, const char *command_device, const char *status_device);
    // Closes the command handle, then the status handle, each once.
    ~t_Servo();

    // Always returns 0; failures show in get_error().
    int move(int startvalue, int endvalue, int time);
    // 1 if a 'D' was waiting on the status device, else 0.
    int isdone_moving();
    // Sleeps in poll(2) until a 'D' is read (1) or timeout_ms have passed (0).
    // Bytes are read one at a time as isdone_moving reads them: others are
    // consumed and the wait goes on; a stale 'D' counts. 0 checks once
    // without blocking; a negative timeout waits without limit. Signals do
    // not cut the wait short. Returns 0 at once without a status handle or
    // when the device reports end of file; a failed call shows in get_error().
    int wait_done(int timeout_ms);
};

#endif
