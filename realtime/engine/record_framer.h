// Cuts what arrives on a command pipe into records, and drops what is not.
#ifndef SERVO_ENGINE_RECORD_FRAMER_H
#define SERVO_ENGINE_RECORD_FRAMER_H

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

#include "servodata.h"

// How a stray write (an `echo` into the pipe, a torn write larger than
// PIPE_BUF) is told from records: every client of ours sends a record as one
// write of 28 bytes, and a pipe never splits or interleaves a write of up to
// PIPE_BUF bytes. So
// - a read that leaves the pipe empty ends on a write boundary: bytes short
//   of a whole record there are stray and dropped, never kept to shift the
//   records that follow;
// - a record starts with 'N' or 'T' and three zero gap bytes (text never has
//   them), an 'N' carries zeros after its width, and every field is within
//   what the width rule can give; anything else is dropped a byte at a time
//   until a record starts. A whole record with another letter is one
//   (reported as unknown, not dropped) where it stands between boundaries:
//   a write or an 'N' or 'T' before it, and the end of what was read or an
//   'N' or 'T' after it.
// Allocates nothing; at most read_size bytes are read per call.
class record_framer {
public:
    static constexpr std::size_t record_size = sizeof(my_msg_struct);
    static constexpr std::size_t read_size = 146 * record_size; // 4088, under a page

    // One read from fd into what is held. Returns what read() returned.
    ssize_t fill(int fd);
    // The same with bytes in hand (tests, the fuzzer); len <= read_size.
    void load(const unsigned char *data, std::size_t len, bool drained);
    // The pipe is known to be empty now: the next call of next() drops the
    // bytes held for the rest of a record, which never came.
    void drained();
    // The next record of what was read; false when none is left.
    bool next(my_msg_struct &rec);

    // Bytes dropped since the last call.
    std::uint64_t take_dropped();
    std::size_t held() const { return end - pos; }

private:
    // Up to a record and what follows it are held, to see where it ends.
    unsigned char buf[2 * record_size - 1 + read_size] = {};
    std::size_t pos = 0, end = 0;
    bool at_boundary = true; // pos is where a write or a record begins
    bool empty_after = true; // the last read left the pipe empty
    std::uint64_t dropped = 0;

    void keep_rest();
    enum class verdict { record, stray, wait };
    static bool known_record(const unsigned char *p);
    verdict judge(const unsigned char *p, std::size_t avail) const;
};

#endif
