#ifndef SERVO_PARSE_POSITION_H
#define SERVO_PARSE_POSITION_H

// Strict decimal int: optional leading white space, an optional sign, then
// digits and nothing else, within int range. On failure *out is untouched.
// Unlike atoi, "abc" or "12x" is an error rather than a position to move to.
bool parse_position(const char *text, int *out);

#endif
