"""Figures of the site page for bench/run (step "site"), in headless Chromium
against a mosquitto started here on free loopback ports, measured through
the browser's performance interfaces (performance.now() and timeOrigin in
the page, Chrome's Performance.getMetrics for main-thread time and JS heap):

  * latency, a code's last byte on the reader's wire (talumbra-sim's own
    stamp) -> its tile updated in the page, through talumbra-read --publish
    and the broker;
  * load: 500 readers and 100 codes/s, from a small publisher of this
    script (500 real readers would not fit this machine): main-thread busy
    share and JS heap, after a first minute of warm-up;
  * page load with 500 retained statuses, to every tile drawn.

bench/run calls run() in its own Python; the browser work runs in a child
under Debian's Python (selenium and paho-mqtt are Debian's modules), which
prints one JSON row per line.
"""
import json
import os
import random
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
READERS, HOSTS = 500, 50
LOAD_RATE = 100  # codes/s, all readers together

# Stamps every code put in the DOM with the time on the page's clock (ms
# since the epoch): its tile's code, and its row in the feed, which the same
# draw adds (a tile shows only the last of two codes drawn together).
WATCH_TILES = """
window.__stamps = [];
new MutationObserver((list) => {
  const t = performance.timeOrigin + performance.now();
  for (const m of list) {
    const e = m.target.nodeType === 1 ? m.target : m.target.parentElement;
    if (e && e.classList.contains('code')) window.__stamps.push([e.textContent, t]);
    for (const n of m.addedNodes)
      if (n.nodeName === 'LI') window.__stamps.push([n.querySelector('.code').textContent, t]);
  }
}).observe(document.querySelector('main'), {subtree: true, childList: true, characterData: true});
"""

# Installed before the page's own scripts: when the n-th tile is drawn.
WATCH_LOAD = """
window.__drawn = null;
const want = %d;
new MutationObserver((list, obs) => {
  if (document.querySelectorAll('article.tile').length >= want) {
    window.__drawn = performance.now();
    obs.disconnect();
  }
}).observe(document, {subtree: true, childList: true});
"""


