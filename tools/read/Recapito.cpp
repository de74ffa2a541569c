#include "Recapito.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaEnum>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include <talumbra/ucTalumbra.h>

namespace talumbra_read {

namespace {

constexpr int kFinestra =
    1024;  // codes sent and not yet acknowledged, at most: a stall of this thread does not stop a replay
constexpr int kRimuoviOgniMs = 20;
constexpr int kRimuoviSubito = 1000;
constexpr int kScriviSubito = 1000;
constexpr int kRiprovaMaxMs = 60000;
// Codes kept in memory while the disk is full: about 1 MB.
constexpr int kMemoriaMax = 4096;

// Local time with milliseconds and the offset always written out ("+00:00", not "Z").
QString Iso8601(const QDateTime& t) {
    const int s = t.offsetFromUtc(), a = std::abs(s) / 60;
    return t.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")) +
           QString::asprintf("%c%02d:%02d", s < 0 ? '-' : '+', a / 60, a % 60);
}

template <typename E>
QString Nome(int v) {
    const char* k = QMetaEnum::fromType<E>().valueToKey(v);
    return k ? QString::fromLatin1(k) : QString::number(v);
}

}  // namespace

Recapito::Recapito(Consegna& link, int porta, std::string nome, std::string host, const std::string& radice,
                   std::string percorso, std::unique_ptr<Spool> spool, std::function<void(const QString&)> stampa)
    : porta_(porta),
      nome_(std::move(nome)),
      host_(std::move(host)),
      percorso_(std::move(percorso)),
      spool_(std::move(spool)),
      consegna_(link),
      stampa_(std::move(stampa)),
      seq_(spool_->ProssimoSeq()) {
    scrivi_.setSingleShot(true);
    togli_.setSingleShot(true);
    riprova_.setSingleShot(true);
    stato_.setSingleShot(true);
    disco_.setSingleShot(true);
    stato_.setInterval(1000);  // a flood of dropped codes updates the status once a second
    QObject::connect(&scrivi_, &QTimer::timeout, [this] { Salva(); });
    QObject::connect(&togli_, &QTimer::timeout, [this] { Ripulisci(); });
    QObject::connect(&disco_, &QTimer::timeout, [this] { RiprovaDisco(); });
    QObject::connect(&riprova_, &QTimer::timeout, [this] {
        ultimoInviato_ = 0;
        Pompa();
    });
    QObject::connect(&stato_, &QTimer::timeout, [this] { consegna_.Stato(canale_, TestoStato("online")); });
    // Acknowledged before a restart, on a disk still full: not sent again,
    // and removed once there is room.
    tolti_ = spool_->Tolti();
    if (!tolti_.empty()) disco_.start(0);

    Canale c;
    c.radice = radice;
    c.stato = TestoStato("online");
    c.Avviso = [this](const std::string& t) { Avvisa(t); };
    c.Collegata = [this] {
        // Everything not acknowledged goes again, oldest first.
        Ripulisci();
        inVolo_ = 0;
        ultimoInviato_ = 0;
        Pompa();
    };
    c.Scollegata = [this] { inVolo_ = 0; };
    c.Confermato = [this](std::int64_t seq) {
        inVolo_ = std::max<std::int64_t>(0, inVolo_ - 1);
        if (!memoria_.empty() && seq >= memoria_.front().seq) {
            const auto it = std::lower_bound(memoria_.begin(), memoria_.end(), seq,
                                             [](const InMemoria& m, std::int64_t s) { return m.seq < s; });
            if (it != memoria_.end() && it->seq == seq) it->confermato = true;
            while (!memoria_.empty() && memoria_.front().confermato) memoria_.pop_front();
        } else {
            daTogliere_.push_back(seq);
        }
        if (sonda_ || avvisatoRifiuto_) {
            if (avvisatoRifiuto_) Avvisa("the broker accepts codes again");
            sonda_ = avvisatoRifiuto_ = false;
            attesaRifiutoMs_ = 0;
        }
        if (daTogliere_.size() >= size_t(kRimuoviSubito))
            Ripulisci();
        else if (!togli_.isActive() && !daTogliere_.empty())
            togli_.start(kRimuoviOgniMs);
        Pompa();
    };
    c.Rifiutato = [this](std::int64_t, const std::string& motivo) {
        inVolo_ = std::max<std::int64_t>(0, inVolo_ - 1);
        if (!avvisatoRifiuto_)
            Avvisa("the broker refuses the codes (" + motivo + "); they stay in the spool and are offered again");
        avvisatoRifiuto_ = true;
        sonda_ = true;
        if (!riprova_.isActive()) {
            attesaRifiutoMs_ = std::clamp(attesaRifiutoMs_ * 2, 1000, kRiprovaMaxMs);
            riprova_.start(attesaRifiutoMs_);
        }
    };
    c.Respinto = [this](std::int64_t seq, const std::string& motivo) { Respinto(seq, motivo); };
    canale_ = consegna_.Aggiungi(std::move(c));
}

Recapito::~Recapito() {
    // The last codes go out before the goodbye, whose acknowledgement then
    // covers them too: the broker answers in order.
    Salva();
    Pompa();
    consegna_.Chiudi(canale_, TestoStato("offline"));
    Ripulisci();
    if (discoPieno_ || !tolti_.empty()) RiprovaDisco();
    std::int64_t persi = 0;
    for (const InMemoria& m : memoria_) persi += m.confermato ? 0 : 1;
    if (persi + persiMemoria_ > 0)
        Avvisa("the disk was full: " + std::to_string(persi + persiMemoria_) +
               " code(s) read in this run could be neither saved in the spool nor delivered, and are lost");
}

std::string Recapito::TestoStato(const char* stato) const {
    std::string t = stato;
    const std::int64_t n = spool_->Scartati() + persiMemoria_;
    if (n > 0) t += " dropped=" + std::to_string(n);
    const std::int64_t r = spool_->Respinti() + respintiMemoria_;
    if (r > 0) t += " refused=" + std::to_string(r);
    return t;
}

void Recapito::Avvisa(const std::string& testo) const {
    std::fprintf(stderr, "%stalumbra-read: %s\n", nome_.c_str(), testo.c_str());
    std::fflush(stderr);
}

void Recapito::Accetta(const QString& codice, int dispositivo, int badge, const QString& riga) {
    const QJsonObject j{
        {"code", codice},
        {"port", porta_},
        {"device", Nome<ucTalumbra::TipoDispositivo_Enum>(dispositivo)},
        {"badge", Nome<ucTalumbra::TipoBadge_Enum>(badge)},
        {"time", Iso8601(QDateTime::currentDateTime())},
        {"host", QString::fromStdString(host_)},
        {"seq", qint64(seq_)},
        {"source", QString::fromStdString(spool_->Sorgente())},
    };
    nuovi_.push_back({seq_++, QJsonDocument(j).toJson(QJsonDocument::Compact).toStdString()});
    righe_.push_back(riga);
    // Codes that come together are committed together: one sync for a burst,
    // and a flood is committed by thousands, so that memory stays bounded.
    if (nuovi_.size() >= size_t(kScriviSubito))
        Salva();
    else if (!scrivi_.isActive())
        scrivi_.start(0);
}

// A code is printed and sent only once it is committed: a code on the
// screen is never one that a kill takes away. On a full disk it is printed
// and sent all the same, from memory.
void Recapito::Salva() {
    scrivi_.stop();
    if (nuovi_.empty()) return;
    if (discoPieno_ || !Committa(nuovi_)) InMemoria_(nuovi_);
    nuovi_.clear();
    std::vector<QString> righe;
    righe.swap(righe_);
    if (stampa_)
        for (const QString& r : righe) stampa_(r);
    Pompa();
}

void Recapito::ControllaSpool() {
    switch (spool_->Controlla()) {
        case Spool::Percorso::Suo: break;
        case Spool::Percorso::Rifatto:
            Avvisa("the spool " + percorso_ + " was deleted while running: made again, with the " +
                   std::to_string(spool_->Conta()) + " code(s) waiting in it");
            break;
        case Spool::Percorso::Sostituito:
            Avvisa("the spool " + percorso_ +
                   " was replaced by another file while running: it is left alone, and this program keeps the "
                   "spool it opened until it ends");
            break;
    }
}

// False when the spool cannot take them (a full disk): retried every second.
bool Recapito::Committa(const std::vector<Spool::Voce>& voci) {
    std::int64_t scartati = 0;
    try {
        ControllaSpool();
        // A code that goes out at once is acknowledged within milliseconds:
        // waiting for the disk first would only slow it down. Codes that are
        // to wait (no broker, a backlog, a refusal) are synced to the disk.
        const bool assente = !consegna_.Pronta() || riprova_.isActive();
        spool_->Sincronia(assente || spool_->Conta() >= kFinestra);
        // The limit is for codes that wait for an absent broker: those on
        // their way to one that is there are not dropped.
        scartati = spool_->Aggiungi(voci, assente);
    } catch (const std::exception& e) {
        if (!discoPieno_)
            Avvisa(std::string("cannot write to the spool (") + e.what() + "): codes are sent from memory, at most " +
                   std::to_string(kMemoriaMax) + " waiting; trying the spool again every second");
        discoPieno_ = true;
        if (!disco_.isActive()) disco_.start(1000);
        return false;
    }
    if (scartati > 0) {
        if (!avvisatoPieno_)
            Avvisa("the spool is full (" + std::to_string(spool_->Massimo()) +
                   " codes): the oldest codes are dropped to make room; the status message counts them");
        avvisatoPieno_ = true;
        if (!stato_.isActive()) stato_.start();
    } else if (spool_->Conta() < spool_->Massimo()) {
        avvisatoPieno_ = false;
    }
    return true;
}

void Recapito::InMemoria_(std::vector<Spool::Voce>& voci) {
    if (!voci.empty()) spool_->Consumato(voci.back().seq);
    std::int64_t persi = 0;
    for (Spool::Voce& v : voci) {
        memoria_.push_back({v.seq, std::move(v.dati), false});
        // Bounded: the oldest that the broker has not acknowledged are lost.
        while (memoria_.size() > size_t(kMemoriaMax)) {
            if (!memoria_.front().confermato) ++persi;
            memoria_.pop_front();
        }
    }
    if (persi == 0) return;
    if (persiMemoria_ == 0)
        Avvisa(
            "the disk is full and the broker does not take the codes: the oldest codes are lost; "
            "the status message counts them");
    persiMemoria_ += persi;
    if (!stato_.isActive()) stato_.start();
}

void Recapito::RiprovaDisco() {
    try {
        ControllaSpool();
        // What was acknowledged meanwhile goes first: it gives room back.
        for (const auto& [da, a] : tolti_) spool_->RimuoviDa(da, a);
        tolti_.clear();
        spool_->SegnaTolti(tolti_);
        // The codes lost meanwhile are counted in the spool from now on.
        spool_->ContaPersi(std::exchange(persiMemoria_, 0));
        // Oldest first, a batch at a time: a disk with room for some only
        // takes those, and the rest wait here.
        while (!memoria_.empty()) {
            std::vector<Spool::Voce> voci;
            size_t n = 0;
            for (; n < memoria_.size() && voci.size() < size_t(kScriviSubito); ++n)
                if (!memoria_[n].confermato) voci.push_back({memoria_[n].seq, memoria_[n].dati});
            spool_->Aggiungi(voci, !consegna_.Pronta());
            memoria_.erase(memoria_.begin(), memoria_.begin() + std::ptrdiff_t(n));
        }
    } catch (const std::exception&) {
        disco_.start(1000);
        return;
    }
    const bool detto = std::exchange(avvisatoTolti_, false);
    if (std::exchange(discoPieno_, false) || detto) Avvisa("the spool takes codes again");
    Ripulisci();
}

bool Recapito::Tolto(std::int64_t seq) const {
    auto it = tolti_.upper_bound(seq);
    if (it == tolti_.begin()) return false;
    --it;
    return seq <= it->second;
}

bool Recapito::Invia(std::int64_t seq, const std::string& dati) {
    if (!consegna_.Invia(canale_, seq, dati)) return false;
    ultimoInviato_ = seq;
    ++inVolo_;
    return true;
}

void Recapito::Pompa() {
    if (!consegna_.Pronta() || riprova_.isActive()) return;
    const int finestra = sonda_ ? 1 : kFinestra;
    // Refilled by halves: one read of the spool for many codes, not one each.
    if (inVolo_ > finestra / 2) return;
    while (inVolo_ < finestra) {
        // Acknowledged codes that the spool could not remove are not sent again.
        if (auto it = tolti_.upper_bound(ultimoInviato_ + 1); it != tolti_.begin() && (--it)->second > ultimoInviato_)
            ultimoInviato_ = it->second;
        std::vector<Spool::Voce> voci;
        try {
            voci = spool_->Dopo(ultimoInviato_, int(finestra - inVolo_));
        } catch (const std::exception& e) {
            Avvisa(std::string("cannot read the spool: ") + e.what());
            return;
        }
        if (voci.empty()) break;
        for (const Spool::Voce& v : voci) {
            if (Tolto(v.seq)) {
                ultimoInviato_ = v.seq;
                continue;
            }
            if (!Invia(v.seq, v.dati)) return;
        }
    }
    // Then what the full disk keeps in memory, all newer than the spool's.
    auto it = std::upper_bound(memoria_.begin(), memoria_.end(), ultimoInviato_,
                               [](std::int64_t s, const InMemoria& m) { return s < m.seq; });
    for (; it != memoria_.end() && inVolo_ < finestra; ++it)
        if (!it->confermato && !Invia(it->seq, it->dati)) return;
}

void Recapito::Ripulisci() {
    togli_.stop();
    if (daTogliere_.empty()) return;
    try {
        spool_->Rimuovi(daTogliere_);
    } catch (const std::exception& e) {
        // Kept here instead, so that they are not sent again; removed once
        // the disk takes writes again.
        if (!avvisatoTolti_)
            Avvisa(std::string("cannot remove acknowledged codes from the spool (") + e.what() +
                   "): they are kept from being sent again, and removed once it takes writes again");
        avvisatoTolti_ = true;
        std::sort(daTogliere_.begin(), daTogliere_.end());
        for (std::int64_t s : daTogliere_) {
            if (Tolto(s)) continue;
            auto dopo = tolti_.find(s + 1);
            auto prima = tolti_.upper_bound(s);
            const bool unisciPrima = prima != tolti_.begin() && std::prev(prima)->second == s - 1;
            if (unisciPrima) {
                auto p = std::prev(prima);
                p->second = dopo != tolti_.end() ? dopo->second : s;
                if (dopo != tolti_.end()) tolti_.erase(dopo);
            } else if (dopo != tolti_.end()) {
                const std::int64_t fine = dopo->second;
                tolti_.erase(dopo);
                tolti_[s] = fine;
            } else {
                tolti_[s] = s;
            }
        }
        spool_->SegnaTolti(tolti_);
        if (!disco_.isActive()) disco_.start(1000);
    }
    daTogliere_.clear();
}

// Refused for good (too large for the broker, say): set aside in the spool
// where it can be looked at, said once, counted in the status; the codes
// after it go on.
void Recapito::Respinto(std::int64_t seq, const std::string& motivo) {
    inVolo_ = std::max<std::int64_t>(0, inVolo_ - 1);
    bool messo = false;
    try {
        messo = spool_->Respingi(seq, motivo);
    } catch (const std::exception&) {
    }
    if (!messo) {
        const auto it = std::lower_bound(memoria_.begin(), memoria_.end(), seq,
                                         [](const InMemoria& m, std::int64_t s) { return m.seq < s; });
        if (it != memoria_.end() && it->seq == seq && !it->confermato) {
            it->confermato = true;
            ++respintiMemoria_;
        }
        while (!memoria_.empty() && memoria_.front().confermato) memoria_.pop_front();
    }
    if (!avvisatoRespinto_)
        Avvisa("the broker refuses the code of seq " + std::to_string(seq) + " for good (" + motivo +
               "): " + (messo ? "it is set aside in the spool's table respinti" : "it cannot be kept") +
               ", the codes after it go on; the status message counts such codes");
    avvisatoRespinto_ = true;
    if (!stato_.isActive()) stato_.start();
    Pompa();
}

}  // namespace talumbra_read
