// servod run as a user runs it, against a directory laid out like the PWM
// class, with this test playing the kernel: an export makes the channel's
// directory appear a little later, an unexport removes it.
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <algorithm>
#include <fstream>
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
        put(chip_dir + "/npwm", "2\n");
        // The chip of an I2C board at 0x40 on bus 1, as the kernel links it.
        mkdir("devices", 0755);
        mkdir("devices/1-0040", 0755);
        symlink("../../devices/1-0040", (chip_dir + "/device").c_str());
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
        system("rm -rf pwm devices");
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
                const std::string channel = slurp(std::string(chip_dir).append("/").append(name));
                if (name == "export" && (channel == "0\n" || channel == "1\n"))
                    appear(channel.substr(0, 1));
                else if (name == "unexport" && (channel == "0\n" || channel == "1\n"))
                    system(("rm -rf " + chip_dir + "/pwm").append(channel, 0, 1).c_str());
                p += sizeof(inotify_event) + e->len;
            }
        }
    }

    // Late, and whole: built aside, then moved into place.
    static void appear(const std::string &n)
    {
        usleep(30000);
        const std::string aside = chip_dir + "/.pwm" + n;
        mkdir(aside.c_str(), 0755);
        for (const char *f : {"period", "duty_cycle", "enable"})
            put(aside + "/" + f, "0\n");
        put(aside + "/polarity", "normal\n");
        rename(aside.c_str(), (chip_dir + "/pwm" + n).c_str());
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
        sim_process first(args({"--initial-us", "1200", "--trace", "trace.csv"}), SERVOD_EXE);
        ASSERT_TRUE(first.ready()) << first.err();
        EXPECT_EQ(attr("duty_cycle"), "1200000");
        const auto rows = read_trace("trace.csv");
        ASSERT_EQ(rows.size(), 1u) << "the initial width is traced";
        EXPECT_EQ(rows[0].width, 1200000);
        EXPECT_EQ(first.stop(), 0);
    }
    put(chan + "duty_cycle", "1300000"); // servod writes a newline: any rewrite would show
    sim_process second(args(), SERVOD_EXE);
    ASSERT_TRUE(second.ready()) << second.err();
    EXPECT_EQ(slurp(chan + "duty_cycle"), "1300000") << "not rewritten";
    EXPECT_EQ(attr("enable"), "1");
    EXPECT_NE(second.out().find("kept the running width"), std::string::npos) << second.out();
}

// The notify socket of a service manager, with its file-descriptor store.
class fake_service_manager {
public:
    explicit fake_service_manager(const std::string &path)
    {
        sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        EXPECT_EQ(bind(sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        const timeval patience{10, 0}; // a server that never says ready fails, not hangs
        setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
        setenv("NOTIFY_SOCKET", path.c_str(), 1); // for the servers started meanwhile
    }
    ~fake_service_manager()
    {
        unsetenv("NOTIFY_SOCKET");
        for (const auto &[name, fd] : store)
            close(fd);
        close(sock);
    }
    fake_service_manager(const fake_service_manager &) = delete;
    fake_service_manager &operator=(const fake_service_manager &) = delete;

    // Takes messages up to READY=1, keeping stored fds as systemd does.
    bool ready()
    {
        for (;;) {
            char text[256] = {};
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)];
            iovec io{text, sizeof text - 1};
            msghdr msg{};
            msg.msg_iov = &io;
            msg.msg_iovlen = 1;
            msg.msg_control = control;
            msg.msg_controllen = sizeof control;
            if (recvmsg(sock, &msg, MSG_CMSG_CLOEXEC) <= 0)
                return false;
            const std::string said = text;
            if (said == "READY=1")
                return true;
            const std::string name = said.substr(said.find("FDNAME=") + 7);
            if (said.rfind("FDSTOREREMOVE=1", 0) == 0 && store.count(name) > 0) {
                close(store[name]);
                store.erase(name);
            }
            const cmsghdr *c = CMSG_FIRSTHDR(&msg);
            if (said.rfind("FDSTORE=1", 0) == 0 && c != nullptr && c->cmsg_type == SCM_RIGHTS) {
                int fd = -1;
                std::memcpy(&fd, CMSG_DATA(c), sizeof fd);
                if (store.count(name) > 0)
                    close(fd); // the same pipe again
                else
                    store[name] = fd;
            }
        }
    }
    std::vector<std::pair<std::string, int>> handed() const { return {store.begin(), store.end()}; }

private:
    int sock = -1;
    std::map<std::string, int> store;
};

