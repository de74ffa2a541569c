"""The demo behind scripts/demo (which builds first, and names tests/support
in PYTHONPATH for the scene)."""
import argparse
import os
import random
import signal
import time

from scena import Scena, inverti_bit_byte


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build")
    ap.add_argument("--badges", type=int, default=None, help="badges to present (default: 5 under Xvfb, endless on a display)")
    ap.add_argument("--every", type=float, default=3.0, help="seconds between badges")
    a = ap.parse_args()
    b = os.path.abspath(a.build)
    programmi = dict(brelvo=os.path.join(b, "host", "brelvo"),
                     sim=os.path.join(b, "tools", "sim", "talumbra-sim"),
                     bersaglio=os.path.join(b, "tests", "host", "brelvo_bersaglio"))
    display = os.environ.get("DISPLAY", "")
    senza_display = not display
    badges = a.badges if a.badges is not None else (5 if senza_display else 0)
    fermati = []
    signal.signal(signal.SIGINT, lambda *_: fermati.append(1))
    signal.signal(signal.SIGTERM, lambda *_: fermati.append(1))

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
        rnd = random.Random()
        n = 0
        while not fermati and (badges == 0 or n < badges):
            time.sleep(a.every if n else 1.0)
            if fermati:
                break
            codice = "%010X" % rnd.getrandbits(40)
            s.presenta(sim, codice)
            n += 1
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
