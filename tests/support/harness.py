"""What the test and measurement scripts share: child processes whose output
lines are collected as they come (each stamped with its arrival time),
talumbra-sim started on a port of a private folder, and CPU time and memory
figures from /proc.

Callers import it as `harness`, with PYTHONPATH naming tests/support (CTest,
scripts/ and the bench/run launcher set it); no script changes sys.path."""
import os
import re
import signal
import subprocess
import threading
import time

CLK_TCK = os.sysconf("SC_CLK_TCK")
TICK_S = 1 / CLK_TCK  # the granularity of cpu_s()
WAIT = 60.0  # "something happens"; never a time limit on the code under test


class Failure(Exception):
    pass


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


class Sim(Proc):
    """talumbra-sim on port `port` of the folder named by env's TALUMBRA_PORTS.
    The constructor returns once the port is ready; device() waits for the
    next ready line (after a replug, say)."""

    def __init__(self, sim, port, env, *extra, stdin=True, stderr=None, name="talumbra-sim"):
        super().__init__(name, [sim, "--port", port, *extra], env, stdin=stdin, stderr=stderr)
        self.port = port
        try:
            self.path = self.device(0)
        except Failure:
            self.kill()
            raise

    def device(self, after):
        i = self.wait_line(rf"^ready port {self.port} (\S+)", after)
        return self.out[i].split()[3]


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