TEST_F(Servod, ExitsWhenTheChannelGoesAndTellsSystemdWhenReady)
{
    fake_service_manager manager(dir.path() + "/notify");
    ASSERT_EQ(mkfifo(servo_command_device, 0600), 0); // left by a servod that was killed
    sim_process servod(args({"--group", "nogroup"}), SERVOD_EXE);
    ASSERT_TRUE(manager.ready());
    EXPECT_TRUE(is_fifo(servo_command_device)) << "ready means the pipes are there";
    struct stat st {};
    ASSERT_EQ(stat(servo_command_device, &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0660u);
    EXPECT_EQ(st.st_gid, getgrnam("nogroup")->gr_gid);
    EXPECT_EQ(manager.handed().size(), 2u) << "both pipes in the store";

    ASSERT_TRUE(servod.ready());
    ASSERT_EQ(system(("rm -rf " + chip_dir + "/pwm0").c_str()), 0);
    ASSERT_EQ(run(SETSERVO_EXE, {"128"}).status, 0);
    EXPECT_EQ(servod.wait_exit(), 1);
    EXPECT_NE(servod.err().find("pwm0/duty_cycle: No such file or directory: the PWM channel is gone"),
              std::string::npos)
        << servod.err();
    EXPECT_FALSE(is_fifo(servo_command_device));
}

// Under systemd the pipes keep their identity across a restart, whether
// servod was killed or stopped: a client holding them goes on, and what it
// sent meanwhile is served.
TEST_F(Servod, UnderASystemdClientsGoOnAcrossARestart)
{
    fake_service_manager manager(dir.path() + "/notify");
    auto first = std::make_unique<sim_process>(args({"--frame-ms", "5", "--group", "nogroup"}), SERVOD_EXE);
    ASSERT_TRUE(manager.ready()) << first->err();
    t_Servo client(0);
    int position = 0;
    for (int sig : {SIGKILL, SIGTERM}) {
        first->stop(sig);
        EXPECT_EQ(run(SETSERVO_EXE, {"1"}).status, sig == SIGKILL ? 0 : 1)
            << "a new client finds the pipe only where a killed servod left it";
        position = 255 - position;
        client.move(255 - position, position, 0); // waits in the pipe for the next servod
        first = std::make_unique<sim_process>(args({"--frame-ms", "5", "--group", "nogroup"}), SERVOD_EXE, -1,
                                              std::vector<std::string>{}, manager.handed());
        ASSERT_TRUE(manager.ready()) << first->err();
        EXPECT_NE(first->out().find("taken back"), std::string::npos) << first->out();
        EXPECT_EQ(client.wait_done(5000), 1) << "after " << sig << ": " << first->err();
        EXPECT_EQ(attr("duty_cycle"), std::to_string(servo_width(position)));
        struct stat st {};
        ASSERT_EQ(stat(servo_command_device, &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0660u);
    }
    EXPECT_EQ(client.get_error(), 0);
}

// In the journal each line carries its priority, and the journal adds the name.
TEST_F(Servod, SpeaksToTheJournalWithPriorities)
{
    const std::vector<std::string> journal{
        "/bin/sh", "-c", "JOURNAL_STREAM=$(stat -L -c %d:%i /proc/self/fd/2) exec \"$0\" \"$@\""};
    const struct {
        std::vector<std::string> args;
        int status;
        const char *err;
    } cases[] = {
        {{"--pwm", "pwmchip9:0", "--sysfs", "pwm", "--wait-s", "0"}, 1, "<3>pwm/pwmchip9: no such PWM chip"},
        {{"--pwm", "pwmchip0:0", "--min-us", "x"}, 2, "<3>invalid minimum width 'x'"},
    };
    for (const auto &c : cases) {
        const run_result r = run(SERVOD_EXE, c.args, journal);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << r.err;
    }
    sim_process servod(args({"--frame-ms", "5"}), SERVOD_EXE, -1, journal);
    ASSERT_TRUE(servod.ready()) << servod.err();
    ASSERT_EQ(run(SETSERVO_EXE, {"300"}).status, 0);
    ASSERT_TRUE(eventually([&] { return servod.err().find('\n') != std::string::npos; }));
    EXPECT_EQ(servod.err().rfind("<4>'N' asks for 2171875 ns", 0), 0u) << servod.err();
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
    const run_result r = run(as_nobody.empty() ? SERVOD_EXE : copy_for_anyone(SERVOD_EXE),
                             args({"--rt-priority", "50"}), as_nobody);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.err.rfind("servod: --rt-priority", 0), 0u) << r.err;
    EXPECT_FALSE(is_fifo(servo_command_device));
}

TEST_F(Servod, RefusesBadUsageAndAMissingChipBeforeMakingAnything)
{
    ASSERT_EQ(mkfifo("trace.fifo", 0600), 0); // nobody reads it: opening it would wait
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
        {{"--pwm", "pwmchip0:2", "--sysfs", "pwm", "--wait-s", "0"}, 1, "servod: pwm/pwmchip0: no channel 2, it has 2"},
        {{"--pwm", "pwmchip0:0", "--sysfs", "nowhere", "--wait-s", "0"}, 1, "servod: nowhere: no such directory"},
        {{"--pwm", "pwmchip0:0", "--sysfs", "pwm", "--trace", "trace.fifo"}, 1,
         "servod: trace.fifo: not a regular file"},
    };
    for (const auto &c : cases) {
        const run_result r = run(SERVOD_EXE, c.args);
        EXPECT_EQ(r.status, c.status) << c.err;
        EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << r.err;
        EXPECT_FALSE(is_fifo(servo_command_device));
    }
    EXPECT_EQ(run(SERVOD_EXE, {"--help"}).status, 0);
}

