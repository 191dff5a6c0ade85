// Lines a person watching the simulated servo reads.
#ifndef SERVO_GAUGE_H
#define SERVO_GAUGE_H

#include <string>

#include "servodata.h"

// "pos 128.0  1.500 ms  [....#....]"; '<' or '>' marks a width beyond 0..255.
std::string describe_width(hrtime_t width);

#endif
