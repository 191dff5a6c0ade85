// The servo library under Python's names: the records, the width rule and
// the increment rule all come from libservo itself. The library never throws;
// here its get_error() becomes OSError, as Python's own file calls raise it.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>

#include <servo.h>

namespace py = pybind11;

namespace {

// What the binding needs from the protected side: a clean error slot before
// each call (get_error() keeps a failure until the next one), and which
// handle a failed constructor could not open.
template <typename Servo>
class bound : public Servo {
public:
    using Servo::Servo;
    void forget_error() { this->note_error(0); }
    bool command_open() const { return this->rtf1 >= 0; }
    bool status_open() const { return this->rtf2 >= 0; }
    int close_handles()
    {
        this->forget_error();
        this->close_handle(this->rtf1);
        this->close_handle(this->rtf2);
        return this->get_error();
    }
};

// A device path given as str, bytes or os.PathLike: bytes for open(2), and
// the str Python shows in an error.
struct device_path {
    std::string bytes;
    py::object shown;
};

device_path device_from(const std::optional<py::object> &given, const char *fallback)
{
    const py::module_ os = py::module_::import("os");
    const py::object path = given ? *given : py::str(fallback);
    device_path device{os.attr("fsencode")(path).cast<std::string>(), os.attr("fsdecode")(path)};
    // open(2) would stop at the NUL and open another file; Python's own open refuses it.
    if (device.bytes.find('\0') != std::string::npos)
        throw py::value_error("embedded null byte");
    return device;
}

[[noreturn]] void raise_os_error(int err, const device_path &device)
{
    // OSError(errno, strerror, filename) is made as the subclass that fits,
    // FileNotFoundError for ENOENT and so on.
    errno = err;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, device.shown.ptr());
    throw py::error_already_set();
}

int c_int(long long value, const char *what)
{
    if (value < INT_MIN || value > INT_MAX)
        throw std::overflow_error(std::string(what) + " out of the range of a C int: " + std::to_string(value));
    return static_cast<int>(value);
}

// A Python object's servo. Calls run without the GIL, so that a blocked
// write or a wait leaves other threads running, and one at a time under the
// lock, so that close() from another thread never pulls a handle from under
// a call. The lock is only ever taken without the GIL, and given back before
// the GIL is taken again: no thread waits for one while holding the other.
template <typename Servo>
class servo_object {
public:
    servo_object(device_path command, std::optional<device_path> status, int initial)
        : command_(std::move(command)), status_(std::move(status))
    {
        int err = 0;
        const device_path *failed = &command_;
        {
            py::gil_scoped_release nogil;
            if constexpr (std::is_same_v<Servo, t_Servo>)
                servo_.emplace(initial, command_.bytes.c_str(), status_->bytes.c_str());
            else
                servo_.emplace(initial, command_.bytes.c_str());
            err = servo_->get_error();
            if (status_ && servo_->command_open() && !servo_->status_open())
                failed = &*status_;
            if (err != 0)
                servo_.reset();
        }
        if (err != 0)
            raise_os_error(err, *failed);
    }

    // Runs f(servo) and raises the error it left, naming the device it used.
    template <typename F>
    auto call(F f, bool on_status = false)
    {
        int err = 0;
        std::optional<decltype(f(std::declval<bound<Servo> &>()))> result;
        {
            py::gil_scoped_release nogil;
            const std::lock_guard<std::mutex> hold(lock_);
            if (servo_) {
                servo_->forget_error();
                result.emplace(f(*servo_));
                err = servo_->get_error();
            }
        }
        if (!result)
            throw py::value_error("I/O operation on closed servo");
        if (err != 0)
            raise_os_error(err, on_status && status_ ? *status_ : command_);
        return *result;
    }

    void close()
    {
        int err = 0;
        {
            py::gil_scoped_release nogil;
            const std::lock_guard<std::mutex> hold(lock_);
            if (servo_)
                err = servo_->close_handles();
            servo_.reset();
            closed_ = true;
        }
        if (err != 0)
            raise_os_error(err, command_);
    }

    bool closed() const { return closed_; }

    std::string repr(const char *kind) const
    {
        std::string text = std::string("<servo.") + kind + " command=" + py::repr(command_.shown).cast<std::string>();
        if (status_)
            text += " status=" + py::repr(status_->shown).cast<std::string>();
        return text + (closed_ ? " closed>" : ">");
    }

private:
    device_path command_;
    std::optional<device_path> status_;
    std::mutex lock_;
    std::optional<bound<Servo>> servo_;
    std::atomic<bool> closed_{false};
};

using base_object = servo_object<t_BaseServo>;
using timed_object = servo_object<t_Servo>;

// Waits in slices, so that Ctrl-C (or another signal with a Python handler)
// interrupts a long wait within one slice; the library retries its poll
// across signals.
bool wait_done(timed_object &self, std::optional<long long> timeout_ms)
{
    using clock = std::chrono::steady_clock;
    constexpr long long slice_ms = 50;
    // Beyond this (35 years) a deadline would overflow the clock: no limit.
    constexpr long long longest_ms = 1LL << 40;
    const bool forever = !timeout_ms || *timeout_ms < 0 || *timeout_ms > longest_ms;
    const clock::time_point deadline = clock::now() + std::chrono::milliseconds(forever ? 0 : *timeout_ms);
    for (;;) {
        long long wait = slice_ms;
        if (!forever) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now()).count();
            wait = std::clamp<long long>(left, 0, slice_ms);
        }
        const clock::time_point start = clock::now();
        const int ms = static_cast<int>(wait);
        if (self.call([ms](t_Servo &s) { return s.wait_done(ms); }, true) == 1)
            return true;
        if (PyErr_CheckSignals() != 0)
            throw py::error_already_set();
        if (!forever && clock::now() >= deadline)
            return false;
        // Back before its slice was up with nothing: the device reported end
        // of file, and no notice can come.
        if (clock::now() - start < std::chrono::milliseconds(wait))
            return false;
    }
}