// A careless user: a stray echo between two setServo. The second is applied
// exactly; the stray bytes are only counted.
TEST_F(Servod, StrayBytesNeverMoveTheServo)
{
    sim_process servod(args({"--frame-ms", "5"}), SERVOD_EXE);
    ASSERT_TRUE(servod.ready()) << servod.err();
    for (const std::string stray : {"N\n", "128\n"}) {
        ASSERT_EQ(run(SETSERVO_EXE, {"128"}).status, 0);
        ASSERT_TRUE(shows("duty_cycle", "1500000")) << attr("duty_cycle");
        const int echo = open(servo_command_device, O_WRONLY | O_CLOEXEC);
        ASSERT_EQ(write(echo, stray.data(), stray.size()), static_cast<ssize_t>(stray.size()));
        close(echo);
        ASSERT_EQ(run(SETSERVO_EXE, {"0"}).status, 0);
        EXPECT_TRUE(shows("duty_cycle", "1000000")) << "after '" << stray << "': " << attr("duty_cycle");
    }
    EXPECT_EQ(servod.stop(), 0);
    EXPECT_NE(servod.err().find("bytes dropped: not whole records"), std::string::npos) << servod.err();
    EXPECT_EQ(servod.err().find("asks for"), std::string::npos) << "a width came of stray bytes: " << servod.err();
}

