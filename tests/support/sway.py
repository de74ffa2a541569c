"""A headless sway for the Wayland typing tests and benchmark: run by an
unprivileged user (sway refuses root; as root a throw-away user is created and
removed again), with a private XDG_RUNTIME_DIR, the headless back end and no
XWayland. wev is the target window: every key it gets is read back as text.
Every process started here is stopped by its own id when the scene closes."""
import os
import pwd
import queue
import re
import shutil
import signal
import subprocess
import tempfile
import threading
import time

import harness


class Salta(Exception):
    """The scene cannot be set up on this machine: the test is skipped."""


class Sway:
    def __init__(self):
        self.processi = []
        self.utente_creato = None
        self.tasti = []            # text of each key wev received, in order
        self._coda = queue.Queue()
        self._fuoco = threading.Event()
        for p in ("sway", "wev", "setpriv", "stdbuf"):
            if not shutil.which(p):
                raise Salta("%s is not installed" % p)
        self._tmp = tempfile.TemporaryDirectory(prefix="brelvo-sway-")
        self.cartella = self._tmp.name
        os.chmod(self.cartella, 0o755)
        if os.geteuid() == 0:
            nome = "brelvo-sway-%d" % os.getpid()
            r = subprocess.run(["useradd", "--system", "--no-create-home", "--home-dir", self.cartella,
                                "--shell", "/usr/sbin/nologin", nome], capture_output=True, text=True)
            if r.returncode != 0:
                self._tmp.cleanup()
                raise Salta("cannot create an unprivileged user for sway: %s" % r.stderr.strip())
            self.utente_creato = nome
            pw = pwd.getpwnam(nome)
            self.uid, self.gid = pw.pw_uid, pw.pw_gid
        else:
            self.uid, self.gid = os.getuid(), os.getgid()
        self.run = os.path.join(self.cartella, "run")
        os.mkdir(self.run, 0o700)
        os.chown(self.run, self.uid, self.gid)
        self.lavoro = os.path.join(self.cartella, "lavoro")
        os.mkdir(self.lavoro, 0o755)
        os.chown(self.lavoro, self.uid, self.gid)
        self.env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": self.cartella,
                    "XDG_RUNTIME_DIR": self.run, "LANG": "C.UTF-8"}
        for k in ("LSAN_OPTIONS", "ASAN_OPTIONS", "UBSAN_OPTIONS"):
            if k in os.environ:
                self.env[k] = os.environ[k]

    def __enter__(self):
        return self

    def __exit__(self, *a):
        self.chiudi()

    def _come_utente(self):
        if os.geteuid() != 0:
            return []
        return ["setpriv", "--reuid=%d" % self.uid, "--regid=%d" % self.gid, "--clear-groups", "--"]

    def avvia(self, *argv, env=None, **kw):
        """Starts a program as the scene's user."""
        e = dict(self.env)
        e.update(env or {})
        kw.setdefault("stdin", subprocess.DEVNULL)
        pr = subprocess.Popen(self._come_utente() + list(argv), env=e, cwd=kw.pop("cwd", self.lavoro), **kw)
        self.processi.append(pr)
        return pr

    def avvia_sim(self, sim, porta, *extra, env=None):
        """talumbra-sim as the scene's user, with -v; returns once the port is ready."""
        e = dict(self.env)
        e.update(env or {})
        pr = harness.Sim(sim, porta, e, "-v", *extra, run_as=self._come_utente(), cwd=self.lavoro)
        self.processi.append(pr)
        return pr

    @staticmethod
    def ferma(pr, segnale=signal.SIGTERM, attesa=10):
        return harness.stop(pr, segnale, attesa)

    def avvia_sway(self, layout="us"):
        config = os.path.join(self.cartella, "config")
        with open(config, "w") as f:
            f.write("xwayland disable\noutput HEADLESS-1 resolution 800x600\n"
                    "input type:keyboard xkb_layout %s\n" % layout)
        self.log_sway = os.path.join(self.cartella, "sway.log")
        with open(self.log_sway, "w") as log:
            self.sway = self.avvia("sway", "-c", config, stderr=log, stdout=log,
                                   env={"WLR_BACKENDS": "headless", "WLR_LIBINPUT_NO_DEVICES": "1",
                                        "WLR_RENDERER": "pixman"})
        fine = time.monotonic() + 30
        while time.monotonic() < fine:
            if self.sway.poll() is not None:
                break
            nomi = [n for n in os.listdir(self.run) if re.fullmatch(r"wayland-\d+", n)]
            if nomi:
                self.env["WAYLAND_DISPLAY"] = nomi[0]
                return nomi[0]
            time.sleep(0.1)
        with open(self.log_sway) as f:
            raise Salta("sway did not start:\n" + f.read()[-2000:])

    def avvia_wev(self):
        """wev as the focused window; returns once it is shown and activated."""
        self._attivo = threading.Event()
        self.righe_wev = []
        # Read as bytes: Return's text is a bare CR, which text mode takes for a line end.
        self.wev = self.avvia("stdbuf", "-oL", "wev", stdout=subprocess.PIPE)

        def leggi():
            premuto = False
            for riga in self.wev.stdout:
                riga = riga.decode("utf-8", "replace")
                self.righe_wev.append(riga)
                if "activated" in riga:
                    self._attivo.set()
                elif "wl_keyboard] enter" in riga:
                    self._fuoco.set()
                elif "wl_keyboard] key:" in riga:
                    premuto = "(pressed)" in riga
                elif premuto and "sym:" in riga:
                    premuto = False
                    m = re.search(r"sym: (\S+)\s+\(\d+\), utf8: '(.*)'", riga)
                    if m:
                        self._coda.put({"Return": "\n", "Down": "{DOWN}"}.get(m.group(1), m.group(2)))
        threading.Thread(target=leggi, daemon=True).start()
        if not self._attivo.wait(30):
            raise Salta("wev did not show")

    def attendi_tastiera(self, timeout=30):
        """The seat has no keyboard until a virtual one is made: True once wev has one, and the focus."""
        ok = self._fuoco.wait(timeout)
        time.sleep(0.2)
        self.ricevuto()
        self.tasti.clear()
        return ok

    def swaymsg(self, *argv):
        socks = [n for n in os.listdir(self.run) if n.startswith("sway-ipc.")]
        env = {"SWAYSOCK": os.path.join(self.run, socks[0])} if socks else {}
        pr = self.avvia("swaymsg", *argv, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, env=env)
        out = pr.communicate(timeout=30)[0]
        self.processi.remove(pr)
        return out

    def finestre(self):
        """The titles of the windows sway shows."""
        return re.findall(r'"name": "([^"]*)"', self.swaymsg("-t", "get_tree"))

    def focalizza(self, app_id):
        self.swaymsg("[app_id=\"%s\"] focus" % app_id)

    def ricevuto(self):
        while True:
            try:
                self.tasti.append(self._coda.get_nowait())
            except queue.Empty:
                return "".join(self.tasti)

    def attendi_ricevuto(self, atteso, timeout=30):
        fine = time.monotonic() + timeout
        while time.monotonic() < fine and len(self.ricevuto()) < len(atteso):
            time.sleep(0.02)
        time.sleep(0.2)  # anything extra shows up now
        return self.ricevuto()

    def chiudi(self):
        harness.stop_all(self.processi)
        if self.utente_creato:
            subprocess.run(["userdel", self.utente_creato], capture_output=True)
        self._tmp.cleanup()

