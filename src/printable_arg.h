#ifndef SERVO_PRINTABLE_ARG_H
#define SERVO_PRINTABLE_ARG_H

#include <cstddef>

// Renders a command-line argument for a message, so that echoing it cannot
// drive the terminal: printable ASCII stays as it is, every other byte becomes
// \xHH (ESC -> \x1b). Writes a terminated string of at most size bytes into
// out, cut short with "..." after whole characters when it does not fit.
// Allocates nothing; returns out.
const char *printable_arg(const char *text, char *out, std::size_t size);

#endif
