"""End-to-end test of the keystroke layer alone, under Xvfb: texts typed by
brelvo_digita must reach a real window exactly, key for key."""
import subprocess
import sys

from scena import Scena, fallito, verifica

programmi = dict(bersaglio=sys.argv[1], digita=sys.argv[2])
with Scena(programmi) as s:
    s.avvia_xvfb()
    wid = s.avvia_bersaglio()
    s.focalizza(wid)
    righe = [
        "0123456789",
        "AaBbZz{ENTER}+^%~()[]",          # key syntax is typed as text
        "1111000022",                      # repeated keys, none merged into auto-repeat
        "caf\\xe9 \\xa3 \\xb5 \\xf8",      # Latin-1 letters, some not on the keyboard map
        "\u20ac\u00e9\u20ac",              # a character beyond Latin-1, twice, around another
        "1\\x092\\x0d3\\x1b4\\x7f5\\x856",  # control characters are not typed
        "αβγδεζηθικακ",  # more such characters than spare keys
    ]
    atteso = ("0123456789\nAaBbZz{ENTER}+^%~()[]\n1111000022\ncafé £ µ ø\n€é€\n123456\n"
              "αβγδεζηθικακ\n")
    d = subprocess.run([programmi["digita"], "--invio"], input="\n".join(righe) + "\n", env=s.env,
                       capture_output=True, text=True, timeout=120)
    verifica("the typing tool reports every line", d.stdout.split("\n")[:-1], ["fatto"] * len(righe))
    verifica("typed texts arrive exactly", s.attendi_ricevuto(atteso), atteso)

    s.tasti.clear()
    d = subprocess.run([programmi["digita"], "--giu"], input="AB\n", env=s.env,
                       capture_output=True, text=True, timeout=60)
    verifica("Down after a text", s.attendi_ricevuto("AB{DOWN}"), "AB{DOWN}")

    # Caps Lock on: letters still come out in the case of the text.
    s.tasti.clear()
    s.x("xdotool", "key", "Caps_Lock")
    d = subprocess.run([programmi["digita"], "--invio"], input="AbC9\n", env=s.env,
                       capture_output=True, text=True, timeout=60)
    verifica("Caps Lock does not change the case", s.attendi_ricevuto("AbC9\n"), "AbC9\n")
    s.x("xdotool", "key", "Caps_Lock")

    # No display: says why, does not crash.
    env = dict(s.env)
    env.pop("DISPLAY")
    d = subprocess.run([programmi["digita"]], input="", env=env, capture_output=True, text=True, timeout=60)
    verifica("no display is reported", (d.returncode, d.stdout.startswith("assente ")), (3, True))

sys.exit(1 if fallito else 0)
