#!/usr/bin/env python3
"""Fault injection: talumbra-read against the faults that talumbra-sim plays.

Each case starts the simulator on a pseudo-terminal linked as a port in a
private port folder, starts talumbra-read --events on that port, injects a
fault and watches the events. In every case:

  * no crash: the expected exit status, and no sanitizer report on stderr;
  * no spin: the CPU time of talumbra-read (utime + stime from /proc/PID/stat)
    over the wall time of the case's measured window stays under MAX_CPU_SHARE;
  * bounded memory: VmRSS (sampled every 50 ms) grows by less than
    MAX_RSS_GROWTH_KB over the window (reported only under the sanitizers).

Waits for events are generous (a loaded 2-core machine may be slow); nothing
is bounded in time except the CPU share, which a slow machine only lowers.

usage: run_faults.py --read PATH --sim PATH [--sanitized] [--list] [CASE...]
(with PYTHONPATH=tests/support, as CTest runs it)
"""
import fcntl
import os
import re
import signal
import subprocess
import sys
import tempfile
import termios
import threading
import time

import harness
from harness import Monitor, Proc

# A spinning loop takes a whole core when it can. Even on a 2-core machine
# shared with builds (load 6 or so) the scheduler still grants it a third of a
# core, while talumbra-read idling on a port, waiting on time-outs with poll,
# or taking 9600-baud traffic uses a few percent at most. 20% sits well above
# the one and well below the other, and contention only lowers a share.
MAX_CPU_SHARE = 0.20
# Growth of VmRSS over a window: a 1 MB line may be held once or twice while
# it is cut into lines, plus allocator slack; a leak per byte or per event
# over a flood or a 1 MB line shows as far more.
MAX_RSS_GROWTH_KB = 8 * 1024
PORT = 120  # above the numbers of the machine's own serial devices

CaseFailed = harness.Failure
WAIT = harness.WAIT


class Case:
    """One fault: a port folder, the simulator, talumbra-read and the checks."""

    def __init__(self, args, name):
        self.args, self.name = args, name
        self.tmp = tempfile.TemporaryDirectory(prefix="talumbra-faults-")
        self.ports = self.tmp.name
        harness.mask_serial_devices(self.ports)
        self.env = dict(os.environ, TALUMBRA_PORTS=self.ports, QT_QPA_PLATFORM="offscreen")
        self.procs = []
        self.windows = []
        self.notes = []
        self.sim = self.read = self.mon = None

    def start_sim(self, *extra):
        self.sim = harness.Sim(self.args.sim, PORT, self.env, *extra)
        self.procs.append(self.sim)
        return self.sim.path

    def device(self, after):
        return self.sim.device(after)

    def start_read(self, *extra, monitor=True, ports=str(PORT)):
        self.read = Proc("talumbra-read", [self.args.read, "--port", ports, "--events", *extra], self.env)
        self.procs.append(self.read)
        if monitor:
            self.mon = Monitor(self.read.pid)
        return self.read

    def measure(self, label, a, b):
        w = self.mon.window(a, b)
        w["label"] = label
        self.windows.append(w)
        if w["cpu"] != w["cpu"]:
            raise CaseFailed(f"{label}: the CPU time of talumbra-read could not be read")
        if not w["share"] < MAX_CPU_SHARE:
            raise CaseFailed(f"{label}: talumbra-read used {w['share']:.0%} of a core over {w['wall']:.1f} s "
                             f"(bound {MAX_CPU_SHARE:.0%}): a spin")
        growth = w["rss_peak"] - w["rss0"]
        if growth > MAX_RSS_GROWTH_KB:
            msg = f"{label}: VmRSS grew by {growth} kB (from {w['rss0']} kB; bound {MAX_RSS_GROWTH_KB} kB)"
            if not self.args.sanitized:
                raise CaseFailed(msg)
            # The sanitizer's quarantine keeps freed blocks resident: figures only.
            self.notes.append(msg + " [sanitized build: not checked]")

    def end_read(self, expected=0, sig=signal.SIGTERM):
        status = self.read.finish(sig)
        if self.mon:
            self.mon.close()
        self.check_clean(self.read)
        if status != expected:
            raise CaseFailed(f"talumbra-read exited with {status}, expected {expected}; stderr:\n  "
                             + "\n  ".join(self.read.err[-20:]))
        return status

    def check_clean(self, proc):
        for line in proc.err:
            if any(m in line for m in harness.SANITIZER_MARKS):
                raise CaseFailed(f"{proc.name}: sanitizer report:\n  " + "\n  ".join(proc.err[-40:]))

    def events(self, after=0):
        return self.read.lines_since(after)

    def cleanup(self):
        if self.mon:
            self.mon.close()
        for p in reversed(self.procs):
            if p.p.poll() is None:
                try:
                    p.finish(signal.SIGTERM, 10)
                except CaseFailed:
                    pass
            p.kill()
        self.tmp.cleanup()


# ---------------------------------------------------------------- the cases
# Each takes a Case and raises CaseFailed. Codes are read with --quendel 0, so
# an EM4x02 code 0102030405 is delivered as "U0102030405".

def pulled_back(c, after):
    """The closed state once the port is gone: Stato 0 and Anomalia "Errore N ..."."""
    i = c.read.wait_line(r"^Anomalia Errore \d+ ", after)
    j = c.read.wait_line(r"^Stato 0$", after)
    return max(i, j)


def plug_and_reconnect(c):
    """Plugs the reader back and assigns Attivo := true (SIGUSR1); returns
    where talumbra-read's output stood before it."""
    n = len(c.sim.out)
    c.sim.send("plug")
    c.device(n)
    k = len(c.read.out)
    c.read.p.send_signal(signal.SIGUSR1)
    c.read.wait_line(r"^Stato 1$", k)
    return k


