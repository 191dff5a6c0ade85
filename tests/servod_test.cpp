// servod run as a user runs it, against a directory laid out like the PWM
// class, with this test playing the kernel: an export makes the channel's
// directory appear a little later, an unexport removes it.
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include "servo.h"
#include "support.h"

namespace {

const std::string chip_dir = "pwm/pwmchip0";
const std::string chan = chip_dir + "/pwm0/";

void put(const std::string &path, const std::string &text)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
}

std::string attr(const std::string &name)
{
    std::string v = slurp(chan + name);
    while (!v.empty() && v.back() == '\n')
        v.pop_back();
    return v;
}

class fake_kernel {
public:
    fake_kernel()
    {
        mkdir("pwm", 0755);
        mkdir(chip_dir.c_str(), 0755);
        put(chip_dir + "/npwm", "1\n");
        put(chip_dir + "/export", "");
        put(chip_dir + "/unexport", "");
        watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        inotify_add_watch(watch, chip_dir.c_str(), IN_CLOSE_WRITE);
        worker = std::thread([this] { serve(); });
    }
    ~fake_kernel()
    {
        stopping = true;
        worker.join();
        close(watch);
        system("rm -rf pwm");
    }
    fake_kernel(const fake_kernel &) = delete;
    fake_kernel &operator=(const fake_kernel &) = delete;

private:
    int watch = -1;
    std::thread worker;
    std::atomic<bool> stopping{false};

    void serve()
    {
        alignas(inotify_event) char buf[4096];
        while (!stopping) {
            const ssize_t n = read(watch, buf, sizeof buf);
            if (n <= 0) {
                usleep(1000);
                continue;
            }
            for (char *p = buf; p < buf + n;) {
                const auto *e = reinterpret_cast<const inotify_event *>(p);
                const std::string name = e->len > 0 ? e->name : "";
                if (name == "export" && slurp(chip_dir + "/export") == "0\n")
                    appear();
                else if (name == "unexport" && slurp(chip_dir + "/unexport") == "0\n")
                    system(("rm -rf " + chip_dir + "/pwm0").c_str());
                p += sizeof(inotify_event) + e->len;
            }
        }
    }

    // Late, and whole: built aside, then moved into place.
    static void appear()
    {
        usleep(30000);
        const std::string aside = chip_dir + "/.pwm0";
        mkdir(aside.c_str(), 0755);
        for (const char *f : {"period", "duty_cycle", "enable"})
            put(aside + "/" + f, "0\n");
        put(aside + "/polarity", "normal\n");
        rename(aside.c_str(), (chip_dir + "/pwm0").c_str());
    }
};

class Servod : public ::testing::Test {
protected:
    private_dir dir;
    fake_kernel kernel;

    std::vector<std::string> args(std::vector<std::string> more = {})
    {
        std::vector<std::string> a{"--pwm", "pwmchip0:0", "--sysfs", dir.path() + "/pwm"};
        a.insert(a.end(), more.begin(), more.end());
        return a;
    }
    static bool shows(const std::string &name, const std::string &value)
    {
        return eventually([&] { return attr(name) == value; }, 5000);
    }
};

