"""A scene for Brelvo under Xvfb: a private X display, a target window that
logs the keys it gets, the reader simulator on a private port folder, and
Brelvo itself in a scratch working directory. Used by the end-to-end tests,
the typing benchmark and the demo (found, like harness, through PYTHONPATH).
Every process started here is stopped by its own id when the scene closes."""
import os
import signal
import subprocess
import tempfile
import time

import harness

# Names of the checks that failed, for the scripts' exit status.
fallito = []


def verifica(nome, ottenuto, atteso):
    if ottenuto != atteso:
        fallito.append(nome)
        print("FAIL %s:\n  got      %r\n  expected %r" % (nome, ottenuto, atteso))
    else:
        print("ok   %s" % nome)


# How the targets name Return, Enter and Down: Qt key numbers, GTK and X keysym names.
INVIO = {str(0x01000004), str(0x01000005), "Return", "KP_Enter"}
GIU = {str(0x01000015), "Down"}
GTK = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "host", "bersaglio_gtk.py")


class Errore(Exception):
    pass


class Scena:
    def __init__(self, programmi, display=None, cartella=None):
        """programmi: dict with the paths of 'brelvo', 'sim', 'bersaglio', 'digita'.
        display: use this X display instead of starting Xvfb."""
        self.p = programmi
        self.processi = []
        self._tmp = None
        if cartella is None:
            self._tmp = tempfile.TemporaryDirectory(prefix="brelvo-")
            cartella = self._tmp.name
        self.cartella = cartella
        self.porte = os.path.join(cartella, "porte")
        self.lavoro = os.path.join(cartella, "lavoro")
        harness.mask_serial_devices(self.porte)
        os.makedirs(self.lavoro, exist_ok=True)
        self.env = dict(os.environ)
        self.env["TALUMBRA_PORTS"] = self.porte
        if not self.env.get("XDG_RUNTIME_DIR"):
            self.env["XDG_RUNTIME_DIR"] = os.path.join(cartella, "run")
            os.makedirs(self.env["XDG_RUNTIME_DIR"], mode=0o700, exist_ok=True)
        self.env.pop("QT_QPA_PLATFORM", None)
        self.env.pop("WAYLAND_DISPLAY", None)
        self.tasti = []  # text of each key the target got, in arrival order
        self.ripetuti = 0  # of those, taken by the target for auto-repeat (Qt tells)
        self._bersaglio = None
        self._bersagli = {}  # kind: (process, window id)
        self._letti = 0
        self._xev = None  # the key name of the press xev is describing
        self.display = display
        if display:
            self.env["DISPLAY"] = display

    # ---- processes
    def _avvia(self, argv, **kw):
        kw.setdefault("env", self.env)
        kw.setdefault("stdin", subprocess.DEVNULL)
        pr = subprocess.Popen(argv, **kw)
        self.processi.append(pr)
        return pr

    @staticmethod
    def ferma(pr, segnale=signal.SIGTERM, attesa=10):
        return harness.stop(pr, segnale, attesa)

    def chiudi(self):
        harness.stop_all(self.processi)
        if self._tmp:
            self._tmp.cleanup()

    def __enter__(self):
        return self

    def __exit__(self, *a):
        self.chiudi()

    # ---- X display
    def avvia_xvfb(self):
        r, w = os.pipe()
        self._avvia(["Xvfb", "-displayfd", str(w), "-screen", "0", "800x480x24", "-nolisten", "tcp",
                     "-noreset"], pass_fds=(w,), stderr=subprocess.DEVNULL)
        os.close(w)
        with os.fdopen(r) as f:
            numero = f.readline().strip()
        if not numero:
            raise Errore("Xvfb did not start")
        self.display = ":" + numero
        self.env["DISPLAY"] = self.display
        return self.display

    def x(self, *argv, timeout=30):
        return subprocess.run(list(argv), env=self.env, capture_output=True, text=True, timeout=timeout)

    def attendi_finestra(self, nome, timeout=60):
        """Id of the first visible window titled exactly `nome`."""
        fine = time.monotonic() + timeout
        while time.monotonic() < fine:
            r = self.x("xdotool", "search", "--onlyvisible", "--name", "^%s$" % nome)
            if r.returncode == 0 and r.stdout.split():
                return r.stdout.split()[0]
            time.sleep(0.2)
        raise Errore("no window %r within %d s" % (nome, timeout))

    def finestre(self):
        """Titles of the visible windows, by id (also those with only _NET_WM_NAME)."""
        ids = self.x("xdotool", "search", "--onlyvisible", "--name", ".*").stdout.split()
        return {w: self.x("xdotool", "getwindowname", w).stdout.strip() for w in ids}

    def focalizza(self, wid):
        self.x("xdotool", "windowfocus", "--sync", str(wid))
        fine = time.monotonic() + 20
        while time.monotonic() < fine:
            if self.x("xdotool", "getwindowfocus").stdout.strip() == str(wid):
                return
            time.sleep(0.1)
            self.x("xdotool", "windowfocus", str(wid))
        raise Errore("cannot focus window %s" % wid)

    def appunti(self):
        r = self.x("xclip", "-o", "-selection", "clipboard", timeout=30)
        return r.stdout if r.returncode == 0 else None

    def attendi_appunti(self, atteso, timeout=30):
        fine = time.monotonic() + timeout
        ultimo = None
        while time.monotonic() < fine:
            ultimo = self.appunti()
            if ultimo == atteso:
                return ultimo
            time.sleep(0.2)
        raise Errore("clipboard holds %r, expected %r" % (ultimo, atteso))

    def screenshot(self, percorso):
        r = self.x("import", "-window", "root", percorso, timeout=60)
        return r.returncode == 0

    # ---- the target windows
    def avvia_bersaglio(self, tipo="qt"):
        """Starts a target window, unless already running, and makes it the one
        whose keys are read (from now on); returns its window id. `tipo`: qt
        (brelvo_bersaglio), gtk (a GTK 3 text field) or xev."""
        if tipo in self._bersagli:
            pr, wid = self._bersagli[tipo]
        else:
            if tipo == "xev":
                titolo = "Bersaglio xev"
                argv = ["stdbuf", "-oL", "xev", "-name", titolo, "-event", "keyboard"]
            else:
                titolo = "Bersaglio GTK" if tipo == "gtk" else "Bersaglio"
                argv = ["/usr/bin/python3", GTK] if tipo == "gtk" else [self.p["bersaglio"]]
            pr = harness.Proc("the %s target window" % tipo, argv, self.env)
            self.processi.append(pr)
            if tipo != "xev":
                try:
                    pr.wait_line(r"^pronto \S+")
                except harness.Failure as e:
                    raise Errore("the target window did not start: %s" % e)
            wid = self.attendi_finestra(titolo)
            self._bersagli[tipo] = (pr, wid)
        self._bersaglio, self.bersaglio, self.tipo = pr, wid, tipo
        self._letti = len(pr.lines_since(0))
        self._xev = None
        self.tasti.clear()
        self.ripetuti = 0
        return wid

    def _raccogli(self):
        """Moves the keys the target reported since the last call to self.tasti,
        as text: Return as a line end, Down as '{DOWN}'."""
        if not self._bersaglio:
            return
        righe = self._bersaglio.lines_since(self._letti)
        self._letti += len(righe)
        for riga in righe:
            parti = riga.split()
            if self.tipo == "xev":
                # KeyPress event, ... / keycode 38 (keysym 0x61, a), ... / XLookupString gives 1 bytes: (61) "a"
                if riga.startswith("Key"):
                    self._xev = "" if riga.startswith("KeyPress") else None
                elif self._xev == "" and "(keysym " in riga:
                    self._xev = riga.split("(keysym ")[1].split(",")[1].split(")")[0].strip()
                elif self._xev and "XLookupString gives" in riga:
                    testo = bytes.fromhex(riga.split("(")[1].split(")")[0]) if "(" in riga else b""
                    self._aggiungi(self._xev, testo.decode("latin-1"))
                    self._xev = None
            elif parti[:1] == ["tasto"] and len(parti) >= 3:
                self._aggiungi(parti[1], "" if parti[2] == "-" else bytes.fromhex(parti[2]).decode("utf-8"))
                self.ripetuti += parti[3:] == ["ripetuto"]

    def _aggiungi(self, tasto, testo):
        self.tasti.append("\n" if tasto in INVIO else "{DOWN}" if tasto in GIU else testo)

    def ricevuto(self):
        """What the target got, as text: Return as a line end, Down as '{DOWN}'."""
        self._raccogli()
        return "".join(self.tasti)

    def attendi_ricevuto(self, atteso, timeout=60):
        """Waits until the target has at least as much as `atteso`; returns what it has."""
        fine = time.monotonic() + timeout
        pr = self._bersaglio
        with pr.cond:
            while len(self.ricevuto()) < len(atteso) and time.monotonic() < fine and not pr.ended():
                pr.cond.wait(min(1.0, max(0.0, fine - time.monotonic())))
        if len(self.ricevuto()) >= len(atteso):
            time.sleep(0.3)  # anything extra shows up now
        return self.ricevuto()

    # ---- the reader simulator
    def avvia_sim(self, porta=1, famiglia="pelvan", extra=(), log=None, voci=False):
        """The simulator as port `porta`; with `log` (a path) it logs every byte
        there, with `voci` in its err lines (so that sim.checked() can wait)."""
        extra = ["--family", famiglia] + list(extra)
        err = None
        if log or voci:
            extra.append("-v")
        if log:
            err = open(log, "w")
        try:
            pr = harness.Sim(self.p["sim"], porta, self.env, *extra, stderr=err)
        except harness.Failure as e:
            raise Errore(str(e))
        finally:
            if err:
                err.close()
        self.processi.append(pr)
        return pr

    @staticmethod
    def presenta(sim, codice):
        """Presents a badge: `codice` is the hexadecimal code (or a simulator command)."""
        sim.send(codice)

    # ---- Brelvo
    def scrivi_cfg(self, testo):
        with open(os.path.join(self.lavoro, "Seriale.cfg"), "wb") as f:
            f.write(testo)

    def leggi_cfg(self):
        try:
            with open(os.path.join(self.lavoro, "Seriale.cfg"), "rb") as f:
                return f.read()
        except FileNotFoundError:
            return None

    def avvia_brelvo(self, stderr=None, env=None):
        """Starts Brelvo; returns once its window shows, which is after its start-up."""
        pr = self._avvia([self.p["brelvo"]], cwd=self.lavoro, stderr=stderr, env=env or self.env)
        self.brelvo_wid = self.attendi_finestra("Brelvo", timeout=90)
        return pr

    def clic_twip(self, wid, x, y):
        """A click in window `wid` at (x, y) twips from its top left (96 dpi under Xvfb)."""
        self.x("xdotool", "mousemove", "--sync", "--window", str(wid), str(round(x * 96 / 1440)),
               str(round(y * 96 / 1440)))
        self.x("xdotool", "click", "1")


def inverti_bit_byte(codice):
    """The reader's 10-digit code as Brelvo delivers it: the bits of each byte reversed."""
    out = []
    for i in range(0, 10, 2):
        b = int(codice[i:i + 2], 16)
        r = int("{:08b}".format(b)[::-1], 2)
        out.append("%02X" % r)
    return "".join(out)
