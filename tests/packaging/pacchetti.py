#!/usr/bin/env python3
"""Installed and packaged Talumbra, tried as a user would.

  pacchetti.py consumer --build DIR --source DIR
      cmake --install into a scratch prefix; only the public headers are
      there; the installed programs start; examples/ builds against the
      prefix with find_package and with pkg-config, and each build, run
      offscreen, receives a code from the installed talumbra-sim.
  pacchetti.py debs --build DIR --source DIR
      cpack makes the .deb files; their contents and computed dependencies;
      extracted with dpkg-deb -x, talumbra-read --help and Brelvo (offscreen,
      against the packaged simulator) run from there; lintian,
      desktop-file-validate and systemd-analyze verify where installed.

Everything lives in a temporary folder, ports included (TALUMBRA_PORTS);
every process started here is stopped by its own id."""
import argparse
import glob
import gzip
import os
import shutil
import subprocess
import sys
import tempfile
import time

import harness

falliti = []

# Lintian tags that remain, each explained in the README (administrators).
TAG_SPIEGATI = ["maintscript-calls-ldconfig"]

INTESTAZIONI_PUBBLICHE = {"ucTalumbra.h", "Lettore.h", "Fallimento.h", "NumeriFallimento.h", "talumbra_export.h"}


def verifica(nome, ok, dettaglio=""):
    print(("ok   " if ok else "FAIL ") + nome + ("" if ok else ": " + str(dettaglio)))
    if not ok:
        falliti.append(nome)
    return ok


def esegui(argv, **kw):
    kw.setdefault("timeout", 600)
    r = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, **kw)
    if r.returncode != 0:
        print("$ " + " ".join(argv) + "\n" + r.stdout[-4000:])
    return r


def ambiente(cartella):
    env = dict(os.environ)
    env["TALUMBRA_PORTS"] = os.path.join(cartella, "porte")
    env["QT_QPA_PLATFORM"] = "offscreen"
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    harness.mask_serial_devices(env["TALUMBRA_PORTS"])
    return env


def righe(*processi):
    return "\n".join(r for p in processi for r in p.out + p.err)


def attendi(p, modello, secondi):
    """The first line of p's output matching `modello`, or None."""
    try:
        return p.out[p.wait_line(modello, timeout=secondi)]
    except harness.Failure:
        return None


def avvia_sim(proc, sim, porta, env, *codici):
    # Codes only once the host has asked the reader its version, and after
    # the rest of its presence check.
    pr = harness.Sim(sim, str(porta), env, "-v", "--wait-host", "--start-delay", "1500", "--interval", "500",
                     "--no-stdin", "--log-times", *codici, stdin=False)
    proc.append(pr)
    return pr


def prova_esempio(proc, esempio, sim, cartella, porta):
    env = ambiente(cartella)
    s = avvia_sim(proc, sim, porta, env, "0123456789")
    es = harness.Proc(os.path.basename(esempio), [esempio, str(porta)], env)
    proc.append(es)
    # With the bit-order conversion: the form does not set it, and a new
    # instance has it on.
    riga = attendi(es, r"^(U0123456789|80C4A2E691)$", 30)
    verifica("%s converts the code as a new instance does" % esempio, riga == "80C4A2E691", riga)
    verifica("%s receives the code" % esempio, riga is not None, righe(es, s))
    harness.stop_all(proc)
    # Two readers in one program, each code with its own port.
    due = os.path.join(os.path.dirname(esempio), "lettore-due-porte")
    s1 = avvia_sim(proc, sim, porta, env, "0123456789")
    s2 = avvia_sim(proc, sim, porta + 1, env, "9876543210")
    es = harness.Proc("lettore-due-porte", [due, str(porta), str(porta + 1)], env)
    proc.append(es)
    for p, codice in ((porta, "0123456789"), (porta + 1, "9876543210")):
        riga = attendi(es, r"^com%d U%s$" % (p, codice), 30)
        verifica("lettore-due-porte receives com%d's code" % p, riga is not None, righe(es, s1, s2))
    harness.stop_all(proc)


