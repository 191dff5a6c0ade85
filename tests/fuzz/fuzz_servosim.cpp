// servosim's record handling: arbitrary bytes, cut into reads at arbitrary
// points, must never crash it and must keep every ramp honest.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "gauge.h"
#include "record_framer.h"
#include "servo_model.h"

namespace {
void check(bool ok)
{
    if (!ok)
        std::abort();
}

bool between(hrtime_t v, hrtime_t a, hrtime_t b)
{
    return a <= b ? (a <= v && v <= b) : (b <= v && v <= a);
}

void run_ramp(servo_model &m)
{
    const hrtime_t start = m.width(), goal = m.target();
    std::uint64_t left = m.frames_left();
    for (int frame = 0; frame < 64 && m.ramping(); ++frame) {
        const hrtime_t before = m.width();
        check(m.tick());
        check(between(m.width(), before, goal) && m.width() != before);
        check(between(m.width(), start, goal));
        check(m.frames_left() == left - 1);
        left = m.frames_left();
        (void)describe_width(m.width()).text;
    }
    if (!m.ramping()) {
        check(m.width() == goal);
        check(m.take_done());
    }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    // The first byte sets the read size, as if the pipe delivered pieces;
    // only the last read leaves the pipe empty.
    const std::size_t chunk = data[0] % 61 + 1;
    ++data;
    --size;
    record_framer framer;
    servo_model model;
    std::size_t taken = 0, records = 0;
    while (size > 0) {
        const std::size_t len = size < chunk ? size : chunk;
        framer.load(data, len, len == size);
        taken += len;
        data += len;
        size -= len;
        my_msg_struct rec{};
        while (framer.next(rec)) {
            ++records;
            const bool was_done = model.take_done();
            (void)was_done;
            const servo_model::outcome out = model.apply(rec);
            switch (out) {
            case servo_model::outcome::set:
                check(model.width() == rec.data1 && !model.ramping());
                check(rec.data2 == 0 && rec.time == 0);
                break;
            case servo_model::outcome::ramp_done_at_once:
                check(model.width() == rec.data2 && model.take_done());
                break;
            case servo_model::outcome::ramp_started:
                check(model.width() == rec.data1 && rec.time > 0);
                run_ramp(model);
                break;
            case servo_model::outcome::unknown:
                check(rec.option != 'N' && rec.option != 'T');
                break;
            }
            (void)describe_width(model.width()).text;
        }
    }
    // Every byte is a record's or counted as dropped, and none is held.
    check(framer.held() == 0);
    check(records * record_framer::record_size + framer.take_dropped() == taken);
    return 0;
}
