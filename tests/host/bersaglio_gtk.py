"""A GTK 3 text field that receives typed keys, beside brelvo_bersaglio (Qt).
Logs on standard output, one line each, flushed at once:
  pronto <window id>   once shown
  tasto - <hex>        each text the field takes in (Return gives 0a)
  tasto Down -         Down, which puts no text in
Run with /usr/bin/python3 (python3-gi, gir1.2-gtk-3.0)."""
import gi

gi.require_version("Gtk", "3.0")
gi.require_version("GdkX11", "3.0")
from gi.repository import Gdk, GdkX11, GLib, Gtk  # noqa: E402,F401 (GdkX11 gives get_xid)


def scrivi(riga):
    print(riga, flush=True)


def tasto(_campo, evento):
    if evento.keyval == Gdk.KEY_Down:
        scrivi("tasto Down -")
    return False


finestra = Gtk.Window(title="Bersaglio GTK")
finestra.set_default_size(420, 240)
campo = Gtk.TextView()
campo.get_buffer().connect("insert-text", lambda _b, _i, testo, _n: scrivi("tasto - " + testo.encode().hex()))
campo.connect("key-press-event", tasto)
finestra.add(campo)
finestra.connect("destroy", Gtk.main_quit)
finestra.show_all()
GLib.idle_add(lambda: scrivi("pronto %d" % finestra.get_window().get_xid()))
Gtk.main()
