// A rig's program in miniature: a t_Servo for each pair of pipes given (the
// build's own when none), held for its whole life, and the commands stdin
// asks for, one a line, for every servo at once:
//   set P                 an 'N' record
//   send FROM TO TIME     a 'T' record, and no wait
//   wait                  the 'D' of each servo, 5 s at most
//   move FROM TO TIME     send, then wait
// Answers each with "sent", "done" or "no done", and the error of the last
// failed call if there is one.
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include <servo.h>

int main(int argc, char **argv)
{
    std::vector<std::unique_ptr<t_Servo>> servos;
    for (int i = 1; i + 1 < argc; i += 2)
        servos.push_back(std::make_unique<t_Servo>(0, argv[i], argv[i + 1]));
    if (servos.empty())
        servos.push_back(std::make_unique<t_Servo>(0));
    for (auto &s : servos)
        while (s->wait_done(0) == 1) { // notices left from earlier moves
        }
    char line[80];
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
        int from = 0, to = 0, time = 0;
        const char *answer = "sent";
        const bool move = std::sscanf(line, "move %d %d %d", &from, &to, &time) == 3;
        if (move || std::sscanf(line, "send %d %d %d", &from, &to, &time) == 3) {
            for (auto &s : servos)
                s->move(from, to, time);
        } else if (std::sscanf(line, "set %d", &from) == 1) {
            for (auto &s : servos)
                s->set(from);
        } else if (std::strncmp(line, "wait", 4) != 0) {
            answer = "unknown command";
        }
        if (move || std::strncmp(line, "wait", 4) == 0) {
            answer = "done";
            for (auto &s : servos)
                if (s->wait_done(5000) != 1)
                    answer = "no done";
        }
        int err = 0;
        for (auto &s : servos)
            err = s->get_error() != 0 ? s->get_error() : err;
        if (err != 0)
            std::printf("%s (%s)\n", answer, std::strerror(err));
        else
            std::printf("%s\n", answer);
        std::fflush(stdout);
    }
    return 0;
}