// duty_cycle that cannot be written (a directory, as the fault was made):
// no trace row, no 'D', one message; once it can be, the ramp goes on from
// where the hardware is, and 'D' follows its end.
TEST_F(Servod, AWidthThatDidNotGoOutIsNeitherTracedNorDone)
{
    sim_process servod(args({"--frame-ms", "5", "--trace", "trace.csv", "--initial-us", "1000"}), SERVOD_EXE);
    ASSERT_TRUE(servod.ready()) << servod.err();
    // A link, so that it can be put right in one step: servod must never
    // find it missing, which would mean the channel is gone.
    const std::string duty = chan + "duty_cycle";
    ASSERT_EQ(mkdir("broken", 0755), 0);
    ASSERT_EQ(symlink((dir.path() + "/broken").c_str(), "duty.link"), 0);
    ASSERT_EQ(rename("duty.link", duty.c_str()), 0);
    pipe_end status(servo_status_device);
    {
        pipe_end cmd(servo_command_device);
        unsigned char t[28] = {'T'};
        const std::int64_t fields[] = {1000000, 1100000, 25000};
        std::memcpy(t + 4, fields, sizeof fields);
        cmd.put(std::string(reinterpret_cast<const char *>(t), sizeof t));
    }
    ASSERT_TRUE(eventually([&] { return servod.err().find("Is a directory") != std::string::npos; }));
    usleep(100000); // 20 frames in which nothing may be traced or done
    EXPECT_EQ(status.read_all(), "");
    EXPECT_EQ(read_trace("trace.csv").size(), 1u) << "only the initial width went out";
    const std::string err = servod.err();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << "one report, not one a frame: " << err;

    put("duty.file", "1000000\n");
    ASSERT_EQ(symlink((dir.path() + "/duty.file").c_str(), "duty.link"), 0);
    ASSERT_EQ(rename("duty.link", duty.c_str()), 0);
    std::string got;
    ASSERT_TRUE(eventually([&] { return (got += status.read_all()) == "D"; })) << got;
    EXPECT_EQ(attr("duty_cycle"), "1100000") << "'D' only once the end width is out";
    EXPECT_EQ(trace_widths("trace.csv"), (std::vector<std::int64_t>{1000000, 1025000, 1050000, 1075000, 1100000}));
    EXPECT_EQ(servod.stop(), 0);
    EXPECT_NE(servod.err().find("written again after"), std::string::npos) << servod.err();
}

// Waiting for a chip's driver at boot, or for a channel after its export:
// a stop ends the wait at once, and nothing is left behind. Started as a
// shell's background job is, with SIGINT and SIGQUIT ignored: those stop it
// too.
TEST_F(Servod, AStopDuringAStartUpWaitEndsItAtOnce)
{
    mkdir("pwm/pwmchip1", 0755); // nobody answers its export
    put("pwm/pwmchip1/npwm", "1\n");
    put("pwm/pwmchip1/export", "");
    const struct {
        const char *chip;
        int stop;
        std::function<bool(const sim_process &)> waiting;
    } cases[] = {
        {"pwmchip7:0", SIGINT, [](const sim_process &p) { return p.err().find("waiting up to 60 s") != std::string::npos; }},
        {"pwmchip1:0", SIGQUIT, [](const sim_process &) { return slurp("pwm/pwmchip1/export") == "0\n"; }},
        {"pwmchip1:0", SIGTERM, [](const sim_process &) { return slurp("pwm/pwmchip1/export") == "0\n"; }},
    };
    for (const auto &c : cases) {
        put("pwm/pwmchip1/export", "");
        sim_process servod({"--pwm", c.chip, "--sysfs", "pwm", "--wait-s", "60"}, SERVOD_EXE, -1,
                           {"/bin/sh", "-c", "trap '' INT QUIT; exec \"$0\" \"$@\""});
        ASSERT_TRUE(eventually([&] { return c.waiting(servod); })) << c.chip << ": " << servod.err();
        EXPECT_EQ(servod.stop_within(c.stop, 3000), 0) << c.chip << ": " << servod.err();
        for (const char *left : {"rtf1", "rtf2", "rtf1.lock"})
            EXPECT_NE(access(left, F_OK), 0) << c.chip << ": " << left;
    }
}

