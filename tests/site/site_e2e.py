#!/usr/bin/env python3
"""The site page in headless Chromium (WebDriver), served by a real mosquitto
from its websockets listener, fed by talumbra-read --publish against the
simulator: one reading com121, one reading com122 and com123. The broker takes the packaged ACL (packaging/talumbra-site.acl)
as it is: the page logs in as its user, the readers as theirs.

Exits 77 (skipped, for CTest) only where Chromium cannot start.

usage: site_e2e.py --read PATH --sim PATH --site DIR [--screenshot PNG] [CASE...]
"""
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

import harness
from harness import Failure, Proc

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
ACL = os.path.join(ROOT, "packaging", "talumbra-site.acl")
READERS = ("121", "122,123")  # one talumbra-read each
SKIP = 77
USERS = {"site-page": "page-pw", "gate": "gate-pw"}
# A host name no system would have, published by hand: it must show as text.
EVIL_HOST = "<img src=x onerror=window.pwned=1><script>window.pwned=2<\\script>"
EVIL_CODE = "<b onclick=1>U99</b>"

# What the page shows, read in one call: tiles in their order, and the feed.
READ_PAGE = """
const tiles = [];
for (const s of document.querySelectorAll('#hosts section.host'))
  for (const t of s.querySelectorAll('article.tile'))
    tiles.push({host: s.querySelector('h2').textContent, port: t.querySelector('h3').textContent,
                cls: t.className, state: t.querySelector('.state').textContent,
                code: t.querySelector('.code').textContent});
const feed = [...document.querySelectorAll('#feed-body li')].map(r => [...r.children].map(c => c.textContent));
const banner = document.getElementById('banner');
return {tiles, feed, banner: banner.hidden ? '' : banner.textContent,
        login: document.getElementById('login').hidden ? null : document.getElementById('login-message').textContent,
        pwned: window.pwned === undefined ? null : String(window.pwned),
        markup: document.querySelectorAll('#hosts img, #hosts script, #feed-body img, #feed-body b').length};
"""


class Broker(harness.Mosquitto):
    """mosquitto with a plain listener for the readers and a websockets one
    that serves the page, password file and the packaged ACL."""

    def __init__(self, case):
        self.mqtt, self.ws = harness.free_port(), harness.free_port()
        passwd = os.path.join(case.tmp, "passwd")
        open(passwd, "w").close()
        for user, pw in USERS.items():
            subprocess.run(["mosquitto_passwd", "-b", passwd, user, pw], check=True)
        super().__init__(os.path.join(case.tmp, "broker.conf"),
                         f"listener {self.mqtt} 127.0.0.1\n"
                         f"listener {self.ws} 127.0.0.1\nprotocol websockets\nhttp_dir {case.args.site}\n"
                         f"allow_anonymous false\npassword_file {passwd}\nacl_file {ACL}\n", case.env, case.procs)

    def publish(self, topic, payload, *extra):
        subprocess.run(["mosquitto_pub", "-h", "127.0.0.1", "-p", str(self.mqtt), "-u", "gate", "-P", USERS["gate"],
                        "-q", "1", "-t", topic, "-m", payload, *extra], check=True, env=self.env, timeout=30)


class Case:
    def __init__(self, args):
        self.args = args
        self.tmp = tempfile.mkdtemp(prefix="talumbra-site-")
        os.chmod(self.tmp, 0o755)
        self.ports = harness.mask_serial_devices(os.path.join(self.tmp, "ports"))
        self.env = dict(os.environ, TALUMBRA_PORTS=self.ports, QT_QPA_PLATFORM="offscreen",
                        XDG_STATE_HOME=os.path.join(self.tmp, "state"))
        self.procs, self.notes = [], []
        self.read = None
        self.readers, self.sims = {}, {}
        self.driver = None
        self.pwfile = os.path.join(self.tmp, "gate.pw")
        with open(self.pwfile, "w") as f:
            f.write(USERS["gate"] + "\n")

    def start_sim(self, port):
        s = harness.Sim(self.args.sim, port, self.env, "-v", "--wait-host")
        self.procs.append(s)
        self.sims[port] = s
        return s

    def start_read(self, ports, broker):
        r = Proc("talumbra-read", [self.args.read, "--port", ports, "--events", "--quendel", "0", "--repeat-ms", "0",
                                   "--publish", f"mqtt://gate@127.0.0.1:{broker.mqtt}/site",
                                   "--password-file", self.pwfile], self.env)
        self.procs.append(r)
        self.readers[ports] = self.read = r
        for port in ports.split(","):
            r.wait_line(rf"^{'com' + port + ' ' if ',' in ports else ''}FindDevice 1 0$")
        return r

    def page(self):
        return self.driver.execute_script(READ_PAGE)

    def until(self, cond, what, timeout=harness.WAIT):
        """Polls the page until cond(page) holds; the page and the seconds it took."""
        t0 = time.monotonic()
        while True:
            p = self.page()
            if cond(p):
                return p, time.monotonic() - t0
            if time.monotonic() - t0 > timeout:
                raise Failure(f"no {what} within {timeout:.0f} s; the page shows {json.dumps(p)[:1500]}")
            time.sleep(0.02)

    def login(self, user, password):
        from selenium.webdriver.common.by import By
        from selenium.webdriver.common.keys import Keys
        u = self.driver.find_element(By.ID, "user")
        u.clear()
        u.send_keys(user)
        # The keyboard alone: Tab to the password, Enter submits.
        u.send_keys(Keys.TAB)
        self.driver.switch_to.active_element.send_keys(password, Keys.ENTER)

    def cleanup(self):
        if self.driver:
            try:
                self.driver.quit()
            except Exception:
                pass
        harness.stop_all(self.procs)
        shutil.rmtree(self.tmp, ignore_errors=True)