def replug_and_reconnect(c, label, code="1112131415"):
    """Plugs the reader back, assigns Attivo := true (SIGUSR1) and reads a code."""
    k = plug_and_reconnect(c)
    c.sim.send(code)
    i = c.read.wait_line(r"^Lettura ", k)
    got = c.read.out[i]
    if got != f"Lettura U{code}":
        raise CaseFailed(f"{label}: after reconnecting, first code read as {got!r}, sent U{code}")
    return i


def case_pulled_idle(c):
    """The reader is pulled while the port is open and idle, then plugged back."""
    c.start_sim("--log-times")
    c.start_read("--quendel", "0", "--no-reconnect")
    i = c.read.wait_line(r"^FindDevice 1 0$")
    c.sim.send("0102030405")
    i = c.read.wait_line(r"^Lettura U0102030405$", i)
    a = c.mon.mark()
    time.sleep(1.0)
    c.sim.send("unplug")
    c.sim.wait_line(rf"^unplugged port {PORT}$")
    j = pulled_back(c, i)
    time.sleep(2.0)  # a spin on the dead port would show here
    b = c.mon.mark()
    c.measure("pulled while idle", a, b)
    replug_and_reconnect(c, "pulled while idle")
    time.sleep(1.0)
    c.measure("plugged back, reconnected", b, c.mon.mark())
    c.notes.append("events from the pull: " + " | ".join(c.events(i + 1)))
    c.end_read(0)


def case_pulled_version_wait_periodic(c):
    """Pulled while the periodic presence check waits for a version reply."""
    # A KEZ-3 reader opens without a check; the periodic check then asks a
    # reader that never answers, so the wait lasts until the pull.
    c.start_sim("--family", "kez", "--silent", "-v")
    c.start_read("--type", "1", "--check-ms", "300", "--retry", "--no-reconnect")
    c.read.wait_line(r"^Stato 1$")
    c.sim.wait_line(r"request", stream="err")  # the first version request reached the reader
    a = c.mon.mark()
    time.sleep(1.0)
    c.sim.send("unplug")
    c.sim.wait_line(rf"^unplugged port {PORT}$")
    j = pulled_back(c, 0)
    time.sleep(2.0)
    b = c.mon.mark()
    c.measure("pulled during a version wait (periodic check)", a, b)
    if any(e.startswith("FindDevice") for e in c.events()):
        raise CaseFailed(f"a check cut short by the pull reported FindDevice: {c.events()}")
    plug_and_reconnect(c)
    # The periodic check goes on against the reader plugged back in.
    r = len(c.sim.err)
    c.sim.wait_line(r"request", r, stream="err")
    time.sleep(1.0)
    c.measure("plugged back, checking again", b, c.mon.mark())
    c.notes.append("events after the pull: " + " | ".join(c.events(j - 1)[:4]))
    c.end_read(0)


def case_pulled_version_wait_loading(c):
    """Pulled while the presence check at loading waits for a version reply."""
    c.start_sim("--silent", "-v")
    c.start_read("--retry", "--no-reconnect")
    i = c.read.wait_line(r"^Stato 1$")
    c.read.wait_line(r"^Stato 1$", i + 1)  # reopened by the loading: the check runs
    c.sim.wait_line(r"request", stream="err")
    a = c.mon.mark()
    time.sleep(1.0)
    c.sim.send("unplug")
    c.sim.wait_line(rf"^unplugged port {PORT}$")
    # The failure reaches the host's own call (loading): it prints it and ends.
    c.end_read(4, sig=None)
    c.measure("pulled during a version wait (loading)", a, c.mon.mark())
    err = next((e for e in c.read.err if re.match(r"^Errore \d+ ", e)), None)
    if not err:
        raise CaseFailed(f"exit 4 without an Errore line: {c.read.err[-5:]}")
    # ... and the control showed the port closed before that.
    if "Stato 0" not in c.events(i + 1):
        raise CaseFailed(f"the failure left the control shown open: {c.events()}")
    c.notes.append(f"exit 4, events {' | '.join(c.events())}; stderr: {err}")


def case_pulled_mid_frame(c, family):
    """Pulled after half a code went out; plugged back, the next code is whole."""
    extra = ["--family", "kez"] if family == "kez" else []
    read_extra = ["--type", "1"] if family == "kez" else []
    c.start_sim(*extra, "--cut-frame", "--fault-every", "2", "--log-times")
    c.start_read("--quendel", "0", "--no-reconnect", *read_extra)
    i = c.read.wait_line(r"^Stato 1$")
    # Reopened by the loading, which flushes what came before: a KEZ reader,
    # never asked, is listened to only from here.
    c.read.wait_line(r"^Stato 1$", i + 1)
    if family != "kez":
        c.read.wait_line(r"^FindDevice 1 0$")
    k = len(c.read.out)
    c.sim.send("0102030405")
    i = c.read.wait_line(r"^Lettura ", k)
    whole = c.read.out[i]
    c.sim.send("0A0B0C0D0E")
    c.sim.wait_line(r"^code 2 .* cut$")
    harness.line_drained(c.sim.path)  # the half code has reached talumbra-read before the pull
    a = c.mon.mark()
    c.sim.send("unplug")
    c.sim.wait_line(rf"^unplugged port {PORT}$")
    j = pulled_back(c, i)
    time.sleep(2.0)
    b = c.mon.mark()
    c.measure(f"pulled mid-frame ({family})", a, b)
    half = [e for e in c.events(i + 1)[: j - i] if e.startswith("Lettura")]
    if half:
        raise CaseFailed(f"half a code was delivered: {half}")
    # Plugged back: the next code must not be glued to the half before it.
    k = plug_and_reconnect(c)
    c.sim.send("0102030405")
    m = c.read.wait_line(r"^Lettura ", k)
    if c.read.out[m] != whole:
        raise CaseFailed(f"after reconnecting, the code read as {c.read.out[m]!r}, before as {whole!r}")
    time.sleep(1.0)
    c.measure(f"plugged back ({family})", b, c.mon.mark())
    c.notes.append(f"code before and after: {whole}")
    c.end_read(0)


