// Lines a person watching the simulated servo reads.
#ifndef SERVOSIM_DISPLAY_H
#define SERVOSIM_DISPLAY_H

#include <string>

#include "servodata.h"

// "pos 128.0  1.500 ms  [....#....]"; '<' or '>' marks a width beyond 0..255.
std::string describe_width(hrtime_t width);

#endif
