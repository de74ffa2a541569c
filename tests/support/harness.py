"""What the test and measurement scripts share: child processes whose output
lines are collected as they come (each stamped with its arrival time),
talumbra-sim started on a port of a private folder, mosquitto on loopback
ports, CPU time and memory figures from /proc, headless Chromium under
WebDriver, and the runner of the fault and MQTT case scripts.

Callers import it as `harness`, with PYTHONPATH naming tests/support (CTest,
scripts/ and the bench/run launcher set it); no script changes sys.path."""
import argparse
import fcntl
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import termios
import threading
import time
import traceback

CLK_TCK = os.sysconf("SC_CLK_TCK")
TICK_S = 1 / CLK_TCK  # the granularity of cpu_s()
WAIT = 60.0  # "something happens"; never a time limit on the code under test


class Failure(Exception):
    pass


# What a sanitizer build writes on stderr when it finds a fault.
SANITIZER_MARKS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                   "SUMMARY: UndefinedBehaviorSanitizer", "AddressSanitizer:DEADLYSIGNAL")


def mask_serial_devices(ports):
    """Fills a private ports folder with dangling comN entries for the
    machine's own serial devices: a number with an entry never falls back to
    the built-in table, so the port list that a closed control builds (and an
    automatic reconnection) never opens a real port."""
    os.makedirs(ports, exist_ok=True)
    for base, first in (("/dev/ttyS", 1), ("/dev/ttyUSB", 33), ("/dev/ttyACM", 65)):
        for i in range(32):
            entry = os.path.join(ports, "com%d" % (first + i))
            if os.path.exists("%s%d" % (base, i)) and not os.path.lexists(entry):
                os.symlink("/nonexistent/talumbra-masked", entry)
    return ports


def now():
    """CLOCK_MONOTONIC, the clock talumbra-sim stamps its writes with."""
    return time.clock_gettime(time.CLOCK_MONOTONIC)


