// A rig's program in miniature: one t_Servo held for its whole life, and the
// commands stdin asks for, one a line: "set P" or "move FROM TO TIME". Answers
// each with "sent", "done" or "no done" (no 'D' within 5 s), and the error of
// the last failed call if there is one.
#include <cstdio>
#include <cstring>

#include <servo.h>

int main()
{
    t_Servo servo(0);
    while (servo.wait_done(0) == 1) { // notices left from earlier moves
    }
    char line[80];
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
        int from = 0, to = 0, time = 0;
        const char *answer = "sent";
        if (std::sscanf(line, "move %d %d %d", &from, &to, &time) == 3) {
            servo.move(from, to, time);
            answer = servo.wait_done(5000) == 1 ? "done" : "no done";
        } else if (std::sscanf(line, "set %d", &from) == 1) {
            servo.set(from);
        } else {
            answer = "unknown command";
        }
        if (servo.get_error() != 0)
            std::printf("%s (%s)\n", answer, std::strerror(servo.get_error()));
        else
            std::printf("%s\n", answer);
        std::fflush(stdout);
    }
    return 0;
}
