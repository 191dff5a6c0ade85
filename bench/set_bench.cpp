// set() against a bare loop of 28-byte writes to the same pipe.
#include <benchmark/benchmark.h>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "servo.h"

namespace {

constexpr int drain_every = 1024;

int reader = -1;

void empty_pipe()
{
    char buf[65536];
    while (read(reader, buf, sizeof buf) > 0) {
    }
}

// Every run starts empty and is emptied, untimed, before it could fill.
void drain(benchmark::State &state)
{
    state.PauseTiming();
    empty_pipe();
    state.ResumeTiming();
}

void raw_write(benchmark::State &state)
{
    empty_pipe();
    const int fd = open(servo_command_device, O_RDWR);
    my_msg_struct msg{};
    msg.option = 'N';
    int n = 0;
    for (auto _ : state) {
        msg.data1 = servo_width(n & 255);
        benchmark::DoNotOptimize(write(fd, &msg, sizeof msg));
        if (++n % drain_every == 0)
            drain(state);
    }
    close(fd);
}

void servo_set(benchmark::State &state)
{
    empty_pipe();
    t_BaseServo servo(0);
    int n = 0;
    for (auto _ : state) {
        servo.set(n & 255);
        if (++n % drain_every == 0)
            drain(state);
    }
}

BENCHMARK(raw_write)->Repetitions(5);
BENCHMARK(servo_set)->Repetitions(5);

class ratio_reporter : public benchmark::ConsoleReporter {
public:
    ratio_reporter() : ConsoleReporter(OO_Tabular) {}
    std::map<std::string, double> median;
    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &r : runs)
            if (r.aggregate_name == "median")
                median[r.run_name.function_name] = r.GetAdjustedRealTime();
    }
};

} // namespace

int main(int argc, char **argv)
{
    if (mkfifo(servo_command_device, 0600) != 0 && errno != EEXIST)
        return 1;
    reader = open(servo_command_device, O_RDWR | O_NONBLOCK);
    benchmark::Initialize(&argc, argv);
    ratio_reporter rep;
    benchmark::RunSpecifiedBenchmarks(&rep);
    const double raw = rep.median["raw_write"], set = rep.median["servo_set"];
    if (raw > 0)
        std::printf("set() / raw 28-byte write, median real time: %.3f (goal <= 1.05)\n", set / raw);
    close(reader);
    unlink(servo_command_device);
    return 0;
}
