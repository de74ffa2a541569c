"""Publishing figures for bench/run (step "mqtt"), against a mosquitto broker
started here on a free loopback port:

  * end-to-end latency, last byte on the reader's wire -> a subscriber's
    line, at line rate, against talumbra-read's own stdout in the same run;
  * replay rate of a full spool once the broker is back;
  * VmRSS of talumbra-read with a full spool against an empty one;
  * codes lost over SIGKILLs and restarts during an unpaced flood;
  * VmRSS of talumbra-read with its spool on a full disk, the broker away;
  * CPU of talumbra-read idle while connected;
  * time from start to the reader's port open with a broker that never
    answers (silent after TCP, or TCP never completing), and to the first
    port open for 16 ports in one talumbra-read, which share one connection;
  * mosquitto's own message rate on this machine (QoS 1, one and four
    publishers), for the README's sizing.

The subscriber is mosquitto_sub; its lines are stamped when they arrive here
(harness.Proc), with the clock the simulator stamps its writes with.
"""
import json
import os
import shutil
import socket
import subprocess
import time

import harness
from harness import cpu_s, now, status_kb

SPOOL_FULL, SPOOL_FULL_SHORT = 100000, 20000


class Mqtt:
    def __init__(self, bench, percentile, failed):
        self.b, self.percentile, self.now, self.cpu_s, self.status_kb = bench, percentile, now, cpu_s, status_kb
        self.Failed = failed
        self.port = harness.free_port()
        # No cap on a subscriber's queue: a replay of 100,000 codes may run ahead of it.
        self.broker = harness.Mosquitto(os.path.join(bench.tmp.name, "mosquitto.conf"),
                                        "listener %d 127.0.0.1\nallow_anonymous true\nmax_queued_messages 0\n"
                                        "max_inflight_messages 100\n" % self.port, bench.env, bench.procs, start=False)

    def url(self):
        return "mqtt://127.0.0.1:%d/bench" % self.port

    def start(self, argv, env=None, stdin=False):
        p = harness.Proc(os.path.basename(argv[0]), argv, env or self.b.env, stdin=stdin, stderr=subprocess.DEVNULL)
        self.b.procs.append(p)
        return p

    def start_broker(self):
        try:
            self.broker.start()
        except harness.Failure as e:
            raise self.Failed("mosquitto did not start: %s" % e)

    def stop_broker(self):
        self.b.stop(self.broker.p)

    def subscriber(self, topic="bench/#", qos=1):
        p = self.start(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(self.port), "-q", str(qos), "-t", topic])
        time.sleep(0.3)
        return p

    def read(self, port, state, *extra):
        env = dict(self.b.env, XDG_STATE_HOME=state)
        return self.start([self.b.read, "--port", str(port), "--repeat-ms", "0", "--quendel", "0", "--publish",
                           self.url()] + [str(x) for x in extra], env=env)

    @staticmethod
    def wait(procs, done, idle=10.0):
        """Until done(), or nothing new on the procs' stdout for `idle` seconds."""
        count, last = -1, time.monotonic()
        while not done():
            c = sum(len(p.out) for p in procs)
            if c != count:
                count, last = c, time.monotonic()
            elif time.monotonic() - last > idle:
                return False
            time.sleep(0.05)
        return True

    # ---- latency at line rate
    def latency(self):
        secs = 5 if self.b.short else 60
        n = int(secs * 9600 / 10 / 13)
        print("mqtt latency: %d codes at 9600 baud pacing (%d s), to stdout and to a subscriber" % (n, secs),
              flush=True)
        self.start_broker()
        sub = self.subscriber()
        sim = self.b.start_sim("--wait-host", "--start-delay", 1500, "--rate", n, "--interval", 0, "--log-times",
                               "--exit-when-done")
        p = self.read(sim.port, os.path.join(self.b.tmp.name, "state-latency"))
        self.wait([p, sub], lambda: len(p.out) >= n and len(sub.out) >= n)
        self.b.stop(p)
        self.b.stop(sub)
        # Each line stamped when it arrived; codes without the badge type's letter.
        out = {l[1:]: t for l, t in zip(p.out, p.out_t)}
        mq = {}
        for l, t in zip(sub.out, sub.out_t):
            i = l.find('"code":"')
            if i >= 0:
                mq[l[i + 9:l.index('"', i + 8)]] = t
        times, sent = self.b.sim_log(sim)
        lat_out = sorted((t - times[c]) * 1000 for c, t in out.items() if c in times)
        lat_mq = sorted((t - times[c]) * 1000 for c, t in mq.items() if c in times)
        self.b.row("mqtt line rate: codes published/sent", "%d/%s" % (len(set(mq) & set(times)), sent), "all",
                   sent == n and len(set(mq) & set(times)) == n)
        if lat_mq and lat_out:
            m, q = self.percentile(lat_mq, 50), self.percentile(lat_mq, 99)
            self.b.row("mqtt latency wire -> subscriber, median / p99", "%.2f / %.2f ms (max %.2f)" %
                       (m, q, lat_mq[-1]), "p99 < 5 ms", q < 5, True, q < 50)
            self.b.row("same run, wire -> stdout, median / p99", "%.2f / %.2f ms" %
                       (self.percentile(lat_out, 50), self.percentile(lat_out, 99)), "-", None)
            # Per code, what publishing adds to printing: a stall of the
            # machine while the code was being read counts in neither.
            extra = sorted((mq[c] - out[c]) * 1000 for c in mq if c in out)
            self.b.row("same run, subscriber minus stdout per code, median / p99", "%.2f / %.2f ms" %
                       (self.percentile(extra, 50), self.percentile(extra, 99)), "-", None)
        self.stop_broker()

    # ---- a full spool: its memory, then its replay
    def spool(self):
        full = SPOOL_FULL_SHORT if self.b.short else SPOOL_FULL
        print("mqtt spool: %d codes into a spool of %d with the broker away, then replayed" % (full, full),
              flush=True)
        state_full = os.path.join(self.b.tmp.name, "state-full")
        state_empty = os.path.join(self.b.tmp.name, "state-empty")
        # The simulator stays until every code is read: an unpaced stream runs ahead of the reader.
        sim = self.b.start_sim("--wait-host", "--start-delay", 1500, "--rate", full, "--unpaced")
        p = self.read(sim.port, state_full, "--spool-max", full)
        port_full = sim.port  # the spool is the port's: later runs take the same number
        self.wait([p], lambda: len(p.out) >= full)
        time.sleep(1)
        self.b.stop(p)
        self.b.stop(sim)
        if len(p.out) < full:
            raise self.Failed("only %d codes read into the spool" % len(p.out))
        self.b.row("mqtt spool: codes read and committed per second (broker away)", "%.0f" %
                   ((full - 1) / (p.out_t[full - 1] - p.out_t[0])), "-", None)

        # VmRSS at rest: the full spool against an empty one, the same program otherwise.
        rss = {}
        for name, state in (("empty", state_empty), ("full", state_full)):
            self.b.next_port, back = port_full, self.b.next_port
            sim = self.b.start_sim()
            self.b.next_port = back
            p = self.read(sim.port, state, "--spool-max", full)
            time.sleep(3)
            rss[name] = self.status_kb(p.pid, "VmRSS")
            self.b.stop(p)
            self.b.stop(sim)
        d = rss["full"] - rss["empty"]
        self.b.row("mqtt VmRSS, full spool (%d) vs empty" % full, "%+d kB (%d vs %d kB)" %
                   (d, rss["full"], rss["empty"]), "within 2048 kB", abs(d) <= 2048)

        # Replay: the broker is back, the program starts with the full spool.
        # The subscriber takes QoS 0, so that its own acknowledgements (a
        # consumer's cost, on the same 2 cores) do not set the pace.
        self.start_broker()
        sub = self.subscriber(qos=0)
        self.b.next_port, back = port_full, self.b.next_port
        sim = self.b.start_sim()
        self.b.next_port = back
        p = self.read(sim.port, state_full, "--spool-max", full)
        c0 = self.cpu_s(p.pid)
        self.wait([sub], lambda: len(sub.out) >= full)
        cpu = self.cpu_s(p.pid) - c0
        self.b.stop(p)
        self.b.stop(sim)
        self.b.stop(sub)
        self.stop_broker()
        seen = len(sub.out)
        if seen < full or sub.out_t[full - 1] <= sub.out_t[0]:
            self.b.row("mqtt replay of a full spool", "%d of %d codes arrived" % (seen, full), "all", False)
            return
        first, last = sub.out_t[0], sub.out_t[full - 1]
        rate = (full - 1) / (last - first)
        self.b.row("mqtt replay rate, spool of %d, to a QoS 0 subscriber" % full, "%.0f codes/s (%.1f s; talumbra-read CPU %.1f s)" %
                   (rate, last - first, cpu),
                   "> 10000/s", rate > 10000, True, rate > 1000)

    # ---- SIGKILL during a flood: a printed code is a committed one
    def sigkill(self):
        cycles = 10
        print("mqtt SIGKILL: %d kills and restarts of talumbra-read during an unpaced flood" % cycles, flush=True)
        self.start_broker()
        sub = self.subscriber()
        sim = self.b.start_sim("--wait-host", "--unpaced", "--rate", 0)
        state = os.path.join(self.b.tmp.name, "state-kill")
        printed = set()
        for k in range(cycles):
            p = self.read(sim.port, state)
            self.wait([p], lambda: len(p.out) >= 200 + 37 * k)
            p.kill()
            printed |= {l for l in p.out if l}
        p = self.read(sim.port, state)

        def published():
            return {json.loads(l)["code"] for l in list(sub.out) if l.startswith("{")}
        self.wait([sub], lambda: printed <= published())
        lost = len(printed - published())
        self.b.stop(p)
        self.b.stop(sim)
        self.b.stop(sub)
        self.stop_broker()
        self.b.row("mqtt codes lost over %d SIGKILL-and-restart cycles, unpaced flood" % cycles,
                   "%d of %d printed" % (lost, len(printed)), "0", lost == 0)

    # ---- a full disk: memory stays bounded
    def disk_full(self):
        secs = 5 if self.b.short else 30
        print("mqtt full disk: the spool on a full 256 KiB tmpfs, broker away, an unpaced stream for %d s" % secs,
              flush=True)
        state = os.path.join(self.b.tmp.name, "state-full-disk")
        os.makedirs(state)
        r = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", state], capture_output=True,
                           text=True)
        if r.returncode != 0:
            self.b.row("mqtt VmRSS, full disk", "n/a (cannot mount a tmpfs: %s)" % r.stderr.strip(), "-", None)
            return
        try:
            # Full but for the room to open the spool; the first codes fill the rest.
            with open(os.path.join(state, "filler"), "wb", buffering=0) as f:
                try:
                    while True:
                        f.write(b"\0" * 4096)
                except OSError:
                    pass
                f.truncate(f.tell() - 96 * 1024)
            sim = self.b.start_sim("--wait-host", "--unpaced", "--rate", 0)
            # Its output is not kept here: a flood of lines would swell this process instead.
            p = subprocess.Popen([self.b.read, "--port", str(sim.port), "--repeat-ms", "0", "--quendel", "0",
                                  "--publish", self.url()], env=dict(self.b.env, XDG_STATE_HOME=state),
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.b.procs.append(p)
            time.sleep(3)
            if p.poll() is not None:
                raise self.Failed("talumbra-read ended with status %d on the full disk" % p.returncode)
            rss0 = peak = self.status_kb(p.pid, "VmRSS")
            c0, end = self.cpu_s(p.pid), time.monotonic() + secs
            while time.monotonic() < end and p.poll() is None:
                time.sleep(0.5)
                peak = max(peak, self.status_kb(p.pid, "VmRSS") or 0)
            cpu = self.cpu_s(p.pid) - c0
            self.b.stop(p)
            self.b.stop(sim)
            growth = peak - rss0
            self.b.row("mqtt VmRSS, full disk, broker away, unpaced stream %d s" % secs,
                       "%+d kB (%d -> peak %d kB; CPU %.1f s)" % (growth, rss0, peak, cpu), "within 2048 kB",
                       growth <= 2048)
        finally:
            subprocess.run(["umount", "-l", state], capture_output=True)

    # ---- CPU while connected and idle
    def idle(self):
        secs = 3 if self.b.short else 30
        print("mqtt idle: connected, port open, %d s" % secs, flush=True)
        self.start_broker()
        sim = self.b.start_sim()
        p = self.read(sim.port, os.path.join(self.b.tmp.name, "state-idle"))
        time.sleep(3)
        c0, t0 = self.cpu_s(p.pid), self.now()
        time.sleep(secs)
        c1, t1 = self.cpu_s(p.pid), self.now()
        self.b.stop(p)
        self.b.stop(sim)
        self.stop_broker()
        pct = 100 * (c1 - c0) / (t1 - t0)
        self.b.row("mqtt CPU idle, connected, %d s" % secs, "%.3f%%" % pct, "< 0.1%", pct < 0.1, True, pct < 2)

    # ---- a broker that never answers: the port must not wait for it
    def never_answers(self):
        runs = 3 if self.b.short else 10
        print("mqtt never answering: start -> the reader's port open, %d runs each" % runs, flush=True)
        lst = socket.socket()
        lst.bind(("127.0.0.1", 0))
        lst.listen(0)
        held = []
        try:
            # Silent: accepted, the login never answered. Black hole: the listen
            # queue is full, so TCP never completes.
            for kind in ("login never answered", "TCP never completes"):
                if kind.startswith("TCP"):
                    for _ in range(3):
                        c = socket.socket()
                        c.setblocking(False)
                        c.connect_ex(lst.getsockname())
                        held.append(c)
                took = []
                for k in range(runs):
                    sim = self.b.start_sim()
                    state = os.path.join(self.b.tmp.name, "state-silent%d" % k)
                    env = dict(self.b.env, XDG_STATE_HOME=state)
                    t0 = self.now()
                    p = self.start([self.b.read, "--port", str(sim.port), "--events", "--publish",
                                    "mqtt://127.0.0.1:%d/bench" % lst.getsockname()[1]], env=env)
                    i = p.wait_line(r"^Stato 1$")
                    took.append(p.out_t[i] - t0)
                    if not kind.startswith("TCP"):
                        lst.settimeout(5)
                        held.append(lst.accept()[0])
                    self.b.stop(p)
                    self.b.stop(sim)
                took.sort()
                worst = took[-1]
                self.b.row("mqtt broker %s: start -> port open, median / max of %d" % (kind, runs),
                           "%.0f / %.0f ms" % (1000 * self.percentile(took, 50), 1000 * worst), "< 500 ms",
                           worst < 0.5, True, worst < 5)
            self.many_never_answers(lst.getsockname()[1], runs)
        finally:
            for c in held:
                c.close()
            lst.close()

    def many_never_answers(self, port, runs):
        """Several ports, TCP to the broker never completing: one connection waits its 0.2 s once, so the first
        port opens as soon as one port alone does (the readers are then identified one after the other)."""
        k = 4 if self.b.short else 16
        took = []
        for r in range(runs):
            sims = [self.b.start_sim() for _ in range(k)]
            env = dict(self.b.env, XDG_STATE_HOME=os.path.join(self.b.tmp.name, "state-many%d" % r))
            t0 = self.now()
            p = self.start([self.b.read, "--port", ",".join(str(s.port) for s in sims), "--events", "--publish",
                            "mqtt://127.0.0.1:%d/bench" % port], env=env)
            i = p.wait_line(r"^com\d+ Stato 1$")
            took.append(p.out_t[i] - t0)
            self.b.stop(p)
            for s in sims:
                self.b.stop(s)
        took.sort()
        worst = took[-1]
        self.b.row("mqtt broker TCP never completes, %d ports: start -> first port open, median / max of %d" %
                   (k, runs), "%.0f / %.0f ms" % (1000 * self.percentile(took, 50), 1000 * worst), "< 500 ms",
                   worst < 0.5, True, worst < 5)

    # ---- mosquitto itself
    def broker_rate(self):
        each = 5000 if self.b.short else 25000
        self.start_broker()
        for pubs in (1, 4):
            n = each * pubs
            print("mosquitto message rate: %d publishers, %d messages each, QoS 1" % (pubs, each), flush=True)
            sub = self.subscriber("rate/#")
            payload = b'{"badge":"tb_EM_4x02","code":"U0102030405","device":"tdPELVAN","host":"gate-01",' \
                      b'"port":1,"seq":123456,"time":"2026-12-07T10:00:00.000+01:00"}\n'
            ps = [self.start(["mosquitto_pub", "-h", "127.0.0.1", "-p", str(self.port), "-q", "1", "-l", "-t",
                              "rate/%d" % k], stdin=True) for k in range(pubs)]
            for q in ps:
                q.p.stdin.write(payload * each)
                q.p.stdin.flush()
            for q in ps:
                q.p.stdin.close()
            self.wait([sub], lambda: len(sub.out) >= n)
            for q in ps:
                self.b.stop(q)
            self.b.stop(sub)
            seen = len(sub.out)
            if seen > 1 and sub.out_t[-1] > sub.out_t[0]:
                rate = (seen - 1) / (sub.out_t[-1] - sub.out_t[0])
                self.b.row("mosquitto rate, %d publisher(s), QoS 1, one subscriber" % pubs, "%.0f msg/s (%d)" %
                           (rate, seen), "-", None)
        self.stop_broker()


def run(bench, percentile, failed):
    if not (shutil.which("mosquitto") and shutil.which("mosquitto_sub") and shutil.which("mosquitto_pub")):
        bench.row("mqtt", "n/a (mosquitto is missing: ./scripts/deps)", "-", None)
        return
    m = Mqtt(bench, percentile, failed)
    for step in (m.latency, m.spool, m.sigkill, m.disk_full, m.idle, m.never_answers, m.broker_rate):
        try:
            step()
        except failed as e:
            bench.row("mqtt " + step.__name__, str(e), "-", False)
        finally:
            if m.broker.running():
                m.stop_broker()
