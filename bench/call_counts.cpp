// call_counts N: N each of set(), move() and isdone_moving() on one t_Servo.
// Traced twice with different N, the difference shows what each call costs
// in system calls and heap allocations, free of start-up noise.
#include <cstdlib>

#include "parse_position.h"
#include "servo.h"

int main(int argc, char **argv)
{
    int n = 0;
    if (argc != 2 || !parse_position(argv[1], &n) || n < 0)
        return 2;
    t_Servo servo(0);
    int done = 0;
    for (int i = 0; i < n; ++i) {
        servo.set(i & 255);
        servo.move(0, i & 255, 10);
        done += servo.isdone_moving();
    }
    return servo.get_error() == 0 && done == 0 ? 0 : 1;
}
