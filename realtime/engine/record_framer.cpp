#include "record_framer.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <unistd.h>

#include "servo.h"

namespace {
std::int64_t field(const unsigned char *p)
{
    std::int64_t v = 0;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Every width a position can give, and every increment between two of them.
const std::int64_t lowest_width = servo_width(INT_MIN);
const std::int64_t highest_width = servo_width(INT_MAX);
constexpr std::int64_t beyond_any_servo = std::int64_t{1} << 32; // over 4 s

// A width beyond any servo's comes only from the width rule applied to a
// huge position, so it must be exactly such a width: bytes torn from two
// records almost never are.
bool a_width(std::int64_t w)
{
    if (w > -beyond_any_servo && w < beyond_any_servo)
        return true;
    if (w < lowest_width || w > highest_width)
        return false;
    const std::int64_t p = (w - 1000000) * 256 / 1000000;
    for (std::int64_t q = p - 1; q <= p + 1; ++q)
        if (q >= INT_MIN && q <= INT_MAX && servo_width(static_cast<int>(q)) == w)
            return true;
    return false;
}

// An increment that large is at most the whole distance (plus one, as each
// width is divided on its own).
bool a_step(std::int64_t step, std::int64_t from, std::int64_t to)
{
    if (step > -beyond_any_servo && step < beyond_any_servo)
        return true;
    const std::int64_t distance = from < to ? to - from : from - to;
    return step >= -distance - 1 && step <= distance + 1;
}
} // namespace

void record_framer::keep_rest()
{
    // Whatever is left moves to the front, to meet the rest of its write.
    const std::size_t rest = end - pos;
    if (pos > 0 && rest > 0)
        std::memmove(buf, buf + pos, rest);
    pos = 0;
    end = rest;
}

ssize_t record_framer::fill(int fd)
{
    keep_rest();
    ssize_t n;
    do {
        n = read(fd, buf + end, read_size);
    } while (n < 0 && errno == EINTR);
    if (n > 0)
        end += static_cast<std::size_t>(n);
    // A short read emptied the pipe; a full one may have left the rest of a write.
    empty_after = n < static_cast<ssize_t>(read_size);
    return n;
}

void record_framer::load(const unsigned char *data, std::size_t len, bool drained_now)
{
    keep_rest();
    std::memcpy(buf + end, data, len < read_size ? len : read_size);
    end += len < read_size ? len : read_size;
    empty_after = drained_now;
}

void record_framer::drained()
{
    empty_after = true;
}

// 'N' or 'T', the gap, and fields a client of ours could have sent.
bool record_framer::known_record(const unsigned char *p)
{
    if (p[1] != 0 || p[2] != 0 || p[3] != 0)
        return false;
    const std::int64_t data1 = field(p + 4), data2 = field(p + 12), time = field(p + 20);
    switch (static_cast<char>(p[0])) {
    case servo_option_set:
        return a_width(data1) && data2 == 0 && time == 0;
    case servo_option_timed:
        return a_width(data1) && a_width(data2) && a_step(time, data1, data2);
    default:
        return false;
    }
}

record_framer::verdict record_framer::judge(const unsigned char *p, std::size_t avail) const
{
    if (known_record(p))
        return verdict::record;
    // Another letter makes a record only where one is sure to begin and a
    // write to end: zeros left of a torn write would pass for a record of
    // letter 0 and swallow the record after them.
    const char letter = static_cast<char>(p[0]);
    if (letter == servo_option_set || letter == servo_option_timed || !at_boundary || p[1] != 0 || p[2] != 0 ||
        p[3] != 0)
        return verdict::stray;
    if (avail >= 2 * record_size)
        return known_record(p + record_size) ? verdict::record : verdict::stray;
    if (!empty_after)
        return verdict::wait; // what follows it is still in the pipe
    return avail == record_size ? verdict::record : verdict::stray;
}

bool record_framer::next(my_msg_struct &rec)
{
    while (end - pos >= record_size) {
        const verdict v = judge(buf + pos, end - pos);
        if (v == verdict::wait)
            return false;
        if (v == verdict::record) {
            std::memcpy(&rec, buf + pos, record_size);
            pos += record_size;
            // Only a record we know says where the next one starts: zeros
            // where the framer was wrong about a boundary (a big write torn
            // when the pipe ran empty) would pass for records of letter 0.
            at_boundary = rec.option == servo_option_set || rec.option == servo_option_timed;
            return true;
        }
        ++pos;
        ++dropped;
        at_boundary = false;
    }
    if (empty_after) {
        dropped += end - pos; // short of a record at a write's end: stray
        pos = end = 0;
        at_boundary = true;
    }
    return false;
}

std::uint64_t record_framer::take_dropped()
{
    const std::uint64_t n = dropped;
    dropped = 0;
    return n;
}
