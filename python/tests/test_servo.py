"""The Python module against real named pipes, compared with the C++ library."""
import copy
import errno
import os
import pathlib
import pickle
import signal
import subprocess
import sys
import threading
import time

import pytest

import servo

INT_MIN, INT_MAX = -2**31, 2**31 - 1


@pytest.fixture
def pipes(tmp_path):
    """rtf1 and rtf2 in a private directory, each with a non-blocking end for the test."""
    paths = [tmp_path / "rtf1", tmp_path / "rtf2"]
    fds = []
    for p in paths:
        os.mkfifo(p, 0o600)
        fds.append(os.open(p, os.O_RDWR | os.O_NONBLOCK))
    yield paths, fds
    for fd in fds:
        os.close(fd)


def records(fd):
    """Every record waiting, in the hex form record_dump prints."""
    out = []
    while True:
        try:
            rec = os.read(fd, 28)
        except BlockingIOError:
            return out
        out.append(" ".join(rec[a:b].hex() for a, b in ((0, 4), (4, 12), (12, 20), (20, 28))))


def test_every_record_is_the_one_the_cpp_library_sends(tmp_path, pipes):
    (cmd, status), (cmd_r, status_w) = pipes
    cpp_dir = tmp_path / "cpp"
    cpp_dir.mkdir()
    cpp = subprocess.run([os.environ["SERVO_RECORD_DUMP"]], cwd=cpp_dir, check=True,
                         capture_output=True, text=True).stdout.splitlines()
    lines = []

    def dump(label):
        lines.extend(f"{label:<12}{r}" for r in records(cmd_r))

    for p in (0, 1, 128, 255, 256, 300, -1, -256, -257, INT_MAX, INT_MIN):
        with servo.BaseServo(p, command=cmd):
            dump("new")
    with servo.BaseServo(command=cmd) as s:
        s.step_width = 19
        for _ in range(15):
            s.move_right()
        s.move_left()
        dump("step")
    moves = [(0, 255, 10), (255, 0, 10), (0, 255, 1), (100, 100, 7), (10, 200, 3), (200, 10, 3),
             (0, 255, -10), (50, 60, 1000000), (0, 1, 200200), (0, 255, 0), (-1, 300, 429496729),
             (INT_MIN, INT_MAX, INT_MAX), (INT_MAX, INT_MIN, INT_MIN)]
    with servo.Servo(42, command=cmd, status=status) as s:
        dump("timed-new")
        for m in moves:
            s.move(*m)
            dump("move")
        os.write(status_w, b"D")
        first, second = s.is_done(), s.is_done()
        lines.append(f"done {int(first)} {int(second)}")
    assert lines == cpp
    assert servo.width(128) == 1500000
    with pytest.raises(OverflowError):
        servo.width(INT_MAX + 1)


def test_wait_done_lets_other_threads_run_and_gives_way_to_ctrl_c(pipes):
    (cmd, status), (_, status_w) = pipes
    with servo.Servo(command=cmd, status=status) as s:
        began = time.monotonic()
        assert s.wait_done(timeout_ms=60) is False
        assert time.monotonic() - began >= 0.06
        os.write(status_w, b"xD")
        assert s.wait_done(timeout_ms=0) is True

        # The notice comes from a thread that needs the GIL to send it; a
        # timeout too long for the clock is no limit, not one long past.
        sender = threading.Thread(target=lambda: (time.sleep(0.1), os.write(status_w, b"D")))
        sender.start()
        assert s.wait_done(timeout_ms=2**62) is True
        sender.join()

        # Ctrl-C during an unlimited wait. A wait that missed it ends only with
        # the 'D' sent 20 s later, and would raise only then.
        stop = threading.Event()
        rescued = []
        main = threading.get_ident()

        def interrupt():
            time.sleep(0.2)
            signal.pthread_kill(main, signal.SIGINT)
            if not stop.wait(20):
                rescued.append(os.write(status_w, b"D"))
        interrupter = threading.Thread(target=interrupt)
        interrupter.start()
        try:
            with pytest.raises(KeyboardInterrupt):
                s.wait_done()
        finally:
            stop.set()
            interrupter.join()
        assert not rescued