def tile(p, host, port):
    return next((t for t in p["tiles"] if t["host"] == host and t["port"] == f"com{port}"), None)


def case_site(c):
    """Login, tiles, codes, last will, restart, quiet mark, reconnection, text as text, groups' statuses and will,
    zoom."""
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    host = socket.gethostname()
    b = Broker(c)
    for ports in READERS:
        for port in ports.split(","):
            c.start_sim(int(port))
        c.start_read(ports, b)
    # Published before the page opens (retained) and after (a code).
    b.publish(f"site/{EVIL_HOST}/com7/status", "online dropped=3", "-r")

    c.driver = harness.chromium(c.tmp)
    c.driver.get(f"http://127.0.0.1:{b.ws}/")
    c.login("site-page", "wrong")
    p, _ = c.until(lambda p: p["login"], "message for a refused login")
    if "refused" not in p["login"]:
        raise Failure(f"refused login says {p['login']!r}")
    c.notes.append(f"wrong password: {p['login']!r}")
    c.login("site-page", USERS["site-page"])
    p, dt = c.until(lambda p: sum(t["host"] == host and "online" in t["cls"] for t in p["tiles"]) == 3,
                    "three tiles online")
    c.notes.append(f"3 tiles online {dt:.2f} s after the login")
    # Asked once: a reload in the same tab logs in by itself.
    c.driver.refresh()
    p, _ = c.until(lambda p: len(p["tiles"]) == 4 or p["login"] is not None, "the page after a reload")
    if p["login"] is not None:
        raise Failure("the login was asked again after a reload in the same tab")

    # A badge: on its tile and at the top of the feed.
    sim = c.sims[122]
    sim.checked()
    t0 = time.monotonic()
    sim.send("0102030405")
    p, dt = c.until(lambda p: (tile(p, host, 122) or {}).get("code") == "U0102030405" and p["feed"]
                    and p["feed"][0][1:] == [host, "com122", "U0102030405"], "the badge on its tile and in the feed")
    if dt > 1.0:
        raise Failure(f"the badge took {dt:.2f} s to show (at most 1 s)")
    c.notes.append(f"badge presented -> tile and feed in {time.monotonic() - t0:.3f} s")

    # Text as text: the crafted host name and code, literally, and nothing run.
    b.publish(f"site/{EVIL_HOST}/com7/code", json.dumps({"code": EVIL_CODE, "seq": 1}))
    p, _ = c.until(lambda p: (tile(p, EVIL_HOST, 7) or {}).get("code") == EVIL_CODE and p["feed"][0][1] == EVIL_HOST,
                   "the crafted host name and code, as text")
    if p["pwned"] or p["markup"]:
        raise Failure(f"markup from the broker was run or inserted: pwned={p['pwned']}, elements={p['markup']}")
    if tile(p, EVIL_HOST, 7)["state"] != "online, dropped 3":
        raise Failure(f"the crafted reader's state shows {tile(p, EVIL_HOST, 7)['state']!r}")

    # A group status listing a reader: "offline" turns it offline, unless another group listing it says
    # "online"; a group is never a tile of its own.
    b.publish(f"site/{EVIL_HOST}/ports-6-8/status", "offline", "-r")
    p, _ = c.until(lambda p: "offline" in tile(p, EVIL_HOST, 7)["cls"], "a reader offline by its group's status")
    b.publish(f"site/{EVIL_HOST}/ports-7,9/status", "online", "-r")
    p, _ = c.until(lambda p: "online" in tile(p, EVIL_HOST, 7)["cls"], "a reader online by another group's status")
    if sum(t["host"] == EVIL_HOST for t in p["tiles"]) != 1:
        raise Failure(f"a group's status was drawn as a tile: {[t for t in p['tiles'] if t['host'] == EVIL_HOST]}")

    # Filter by port, typed.
    f = c.driver.find_element(By.ID, "filter")
    f.send_keys("com122")
    p, _ = c.until(lambda p: p["feed"] and all(r[2] == "com122" for r in p["feed"]), "the feed filtered to com122")
    f.clear()
    f.send_keys(" ")  # an input event with the field blank again

    # A killed reader: the broker's last will turns its tile red, first.
    c.readers["121"].p.kill()
    c.readers["121"].p.wait()
    p, dt = c.until(lambda p: "offline" in (tile(p, host, 121) or {}).get("cls", ""), "tile com121 offline")
    ours = [t for t in p["tiles"] if t["host"] == host]
    if ours[0]["port"] != "com121" or p["tiles"][0]["host"] != host:
        raise Failure(f"the offline reader does not come first: {[(t['host'], t['port']) for t in p['tiles']]}")
    c.notes.append(f"SIGKILL -> tile offline in {dt:.2f} s, sorted first")
    os.makedirs(os.path.dirname(c.args.screenshot) or ".", exist_ok=True)
    c.driver.save_screenshot(c.args.screenshot)
    c.notes.append(f"screenshot: {c.args.screenshot}")
    checks = len(c.sims[121].err)
    c.start_read("121", b)
    p, dt = c.until(lambda p: "online" in (tile(p, host, 121) or {}).get("cls", ""), "tile com121 online again")
    c.notes.append(f"restarted -> online in {dt:.2f} s")

    # Quiet after 1.2 s: the restarted reader, with no code yet, is marked; a
    # code clears the mark.
    q = c.driver.find_element(By.ID, "quiet")
    q.clear()
    q.send_keys("0.02", Keys.ENTER)
    c.driver.execute_script("arguments[0].dispatchEvent(new Event('change'))", q)
    p, _ = c.until(lambda p: "quiet" in (tile(p, host, 121) or {}).get("cls", ""), "tile com121 marked quiet")
    if "quiet" not in tile(p, host, 121)["state"]:
        raise Failure(f"a quiet tile says {tile(p, host, 121)['state']!r}")
    c.sims[121].checked(checks)
    c.sims[121].send("1112131415")
    c.until(lambda p: "quiet" not in tile(p, host, 121)["cls"] and tile(p, host, 121)["code"] == "U1112131415",
            "the quiet mark cleared by a code")
    q.clear()
    q.send_keys("10", Keys.ENTER)
    c.driver.execute_script("arguments[0].dispatchEvent(new Event('change'))", q)

    # The broker away: a banner; back: the page reconnects by itself.
    b.stop()
    p, _ = c.until(lambda p: p["banner"], "a banner for the lost connection")
    c.notes.append(f"broker stopped: {p['banner']!r}")
    b.start()
    p, dt = c.until(lambda p: not p["banner"], "the page connected again", timeout=90)
    sim.send("0A0B0C0D0E")
    c.until(lambda p: (tile(p, host, 122) or {}).get("code") == "U0A0B0C0D0E", "a code after the reconnection")
    c.notes.append(f"broker back: reconnected in {dt:.2f} s, codes flow again")

    # The two-port reader killed: its ports' own statuses stay "online", and the group's will turns both red.
    c.readers["122,123"].p.kill()
    c.readers["122,123"].p.wait()
    p, dt = c.until(lambda p: all("offline" in (tile(p, host, n) or {}).get("cls", "") for n in (122, 123)),
                    "tiles com122 and com123 offline by the group's will")
    c.notes.append(f"SIGKILL of the two-port reader -> both tiles offline in {dt:.2f} s")

    # 200% zoom on a 1280-pixel screen: the page in 640 CSS pixels, no sideways scrolling.
    c.driver.set_window_size(660, 900)
    width = c.driver.execute_script("return [document.documentElement.scrollWidth, document.documentElement.clientWidth]")
    if width[0] > width[1]:
        raise Failure(f"at 640 CSS pixels the page is {width[0]} wide: it scrolls sideways")


CASES = [("site", case_site)]


def main():
    harness.debian_python("selenium")
    ap = harness.case_arguments(__doc__)
    ap.add_argument("--site", required=True, help="the page's folder in the build (build/site)")
    ap.add_argument("--screenshot", default=os.path.join(ROOT, "out", "site.png"))

    def ready():
        for tool in ("mosquitto", "mosquitto_pub", "mosquitto_passwd"):
            if not shutil.which(tool):
                print(f"{tool} is missing: ./scripts/deps installs it")
                return 1
        a = ap.parse_args()
        if not os.path.exists(os.path.join(a.site, "mqtt.min.js")):
            print(f"{a.site}/mqtt.min.js is missing: ./scripts/deps installs it, the build copies it")
            return 1
        why = harness.chromium_fault()
        if why:
            print(f"SKIPPED: headless Chromium cannot start here ({why}); ./scripts/deps installs chromium, "
                  "chromium-driver and python3-selenium")
            return SKIP
        return 0
    return harness.run_cases(ap, CASES, lambda args, name: Case(args), "the site page case passed", ready=ready)


if __name__ == "__main__":
    sys.exit(main())
