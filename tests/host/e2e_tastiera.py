"""End-to-end test of the keystroke layer alone, under Xvfb: texts typed by
brelvo_digita must reach a real window exactly, key for key, whatever the
layout, the locks and the modifiers the user holds."""
import ctypes
import ctypes.util
import subprocess
import sys

from scena import Scena, fallito, verifica



class Xkb:
    """The keyboard's group and locks, read and set through libX11's XKB calls."""
    class Stato(ctypes.Structure):
        _fields_ = [("group", ctypes.c_ubyte), ("locked_group", ctypes.c_ubyte), ("base_group", ctypes.c_ushort),
                    ("latched_group", ctypes.c_ushort), ("mods", ctypes.c_ubyte), ("base_mods", ctypes.c_ubyte),
                    ("latched_mods", ctypes.c_ubyte), ("locked_mods", ctypes.c_ubyte), ("resto", ctypes.c_ubyte * 8)]

    def __init__(self, display):
        self.x = ctypes.CDLL(ctypes.util.find_library("X11"))
        self.x.XOpenDisplay.restype = ctypes.c_void_p
        self.x.XOpenDisplay.argtypes = [ctypes.c_char_p]
        for f in ("XkbGetState", "XkbLockGroup", "XkbLockModifiers", "XSync", "XQueryKeymap",
                  "XKeysymToKeycode", "XStringToKeysym"):
            getattr(self.x, f).argtypes = None
        self.x.XStringToKeysym.restype = ctypes.c_ulong
        self.dpy = ctypes.c_void_p(self.x.XOpenDisplay(display.encode()))

    def stato(self):
        st = Xkb.Stato()
        self.x.XkbGetState(self.dpy, 0x100, ctypes.byref(st))
        return (st.locked_group, st.locked_mods)

    def blocca(self, gruppo, maiuscole):
        self.x.XkbLockGroup(self.dpy, 0x100, gruppo)
        self.x.XkbLockModifiers(self.dpy, 0x100, 2, 2 if maiuscole else 0)
        self.x.XSync(self.dpy, 0)

    def giu(self, nome):
        tasti = (ctypes.c_char * 32)()
        self.x.XQueryKeymap(self.dpy, tasti)
        kc = self.x.XKeysymToKeycode(self.dpy, ctypes.c_ulong(self.x.XStringToKeysym(nome.encode())))
        return bool(tasti.raw[kc // 8] >> (kc % 8) & 1)


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
    verifica("typed texts arrive exactly, no key taken for auto-repeat", (s.attendi_ricevuto(atteso), s.ripetuti),
             (atteso, 0))

    s.tasti.clear()
    d = subprocess.run([programmi["digita"], "--giu"], input="AB\n", env=s.env,
                       capture_output=True, text=True, timeout=60)
    verifica("Down after a text", s.attendi_ricevuto("AB{DOWN}"), "AB{DOWN}")

    # One typing process across layout switches: each code follows the
    # layout, group and locks of the moment, and leaves them as they were.
    # The code has letters that QWERTZ and AZERTY move, digits (on the Shift
    # level in AZERTY), AltGr symbols, and a letter that Caps Lock turns to
    # upper case on a key whose type does not use it; the Russian group has no
    # Latin letters.
    xkb = Xkb(s.display)
    codice = "80Cy4a2Zq6@9\u20ac{\u00e9"
    d = subprocess.Popen([programmi["digita"], "--invio"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                         env=s.env, text=True, bufsize=1)
    s.processi.append(d)
    for layout, gruppo in (("us", 0), ("de", 0), ("fr", 0), ("us,ru", 1)):
        s.x("setxkbmap", "-layout", layout)
        for maiuscole in (False, True):
            xkb.blocca(gruppo, maiuscole)
            prima = xkb.stato()
            s.tasti.clear()
            d.stdin.write(codice + "\n")
            nome = "%s%s" % (layout, " with Caps Lock" if maiuscole else "")
            verifica(nome + ": typed", d.stdout.readline().strip(), "fatto")
            verifica(nome + ": arrives exactly", s.attendi_ricevuto(codice + "\n"), codice + "\n")
            verifica(nome + ": group and locks kept", xkb.stato(), prima)
    xkb.blocca(0, False)
    s.x("setxkbmap", "-layout", "us")

    # Ctrl or Shift held by the user: the target gets the characters as
    # they are, not Ctrl+C or Ctrl+A, nor upper case where lower is asked
    # (typing presses and lets go of Shift itself), and the key is down again
    # afterwards.
    for tenuto in ("Control_L", "Shift_L"):
        s.x("xdotool", "keydown", tenuto)
        s.tasti.clear()
        d.stdin.write("80Cc4AaBB\n")
        d.stdout.readline()
        verifica(tenuto + " held: characters as they are", s.attendi_ricevuto("80Cc4AaBB\n"), "80Cc4AaBB\n")
        verifica(tenuto + " held: held again afterwards", xkb.giu(tenuto), True)
        s.x("xdotool", "keyup", tenuto)

    # Doubled characters arrive doubled in a Qt, a GTK and a plain X client,
    # none taken for auto-repeat (Qt tells), on layouts that put digits and
    # letters on different levels: the same key again, Shift held for both or
    # pressed in between.
    doppi = "55AAff00aAAa99EEbb\n"
    for layout in ("us", "de", "fr"):
        s.x("setxkbmap", "-layout", layout)
        for tipo in ("qt", "gtk", "xev"):
            s.focalizza(s.avvia_bersaglio(tipo))
            d.stdin.write(doppi)
            d.stdout.readline()
            verifica("%s, %s: doubled characters arrive doubled" % (layout, tipo),
                     (s.attendi_ricevuto(doppi), s.ripetuti), (doppi, 0))
    s.x("setxkbmap", "-layout", "us")
    d.stdin.close()
    d.wait(30)

    # No display: says why, does not crash.
    env = dict(s.env)
    env.pop("DISPLAY")
    d = subprocess.run([programmi["digita"]], input="", env=env, capture_output=True, text=True, timeout=60)
    verifica("no display is reported", (d.returncode, d.stdout.startswith("assente ")), (3, True))

sys.exit(1 if fallito else 0)
