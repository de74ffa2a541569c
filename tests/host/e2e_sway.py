"""End-to-end test of native Wayland typing under a headless sway: the
keystroke layer and Brelvo itself type into wev, which reads the keys back.
Exits 77 (skipped) when sway cannot be run here."""
import os
import random
import signal
import subprocess
import sys
import time

from scena import fallito, inverti_bit_byte, verifica
import harness
from harness import cpu_s
from sway import Salta, Sway

digita, brelvo, sim = (os.path.abspath(a) for a in sys.argv[1:4])
try:
    with Sway() as s:
        s.avvia_sway()
        s.avvia_wev()

        # The back end is chosen on its own, and said so; a text arrives exactly
        # whatever it holds, through a keymap of Brelvo's own.
        d = s.avvia(digita, "--invio", stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                    text=True, bufsize=1)
        # A headless sway has no keyboard until the typing tool makes its own.
        verifica("wev gets a keyboard", s.attendi_tastiera(), True)
        righe = ["0123456789", "80Cy4a2Zq6@9\u20ac{", "1111000022", "caf\u00e9 \u00b5 \u03b1\u03b2\u03b3 \u0416"]
        esiti = []
        for r in righe:
            d.stdin.write(r + "\n")
            esiti.append(d.stdout.readline().strip())
        verifica("every text typed", esiti, ["fatto"] * len(righe))
        atteso = "".join(r + "\n" for r in righe)
        verifica("wev gets every key, in order", s.attendi_ricevuto(atteso), atteso)

        # A long burst: more keys than the compositor lets pile up unread for
        # a window (it would drop wev, and the rest of the keys with it).
        rnd = random.Random(22)
        codici = ["%010X" % rnd.getrandbits(40) for _ in range(1000)]
        s.tasti.clear()
        d.stdin.write("".join(c + "\n" for c in codici))
        esiti = [d.stdout.readline().strip() for _ in codici]
        atteso = "".join(c + "\n" for c in codici)
        verifica("1000 codes into wev: all typed, every key arrives once, in order",
                 (esiti.count("fatto"), s.attendi_ricevuto(atteso, 60) == atteso), (1000, True))

        # Brelvo itself, its window native on this Wayland-only session, types
        # a badge from the simulator into wev.
        porte = os.path.join(s.lavoro, "porte")
        harness.mask_serial_devices(porte)
        os.chown(porte, s.uid, s.gid)
        env = {"TALUMBRA_PORTS": porte,
               "LSAN_OPTIONS": "suppressions=" + os.path.join(os.path.dirname(__file__), "lsan-wayland.supp")}
        lettore = s.avvia_sim(sim, 1, "--family", "pelvan", env=env)
        cfg = os.path.join(s.lavoro, "Seriale.cfg")
        with open(cfg, "wb") as f:
            f.write(b" 1 \r\n 1 \r\n 1 \r\n 0 \r\n")
        os.chown(cfg, s.uid, s.gid)
        err = os.path.join(s.cartella, "brelvo.err")
        with open(err, "w") as f:
            b = s.avvia(brelvo, stderr=f, env=env)
        # wev takes the focus back once Brelvo's window is up.
        fine = time.monotonic() + 60
        while time.monotonic() < fine and "Brelvo" not in s.finestre():
            time.sleep(0.2)
        s.focalizza("wev")
        lettore.checked()
        s.ricevuto()
        s.tasti.clear()
        lettore.send("0123456789")
        atteso = inverti_bit_byte("0123456789") + "\n"
        verifica("Brelvo types a badge into a native Wayland window", s.attendi_ricevuto(atteso, 60), atteso)
        verifica("Brelvo ends cleanly", s.ferma(b, attesa=30), 0)
        with open(err) as f:
            testo = f.read()
        verifica("Brelvo says it types through wayland, and that the clipboard may not follow",
                 ("tasti inviati con wayland" in testo, "appunti" in testo, "impossibile" in testo), (True, True, False))

        # A compositor that hangs is given up after a while (what it had
        # already taken may still arrive), and found again at the next code.
        s.sway.send_signal(signal.SIGSTOP)
        d.stdin.write("0003\n")
        esito = d.stdout.readline().split(" ")[0]
        s.sway.send_signal(signal.SIGCONT)
        s.tasti.clear()
        d.stdin.write("0004\n")
        verifica("a hung compositor: the code fails, the next one arrives",
                 (esito, d.stdout.readline().strip(), s.attendi_ricevuto("0004\n").endswith("0004\n")),
                 ("errore", "fatto", True))

        # The compositor goes away in the middle of a code: that code and the
        # next each report the failure once, without a crash or a busy loop.
        d.stdin.write("0123456789" * 30 + "\n")
        d.stdin.flush()
        time.sleep(0.1)
        s.ferma(s.sway, signal.SIGKILL)
        errori = [d.stdout.readline().split(" ")[0]]
        d.stdin.write("0002\n")
        errori.append(d.stdout.readline().split(" ")[0])
        verifica("a lost compositor is reported for each code", errori, ["errore", "errore"])
        prima = cpu_s(d.pid)
        time.sleep(1)
        verifica("no busy loop after the compositor went away", cpu_s(d.pid) - prima < 0.2, True)
        d.stdin.close()
        verifica("the typing tool ends normally", d.wait(30), 0)
        verifica("it said it chose wayland", "wayland" in d.stderr.read().split("\n")[0], True)
except Salta as e:
    print("SKIP: %s" % e)
    sys.exit(77)
sys.exit(1 if fallito else 0)