// At boot a board's PWM driver often comes after servod: it waits for the
// chip, here named by its device, and serves once it is there.
TEST_F(Servod, WaitsForAChipThatComesLate)
{
    ASSERT_EQ(rename((chip_dir + "/device").c_str(), "device.later"), 0);
    sim_process servod({"--pwm", "1-0040:0", "--sysfs", dir.path() + "/pwm", "--wait-s", "60"}, SERVOD_EXE);
    ASSERT_TRUE(eventually([&] { return servod.err().find("waiting up to 60 s") != std::string::npos; }));
    EXPECT_FALSE(is_fifo(servo_command_device)) << "nothing made before the chip is there";
    ASSERT_EQ(rename("device.later", (chip_dir + "/device").c_str()), 0);
    ASSERT_TRUE(servod.ready()) << servod.err();
    ASSERT_EQ(run(SETSERVO_EXE, {"128"}).status, 0);
    EXPECT_TRUE(shows("duty_cycle", "1500000"));
}

// Started with 0-2 closed (as some supervisors do), servod must not take
// them for its own files: its messages would go into the status pipe.
TEST_F(Servod, StartedWithoutStdioKeepsItsMessagesOutOfThePipes)
{
    sim_process servod(args({"--frame-ms", "5"}), SERVOD_EXE, -1,
                       {"/bin/sh", "-c", "exec \"$0\" \"$@\" <&- >&- 2>&-"});
    ASSERT_TRUE(eventually([] { return is_fifo(servo_command_device); }));
    pipe_end status(servo_status_device);
    ASSERT_EQ(run(SETSERVO_EXE, {"300"}).status, 0); // a clamp: a message on stderr
    ASSERT_TRUE(shows("duty_cycle", "2000000")) << attr("duty_cycle");
    EXPECT_EQ(status.read_all(), "");
    EXPECT_EQ(servod.stop(), 0);
}

// Two servos, one servod, one frame clock; each with its own pipes, channel
// and range. Clamps and stray bytes on one never touch the other, and two
// moves of one duration started in one frame end in one frame.
TEST_F(Servod, DrivesSeveralServosOnOneFrameClock)
{
    const std::string b = chip_dir + "/pwm1/";
    std::ofstream("servod.conf") << "frame-ms = 5\n"
                                    "[a]\npwm = pwmchip0:0\ncommand = rtf1\nstatus = rtf2\ntrace = a.csv\n"
                                    "[b]\npwm = 1-0040:1 # the chip by its device\ncommand = rtf3\nstatus = rtf4\n"
                                    "min-us = 1200\ntrace = b.csv\n";
    sim_process servod({"--config", "servod.conf", "--sysfs", "pwm"}, SERVOD_EXE);
    ASSERT_TRUE(servod.ready()) << servod.err();
    ASSERT_EQ(run(SETSERVO_EXE, {"-d", "rtf3", "0"}).status, 0);
    {
        pipe_end stray("rtf3");
        stray.put("N\n");
    }
    ASSERT_EQ(run(SETSERVO_EXE, {"-d", "rtf1", "0"}).status, 0);
    ASSERT_TRUE(eventually([&] { return slurp(b + "duty_cycle") == "1200000\n"; })) << slurp(b + "duty_cycle");
    ASSERT_TRUE(shows("duty_cycle", "1000000")) << "a takes 0 as it is: its range is its own";
    ASSERT_TRUE(eventually([&] { return servod.err().find("rtf3: 2 bytes dropped") != std::string::npos; }))
        << servod.err();
    EXPECT_EQ(servod.err().find("rtf1"), std::string::npos) << servod.err();
    EXPECT_NE(servod.err().find("b: 'N' asks for 1000000 ns; 1200000 ns used"), std::string::npos) << servod.err();

    {
        t_Servo first(0, "rtf1", "rtf2"), second(0, "rtf3", "rtf4");
        while (first.wait_done(0) == 1 || second.wait_done(0) == 1) {
        }
        // Both records in the pipes before servod looks, once it has read
        // what came before them (else it could take one pipe's records in
        // one wake-up and the other's in the next) and the frame of those
        // has passed: certainly one frame.
        pipe_end a_cmd("rtf1"), b_cmd("rtf3");
        const auto all_read = [&] {
            int in_a = 0, in_b = 0;
            return ioctl(a_cmd.fd(), FIONREAD, &in_a) == 0 && ioctl(b_cmd.fd(), FIONREAD, &in_b) == 0 &&
                   in_a + in_b == 0;
        };
        for (;;) {
            ASSERT_TRUE(eventually(all_read));
            ASSERT_TRUE(servod.pause());
            if (all_read())
                break;
            kill(servod.pid(), SIGCONT);
        }
        usleep(20000);
        first.move(0, 255, 2);
        second.move(255, 128, 2);
        kill(servod.pid(), SIGCONT);
        EXPECT_EQ(first.wait_done(5000), 1);
        EXPECT_EQ(second.wait_done(5000), 1);
    }
    const auto at = read_trace("a.csv"), bt = read_trace("b.csv");
    ASSERT_GE(at.size(), 10u);
    ASSERT_GE(bt.size(), 5u);
    EXPECT_EQ(at.back().width, 1996093);
    EXPECT_EQ(bt.back().width, 1500000);
    EXPECT_EQ(at.back().t_ms, bt.back().t_ms) << "both ends in one frame: " << slurp("a.csv") << slurp("b.csv");
    EXPECT_EQ(at.size(), 12u) << "each moves one step a frame";
    EXPECT_EQ(servod.stop(), 0);
}