def percentile(v, p):
    v = sorted(v)
    return v[max(0, min(len(v) - 1, int(-(-p * len(v) // 100)) - 1))]


class Scene:
    def __init__(self, a):
        import harness
        self.h, self.a = harness, a
        self.tmp = tempfile.TemporaryDirectory(prefix="talumbra-bench-site-")
        self.ports = harness.mask_serial_devices(os.path.join(self.tmp.name, "ports"))
        self.env = dict(os.environ, TALUMBRA_PORTS=self.ports, QT_QPA_PLATFORM="offscreen",
                        XDG_STATE_HOME=os.path.join(self.tmp.name, "state"))
        self.procs = []
        self.mqtt, self.ws = harness.free_port(), harness.free_port()
        harness.Mosquitto(os.path.join(self.tmp.name, "broker.conf"),
                          f"listener {self.mqtt} 127.0.0.1\nlistener {self.ws} 127.0.0.1\nprotocol websockets\n"
                          f"http_dir {a.site}\nallow_anonymous true\nmax_queued_messages 0\n", self.env, self.procs)
        self.driver = harness.chromium(self.tmp.name)
        self.driver.execute_cdp_cmd("Performance.enable", {"timeDomain": "timeTicks"})

    def open(self, prefix):
        """The page logged in anonymously (sessionStorage, as after a login)."""
        d = self.driver
        url = f"http://127.0.0.1:{self.ws}/?prefix={prefix}"
        d.get(url)
        d.execute_script("sessionStorage.setItem('talumbra.login', JSON.stringify({user: '', password: ''}))")
        d.get(url)

    def until(self, script, what, timeout=60):
        end = time.monotonic() + timeout
        while True:
            v = self.driver.execute_script(script)
            if v:
                return v
            if time.monotonic() > end:
                raise RuntimeError(f"no {what} within {timeout} s")
            time.sleep(0.05)

    def metrics(self):
        m = self.driver.execute_cdp_cmd("Performance.getMetrics", {})
        return {x["name"]: x["value"] for x in m["metrics"]}

    def heap_after_gc(self):
        self.driver.execute_cdp_cmd("HeapProfiler.collectGarbage", {})
        return self.metrics()["JSHeapUsedSize"]

    def close(self):
        try:
            self.driver.quit()
        except Exception:
            pass
        self.h.stop_all(self.procs)
        self.tmp.cleanup()


def renderers(root):
    """Chromium's renderer processes under `root` (chromedriver's pid)."""
    kids = {}
    for d in os.listdir("/proc"):
        if d.isdigit():
            try:
                with open(f"/proc/{d}/stat") as f:
                    ppid = int(f.read().rsplit(")", 1)[1].split()[1])
                kids.setdefault(ppid, []).append(int(d))
            except (OSError, IndexError, ValueError):
                pass
    out, todo = [], [root]
    while todo:
        pid = todo.pop()
        for k in kids.get(pid, []):
            todo.append(k)
            try:
                with open(f"/proc/{k}/cmdline", "rb") as f:
                    if b"--type=renderer" in f.read():
                        out.append(k)
            except OSError:
                pass
    return out


def main_cpu_s(pid):
    """CPU seconds of a process's main thread, or None."""
    try:
        with open(f"/proc/{pid}/task/{pid}/stat") as f:
            w = f.read().rsplit(")", 1)[1].split()
        return (int(w[11]) + int(w[12])) / os.sysconf("SC_CLK_TCK")
    except (OSError, IndexError, ValueError):
        return None


def emit(measure, value, target, ok, timing=False, gross_ok=True):
    print("ROW " + json.dumps(dict(measure=measure, value=value, target=target, ok=ok, timing=timing,
                                   gross_ok=gross_ok)), flush=True)


def latency(s):
    """Codes paced 200 ms apart, each drawn in a frame of its own."""
    a = s.a
    n = 25 if a.short else 300
    print(f"site latency: {n} codes, 200 ms apart, sim -> talumbra-read -> broker -> page", flush=True)
    s.open("lat")
    # The codes start 5 s after talumbra-read's presence check: time enough to watch the tile.
    sim = s.h.Sim(a.sim, 7, s.env, "--no-stdin", "--wait-host", "--start-delay", 5000, "--rate", n, "--interval",
                  200, "--log-times", "--log", os.path.join(s.tmp.name, "sim.log"), "--exit-when-done", stdin=False)
    s.procs.append(sim)
    r = s.h.Proc("talumbra-read", [a.read, "--port", 7, "--repeat-ms", 0, "--quendel", 0, "--publish",
                                   f"mqtt://127.0.0.1:{s.mqtt}/lat"], s.env)
    s.procs.append(r)
    s.until("return document.querySelectorAll('article.tile.online').length === 1", "the reader's tile online")
    s.driver.execute_script(WATCH_TILES)
    # The simulator stamps its writes with CLOCK_MONOTONIC, the page with the wall clock.
    mono_to_wall = time.time() - s.h.now()
    sim.wait(n * 0.2 + 60)
    time.sleep(1)
    stamps = s.driver.execute_script("return window.__stamps")
    sent = {}
    with open(os.path.join(s.tmp.name, "sim.log")) as f:
        for line in f:
            w = line.split()
            if w[:1] == ["code"] and len(w) >= 4:
                sent["U" + w[2]] = (float(w[3]) + mono_to_wall) * 1000
    first = {}
    for c, t in stamps:
        first.setdefault(c, t)
    lat = [t - sent[c] for c, t in first.items() if c in sent]
    emit("site: codes drawn / sent", f"{len(lat)} / {len(sent)}", "all", len(sent) == n and len(lat) == n)
    if lat:
        med, p99 = percentile(lat, 50), percentile(lat, 99)
        emit("site: latency wire -> tile updated, median / p99", f"{med:.1f} / {p99:.1f} ms (max {max(lat):.1f})",
             "p99 < 250 ms", p99 < 250, True, p99 < 2500)
    s.h.stop(r)


class Publisher:
    """The synthetic site: READERS readers on HOSTS hosts, retained statuses
    and codes shaped as talumbra-read's, over one loopback connection."""

    def __init__(self, port, prefix):
        import paho.mqtt.client as mqtt
        self.c = mqtt.Client(client_id=f"talumbra-bench-{os.getpid()}", protocol=mqtt.MQTTv311)
        self.c.connect("127.0.0.1", port)
        self.c.loop_start()
        self.prefix = prefix
        self.readers = [(f"load-{h:02d}", p) for h in range(HOSTS) for p in range(1, READERS // HOSTS + 1)]
        self.seq = {r: 0 for r in self.readers}
        self.rnd = random.Random(7)

    def statuses(self):
        last = None
        for host, port in self.readers:
            last = self.c.publish(f"{self.prefix}/{host}/com{port}/status", "online", qos=1, retain=True)
        last.wait_for_publish(30)

    def codes(self, seconds, rate):
        """`rate` codes a second for `seconds`, paced in 10 ms steps."""
        t0, sent = time.monotonic(), 0
        while True:
            el = time.monotonic() - t0
            if el >= seconds:
                return sent
            while sent < int(el * rate):
                r = self.readers[self.rnd.randrange(len(self.readers))]
                self.seq[r] += 1
                now = time.time()
                stamp = time.strftime("%Y-%m-%dT%H:%M:%S", time.localtime(now)) + ".%03d" % int(now % 1 * 1000) + \
                    time.strftime("%z")[:3] + ":" + time.strftime("%z")[3:]
                self.c.publish(f"{self.prefix}/{r[0]}/com{r[1]}/code", json.dumps(dict(
                    badge="tb_EM_4x02", code="U%010X" % self.rnd.getrandbits(40), device="tdPELVAN", host=r[0],
                    port=r[1], seq=self.seq[r], time=stamp)), qos=1)
                sent += 1
            time.sleep(0.01)

    def close(self):
        self.c.loop_stop()
        self.c.disconnect()


def load(s):
    a = s.a
    pub = Publisher(s.mqtt, "load")
    pub.statuses()
    loads = []
    watch = s.driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": WATCH_LOAD % READERS})
    for _ in range(3 if a.short else 5):
        s.open("load")
        loads.append(s.until("return window.__drawn", "every tile drawn"))
    s.driver.execute_cdp_cmd("Page.removeScriptToEvaluateOnNewDocument", watch)
    emit(f"site: page load with {READERS} retained statuses, to every tile drawn (median of {len(loads)})",
         f"{percentile(loads, 50):.0f} ms (max {max(loads):.0f})", "< 1000 ms", percentile(loads, 50) < 1000, True,
         percentile(loads, 50) < 10000)
    warm, secs = (5, 15) if a.short else (60, 60)
    print(f"site load: {READERS} readers, {LOAD_RATE} codes/s: {warm} s warm-up, then {secs} s measured", flush=True)
    pub.codes(warm, LOAD_RATE)
    h0, m0 = s.heap_after_gc(), s.metrics()
    # The renderers' main threads (thread id = process id) in CPU seconds, which
    # a busy machine does not inflate as it does the tasks' wall time.
    procs = renderers(s.driver.service.process.pid)
    c0 = {p: main_cpu_s(p) for p in procs}
    sent = pub.codes(secs, LOAD_RATE)
    c1 = {p: main_cpu_s(p) for p in procs}
    m1 = s.metrics()
    h1 = s.heap_after_gc()
    share = lambda k: 100 * (m1[k] - m0[k]) / (m1["Timestamp"] - m0["Timestamp"])
    busy = share("TaskDuration")
    emit(f"site: main-thread busy, {READERS} readers, {sent / secs:.0f} codes/s, {secs} s",
         f"{busy:.1f}% (script {share('ScriptDuration'):.1f}%, style {share('RecalcStyleDuration'):.1f}%, "
         f"layout {share('LayoutDuration'):.1f}%)", "< 25%", busy < 25, True, busy < 100)
    cpu = max([(c1[p] - c0[p]) for p in procs if c0[p] is not None and c1[p] is not None] or [float("nan")])
    emit("site: same run, the page's main thread in CPU time (/proc)", f"{100 * cpu / secs:.1f}%", "-", None)
    grow = (h1 - h0) / 1e6
    emit(f"site: JS heap after GC, after the warm-up -> {secs} s later", f"{h0 / 1e6:.1f} -> {h1 / 1e6:.1f} MB "
         f"({grow:+.2f})", "within 5 MB", abs(grow) <= 5)
    tiles, feed = s.driver.execute_script("return [document.querySelectorAll('article.tile').length, "
                                          "document.querySelectorAll('#feed-body li').length]")
    emit("site: tiles / feed rows at the end", f"{tiles} / {feed}", f"{READERS} / 100", tiles == READERS and feed == 100)
    pub.close()


def child():
    import argparse
    import harness
    harness.debian_python("selenium")
    ap = argparse.ArgumentParser()
    for o in ("--read", "--sim", "--site"):
        ap.add_argument(o, required=True)
    ap.add_argument("--short", action="store_true")
    a = ap.parse_args()
    why = harness.chromium_fault()
    if why:
        emit("site", f"n/a (headless Chromium cannot start: {why})", "-", None)
        return 0
    s = Scene(a)
    try:
        for step in (latency, load):
            try:
                step(s)
            except Exception as e:
                emit("site " + step.__name__, f"{type(e).__name__}: {e}"[:200], "-", False)
    finally:
        s.close()
    return 0


def run(bench, percentile_, failed):
    """bench/run's step: the child's rows into its table."""
    site = os.path.join(bench.build, "site", "page")
    if not os.path.exists(os.path.join(site, "mqtt.min.js")):
        bench.row("site", "n/a (no page in the build: ./scripts/deps, then build)", "-", None)
        return
    argv = [sys.executable, __file__, "--read", bench.read, "--sim", bench.sim, "--site", site]
    if bench.short:
        argv.append("--short")
    p = subprocess.Popen(argv, stdout=subprocess.PIPE, text=True, env=bench.env)
    for line in p.stdout:
        if line.startswith("ROW "):
            r = json.loads(line[4:])
            bench.row(r["measure"], r["value"], r["target"], r["ok"], r["timing"], r["gross_ok"])
        else:
            print("  " + line.rstrip(), flush=True)
    if p.wait() != 0:
        bench.row("site", f"the measurement ended with status {p.returncode}", "-", False)


if __name__ == "__main__":
    sys.exit(child())
