// Command-line pieces that servosim and servod share.
#ifndef SERVO_ENGINE_ARGUMENTS_H
#define SERVO_ENGINE_ARGUMENTS_H

constexpr int default_frame_ms = 20;
constexpr int min_frame_ms = 1;
constexpr int max_frame_ms = 10000;

// A decimal int within min..max; false for anything else.
bool parse_int_in(const char *text, long min, long max, int &out);
// --frame-ms; reports a bad value on stderr.
bool parse_frame_ms(const char *program, const char *text, int &frame_ms);
// Reports what getopt_long (with ':' leading its option string) refused,
// right after it returned code: ':' for a missing value, '?' for an unknown
// option. A short option is named by optopt (in "-xy" the element is
// still argv[optind]); a long one by the element it came in.
void report_bad_option(const char *program, int code, char **argv);
void report_bad_operand(const char *program, const char *arg);
// "PROGRAM: invalid WHAT 'TEXT'EXTRA" on stderr, TEXT shown safely.
void report_invalid(const char *program, const char *what, const char *text, const char *extra = "");

#endif