@pytest.mark.parametrize("make, missing, err", [
    (lambda d: servo.BaseServo(command=d / "gone"), "gone", errno.ENOENT),
    (lambda d: servo.Servo(command=d / "gone", status=d / "rtf2"), "gone", errno.ENOENT),
    (lambda d: servo.Servo(command=d / "rtf1", status=str(d / "gone")), "gone", errno.ENOENT),
    (lambda d: servo.BaseServo(command=os.fsencode(d / "plain")), "plain", errno.ENODEV),
])
def test_a_failure_raises_oserror_with_errno_and_path(pipes, make, missing, err):
    (cmd, _), _ = pipes
    (cmd.parent / "plain").write_text("")
    before = os.listdir("/proc/self/fd")
    with pytest.raises(OSError) as raised:
        make(cmd.parent)
    assert raised.value.errno == err
    assert raised.value.filename == str(cmd.parent / missing)
    assert len(os.listdir("/proc/self/fd")) == len(before)


def test_a_path_with_a_nul_is_refused_not_cut_short(pipes):
    (cmd, status), _ = pipes
    for make in (lambda: servo.BaseServo(command=f"{cmd}\0junk"),
                 lambda: servo.Servo(command=cmd, status=os.fsencode(status) + b"\0")):
        with pytest.raises(ValueError, match="null byte"):
            make()


def test_closing_leaves_no_fd_open_and_a_closed_servo_refuses_use(pipes):
    (cmd, status), _ = pipes
    fds = lambda: len(os.listdir("/proc/self/fd"))
    before = fds()
    with servo.Servo(command=cmd, status=status) as s:
        assert fds() == before + 2
    assert s.closed and fds() == before
    s.close()
    for use in (lambda: s.set(1), lambda: s.move(0, 1, 1), s.wait_done, s.is_done, lambda: s.position):
        with pytest.raises(ValueError):
            use()
    b = servo.BaseServo(command=pathlib.Path(cmd))
    del b
    assert fds() == before


def test_step_width_and_copying_are_refused_as_python_refuses_them(pipes):
    (cmd, status), (cmd_r, _) = pipes
    with servo.BaseServo(command=cmd) as s:
        for bad in (0, 20, -1, 2**40):
            with pytest.raises(ValueError):
                s.step_width = bad
        assert s.step_width == 3
        s.step_width = 19
        assert [s.move_left(), s.move_right(), s.move_right(), s.position] == [0, 19, 38, 38]
        for dup in (pickle.dumps, copy.copy, copy.deepcopy):
            with pytest.raises(TypeError):
                dup(s)
    assert "closed" in repr(s)


def test_the_example_sweeps_a_simulated_servo_and_names_a_missing_one(tmp_path):
    sweep = [sys.executable, os.environ["SWEEP_PY"]]
    gone = subprocess.run(sweep + ["--device", "gone", "0", "255", "2"], cwd=tmp_path,
                          capture_output=True, text=True)
    assert (gone.returncode, gone.stderr) == (1, "sweep.py: gone: No such file or directory\n")
    with subprocess.Popen([os.environ["SERVOSIM"], "--frame-ms", "1"], cwd=tmp_path,
                          stdout=subprocess.PIPE, text=True) as sim:
        try:
            assert "servosim: commands on" in sim.stdout.readline()
            done = subprocess.run(sweep + ["--timeout-ms", "20000", "0", "255", "2"], cwd=tmp_path,
                                  capture_output=True, text=True)
            assert (done.returncode, done.stderr) == (0, "")
        finally:
            sim.terminate()


def test_the_type_stub_names_what_the_module_has():
    import ast
    stub = ast.parse(pathlib.Path(servo.__file__).with_suffix(".pyi").read_text())
    classes = {c.name: {n.target.id if isinstance(n, ast.AnnAssign) else n.name for n in c.body
                        if isinstance(n, (ast.FunctionDef, ast.AnnAssign))}
               for c in stub.body if isinstance(c, ast.ClassDef)}
    for name, members in classes.items():
        public = {m for m in dir(getattr(servo, name)) if not m.startswith("_")}
        assert members - {"__init__", "__enter__", "__exit__"} == public, name
    assert set(classes) | {"width", "COMMAND_DEVICE", "STATUS_DEVICE"} == set(servo.__all__)
