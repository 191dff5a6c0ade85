// spawn_timer RUNS CMD_A -- CMD_B: median wall time of each command,
// run alternately so both see the same machine load.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {
double run_once(char **argv)
{
    timespec a{}, b{};
    clock_gettime(CLOCK_MONOTONIC, &a);
    const pid_t pid = fork();
    if (pid == 0) {
        execv(argv[0], argv);
        _exit(127);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    clock_gettime(CLOCK_MONOTONIC, &b);
    if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) {
        std::fprintf(stderr, "spawn_timer: %s failed\n", argv[0]);
        std::exit(1);
    }
    return static_cast<double>(b.tv_sec - a.tv_sec) * 1e6 + static_cast<double>(b.tv_nsec - a.tv_nsec) / 1e3;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}
} // namespace

int main(int argc, char **argv)
{
    int sep = 2;
    while (sep < argc && std::strcmp(argv[sep], "--") != 0)
        ++sep;
    if (argc < 5 || sep >= argc - 1)
        return 2;
    const int runs = std::atoi(argv[1]);
    argv[sep] = nullptr;
    std::vector<double> a, b;
    for (int i = 0; i < runs; ++i) {
        a.push_back(run_once(argv + 2));
        b.push_back(run_once(argv + sep + 1));
    }
    std::printf("%.1f %.1f\n", median(a), median(b));
    return 0;
}