def consumer(a, tmp, proc):
    prefisso = os.path.join(tmp, "prefisso")
    r = esegui(["cmake", "--install", a.build, "--prefix", prefisso])
    if not verifica("cmake --install into a scratch prefix", r.returncode == 0, r.stdout[-2000:]):
        return
    intestazioni = set()
    for radice, _, file in os.walk(os.path.join(prefisso, "include")):
        intestazioni |= {f for f in file}
    verifica("only the public headers are installed", intestazioni == INTESTAZIONI_PUBBLICHE, sorted(intestazioni))
    bindir = os.path.join(prefisso, "bin")
    for programma in ("talumbra-read", "brelvo", "talumbra-sim"):
        p = os.path.join(bindir, programma)
        if os.path.exists(p):
            r = esegui([p, "--help"], env=ambiente(tmp))
            verifica("installed %s runs (--help)" % programma, r.returncode == 0, r.stdout[-500:])

    pc = glob.glob(os.path.join(prefisso, "lib*", "**", "talumbra.pc"), recursive=True)
    verifica("talumbra.pc is installed", len(pc) == 1, pc)
    lanciatore = []
    if shutil.which("ccache"):
        lanciatore = ["-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"]
    sim = os.path.join(bindir, "talumbra-sim")
    for nome, opzioni, env in (
            ("find_package", ["-DCMAKE_PREFIX_PATH=" + prefisso], None),
            ("pkg-config", ["-DESEMPIO_CON_PKGCONFIG=ON"],
             dict(os.environ, PKG_CONFIG_PATH=os.path.dirname(pc[0]) if pc else ""))):
        b = os.path.join(tmp, "esempio-" + nome)
        r = esegui(["cmake", "-S", os.path.join(a.source, "examples"), "-B", b, "-G", "Ninja",
                    "-DCMAKE_BUILD_TYPE=RelWithDebInfo", *lanciatore, *opzioni], env=env)
        if r.returncode == 0:
            r = esegui(["cmake", "--build", b, "-j2"], env=env)
        if verifica("the example builds with %s" % nome, r.returncode == 0, r.stdout[-2000:]):
            prova_esempio(proc, os.path.join(b, "lettore-badge"), sim, os.path.join(tmp, nome), 7)


def contenuto(deb):
    r = esegui(["dpkg-deb", "-c", deb])
    return [riga.split()[-1] if "->" not in riga else riga.split()[-3] for riga in r.stdout.splitlines()]


def campo(deb, nome):
    return esegui(["dpkg-deb", "-f", deb, nome]).stdout.strip()