def cpu_s(pid):
    """utime + stime of a live process in seconds, or None once it is gone."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / CLK_TCK
    except (OSError, IndexError):
        return None


def status_kb(pid, key="VmRSS"):
    """A kB figure of /proc/PID/status (VmRSS, VmHWM...), or None."""
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def descriptors(pid):
    """Open file descriptors of a process, or None."""
    try:
        return len(os.listdir("/proc/%d/fd" % pid))
    except OSError:
        return None


class Proc:
    """A child whose stdout (and, unless `stderr` is given, stderr) lines are
    collected as they come. It can stand where a Popen is expected: pid,
    poll, wait, send_signal, kill, returncode."""

    def __init__(self, name, argv, env=None, stdin=False, stderr=None, cwd=None):
        self.name = name
        collect_err = stderr is None
        self.p = subprocess.Popen([str(a) for a in argv], env=env, cwd=cwd, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE if collect_err else stderr,
                                  stdin=subprocess.PIPE if stdin else subprocess.DEVNULL)
        self.out, self.err = [], []
        self.out_t = []  # arrival time of each stdout line
        self.cond = threading.Condition()
        self.threads = [threading.Thread(target=self._pump, args=(self.p.stdout, self.out, self.out_t), daemon=True)]
        if collect_err:
            self.threads.append(threading.Thread(target=self._pump, args=(self.p.stderr, self.err, None),
                                                 daemon=True))
        for t in self.threads:
            t.start()

    def _pump(self, stream, lines, stamps):
        # Whole chunks at a time: a flood of lines costs one wake-up per read.
        fd = stream.fileno()
        rest = b""
        while True:
            data = os.read(fd, 1 << 16)
            t = now()
            if not data:
                break
            *got, rest = (rest + data).split(b"\n")
            if got:
                with self.cond:
                    lines.extend(g.decode("latin-1") for g in got)
                    if stamps is not None:
                        stamps.extend([t] * len(got))
                    self.cond.notify_all()
        with self.cond:
            if rest:
                lines.append(rest.decode("latin-1"))
                if stamps is not None:
                    stamps.append(now())
            self.cond.notify_all()

    # ---- Popen's face
    @property
    def pid(self):
        return self.p.pid

    @property
    def returncode(self):
        return self.p.returncode

    def poll(self):
        return self.p.poll()

    def wait(self, timeout=None):
        return self.p.wait(timeout)

    def send_signal(self, sig):
        if self.p.poll() is None:
            self.p.send_signal(sig)

    def kill(self):
        if self.p.poll() is None:
            self.p.kill()
            self.p.wait()

    def ended(self):
        return self.p.poll() is not None and all(not t.is_alive() for t in self.threads)

    # ---- lines
    def send(self, line):
        self.p.stdin.write((line + "\n").encode())
        self.p.stdin.flush()

    def wait_line(self, pattern, after=0, timeout=WAIT, stream="out"):
        """Index of the first line at or after `after` matching `pattern`."""
        rx = re.compile(pattern)
        lines = self.out if stream == "out" else self.err
        end = time.monotonic() + timeout
        with self.cond:
            while True:
                for i in range(after, len(lines)):
                    if rx.search(lines[i]):
                        return i
                after = max(after, len(lines))
                if self.ended():
                    raise Failure(f"{self.name} ended (status {self.p.returncode}) before /{pattern}/")
                left = end - time.monotonic()
                if left <= 0:
                    raise Failure(f"{self.name}: no /{pattern}/ within {timeout:.0f} s")
                self.cond.wait(min(left, 0.2))

    def lines_since(self, i):
        with self.cond:
            return list(self.out[i:])

    def follow(self, on_lines, done, first_wait=30.0, idle=5.0):
        """Hands each batch of new stdout lines, with the arrival time of the
        last, to on_lines(lines, t) until done() holds ("done"), the output
        ends ("eof") or nothing comes for `idle` seconds (`first_wait` before
        the first line: "idle")."""
        seen = 0
        last = time.monotonic()
        while not done():
            with self.cond:
                if len(self.out) == seen:
                    # Not poll(): a caller may still want to reap it itself (wait4).
                    if not self.threads[0].is_alive():
                        return "eof"
                    if time.monotonic() - last > (idle if seen else first_wait):
                        return "idle"
                    self.cond.wait(0.25)
                    continue
                batch, t = self.out[seen:], self.out_t[len(self.out) - 1]
                seen = len(self.out)
            last = time.monotonic()
            on_lines(batch, t)
        return "done"

    def finish(self, sig=signal.SIGTERM, timeout=WAIT):
        """Signals the child (if sig) and returns its exit status."""
        if sig is not None:
            self.send_signal(sig)
        try:
            self.p.wait(timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise Failure(f"{self.name} did not end within {timeout:.0f} s of {sig!r}")
        for t in self.threads:
            t.join(5)
        return self.p.returncode


def stop(p, sig=signal.SIGTERM, wait=10):
    """Ends a Proc or a Popen by its own id; its exit status."""
    if p.poll() is None:
        p.send_signal(sig)
        try:
            p.wait(wait)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()
    return p.returncode


def stop_all(procs, wait=5):
    """Stops every process of a scene, the last started first; one that
    resists does not keep the others running."""
    for p in reversed(procs):
        try:
            stop(p, wait=wait)
        except Exception:
            pass
    procs.clear()


def free_port():
    """A loopback TCP port nothing listens on at the time of the call."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Mosquitto:
    """mosquitto on the configuration `text` (the listeners and whatever else
    the caller needs), written once to `conf`: stop() and start() again play
    a broker restart. Started unless `start` is false; each run goes into
    `procs` (for stop_all) before its wait, so one that never gets going is
    stopped all the same."""

    def __init__(self, conf, text, env, procs, start=True):
        self.conf, self.env, self.procs = conf, env, procs
        with open(conf, "w") as f:
            # A last line left open would run into the one added below.
            f.write(text if text.endswith("\n") else text + "\n")
            # Run as root, mosquitto would switch to its own user, which cannot read our files.
            if os.geteuid() == 0:
                f.write("user root\n")
        self.p = None
        if start:
            self.start()

    def start(self):
        """Returns once the listeners are open."""
        self.p = Proc("mosquitto", ["mosquitto", "-c", self.conf], self.env)
        self.procs.append(self.p)
        self.p.wait_line(r"mosquitto version .* running", stream="err")

    def stop(self):
        self.p.finish(signal.SIGTERM)

    def running(self):
        return self.p is not None and self.p.poll() is None


def line_drained(path, timeout=WAIT):
    """Waits until the program on the far end of a pseudo-terminal has taken
    every byte written to it: the slave's input queue is empty."""
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        end = time.monotonic() + timeout
        buf = bytearray(4)
        while True:
            fcntl.ioctl(fd, termios.TIOCINQ, buf)
            if int.from_bytes(buf, sys.byteorder) == 0:
                return
            if time.monotonic() > end:
                raise Failure(f"{path}: bytes still unread after {timeout:.0f} s")
            time.sleep(0.005)
    finally:
        os.close(fd)


class Sim(Proc):
    """talumbra-sim on port `port` of the folder named by env's TALUMBRA_PORTS.
    The constructor returns once the port is ready; device() waits for the
    next ready line (after a replug, say). `run_as` goes before the command
    (setpriv, say)."""

    def __init__(self, sim, port, env, *extra, stdin=True, stderr=None, name="talumbra-sim", run_as=(), cwd=None):
        super().__init__(name, [*run_as, sim, "--port", port, *extra], env, stdin=stdin, stderr=stderr, cwd=cwd)
        self.port = port
        try:
            self.path = self.device(0)
        except Failure:
            self.kill()
            raise

    def device(self, after):
        i = self.wait_line(rf"^ready port {self.port} (\S+)", after)
        return self.out[i].split()[3]

    def checked(self, after=0, timeout=WAIT):
        """Waits until the host's presence check is over: the reset that ends
        it has been answered, so a code presented now is read, not emptied
        away. Needs -v and stderr collected. Returns the line's index."""
        return self.wait_line(r"-- request \d+ X:", after, timeout, stream="err")