TEST_F(Servod, DrivesTheChannelClampsAndHoldsOrReleasesOnExit)
{
    for (const char *on_exit : {"release", "hold"}) {
        sim_process servod(args({"--on-exit", on_exit, "--frame-ms", "5"}), SERVOD_EXE);
        ASSERT_TRUE(servod.ready()) << servod.err();
        struct stat st {};
        ASSERT_EQ(stat(servo_command_device, &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u) << "only root may command by default";

        ASSERT_EQ(run(SETSERVO_EXE, {"128"}).status, 0);
        // The duty cycle is written before enable: wait for the one read.
        ASSERT_TRUE(shows("duty_cycle", "1500000")) << attr("duty_cycle");
        EXPECT_TRUE(shows("enable", "1")) << attr("enable");
        EXPECT_EQ(attr("period"), "5000000");

        ASSERT_EQ(run(SETSERVO_EXE, {"300"}).status, 0);
        ASSERT_TRUE(shows("duty_cycle", "2000000")) << attr("duty_cycle");
        EXPECT_NE(servod.err().find("servod: 'N' asks for 2171875 ns; 2000000 ns used"),
                  std::string::npos)
            << servod.err();
        {
            t_Servo servo(0);
            servo.move(0, 255, 2); // about 20 frames
            ASSERT_TRUE(eventually([&] { return servo.isdone_moving() == 1; }));
            EXPECT_EQ(attr("duty_cycle"), "1996093") << "'D' only once the end width is out";
        }
        EXPECT_EQ(servod.stop(), 0) << servod.err();
        EXPECT_FALSE(is_fifo(servo_command_device));
        if (std::string(on_exit) == "hold") {
            EXPECT_EQ(attr("duty_cycle"), "1996093");
            EXPECT_EQ(attr("enable"), "1");
        } else {
            EXPECT_EQ(slurp(chip_dir + "/unexport"), "0\n") << "exported by servod, so unexported";
            ASSERT_TRUE(eventually([] { return access(chan.c_str(), F_OK) != 0; }));
        }
    }
}

TEST_F(Servod, RestartKeepsARunningWidth)
{
    {
        sim_process first(args({"--initial-us", "1200"}), SERVOD_EXE);
        ASSERT_TRUE(first.ready()) << first.err();
        EXPECT_EQ(attr("duty_cycle"), "1200000");
        EXPECT_EQ(first.stop(), 0);
    }
    put(chan + "duty_cycle", "1300000"); // servod writes a newline: any rewrite would show
    sim_process second(args(), SERVOD_EXE);
    ASSERT_TRUE(second.ready()) << second.err();
    EXPECT_EQ(slurp(chan + "duty_cycle"), "1300000") << "not rewritten";
    EXPECT_EQ(attr("enable"), "1");
    EXPECT_NE(second.out().find("kept the running width"), std::string::npos) << second.out();
}

TEST_F(Servod, ExitsWhenTheChannelGoesAndTellsSystemdWhenReady)
{
    const std::string sock = dir.path() + "/notify";
    const int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", sock.c_str());
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    const timeval patience{10, 0}; // a server that never says ready fails, not hangs
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    setenv("NOTIFY_SOCKET", sock.c_str(), 1);
    sim_process servod(args({"--group", "nogroup"}), SERVOD_EXE);
    unsetenv("NOTIFY_SOCKET");

    char msg[64] = {};
    ASSERT_GT(recv(s, msg, sizeof msg - 1, 0), 0);
    EXPECT_STREQ(msg, "READY=1");
    EXPECT_TRUE(is_fifo(servo_command_device)) << "ready means the pipes are there";
    struct stat st {};
    ASSERT_EQ(stat(servo_command_device, &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0660u);
    EXPECT_EQ(st.st_gid, getgrnam("nogroup")->gr_gid);
    close(s);

    ASSERT_TRUE(servod.ready());
    ASSERT_EQ(system(("rm -rf " + chip_dir + "/pwm0").c_str()), 0);
    ASSERT_EQ(run(SETSERVO_EXE, {"128"}).status, 0);
    EXPECT_EQ(servod.wait_exit(), 1);
    EXPECT_NE(servod.err().find("pwm0/duty_cycle: No such file or directory: the PWM channel is gone"),
              std::string::npos)
        << servod.err();
    EXPECT_FALSE(is_fifo(servo_command_device));
}

TEST_F(Servod, RefusedRealTimePriorityIsAnError)
{
    // Without the privilege SCHED_FIFO is refused: say why and stop, rather
    // than drive the servo at normal priority.
    std::vector<std::string> as_nobody;
    if (geteuid() == 0) {
        ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
        as_nobody = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                     "--inh-caps=-all"};
    }
    const run_result r = run(SERVOD_EXE, args({"--rt-priority", "50"}), as_nobody);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.err.rfind("servod: --rt-priority", 0), 0u) << r.err;
    EXPECT_FALSE(is_fifo(servo_command_device));
}

TEST_F(Servod, RefusesBadUsageAndAMissingChipBeforeMakingAnything)
{
    const struct {
        std::vector<std::string> args;
        int status;
        const char *err;
    } cases[] = {
        {{}, 2, "servod: --pwm CHIP:CHANNEL is required\n"},
        {{"--pwm", "pwmchip0"}, 2, "servod: invalid PWM channel 'pwmchip0' (expected CHIP:CHANNEL"},
        {{"--pwm", "pwmchip0:0", "--min-us", "2000"}, 2, "servod: --min-us must be less than --max-us\n"},
        {{"--pwm", "pwmchip0:0", "--frame-ms", "2"}, 2,
         "servod: --max-us must be less than the period (--frame-ms)\n"},
        {{"--pwm", "pwmchip0:0", "--initial-us", "900"}, 2,
         "servod: --initial-us must lie within --min-us..--max-us\n"},
        {{"--pwm", "pwmchip0:0", "--on-exit", "\x1b[2J"}, 2,
         "servod: invalid exit action '\\x1b[2J' (hold or release)\n"},
        {{"--pwm", "pwmchip0:0", "--group", "no-such-group"}, 2,
         "servod: invalid group 'no-such-group' (no such group)\n"},
        {{"-xy", "--pwm", "pwmchip0:0"}, 2, "servod: unknown option '-x'\n"},
        {{"--pwm", "pwmchip0:0", "--wait-s", "-1"}, 2, "servod: invalid wait '-1' (0..3600 s)\n"},
        {{"--pwm", "pwmchip9:0", "--sysfs", "pwm", "--wait-s", "0"}, 1, "servod: pwm/pwmchip9: no such PWM chip"},
        {{"--pwm", "pwmchip\x1b[2J:0", "--sysfs", "pwm", "--wait-s", "0"}, 1,
         "servod: pwm/pwmchip\\x1b[2J: no such PWM chip"},
        {{"--pwm", "pwmchip0:1", "--sysfs", "pwm", "--wait-s", "0"}, 1, "servod: pwm/pwmchip0: no channel 1, it has 1"},
        {{"--pwm", "pwmchip0:0", "--sysfs", "nowhere", "--wait-s", "0"}, 1, "servod: nowhere: no such directory"},
    };
    for (const auto &c : cases) {
        const run_result r = run(SERVOD_EXE, c.args);
        EXPECT_EQ(r.status, c.status) << c.err;
        EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << r.err;
        EXPECT_FALSE(is_fifo(servo_command_device));
    }
    EXPECT_EQ(run(SERVOD_EXE, {"--help"}).status, 0);
}

} // namespace
