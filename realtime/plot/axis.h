// Round ticks: 1, 2 or 5 times a power of ten, four to eight of them.
#ifndef SERVOSIM_AXIS_H
#define SERVOSIM_AXIS_H

#include <cstdint>
#include <string>
#include <vector>

// Values are whole base units (ns, µs, positions), so that a picture comes
// out the same to the byte on every machine.
struct round_axis {
    std::int64_t lo, hi;             // the range drawn: whole steps around the data
    std::int64_t step;
    std::vector<std::int64_t> ticks; // lo, lo + step, ..., hi

    // The data's range; a range of one value is widened around it.
    round_axis(std::int64_t data_lo, std::int64_t data_hi);
    // Tenths of a pixel from `from` (at lo) to `to` (at hi), either way round.
    std::int64_t map(std::int64_t v, std::int64_t from, std::int64_t to) const;
};

// v / 10^exponent with no trailing zeros: 1200000, 6 -> "1.2"; 1000000 -> "1".
std::string tick_label(std::int64_t v, int exponent);

#endif