class Monitor:
    """Samples a process's CPU time and VmRSS from /proc every 50 ms."""

    def __init__(self, pid):
        self.pid = pid
        self.rss_kb = []  # (time, kB)
        self.last_cpu = None
        self.stop = threading.Event()
        self.t = threading.Thread(target=self._run, daemon=True)
        self.t.start()

    def _run(self):
        while not self.stop.is_set():
            r, c = status_kb(self.pid), cpu_s(self.pid)
            if r is not None:
                self.rss_kb.append((time.monotonic(), r))
            if c is not None:
                self.last_cpu = c
            self.stop.wait(0.05)

    def mark(self):
        # Once the process has ended and been reaped, its last sample stands.
        c = cpu_s(self.pid)
        return (time.monotonic(), c if c is not None else self.last_cpu, status_kb(self.pid))

    def window(self, a, b):
        """CPU share and RSS figures between two marks."""
        wall = b[0] - a[0]
        cpu = (b[1] - a[1]) if a[1] is not None and b[1] is not None else float("nan")
        peak = max([k for t, k in self.rss_kb if a[0] <= t <= b[0]] + [a[2] or 0, b[2] or 0])
        return {"wall": wall, "cpu": cpu, "share": cpu / wall if wall > 0 else 0.0,
                "rss0": a[2] or 0, "rss_peak": peak}

    def close(self):
        self.stop.set()
        self.t.join(2)


CHROMIUM_FLAGS = ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync",
                  "--window-size=1280,900")
DEBIAN_PYTHON = "/usr/bin/python3"


def debian_python(module):
    """Runs the calling script again under Debian's Python when `module` (a
    Debian package's, like selenium) is missing from the Python it runs in."""
    try:
        __import__(module)
    except ImportError:
        if os.path.exists(DEBIAN_PYTHON) and os.path.realpath(sys.executable) != os.path.realpath(DEBIAN_PYTHON):
            os.execv(DEBIAN_PYTHON, [DEBIAN_PYTHON, *sys.argv])


def chromium(profile_parent):
    """Debian's headless Chromium under chromedriver, with a fresh profile in
    a folder made under `profile_parent`."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    o = webdriver.ChromeOptions()
    for a in CHROMIUM_FLAGS:
        o.add_argument(a)
    o.add_argument("--user-data-dir=" + tempfile.mkdtemp(prefix="chromium-", dir=profile_parent))
    o.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    return webdriver.Chrome(service=Service(shutil.which("chromedriver") or "/usr/bin/chromedriver"), options=o)


def chromium_fault():
    """None when Chromium starts here, else why not (no selenium, browser or driver)."""
    tmp = tempfile.mkdtemp(prefix="talumbra-chromium-probe-")
    try:
        chromium(tmp).quit()
        return None
    except Exception as e:
        text = str(e).strip()
        return f"{type(e).__name__}: {text.splitlines()[0] if text else ''}"
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


def case_arguments(description):
    """The options every case script takes."""
    ap = argparse.ArgumentParser(description=description, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--read", required=True, help="path of talumbra-read")
    ap.add_argument("--sim", required=True, help="path of talumbra-sim")
    ap.add_argument("--sanitized", action="store_true", help="a sanitizer build: VmRSS is reported, not checked")
    ap.add_argument("--list", action="store_true", help="list the cases and exit")
    ap.add_argument("cases", nargs="*", help="cases to run (default: all)")
    return ap


def run_cases(ap, cases, make_case, passed, ready=None, check=None, report=None):
    """Runs the chosen (name, fn) cases, each on a fresh make_case(args, name),
    which holds .read (a Proc or None), .notes and cleanup(). check(c) runs
    after a case that passed, report(c) gives lines to print before the
    notes. Returns the exit status: 1 when a case failed."""
    args = ap.parse_args()
    if args.list:
        print("\n".join(n for n, _ in cases))
        return 0
    names = [n for n, _ in cases]
    for n in args.cases:
        if n not in names:
            # A misspelt name must not pass as a run with nothing failed.
            ap.error(f"unknown case {n!r}; --list shows them")
    if ready:
        status = ready()
        if status:
            return status
    failed = []
    t0 = time.monotonic()
    for name, fn in cases:
        if args.cases and name not in args.cases:
            continue
        c = make_case(args, name)
        start = time.monotonic()
        try:
            fn(c)
            if check:
                check(c)
            verdict = "ok"
        except Failure as e:
            verdict = f"FAILED: {e}"
        except Exception:
            verdict = "FAILED: " + traceback.format_exc()
        finally:
            log_out = c.read.out[-15:] if c.read else []
            log_err = c.read.err[-15:] if c.read else []
            c.cleanup()
        print(f"[{name}] {verdict} ({time.monotonic() - start:.1f} s)")
        for line in (report(c) if report else []):
            print(f"    {line}")
        for n in c.notes:
            print(f"    {n}")
        if verdict != "ok":
            failed.append(name)
            print("    talumbra-read stdout (last lines): " + " | ".join(log_out))
            print("    talumbra-read stderr (last lines): " + " | ".join(log_err))
        sys.stdout.flush()
    print(f"{len(failed)} failed: {' '.join(failed)}" if failed else passed, f"({time.monotonic() - t0:.0f} s)")
    return 1 if failed else 0