def case_garbage_flood(c, family, noise=64, count=40, unpaced=False):
    """Noise before every code: every code still arrives, once, and nothing else."""
    extra = ["--family", "kez"] if family == "kez" else []
    read_extra = ["--type", "1"] if family == "kez" else []
    pace = ["--unpaced"] if unpaced else []
    c.start_sim(*extra, *pace, "--garbage", str(noise), "--interval", "20")
    c.start_read("--quendel", "0", *read_extra)
    i = c.read.wait_line(r"^Stato 1$")
    i = c.read.wait_line(r"^Stato 1$", i + 1)  # reopened by the loading (see case_pulled_mid_frame)
    if family != "kez":
        i = c.read.wait_line(r"^FindDevice 1 0$", i)
    a = c.mon.mark()
    for n in range(count):
        c.sim.send(f"{0x1000000000 + n:010X}")
    last = i
    for _ in range(count):
        last = c.read.wait_line(r"^Lettura ", last + 1)
    time.sleep(1.0)
    b = c.mon.mark()
    how = "unpaced" if unpaced else "9600 baud"
    c.measure(f"garbage ({family}, {how}, {noise} noise bytes before each of {count} codes)", a, b)
    got = [e for e in c.events(i) if e.startswith("Lettura")]
    sent = [f"{0x1000000000 + n:010X}" for n in range(count)]
    want = [f"Lettura {'U' if family != 'kez' else ''}{s}" for s in sent]
    anomalies = [e for e in c.events() if e.startswith("Anomalia")]
    if got != want or anomalies:
        odd = [e for e in got if e not in want]
        raise CaseFailed(f"{len(got)} codes read of {count} sent; not sent: {odd[:3]}; {anomalies[:3]}")
    c.notes.append(f"{len(got)} of {count} codes delivered in order, none lost, doubled or made up")
    c.end_read(0)


def case_long_line(c):
    """A 1 MB line without CR LF, then codes: memory stays bounded, reading goes on."""
    c.start_sim("--unpaced", "--log-times")
    c.start_read("--quendel", "0")
    i = c.read.wait_line(r"^FindDevice 1 0$")
    time.sleep(0.5)
    a = c.mon.mark()
    c.sim.send("long 1048576")
    c.sim.send("0102030405")
    c.sim.send("0A0B0C0D0E")
    c.sim.send("1112131415")
    c.read.wait_line(r"^Lettura U1112131415$", i)
    time.sleep(1.0)
    b = c.mon.mark()
    c.measure("1 MB line without CR LF", a, b)
    got = [e for e in c.events(i) if e.startswith(("Lettura", "Anomalia"))]
    c.notes.append("after the long line: " + " | ".join(got))
    if "Lettura U0A0B0C0D0E" not in got:
        raise CaseFailed(f"the second code after the long line was lost: {got}")
    c.end_read(0)


def case_answers_late(c, first, retry):
    """A reader that answers only from the `first` request on.

    One version attempt is two requests (the letter command, then the framed
    one), so the 7th request is the 4th attempt: found without a question.
    The 13th comes after six failed attempts, past the "Check connection."
    question: OK finds it, Cancel closes the port.
    """
    c.start_sim("--answer-from", str(first))
    c.start_read(*(["--retry"] if retry else ["--no-reconnect"]))
    i = c.read.wait_line(r"^Stato 1$")
    i = c.read.wait_line(r"^Stato 1$", i + 1)  # reopened by the loading: the check starts
    a = c.mon.mark()
    label = f"answers from request {first}" + (", OK to the question" if retry else "")
    if first <= 12 or retry:
        c.read.wait_line(r"^FindDevice 1 0$", i)
        b = c.mon.mark()
        c.measure(label, a, b)
        c.notes.append("events: " + " | ".join(c.events()))
        if any(e.startswith(("Anomalia", "Stato 0")) for e in c.events()):
            raise CaseFailed(f"unexpected events: {c.events()}")
        c.end_read(0)
        return
    # Cancel: the port is closed, FindDevice false, and the program ends with 3.
    c.read.wait_line(r"^FindDevice 0 0$", i)
    b = c.mon.mark()
    c.measure(label + ", Cancel to the question", a, b)
    c.end_read(3, sig=None)
    ev = c.events()
    if ev[-2:] != ["Stato 0", "FindDevice 0 0"]:
        raise CaseFailed(f"expected Stato 0 then FindDevice 0 0 at the end; got {ev}")
    c.notes.append(f"exit 3, events: " + " | ".join(ev))


