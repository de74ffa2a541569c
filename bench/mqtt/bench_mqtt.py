"""Publishing figures for bench/run (step "mqtt"), against a mosquitto broker
started here on a free loopback port:

  * end-to-end latency, last byte on the reader's wire -> a subscriber's
    line, at line rate, against talumbra-read's own stdout in the same run;
  * replay rate of a full spool once the broker is back;
  * VmRSS of talumbra-read with a full spool against an empty one;
  * CPU of talumbra-read idle while connected;
  * mosquitto's own message rate on this machine (QoS 1, one and four
    publishers), for the README's sizing.

The subscriber is mosquitto_sub; its lines are stamped when read here, with
the clock the simulator stamps its writes with.
"""
import os
import select
import shutil
import signal
import socket
import subprocess
import time

SPOOL_FULL, SPOOL_FULL_SHORT = 100000, 20000


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Mqtt:
    def __init__(self, bench, percentile, now, cpu_s, status_kb, failed):
        self.b, self.percentile, self.now, self.cpu_s, self.status_kb = bench, percentile, now, cpu_s, status_kb
        self.Failed = failed
        self.port = free_port()
        self.conf = os.path.join(bench.tmp.name, "mosquitto.conf")
        with open(self.conf, "w") as f:
            # No cap on a subscriber's queue: a replay of 100,000 codes may run ahead of it.
            f.write("listener %d 127.0.0.1\nallow_anonymous true\nmax_queued_messages 0\n"
                    "max_inflight_messages 100\n" % self.port)
            if os.geteuid() == 0:
                f.write("user root\n")
        self.broker = None

    def url(self):
        return "mqtt://127.0.0.1:%d/bench" % self.port

    def start_broker(self):
        self.broker = self.b.start(["mosquitto", "-c", self.conf], stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        for _ in range(100):
            try:
                socket.create_connection(("127.0.0.1", self.port), 0.1).close()
                return
            except OSError:
                time.sleep(0.05)
        raise self.Failed("mosquitto did not start")

    def stop_broker(self):
        self.b.stop(self.broker)

    def subscriber(self, topic="bench/#", qos=1):
        p = self.b.start(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(self.port), "-q", str(qos), "-t", topic],
                         stdout=subprocess.PIPE)
        time.sleep(0.3)
        return p

    def read(self, port, state, *extra):
        env = dict(self.b.env, XDG_STATE_HOME=state)
        return self.b.start([self.b.read, "--port", str(port), "--repeat-ms", "0", "--quendel", "0", "--publish",
                             self.url()] + [str(x) for x in extra], stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, env=env)

    @staticmethod
    def lines(procs, on_line, done, idle=10.0):
        """Reads the procs' stdout, stamping each line on arrival, until done()."""
        bufs = {p.stdout.fileno(): (p, b"") for p in procs}
        last = time.monotonic()
        while not done():
            r, _, _ = select.select(list(bufs), [], [], 0.25)
            t = time.clock_gettime(time.CLOCK_MONOTONIC)
            for fd in r:
                p, buf = bufs[fd]
                data = os.read(fd, 1 << 16)
                if not data:
                    del bufs[fd]
                    continue
                *ls, buf = (buf + data).split(b"\n")
                bufs[fd] = (p, buf)
                for l in ls:
                    on_line(p, l, t)
                last = time.monotonic()
            if not bufs or time.monotonic() - last > idle:
                return False
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
        out, mq = {}, {}

        def on_line(proc, l, t):
            if proc is p:
                out[l.decode(errors="replace")[1:]] = t
            else:
                i = l.find(b'"code":"')
                if i >= 0:
                    mq[l[i + 9:l.index(b'"', i + 8)].decode()] = t
        self.lines([p, sub], on_line, lambda: len(mq) >= n and len(out) >= n)
        cpu = self.cpu_s(p.pid)
        self.b.stop(p)
        self.b.stop(sub)
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
        got = [0]
        t0 = [None]

        def count(proc, l, t):
            got[0] += 1
            t0[0] = t0[0] or t
        self.lines([p], count, lambda: got[0] >= full)
        t1 = self.now()
        time.sleep(1)
        self.b.stop(p)
        self.b.stop(sim)
        if got[0] < full:
            raise self.Failed("only %d codes read into the spool" % got[0])
        self.b.row("mqtt spool: codes read and committed per second (broker away)", "%.0f" %
                   ((full - 1) / (t1 - t0[0])), "-", None)

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
        seen = [0]
        first = [None]
        last = [None]

        def on_sub(proc, l, t):
            if b'"seq"' in l:
                seen[0] += 1
                first[0] = first[0] or t
                last[0] = t
        c0 = self.cpu_s(p.pid)
        self.lines([sub], on_sub, lambda: seen[0] >= full)
        cpu = self.cpu_s(p.pid) - c0
        self.b.stop(p)
        self.b.stop(sim)
        self.b.stop(sub)
        self.stop_broker()
        if seen[0] < full or last[0] <= first[0]:
            self.b.row("mqtt replay of a full spool", "%d of %d codes arrived" % (seen[0], full), "all", False)
            return
        rate = (full - 1) / (last[0] - first[0])
        self.b.row("mqtt replay rate, spool of %d, to a QoS 0 subscriber" % full, "%.0f codes/s (%.1f s; talumbra-read CPU %.1f s)" %
                   (rate, last[0] - first[0], cpu),
                   "> 10000/s", rate > 10000, True, rate > 1000)

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
            ps = [self.b.start(["mosquitto_pub", "-h", "127.0.0.1", "-p", str(self.port), "-q", "1", "-l", "-t",
                                "rate/%d" % k], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL)
                  for k in range(pubs)]
            seen, first, last = [0], [None], [None]

            def on_sub(proc, l, t):
                seen[0] += 1
                first[0] = first[0] or t
                last[0] = t
            for q in ps:
                q.stdin.write(payload * each)
                q.stdin.flush()
            for q in ps:
                q.stdin.close()
            self.lines([sub], on_sub, lambda: seen[0] >= n)
            for q in ps:
                self.b.stop(q)
            self.b.stop(sub)
            if last[0] and last[0] > first[0]:
                rate = (seen[0] - 1) / (last[0] - first[0])
                self.b.row("mosquitto rate, %d publisher(s), QoS 1, one subscriber" % pubs, "%.0f msg/s (%d)" %
                           (rate, seen[0]), "-", None)
        self.stop_broker()


def run(bench, percentile, now, cpu_s, status_kb, failed):
    if not (shutil.which("mosquitto") and shutil.which("mosquitto_sub") and shutil.which("mosquitto_pub")):
        bench.row("mqtt", "n/a (mosquitto is missing: ./scripts/deps)", "-", None)
        return
    m = Mqtt(bench, percentile, now, cpu_s, status_kb, failed)
    for step in (m.latency, m.spool, m.idle, m.broker_rate):
        try:
            step()
        except failed as e:
            bench.row("mqtt " + step.__name__, str(e), "-", False)
        finally:
            if m.broker and m.broker.poll() is None:
                m.stop_broker()
