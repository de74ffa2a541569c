#include "Porta.h"

#include <algorithm>
#include <cstdio>
#include <exception>

#include <talumbra/Fallimento.h>

namespace talumbra_read {

Porta::Porta(int numero, Ambiente& a, Recapito* recapito)
    : numero_(numero), nome_(QStringLiteral("com%1 ").arg(numero)), a_(a), recapito_(recapito) {
    const Opzioni& o = a.o;
    l_.setDomanda([this](const QString&) { return a_.o.riprova && !a_.finendo(); });
    QObject::connect(&l_, &talumbra::Lettore::Lettura, [this](const QString& codice) {
        if (!a_.conta()) return;
        const QString riga = nome_ + (a_.o.eventi ? "Lettura " + codice : codice);
        if (recapito_)
            recapito_->Accetta(codice, l_.TipoDispositivo(), l_.TipoBadge(), riga);
        else
            a_.riga(riga);
    });
    QObject::connect(&l_, &talumbra::Lettore::Stato, [this](bool attivo) {
        if (a_.o.eventi) Riga(QStringLiteral("Stato %1").arg(attivo ? 1 : 0));
    });
    QObject::connect(&l_, &talumbra::Lettore::FindDevice, [this](bool trovato, int32_t tipo) {
        if (a_.o.eventi) Riga(QStringLiteral("FindDevice %1 %2").arg(trovato ? 1 : 0).arg(tipo));
        if (!trovato && !a_.o.riprova && !a_.o.riconnetti) a_.termina(kEsitoLettoreAssente);
    });
    QObject::connect(&l_, &talumbra::Lettore::Scartata, [this](const QString& trama) {
        if (a_.o.eventi) Riga("Scartata " + trama);
    });
    QObject::connect(&l_, &talumbra::Lettore::Anomalia, [this](const QString& testo) {
        if (a_.o.eventi) {
            Riga("Anomalia " + testo);
        } else {
            std::fprintf(stderr, "%s\n", (nome_ + testo).toLocal8Bit().constData());
            std::fflush(stderr);
        }
    });
    check_.setSingleShot(true);
    QObject::connect(&check_, &QTimer::timeout, [this] { Verifica(); });
    if (o.tipo) l_.setTipoDispositivo(*o.tipo);
    l_.setTipoBadge(o.badge);
    l_.setTMantCode(o.repeatMs);
    l_.setCodificaQuendel(o.quendel != 0);
    // Before the opening, so that a missing or busy port is waited out.
    l_.setRiconnessioneAutomatica(o.riconnetti);
}

void Porta::Apri() {
    l_.setCommPort(numero_);
    l_.setAttivo(true);
    l_.Riconnetti(false);
    if (a_.o.checkMs && *a_.o.checkMs > 0) Arma(*a_.o.checkMs);
}

void Porta::Riapri() {
    if (l_.Attivo()) return;
    try {
        l_.setAttivo(true);
    } catch (const talumbra::Fallimento& f) {
        std::fprintf(stderr, "com%d Errore %d %s\n", numero_, f.Numero(), f.Descrizione().c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "com%d Errore 0 %s\n", numero_, e.what());
    }
}

void Porta::Chiudi() {
    check_.stop();
    try {
        if (l_.Attivo()) l_.setAttivo(false);
    } catch (...) {
    }
}

Porta::~Porta() {
    if (recapito_) recapito_->Salva();
    QObject::disconnect(&l_, nullptr, nullptr, nullptr);
    check_.stop();
    l_.Chiudi(true);
}

// A line of this port: its codes accepted before it are committed and
// printed first, so that its lines keep their order.
void Porta::Riga(const QString& testo) {
    if (recapito_) recapito_->Salva();
    a_.riga(nome_ + testo);
}

// A presence check waits on the line, letting the other ports' events
// run inside it. Another port's check started there would hold the first
// one, and the codes it waits among, until it ended too: a check waits
// for the one running to end, but never longer than its own period, so
// that a check that goes on for ever (--retry, a silent reader) does not
// stop every other port's.
void Porta::Verifica() {
    const int periodo = std::min(*a_.o.checkMs, kMaxIntervalloCheck);
    for (const auto& p : a_.porte)
        if (p.get() != this && p->InVerifica()) {
            if (!rinvio_.isValid()) rinvio_.start();
            if (rinvio_.elapsed() < periodo) {
                check_.start(kAttesaAltraVerificaMs);
                return;
            }
            break;
        }
    rinvio_.invalidate();
    if (!l_.VerificaInCorso())
        l_.Protetto([this] {
            if (l_.Attivo()) l_.VerificaConnessione();
        });
    Arma(*a_.o.checkMs);
}

}  // namespace talumbra_read