// What both classes have, BaseServo's whole interface.
template <typename Servo>
void add_stepping(py::class_<servo_object<Servo>> &cls, const char *kind)
{
    using Object = servo_object<Servo>;
    cls.attr("__module__") = "servo";
    cls.def("__repr__", [kind](const Object &self) { return self.repr(kind); });
    cls.def(
           "set", [](Object &self, long long position) {
               const int p = c_int(position, "position");
               self.call([p](Servo &s) { s.set(p); return 0; });
           },
           py::arg("position"),
           "Send an 'N' record: the pulse width of position (0..255 is 1 ms to about 2 ms) at once.\n"
           "The stepping position is not changed.")
        .def_property(
            "step_width", [](Object &self) { return self.call([](Servo &s) { return s.get_stepwidth(); }); },
            [](Object &self, long long width) {
                const bool ok = self.call([width](Servo &s) {
                    return width >= INT_MIN && width <= INT_MAX && s.set_stepwidth(static_cast<int>(width)) == 0;
                });
                if (!ok)
                    throw py::value_error("step width must be 1..19, not " + std::to_string(width));
            },
            "Positions moved by move_left and move_right, 1..19 (3 at first). Sends nothing.")
        .def(
            "move_left", [](Object &self) { return self.call([](Servo &s) { return s.move_left(); }); },
            "Step the position down by step_width if it stays at 0 or more, and send it as an 'N' record.\n"
            "Returns the new position.")
        .def(
            "move_right", [](Object &self) { return self.call([](Servo &s) { return s.move_right(); }); },
            "Step the position up by step_width if it stays at 255 or less, and send it as an 'N' record.\n"
            "Returns the new position.")
        .def_property_readonly(
            "position", [](Object &self) { return self.call([](Servo &s) { return s.get_pos(); }); },
            "The stepping position, 0 at first; set() leaves it alone.")
        .def("close", &Object::close, "Close the devices. Closing twice is harmless.")
        .def_property_readonly("closed", &Object::closed, "True once closed.")
        .def("__enter__", [](Object &self) -> Object & { return self; }, py::return_value_policy::reference)
        .def("__exit__", [](Object &self, const py::args &) { self.close(); return false; })
        .def("__reduce__", [](const Object &) -> py::object {
            throw py::type_error("a servo owns open devices; it cannot be copied or pickled");
        });
}

} // namespace

PYBIND11_MODULE(_servo, m)
{
    m.doc() = "Servo positions as the rig's 28-byte command records, through libservo.";
    m.attr("COMMAND_DEVICE") = py::str(servo_command_device);
    m.attr("STATUS_DEVICE") = py::str(servo_status_device);
    m.def(
        "width", [](long long position) { return servo_width(c_int(position, "position")); },
        py::arg("position"), "Pulse width in ns of a position: position * 1000000 / 256 + 1000000, truncated.");

    py::class_<base_object> base(m, "BaseServo",
                                 "A servo commanded by position, without ramps or done notices.");
    base.def(py::init([](long long initial, const std::optional<py::object> &command) {
                 const int p = c_int(initial, "initial");
                 return std::make_unique<base_object>(device_from(command, servo_command_device),
                                                      std::nullopt, p);
             }),
             py::arg("initial") = 0, py::kw_only(), py::arg("command") = py::none(),
             "Open the command device (the build's own by default) and send initial as an 'N' record.");
    add_stepping(base, "BaseServo");

    py::class_<timed_object> timed(m, "Servo", "A servo that can also ramp and report when a ramp is done.");
    timed.def(py::init([](long long initial, const std::optional<py::object> &command,
                          const std::optional<py::object> &status) {
                  return std::make_unique<timed_object>(device_from(command, servo_command_device),
                                                        device_from(status, servo_status_device),
                                                        c_int(initial, "initial"));
              }),
              py::arg("initial") = 0, py::kw_only(), py::arg("command") = py::none(),
              py::arg("status") = py::none(),
              "Open the command and status devices (the build's own by default) and send position 0 twice,\n"
              "as the real-time side expects of a new timed servo; initial is accepted and not sent.");
    add_stepping(timed, "Servo");
    timed
        .def(
            "move", [](timed_object &self, long long start, long long end, long long duration) {
                const int a = c_int(start, "start"), b = c_int(end, "end"), t = c_int(duration, "duration");
                self.call([a, b, t](t_Servo &s) { return s.move(a, b, t); });
            },
            py::arg("start"), py::arg("end"), py::arg("duration"),
            "Send a 'T' record: ramp from start to end, by an increment per step of\n"
            "width(end)/(5*duration) - width(start)/(5*duration); duration 0 moves in one step.\n"
            "With 50 Hz frames, a duration of 10 is about one second.")
        .def(
            "is_done", [](timed_object &self) { return self.call([](t_Servo &s) { return s.isdone_moving(); }, true) == 1; },
            "Read one byte of the status device without blocking: True if it was the done notice 'D'.")
        .def("wait_done", &wait_done, py::arg("timeout_ms") = py::none(),
             "Wait for the done notice 'D': True once read, False after timeout_ms (None or negative: no limit).\n"
             "Other threads run meanwhile, and Ctrl-C raises KeyboardInterrupt.");
}
