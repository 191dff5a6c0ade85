// Records that cross the RT-FIFOs. The real-time module reads and writes these
// exact layouts, so they are a wire format: do not reorder or resize.
#ifndef SERVO_SERVODATA_H
#define SERVO_SERVODATA_H

#include <cstddef>
#include <cstdint>

// RTLinux high-resolution time: signed nanoseconds.
typedef std::int64_t hrtime_t;

// The real-time side was built for 32-bit x86, where 64-bit fields sit on
// 4-byte boundaries. Pack to 4 so every ABI produces the same 28 bytes.
#pragma pack(push, 4)
struct my_msg_struct {
    char option;    // 'N' set width now, 'T' timed move
    hrtime_t data1; // first pulse width, ns
    hrtime_t data2; // second pulse width, ns, or 0
    hrtime_t time;  // width increment per ramp step, ns, or 0
};
#pragma pack(pop)

// One-byte status form; 'D' means the timed move has finished.
struct my_retmsg_struct {
    char option;
};

// Carried for the real-time side; nothing here reads or writes it.
struct servodata {
    hrtime_t length;
    hrtime_t inc;
    hrtime_t max;
};

static_assert(sizeof(my_msg_struct) == 28, "command record must be 28 bytes");
static_assert(offsetof(my_msg_struct, option) == 0, "option at byte 0");
static_assert(offsetof(my_msg_struct, data1) == 4, "data1 at byte 4");
static_assert(offsetof(my_msg_struct, data2) == 12, "data2 at byte 12");
static_assert(offsetof(my_msg_struct, time) == 20, "time at byte 20");
static_assert(sizeof(my_retmsg_struct) == 1, "status is one byte");
static_assert(sizeof(servodata) == 24, "servodata is three 64-bit fields");
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "records are sent in host order, which must be little-endian");

constexpr char servo_option_set = 'N';
constexpr char servo_option_timed = 'T';
constexpr char servo_status_done = 'D';

#endif
