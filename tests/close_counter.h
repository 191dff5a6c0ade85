// Counts close(2) calls per descriptor, by standing in for libc's close in
// the test binary that links close_counter.cpp.
#ifndef SERVO_TESTS_CLOSE_COUNTER_H
#define SERVO_TESTS_CLOSE_COUNTER_H

void reset_close_counts();
int close_count(int fd);

#endif
