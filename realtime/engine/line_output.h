// Lines for a person or a log, written without ever holding up the caller.
#ifndef SERVO_ENGINE_LINE_OUTPUT_H
#define SERVO_ENGINE_LINE_OUTPUT_H

#include <cstddef>
#include <cstdint>

// How much a message matters: the journal's priorities.
enum class severity { error = 3, warning = 4, info = 6 };

// True when fd is the stream systemd's journal gave this process
// ($JOURNAL_STREAM names its device and inode).
bool is_journal_stream(int fd);

// A line that cannot be written at once (a full pipe nobody reads, a reader
// that went away, a stalled terminal) is dropped and counted. The next line
// that gets through is preceded by one saying how many were lost, unless the
// output is data (a trace), where such a line would not belong.
// Allocates nothing; lines longer than max_line are cut.
class line_output {
public:
    static constexpr std::size_t max_line = 512;

    // fd stays the caller's; a private non-blocking handle on it is used
    // where one can be had. who names the program in messages.
    line_output(int fd, const char *who, bool note_drops = true);
    ~line_output();
    line_output(const line_output &) = delete;
    line_output &operator=(const line_output &) = delete;

    // A message: "who: text" on a terminal or in a file; "<N>text" in the
    // journal, which adds the program's name and reads N as the priority.
    bool say(severity level, const char *format, ...) __attribute__((format(printf, 3, 4)));
    // A line as it is (trace rows). True if it was written whole.
    bool line(const char *format, ...) __attribute__((format(printf, 2, 3)));
    // Lines dropped since the last note, or in all when notes are off.
    std::uint64_t dropped() const { return lost; }

private:
    enum class kind { stream, socket };
    int fd;
    int own = -1; // the private handle, if one was opened
    kind how = kind::stream;
    bool journal = false;
    const char *who;
    bool note_drops;
    std::uint64_t lost = 0;
    char tail[max_line] = {}; // the unwritten end of a partly written line
    std::size_t tail_len = 0;

    bool flush_tail();
    bool put(const char *text, std::size_t len);
    bool emit(char *text, std::size_t len);
    std::size_t lead(char *text, severity level) const;
};

// A usage message on stderr, before any line_output exists: "program: text",
// or "<3>text" in the journal.
void complain(const char *program, const char *format, ...) __attribute__((format(printf, 2, 3)));

#endif