def debs(a, tmp, proc):
    uscita = os.path.join(tmp, "deb")
    r = esegui(["cpack", "-G", "DEB", "--config", os.path.join(a.build, "CPackConfig.cmake"), "-B", uscita],
               cwd=a.build)
    if not verifica("cpack makes the packages", r.returncode == 0, r.stdout[-3000:]):
        return
    pacchetti = {}
    for deb in glob.glob(os.path.join(uscita, "*.deb")):
        pacchetti[campo(deb, "Package")] = deb
    attesi = {"libtalumbra0", "libtalumbra-dev", "brelvo", "talumbra-tools"}
    if not verifica("the four packages", set(pacchetti) == attesi, sorted(pacchetti)):
        return

    def ha(pacchetto, *pezzi):
        elenco = contenuto(pacchetti[pacchetto])
        for pezzo in pezzi:
            verifica("%s holds %s" % (pacchetto, pezzo), any(pezzo in f for f in elenco), elenco)

    ha("libtalumbra0", "/libtalumbra.so.0")
    ha("libtalumbra-dev", "/include/talumbra/ucTalumbra.h", "/include/talumbra/talumbra_export.h",
       "/cmake/Talumbra/TalumbraConfig.cmake", "/pkgconfig/talumbra.pc", "/libtalumbra.so",
       "/qt6/plugins/designer/libtalumbra_designer.so")
    ha("brelvo", "/usr/bin/brelvo", "/applications/brelvo.desktop", "/scalable/apps/brelvo.svg",
       "/man1/brelvo.1.gz")
    ha("talumbra-tools", "/usr/bin/talumbra-read", "/usr/bin/talumbra-sim", "/systemd/user/talumbra-read@.service",
       "/systemd/user/talumbra-read.service", "/udev/70-talumbra-lettore.rules", "/man1/talumbra-read.1.gz", "/man1/talumbra-sim.1.gz")
    dipende = campo(pacchetti["brelvo"], "Depends")
    verifica("brelvo's dependencies are computed (Qt, X11) and name libtalumbra0",
             "libqt6widgets6" in dipende and "libxtst6" in dipende and "libtalumbra0 (= " in dipende, dipende)

    radice = os.path.join(tmp, "radice")
    for deb in pacchetti.values():
        esegui(["dpkg-deb", "-x", deb, radice])
    bindir = os.path.join(radice, "usr", "bin")
    # Brelvo's help is Italian: its manual page keeps the accented letters.
    with gzip.open(os.path.join(radice, "usr/share/man/man1/brelvo.1.gz"), "rt", encoding="utf-8",
                   errors="replace") as f:
        pagina = f.read()
    verifica("brelvo's manual page is whole UTF-8 text", "giù" in pagina and "??" not in pagina, pagina[:800])
    r = esegui([os.path.join(bindir, "talumbra-read"), "--help"], env=ambiente(tmp))
    verifica("packaged talumbra-read --help", r.returncode == 0 and "--port" in r.stdout, r.stdout[-500:])

    # Brelvo from the packages, offscreen, with the packaged simulator.
    env = ambiente(tmp)
    lavoro = os.path.join(tmp, "lavoro")
    os.makedirs(lavoro)
    with open(os.path.join(lavoro, "Seriale.cfg"), "wb") as f:
        f.write(b" 4 \r\n 1 \r\n 0 \r\n 0 \r\n")
    s = avvia_sim(proc, os.path.join(bindir, "talumbra-sim"), 4, env, "0123456789", "ABCDEF0123")
    b = harness.Proc("brelvo", [os.path.join(bindir, "brelvo")], env, cwd=lavoro)
    proc.append(b)
    # Codes go out only after Brelvo's version request was answered.
    inviato = attendi(s, r"^code 2 ", 30)
    verifica("packaged Brelvo finds the reader and the codes flow", inviato is not None, righe(s))
    time.sleep(0.5)  # a window in which it must not fall over
    verifica("packaged Brelvo runs on", b.poll() is None, righe(b))
    verifica("packaged Brelvo ends cleanly on SIGTERM", harness.stop(b) == 0, righe(b))
    harness.stop_all(proc)

    if shutil.which("lintian"):
        soppressi = ["--suppress-tags", ",".join(TAG_SPIEGATI)] if TAG_SPIEGATI else []
        r = esegui(["lintian", "--fail-on", "error,warning", "--tag-display-limit", "0", *soppressi,
                    *sorted(pacchetti.values())], timeout=900)
        print(r.stdout, end="")
        verifica("lintian: no errors or warnings but the explained ones", r.returncode == 0, r.stdout[-3000:])
    if shutil.which("desktop-file-validate"):
        r = esegui(["desktop-file-validate", os.path.join(radice, "usr/share/applications/brelvo.desktop")])
        verifica("desktop-file-validate", r.returncode == 0 and not r.stdout.strip(), r.stdout)
    if shutil.which("systemd-analyze"):
        # The template's instance and the unit for all ports, each with the
        # command where it was extracted (systemd looks a bare command name up
        # in the system's folders only).
        unita = os.path.join(tmp, "unita")
        os.makedirs(unita)
        run = os.path.join(tmp, "run")
        os.makedirs(run, mode=0o700)
        for sorgente, nome in (("talumbra-read@.service", "talumbra-read@3.service"),
                               ("talumbra-read.service", "talumbra-read.service")):
            with open(os.path.join(radice, "usr/lib/systemd/user", sorgente)) as f:
                testo = f.read().replace("ExecStart=talumbra-read ", "ExecStart=%s/talumbra-read " % bindir)
            with open(os.path.join(unita, nome), "w") as f:
                f.write(testo)
            r = esegui(["systemd-analyze", "verify", "--user", "--man=no", os.path.join(unita, nome)],
                       env=dict(os.environ, XDG_RUNTIME_DIR=run))
            verifica("systemd-analyze verify " + nome, r.returncode == 0 and "talumbra-read" not in r.stdout,
                     r.stdout)
            # The hardening a user unit can take: exposure 5.0 at most (an
            # unhardened unit scores 9.8).
            r = esegui(["systemd-analyze", "security", "--user", "--offline=yes", "--threshold=50",
                        os.path.join(unita, nome)], env=dict(os.environ, XDG_RUNTIME_DIR=run))
            verifica("systemd-analyze security %s: exposure within 5.0" % nome, r.returncode == 0, r.stdout[-400:])
            # The failures that a restart cannot mend (the statuses --help lists as
            # bad arguments, login, TLS, spool) leave the unit failed, within a
            # start limit, instead of restarting every 5 s for ever.
            chiavi = {}
            for riga in testo.splitlines():
                k, _, v = riga.partition("=")
                chiavi[k.strip()] = v.split()
            verifica(nome + " stops restarting on exits 2 10 11 12, within a start limit",
                     {"2", "10", "11", "12"} <= set(chiavi.get("RestartPreventExitStatus", []))
                     and chiavi.get("StartLimitBurst"), testo)

def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("modo", choices=["consumer", "debs"])
    ap.add_argument("--build", required=True)
    ap.add_argument("--source", required=True)
    a = ap.parse_args()
    proc = []  # every process started, stopped by its own id at the end
    with tempfile.TemporaryDirectory(prefix="talumbra-pacchetti-") as tmp:
        try:
            {"consumer": consumer, "debs": debs}[a.modo](a, tmp, proc)
        finally:
            harness.stop_all(proc)
    print("%d failed" % len(falliti) if falliti else "all passed")
    return 1 if falliti else 0


if __name__ == "__main__":
    sys.exit(main())