// After idle-release-s without a record or a ramp the pulses end, as
// --on-exit release ends them; the next record starts them again.
TEST_F(Servod, IdleReleaseEndsThePulsesUntilTheNextRecord)
{
    sim_process servod(args({"--frame-ms", "5", "--idle-release-s", "1", "--trace", "trace.csv"}), SERVOD_EXE);
    ASSERT_TRUE(servod.ready()) << servod.err();
    ASSERT_EQ(run(SETSERVO_EXE, {"128"}).status, 0);
    ASSERT_TRUE(shows("enable", "1"));
    ASSERT_TRUE(eventually([] { return attr("enable") == "0"; }, 5000)) << "still pulsing";
    EXPECT_EQ(attr("duty_cycle"), "0");
    ASSERT_EQ(run(SETSERVO_EXE, {"0"}).status, 0);
    ASSERT_TRUE(shows("enable", "1"));
    EXPECT_EQ(attr("duty_cycle"), "1000000");
    // The row follows the write of enable: wait for it, not for enable.
    ASSERT_TRUE(eventually([] { return read_trace("trace.csv").size() >= 3; }));
    EXPECT_EQ(trace_widths("trace.csv"), (std::vector<std::int64_t>{1500000, 0, 1000000}));
    EXPECT_EQ(servod.stop(), 0);
}

TEST_F(Servod, RefusesAConfigurationWithAMistakeBeforeMakingAnything)
{
    std::ofstream("servod.conf") << "[a]\npwm = pwmchip0:0\ncommand = rtf1\nstatus = rtf2\nmax-us = 3000\n"
                                    "[b]\npwm = pwmchip0:1\ncommand = rtf3\n";
    std::ofstream("ok.conf") << "[a]\npwm = pwmchip0:0\ncommand = rtf1\nstatus = rtf2\n"
                                "[b]\npwm = 1-0040:0\ncommand = rtf3\nstatus = rtf4\n";
    const struct {
        std::vector<std::string> args;
        const char *err;
    } cases[] = {
        {{"--config", "servod.conf"}, "servod: servod.conf:6: [b] has no status\n"},
        {{"--config", "servod.conf", "--pwm", "pwmchip0:0"},
         "servod: --pwm is for the servo of the command line; with --config each servo's settings are in its section\n"},
        {{"--config", "nowhere.conf"}, "servod: nowhere.conf: No such file or directory\n"},
        {{"--config", "ok.conf", "--sysfs", "pwm", "--wait-s", "0"},
         "servod: ok.conf:6: [b] drives pwmchip0:0, which is [a]'s already\n"},
    };
    for (const auto &c : cases) {
        const run_result r = run(SERVOD_EXE, c.args);
        EXPECT_EQ(r.status, 2) << c.err;
        EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1), c.err);
        EXPECT_FALSE(is_fifo("rtf1"));
        EXPECT_NE(access((chan + "enable").c_str(), F_OK), 0) << "no channel touched";
    }
}

} // namespace