class Holder:
    """Another program's hold on a port: an exclusive lock and TIOCEXCL."""

    def __init__(self, path):
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        fcntl.flock(self.fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        fcntl.ioctl(self.fd, termios.TIOCEXCL)

    def release(self):
        os.close(self.fd)


def case_port_held(c):
    """The port held by another program: at start, and when reconnecting."""
    dev = c.start_sim("--log-times")
    h = Holder(dev)
    c.start_read("--no-reconnect", monitor=False)
    status = c.read.finish(None)
    c.check_clean(c.read)
    err = next((e for e in c.read.err if e.startswith("Errore ")), "")
    if status != 4 or not err.startswith("Errore 8010 "):
        raise CaseFailed(f"held at start: exit {status}, stderr {c.read.err[-5:]}")
    c.notes.append(f"held at start: exit 4, {err}")
    h.release()

    # Open, pulled, plugged back while another program holds the new device.
    c.start_read("--quendel", "0", "--no-reconnect")
    i = c.read.wait_line(r"^FindDevice 1 0$")
    a = c.mon.mark()
    c.sim.send("unplug")
    j = pulled_back(c, i)
    n = len(c.sim.out)
    c.sim.send("plug")
    h = Holder(c.device(n))
    e0 = len(c.read.err)
    k = len(c.read.out)
    c.read.p.send_signal(signal.SIGUSR1)
    e = c.read.wait_line(r"^Errore 8010 ", e0, stream="err")
    time.sleep(1.5)
    b = c.mon.mark()
    c.measure("reconnecting to a held port", a, b)
    if "Stato 1" in c.events(k):
        raise CaseFailed(f"a held port was reported open: {c.events(k)}")
    c.notes.append(f"held at reconnect: {c.read.err[e]}; events {' | '.join(c.events(j))}")
    h.release()
    k = len(c.read.out)
    c.read.p.send_signal(signal.SIGUSR1)
    c.read.wait_line(r"^Stato 1$", k)
    c.sim.send("0102030405")
    c.read.wait_line(r"^Lettura U0102030405$", k)
    c.end_read(0)


# ---- Codes lost or wrongly delivered by the reader core

def case_codes_during_checks(c, count=30):
    """Badges every 300 ms while a presence check runs every 1000 ms: every code
    is delivered once, in order, and every check still finds the reader."""
    sent = [f"{0x2000000000 + n:010X}" for n in range(count)]
    c.start_sim("--wait-host", "--start-delay", "500", "--interval", "300", "--no-stdin", *sent)
    c.start_read("--quendel", "0", "--check-ms", "1000")
    c.read.wait_line(r"^Stato 1$")
    a = c.mon.mark()
    last = -1
    for _ in range(count):
        last = c.read.wait_line(r"^Lettura ", last + 1)
    time.sleep(1.5)  # one more check after the last code
    c.measure(f"{count} badges during periodic checks", a, c.mon.mark())
    ev = c.events()
    got = [e for e in ev if e.startswith("Lettura")]
    checks = [e for e in ev if e.startswith("FindDevice")]
    if got != [f"Lettura U{s}" for s in sent]:
        raise CaseFailed(f"{len(got)} codes delivered of {count}; first odd: "
                         f"{[g for g in got if g[9:] not in sent][:3]}")
    if not checks or any(e != "FindDevice 1 0" for e in checks):
        raise CaseFailed(f"the periodic check did not keep finding the reader: {checks}")
    c.notes.append(f"codes delivered out of codes presented under periodic checks: {len(got)} of {count}; "
                   f"{len(checks)} presence checks (loading and periodic), all found the reader")
    c.end_read(0)


def case_bad_check_mavo(c):
    """Framed codes with a wrong check character, from a reader whose other
    codes carry the right one, are dropped and reported as rejected; the good
    ones are delivered."""
    sent = ["0102030405", "0A0B0C0D0E", "1112131415", "1A1B1C1D1E"]
    c.start_sim("--family", "mavo-sir", "--bad-check", "--fault-every", "2", "--wait-host", "--start-delay", "500",
                "--interval", "200", "--no-stdin", *sent)
    c.start_read("--quendel", "0")
    c.read.wait_line(r"^Stato 1$")
    a = c.mon.mark()
    c.read.wait_line(r"^FindDevice 1 3$")
    c.read.wait_line(r"^Lettura 1A1B1C1D1E$|^Scartata .*1A1B1C1D1E")
    time.sleep(0.5)
    c.measure("framed codes, every second one with a wrong check", a, c.mon.mark())
    ev = c.events()
    got = [e for e in ev if e.startswith("Lettura")]
    rejected = [e for e in ev if e.startswith("Scartata")]
    if got != ["Lettura 0102030405", "Lettura 1112131415"] or len(rejected) != 2:
        raise CaseFailed(f"delivered {got}, rejected {rejected}")
    c.notes.append("delivered: " + " | ".join(got) + "; " + " | ".join(rejected))
    c.end_read(0)


def case_long_terminated_line(c):
    """A 100,000-character line ended by CR LF is dropped whole; the next line
    starts clean."""
    c.start_sim("--unpaced")
    c.start_read("--quendel", "0")
    i = c.read.wait_line(r"^FindDevice 1 0$")
    time.sleep(0.5)
    a = c.mon.mark()
    c.sim.send("long 100000")
    c.sim.send("0102030405")  # ends the long line, and goes with it
    c.sim.send("0A0B0C0D0E")
    c.sim.send("1112131415")
    c.read.wait_line(r"^Lettura U1112131415$", i)
    time.sleep(0.5)
    c.measure("100,000-character line ended by CR LF", a, c.mon.mark())
    got = [e for e in c.events(i) if e.startswith(("Lettura", "Anomalia"))]
    if got != ["Lettura U0A0B0C0D0E", "Lettura U1112131415"]:
        raise CaseFailed(f"after the long line: {[g[:40] for g in got]}")
    c.end_read(0)


def case_unpaced_stream_sigterm(c):
    """A KEZ reader faster than the line: SIGTERM still ends talumbra-read."""
    c.start_sim("--family", "kez", "--unpaced", "--rate", "0", "--no-stdin")
    out = os.path.join(c.ports, "codes.out")
    # Codes go to a file: the stream is far too fast for a pipe read line by line.
    c.read = Proc("talumbra-read", ["sh", "-c", 'exec "$0" "$@" >"$OUT"', c.args.read, "--port", str(PORT),
                                    "--type", "1"], dict(c.env, OUT=out))
    c.procs.append(c.read)
    end = time.monotonic() + WAIT
    while not (os.path.exists(out) and os.path.getsize(out) > 20000):
        if time.monotonic() > end or c.read.p.poll() is not None:
            raise CaseFailed("no codes read from the unpaced stream")
        time.sleep(0.05)
    time.sleep(1.0)
    t = time.monotonic()
    status = c.read.finish(signal.SIGTERM)
    took = time.monotonic() - t
    c.check_clean(c.read)
    if status != 0:
        raise CaseFailed(f"exit {status} after SIGTERM; stderr {c.read.err[-5:]}")
    with open(out, "rb") as f:
        lines = f.read().split(b"\n")[:-1]
    odd = [x for x in lines if not re.fullmatch(rb"[0-9A-F]{10}", x)]
    if odd:
        raise CaseFailed(f"{len(odd)} malformed codes, e.g. {odd[:3]}")
    c.notes.append(f"time from SIGTERM to exit under an unpaced stream: {took * 1000:.0f} ms "
                   f"({len(lines)} codes read)")


class FakePelvan:
    """A reader played here on a raw pty, for lines the simulator cannot send:
    it answers the version request and the reset, and sends what it is told."""

    def __init__(self, c):
        import pty
        import tty
        self.m, self.s = pty.openpty()
        tty.setraw(self.s)
        os.symlink(os.ttyname(self.s), os.path.join(c.ports, f"com{PORT}"))
        self.stop = threading.Event()
        self.t = threading.Thread(target=self._run, daemon=True)
        self.t.start()

    def _run(self):
        import select
        while not self.stop.is_set():
            if not select.select([self.m], [], [], 0.1)[0]:
                continue
            try:
                d = os.read(self.m, 256)
            except OSError:
                return
            if b"V" in d.upper():
                os.write(self.m, b"OMBRISK-125 RW v3.02\r\n")
            elif b"X" in d or b"P" in d:
                os.write(self.m, b"OK\r\n")

    def send(self, data):
        os.write(self.m, data)

    def close(self):
        self.stop.set()
        self.t.join(2)
        os.close(self.m)
        os.close(self.s)


def case_output_escaped(c):
    """The text \\x0D in a code and the byte 0x0D print differently."""
    r = FakePelvan(c)
    try:
        c.start_read("--quendel", "0", monitor=False)
        i = c.read.wait_line(r"^FindDevice 1 0$")
        r.send(b"U\\x0D\rABCDEF0123\r\n")
        j = c.read.wait_line(r"^Lettura ", i)
        want = "Lettura U\\\\x0D\\x0DABCDEF0123"
        if c.read.out[j] != want:
            raise CaseFailed(f"printed {c.read.out[j]!r}, expected {want!r}")
        c.notes.append(f"the text and the byte print as {c.read.out[j]!r}")
        c.end_read(0)
    finally:
        r.close()


def case_output_lost(c):
    """Standard output on /dev/full, closed, or a pipe whose reader goes:
    exit 5 with a message, and `| head -1` ends at the first code."""
    c.start_sim("--log-times", "--wait-host", "--interval", "4000", "--rate", "0")
    argv = [c.args.read, "--port", str(PORT)]
    for label, kw in (("/dev/full", dict(stdout=open("/dev/full", "wb"))), ("closed", dict(stdout=None,
                      preexec_fn=lambda: os.close(1)))):
        p = subprocess.run(argv, env=c.env, stderr=subprocess.PIPE, timeout=WAIT, **kw)
        err = p.stderr.decode("latin-1")
        if p.returncode != 5 or "standard output" not in err:
            raise CaseFailed(f"stdout {label}: exit {p.returncode}, stderr {err[-300:]!r}")
        c.notes.append(f"stdout {label}: exit 5, {err.strip().splitlines()[-1]}")
    # head -1: the program must end once head has its line, not when the next
    # code (4 s later) finds the pipe broken; that code would be lost.
    r, w = os.pipe()
    p = subprocess.Popen(argv, env=c.env, stdout=w, stderr=subprocess.PIPE)
    os.close(w)
    start = len(c.sim.out)
    with os.fdopen(r, "rb") as f:
        first = f.readline()
    # The simulator's own line for that first code may come after the code
    # itself: count from it, not from whatever its log holds at this instant.
    n = c.sim.wait_line(r"^code ", start) + 1
    t0 = time.monotonic()
    p.wait(WAIT)
    dt = time.monotonic() - t0
    later = [x for x in c.sim.out[n:] if x.startswith("code ")]
    if p.returncode != 5 or later:
        raise CaseFailed(f"| head -1: exit {p.returncode}, codes presented meanwhile {later}")
    c.notes.append(f"| head -1: first line {first!r}, ended {dt:.2f} s after head closed the pipe")
    # A --pipe command that the shell cannot find never started: status 4, as --help says.
    p = subprocess.run(argv + ["--pipe", "talumbra-no-such-command"], env=c.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.PIPE, timeout=WAIT)
    err = p.stderr.decode("latin-1")
    if p.returncode != 4 or "--pipe command" not in err:
        raise CaseFailed(f"--pipe with a command not found: exit {p.returncode}, stderr {err[-300:]!r}")
    c.notes.append(f"--pipe with a command not found: exit 4, {err.strip().splitlines()[-1]}")


def alive(pid):
    """True while `pid` runs (a zombie counts as gone)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def case_sigterm_cuts_waits(c):
    """SIGTERM while the presence check waits on a silent reader ends the check
    there, not after its remaining attempts; SIGTERM with a --pipe command that
    never reads leaves none of that command running."""
    c.start_sim("--silent", "-v")
    c.start_read("--no-reconnect", "--pipe", "sleep 1000; cat")
    c.sim.wait_line(r"request 1 ", stream="err")
    # The command's processes: its shell and what the shell started.
    kids = []
    for _ in range(100):
        with open(f"/proc/{c.read.pid}/task/{c.read.pid}/children") as f:
            kids = [int(x) for x in f.read().split()]
        more = []
        for k in kids:
            try:
                with open(f"/proc/{k}/task/{k}/children") as f:
                    more += [int(x) for x in f.read().split()]
            except OSError:
                pass
        if more:
            kids += more
            break
        time.sleep(0.05)
    k = len(c.sim.err)
    c.end_read(0)
    later = [e for e in c.sim.err[k:] if "request" in e]
    left = [pid for pid in kids if alive(pid)]
    for pid in left:
        os.kill(pid, signal.SIGKILL)
    # A check run to its end asks six times more, two requests each.
    if len(later) > 2:
        raise CaseFailed(f"the check went on after SIGTERM: {later}")
    if not kids or left:
        raise CaseFailed(f"the --pipe command's processes {kids}: {left} still running after the end")
    if any(e.startswith("Errore") for e in c.read.err):
        raise CaseFailed(f"a check cut short by SIGTERM reported as a failure: {c.read.err}")
    c.notes.append(f"{len(later)} request(s) after SIGTERM; --pipe processes {kids} ended with it")


def case_output_full_sigterm(c):
    """SIGTERM while standard output is a full pipe nobody reads, with codes
    streaming in: it ends, after sending EOT EOT."""
    c.start_sim("--family", "kez", "--rate", "0", "--interval", "0", "--log-times", "-v")
    r, w = os.pipe()
    fcntl.fcntl(w, 1031, 4096)  # F_SETPIPE_SZ: a one-page pipe fills in a second or so
    p = subprocess.Popen([c.args.read, "--port", str(PORT), "--type", "1", "--events"], env=c.env,
                         stdout=w, stderr=subprocess.PIPE)
    os.close(w)
    try:
        c.sim.wait_line(r"^code 500 ")  # some 20 bytes a line: the pipe is long full
        k = len(c.sim.err)
        t0 = time.monotonic()
        p.send_signal(signal.SIGTERM)
        try:
            p.wait(WAIT)
        except subprocess.TimeoutExpired:
            p.kill()
            raise CaseFailed("SIGTERM did not end talumbra-read with its output full")
        dt = time.monotonic() - t0
        err = p.stderr.read().decode("latin-1")
        c.sim.wait_line(r"rx 04 04", k, stream="err")
        if p.returncode != 0 or "not written" not in err:
            raise CaseFailed(f"exit {p.returncode}, stderr {err[-300:]!r}")
        c.notes.append(f"SIGTERM to exit with the output full: {dt:.2f} s; EOT EOT sent; {err.strip()}")
    finally:
        if p.poll() is None:
            p.kill()
            p.wait()
        os.close(r)


def case_count_exact(c):
    """--count 10 ends after exactly 10 codes, also when 50 come in one burst."""
    c.start_sim("--unpaced", "--wait-host", "--start-delay", "2000", "--rate", "50", "--log-times")
    c.start_read("--quendel", "0", "--count", "10")
    c.read.wait_line(r"^FindDevice 1 0$")
    c.end_read(0, sig=None)
    got = [e for e in c.events() if e.startswith("Lettura")]
    if len(got) != 10:
        raise CaseFailed(f"--count 10 printed {len(got)} codes")
    c.notes.append("--count 10 against a burst of 50: 10 codes printed")


# ---------------------------------------------------------------- automatic reconnection
# talumbra-read reconnects by itself unless --no-reconnect is given: nothing
# below sends SIGUSR1 or answers a question.

def start_sim_at(c, port, *extra):
    """A second simulator on its own port number; returns it and its device."""
    sim = harness.Sim(c.args.sim, port, c.env, *extra, name=f"talumbra-sim {port}")
    c.procs.append(sim)
    return sim, sim.path


def link_port(c, dev):
    """Makes `dev` appear as port PORT, as a late adapter's entry would."""
    tmp = os.path.join(c.ports, f".com{PORT}")
    os.symlink(dev, tmp)
    os.rename(tmp, os.path.join(c.ports, f"com{PORT}"))


def open_files(pid):
    """Descriptors of a process, and the inotify watches among them."""
    fds = os.listdir(f"/proc/{pid}/fd")
    watches = 0
    for fd in fds:
        try:
            with open(f"/proc/{pid}/fdinfo/{fd}") as f:
                watches += sum(1 for line in f if line.startswith("inotify wd:"))
        except OSError:
            pass
    return len(fds), watches


def anomalies(c, after=0):
    return [e for e in c.events(after) if e.startswith("Anomalia")]


def case_replugged_ten_times(c):
    """Pulled and plugged back ten times: each time it comes back by itself,
    one Anomalia per pull, every code once, nothing left growing."""
    c.start_sim()
    c.start_read("--quendel", "0", "--retry")  # a question would be answered OK and never end the check
    i = c.read.wait_line(r"^FindDevice 1 0$")
    time.sleep(0.5)
    files0 = open_files(c.read.pid)
    a = c.mon.mark()
    sent = []
    for n in range(10):
        c.sim.send("unplug")
        c.sim.wait_line(rf"^unplugged port {PORT}$")
        j = pulled_back(c, i)
        m = len(c.sim.out)
        c.sim.send("plug")
        c.device(m)
        i = c.read.wait_line(r"^FindDevice 1 0$", j)
        code = f"{0x2100000000 + n:010X}"
        sent.append(f"Lettura U{code}")
        c.sim.send(code)
        i = c.read.wait_line(rf"^Lettura U{code}$", i)
    time.sleep(1.0)
    b = c.mon.mark()
    c.measure("pulled and plugged back ten times, reconnecting by itself", a, b)
    files1 = open_files(c.read.pid)
    got = [e for e in c.events() if e.startswith("Lettura")]
    if got != sent:
        raise CaseFailed(f"codes read {got}, sent {sent}")
    if len(anomalies(c)) != 10 or any(e.startswith("FindDevice 0") for e in c.events()):
        raise CaseFailed(f"expected one Anomalia per pull and no failed check: {c.events()}")
    if files1 != files0:
        raise CaseFailed(f"descriptors and inotify watches {files0} before, {files1} after ten replugs")
    c.notes.append(f"10 replugs, 10 codes once each, 10 Anomalia; descriptors/watches {files0} -> {files1}")
    c.end_read(0)


def case_port_appears_late(c):
    """No device at start; it appears 3 s later and is connected by itself."""
    sim, dev = start_sim_at(c, PORT + 1)
    c.start_read("--quendel", "0")
    i = c.read.wait_line(r"^Anomalia Errore 8002 ")
    a = c.mon.mark()
    time.sleep(3.0)
    b = c.mon.mark()
    c.measure("waiting for a port that is not there", a, b)
    link_port(c, dev)
    j = c.read.wait_line(r"^FindDevice 1 0$", i)
    sim.send("0102030405")
    c.read.wait_line(r"^Lettura U0102030405$", j)
    if len(anomalies(c)) != 1:
        raise CaseFailed(f"one Anomalia expected: {c.events()}")
    c.notes.append("events: " + " | ".join(c.events()))
    c.end_read(0)


def case_port_busy_at_start(c):
    """Held by another program at start, let go after 5 s: connected on the
    next back-off tick, with a handful of attempts, not a retry loop."""
    dev = c.start_sim()
    h = Holder(dev)
    c.start_read("--quendel", "0")
    i = c.read.wait_line(r"^Anomalia Errore 8010 ")
    a = c.mon.mark()
    time.sleep(5.0)
    h.release()
    held = c.events(i)
    j = c.read.wait_line(r"^FindDevice 1 0$", i)
    b = c.mon.mark()
    c.measure("busy port, waited out", a, b)
    # Every closed state shows as a Stato 0: the loading's own, then one per
    # back-off tick, at 1 s and 3 s (7 s comes after the release). A retry
    # every second would make six.
    tries = sum(1 for e in held if e == "Stato 0")
    if tries > 4:
        raise CaseFailed(f"{tries} attempts while the port was held 5 s: {held}")
    c.sim.send("0102030405")
    c.read.wait_line(r"^Lettura U0102030405$", j)
    if len(anomalies(c)) != 1:
        raise CaseFailed(f"one Anomalia expected: {c.events()}")
    c.notes.append(f"{tries} closed states while held; connected {b[0] - a[0] - 5:.1f} s after the release")
    c.end_read(0)


def case_silent_reader_plugged(c):
    """A reader that does not answer plugged in after a pull: tried once, no
    question, then waited for; the program keeps running."""
    c.start_sim()
    silent, dev = start_sim_at(c, PORT + 1, "--silent", "-v")
    c.start_read("--retry")  # a question would be answered OK: the check would never end
    i = c.read.wait_line(r"^FindDevice 1 0$")
    c.sim.send("unplug")
    c.sim.wait_line(rf"^unplugged port {PORT}$")
    j = pulled_back(c, i)
    link_port(c, dev)
    k = c.read.wait_line(r"^FindDevice 0 0$", j)
    r = len(silent.err)
    a = c.mon.mark()
    time.sleep(3.0)
    b = c.mon.mark()
    c.measure("a silent reader, waited for", a, b)
    asked = [e for e in silent.err[r:] if "request" in e]
    if asked or c.read.p.poll() is not None:
        raise CaseFailed(f"after giving up: {len(asked)} more requests, exit {c.read.p.poll()}")
    if len(anomalies(c)) != 1:
        raise CaseFailed(f"one Anomalia expected (the pull): {c.events()}")
    c.notes.append("events after the pull: " + " | ".join(c.events(j)))
    c.end_read(0)


# ---------------------------------------------------------------- several readers in one process
# Every line starts with its port; each port has its own session, so what
# happens to one reader shows on its own lines only.

def codes_by_port(c, after=0):
    got = {}
    for e in c.events(after):
        m = re.fullmatch(r"com(\d+) Lettura (\S+)", e)
        if m:
            got.setdefault(int(m.group(1)), []).append(m.group(2))
    return got


def case_eight_readers(c):
    """Eight readers, a code on each: every code once, on its own port's line;
    --count counts the codes of all ports and ends the program."""
    sims = [start_sim_at(c, PORT + k, "--wait-host", "--start-delay", "300", f"{0x3100000000 + k:010X}")[0]
            for k in range(8)]
    c.sim = sims[0]
    c.start_read("--quendel", "0", "--count", "8", ports=f"{PORT}-{PORT + 7}")
    for k in range(8):
        c.read.wait_line(rf"^com{PORT + k} FindDevice 1 0$")
    c.end_read(0, sig=None)
    want = {PORT + k: [f"U{0x3100000000 + k:010X}"] for k in range(8)}
    if codes_by_port(c) != want:
        raise CaseFailed(f"codes by port {codes_by_port(c)}, sent {want}")
    odd = [e for e in c.events() if not re.match(r"com\d+ ", e)]
    if odd:
        raise CaseFailed(f"lines without their port: {odd}")
    c.notes.append("8 readers, 8 codes, each once on its port; --count 8 ended the program")


def case_one_of_three_pulled(c):
    """One reader pulled and plugged back while two others stream: the others
    lose nothing and see no event; the pulled one comes back by itself, or
    with --no-reconnect on SIGUSR1."""
    c.start_sim()
    streams = [start_sim_at(c, PORT + k, "--wait-host", "--start-delay", "500", "--rate", "0", "--interval", "40",
                            "--no-stdin")[0] for k in (1, 2)]
    c.start_read("--quendel", "0", "--retry", ports=f"{PORT},{PORT + 1}-{PORT + 2}")
    i = max(c.read.wait_line(rf"^com{PORT + k} FindDevice 1 0$") for k in range(3))
    a = c.mon.mark()
    c.sim.send("unplug")
    c.sim.wait_line(rf"^unplugged port {PORT}$")
    c.read.wait_line(rf"^com{PORT} Anomalia Errore \d+ ", i)
    c.read.wait_line(rf"^com{PORT} Stato 0$", i)
    time.sleep(1.0)
    m = len(c.sim.out)
    c.sim.send("plug")
    c.device(m)
    j = c.read.wait_line(rf"^com{PORT} FindDevice 1 0$", i)
    c.sim.send("0102030405")
    c.read.wait_line(rf"^com{PORT} Lettura U0102030405$", j)
    time.sleep(0.5)
    b = c.mon.mark()
    c.measure("three readers, one pulled and plugged back", a, b)
    got = codes_by_port(c)
    for k in (1, 2):
        seen = got.get(PORT + k, [])
        nums = [int(x[1:], 16) for x in seen]
        if len(nums) < 20 or nums != list(range(1, len(nums) + 1)):
            raise CaseFailed(f"com{PORT + k}: {len(nums)} codes, not 1..N in order: {seen[:5]}...{seen[-5:]}")
        other = [e for e in c.events(i + 1) if e.startswith(f"com{PORT + k} ") and " Lettura " not in e]
        if other:
            raise CaseFailed(f"com{PORT + k} saw events of another port: {other}")
    c.notes.append(f"codes streamed meanwhile: {len(got[PORT + 1])} and {len(got[PORT + 2])}, none lost")
    c.end_read(0)

    # With --no-reconnect the pulled port stays closed until SIGUSR1, which
    # reopens it and leaves the open ones alone.
    c.start_read("--quendel", "0", "--no-reconnect", ports=f"{PORT},{PORT + 1}", monitor=False)
    i = max(c.read.wait_line(rf"^com{PORT + k} FindDevice 1 0$") for k in range(2))
    c.sim.send("unplug")
    c.sim.wait_line(rf"^unplugged port {PORT}$")
    j = c.read.wait_line(rf"^com{PORT} Stato 0$", i)
    m = len(c.sim.out)
    c.sim.send("plug")
    c.device(m)
    time.sleep(0.5)
    if f"com{PORT} Stato 1" in c.events(j):
        raise CaseFailed("--no-reconnect: the pulled port was reopened without SIGUSR1")
    c.read.p.send_signal(signal.SIGUSR1)
    c.read.wait_line(rf"^com{PORT} Stato 1$", j)
    time.sleep(0.3)
    other = [e for e in c.events(i + 1) if e.startswith(f"com{PORT + 1} ") and " Lettura " not in e]
    if other:
        raise CaseFailed(f"SIGUSR1 touched the open port: {other}")
    c.end_read(0)


def case_one_port_busy_at_start(c):
    """Of three ports, one is held by another program at start and one is
    missing: the third reads at once, the held one is waited for. With
    --no-reconnect the held one is a start failure (4), named with its port."""
    dev = c.start_sim()
    other, _ = start_sim_at(c, PORT + 1)
    h = Holder(dev)
    c.start_read("--quendel", "0", "--no-reconnect", monitor=False, ports=f"{PORT + 1},{PORT}")
    status = c.read.finish(None)
    c.check_clean(c.read)
    if status != 4 or not any(e.startswith(f"com{PORT} Errore 8010 ") for e in c.read.err):
        raise CaseFailed(f"held at start, --no-reconnect: exit {status}, stderr {c.read.err[-5:]}")
    c.start_read("--quendel", "0", ports=f"{PORT},{PORT + 1}-{PORT + 2}")
    i = c.read.wait_line(rf"^com{PORT} Anomalia Errore 8010 ")
    c.read.wait_line(rf"^com{PORT + 2} Anomalia Errore 8002 ")
    j = c.read.wait_line(rf"^com{PORT + 1} FindDevice 1 0$")
    other.send("0A0B0C0D0E")
    c.read.wait_line(rf"^com{PORT + 1} Lettura U0A0B0C0D0E$", j)
    h.release()
    k = c.read.wait_line(rf"^com{PORT} FindDevice 1 0$", i)
    c.sim.send("0102030405")
    c.read.wait_line(rf"^com{PORT} Lettura U0102030405$", k)
    c.notes.append("events: " + " | ".join(c.events()))
    c.end_read(0)


CASES = [
    ("pulled-idle", case_pulled_idle),
    ("pulled-version-wait-periodic", case_pulled_version_wait_periodic),
    ("pulled-version-wait-loading", case_pulled_version_wait_loading),
    ("pulled-mid-frame-pelvan", lambda c: case_pulled_mid_frame(c, "pelvan")),
    ("pulled-mid-frame-kez", lambda c: case_pulled_mid_frame(c, "kez")),
    ("garbage-flood-pelvan", lambda c: case_garbage_flood(c, "pelvan")),
    ("garbage-flood-kez", lambda c: case_garbage_flood(c, "kez")),
    ("garbage-burst-pelvan", lambda c: case_garbage_flood(c, "pelvan", 4000, 30, unpaced=True)),
    ("long-line-1mb", case_long_line),
    ("answers-7th", lambda c: case_answers_late(c, 7, False)),
    ("answers-13th-ok", lambda c: case_answers_late(c, 13, True)),
    ("answers-13th-cancel", lambda c: case_answers_late(c, 13, False)),
    ("port-held", case_port_held),
    # codes lost or wrongly delivered by the reader core
    ("codes-during-checks", case_codes_during_checks),
    ("bad-check-mavo", case_bad_check_mavo),
    ("long-terminated-line", case_long_terminated_line),
    ("unpaced-stream-sigterm", case_unpaced_stream_sigterm),
    ("output-escaped", case_output_escaped),
    ("output-lost", case_output_lost),
    ("output-full-sigterm", case_output_full_sigterm),
    ("sigterm-cuts-waits", case_sigterm_cuts_waits),
    ("count-exact", case_count_exact),
    ("replugged-ten-times", case_replugged_ten_times),
    ("port-appears-late", case_port_appears_late),
    ("port-busy-at-start", case_port_busy_at_start),
    ("silent-reader-plugged", case_silent_reader_plugged),
    ("eight-readers", case_eight_readers),
    ("one-of-three-pulled", case_one_of_three_pulled),
    ("one-port-busy-at-start", case_one_port_busy_at_start),
]


def windows(c):
    return [f"{w['label']}: CPU {w['cpu']:.2f} s over {w['wall']:.1f} s = {w['share']:.1%} of a core; "
            f"VmRSS {w['rss0']} kB, peak {w['rss_peak']} kB (+{w['rss_peak'] - w['rss0']} kB)" for w in c.windows]


def main():
    ap = harness.case_arguments("Fault injection for talumbra-read and the control.")
    return harness.run_cases(ap, CASES, Case, "all fault cases passed", report=windows)


if __name__ == "__main__":
    sys.exit(main())
