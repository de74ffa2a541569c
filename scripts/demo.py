"""The demo behind scripts/demo (which builds first, and names tests/support
in PYTHONPATH for the scene)."""
import argparse
import os
import random
import signal
import sys
import tempfile
import time

import harness
from scena import Scena, inverti_bit_byte


def badges(count, every, fermati):
    """(n, code) for each badge to present: the first after a second, the
    others `every` seconds apart; endless when count is 0; none once fermati
    holds (Ctrl-C)."""
    rnd = random.Random()
    n = 0
    while not fermati and (count == 0 or n < count):
        time.sleep(every if n else 1.0)
        if fermati:
            return
        n += 1
        yield n, "%010X" % rnd.getrandbits(40)


def site(a, fermati):
    """A broker serving the site page, three simulated readers publishing to
    it, badges every few seconds; a screenshot of the page from headless
    Chromium. Endless at a terminal (Ctrl-C ends), else --badges (5)."""
    b = os.path.abspath(a.build)
    read, sim = os.path.join(b, "tools", "read", "talumbra-read"), os.path.join(b, "tools", "sim", "talumbra-sim")
    tmp = tempfile.TemporaryDirectory(prefix="talumbra-demo-site-")
    ports = harness.mask_serial_devices(os.path.join(tmp.name, "ports"))
    env = dict(os.environ, TALUMBRA_PORTS=ports, QT_QPA_PLATFORM="offscreen",
               XDG_STATE_HOME=os.path.join(tmp.name, "state"))
    mqtt, ws = harness.free_port(), harness.free_port()
    procs = []
    browser = None
    count = a.badges if a.badges is not None else (0 if sys.stdin.isatty() else 5)
    try:
        harness.Mosquitto(os.path.join(tmp.name, "broker.conf"),
                          f"listener {mqtt} 127.0.0.1\nlistener {ws} 127.0.0.1\nprotocol websockets\n"
                          f"http_dir {os.path.join(b, 'site', 'page')}\nallow_anonymous true\n", env, procs)
        sims = []
        for port in (1, 2, 3):
            s = harness.Sim(sim, port, env, "--wait-host")
            procs.append(s)
            sims.append(s)
            r = harness.Proc("talumbra-read", [read, "--port", port, "--events", "--quendel", "0", "--publish",
                                               f"mqtt://127.0.0.1:{mqtt}/site"], env)
            procs.append(r)
            # A badge presented before the reader's presence check is over would be emptied away.
            r.wait_line(r"^FindDevice 1 0$")
        url = f"http://127.0.0.1:{ws}/"
        print(f"demo: mosquitto on 127.0.0.1:{mqtt} (MQTT) and {ws} (the page), three readers publish to it")
        print(f"demo: open the page: chromium {url}  (or firefox {url}); leave user name and password empty")
        # The page opens before the badges: codes are live, only states are retained.
        browser = Browser(url, tmp.name)
        rnd = random.Random()
        for n, codice in badges(count, a.every, fermati):
            s = rnd.choice(sims)
            s.send(codice)
            print(f"demo: badge {n} presented on com{s.port}: {codice}")
            if n == min(count or 5, 5):
                browser.screenshot()
        browser.screenshot()
    finally:
        if browser and browser.d:
            browser.d.quit()
        harness.stop_all(procs)
        tmp.cleanup()


class Browser:
    """Headless Chromium on the page, for its screenshot in out/site.png."""

    def __init__(self, url, tmp):
        self.d = None
        why = harness.chromium_fault()
        if why:
            print(f"demo: no screenshot: headless Chromium cannot start ({why})")
            return
        self.d = harness.chromium(tmp)
        self.d.get(url)
        self.d.execute_script("sessionStorage.setItem('talumbra.login', JSON.stringify({user: '', password: ''}))")
        self.d.get(url)
        end = time.monotonic() + 20
        while time.monotonic() < end and self.d.execute_script(
                "return document.querySelectorAll('article.tile.online').length") < 3:
            time.sleep(0.1)

    def screenshot(self):
        if self.d:
            time.sleep(0.5)
            os.makedirs("out", exist_ok=True)
            self.d.save_screenshot("out/site.png")
            print("demo: screenshot of the page saved in out/site.png")
            self.d.quit()
            self.d = None


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build")
    ap.add_argument("--site", action="store_true", help="the site page against a broker and three readers")
    ap.add_argument("--badges", type=int, default=None, help="badges to present (default: 5 under Xvfb, endless on a display)")
    ap.add_argument("--every", type=float, default=3.0, help="seconds between badges")
    a = ap.parse_args()
    b = os.path.abspath(a.build)
    programmi = dict(brelvo=os.path.join(b, "host", "brelvo"),
                     sim=os.path.join(b, "tools", "sim", "talumbra-sim"),
                     bersaglio=os.path.join(b, "tests", "host", "brelvo_bersaglio"))
    display = os.environ.get("DISPLAY", "")
    senza_display = not display
    count = a.badges if a.badges is not None else (5 if senza_display else 0)
    fermati = []
    signal.signal(signal.SIGINT, lambda *_: fermati.append(1))
    signal.signal(signal.SIGTERM, lambda *_: fermati.append(1))
    if a.site:
        harness.debian_python("selenium")
        return site(a, fermati)

    with Scena(programmi, display=display or None) as s:
        if senza_display:
            print("demo: no display ($DISPLAY is empty): running under Xvfb with a small target window")
            s.avvia_xvfb()
        sim = s.avvia_sim(1, "pelvan")
        print("demo: talumbra-sim plays a Pelvan reader as port 1 in %s" % s.porte)
        s.scrivi_cfg(b" 1 \r\n 1 \r\n 1 \r\n 0 \r\n")
        print("demo: Brelvo runs in %s (Seriale.cfg: port 1, \"A capo\" and \"Scrivi\" on)" % s.lavoro)
        brelvo = s.avvia_brelvo()
        if senza_display:
            s.focalizza(s.avvia_bersaglio())
        else:
            print("demo: focus a text window; a badge comes every %g s; Ctrl-C ends" % a.every)
        for n, codice in badges(count, a.every, fermati):
            s.presenta(sim, codice)
            # The reader's Pelvan code is delivered with the bits of each byte reversed.
            print("demo: badge %d presented: %s, Brelvo delivers %s" % (n, codice, inverti_bit_byte(codice)))
            if brelvo.poll() is not None:
                print("demo: Brelvo has ended (status %d)" % brelvo.returncode)
                break
        time.sleep(2)
        if senza_display:
            print("demo: typed into the target window:")
            for riga in s.ricevuto().splitlines():
                print("    " + riga)
            print("demo: the clipboard holds: %r" % s.appunti())
            os.makedirs("out", exist_ok=True)
            if s.screenshot("out/demo.png"):
                print("demo: screenshot saved in out/demo.png")
        s.ferma(brelvo)
        with open(os.path.join(s.lavoro, "Seriale.cfg"), "rb") as f:
            print("demo: Brelvo closed and wrote Seriale.cfg: %r" % f.read())


if __name__ == "__main__":
    main()
