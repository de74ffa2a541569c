#include "Spool.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <stdexcept>
#include <utility>

namespace talumbra_read {

namespace {

// Far beyond any reader's life (74 codes/s for two billion years), and far
// enough from INT64_MAX that no count or next number can overflow.
constexpr std::int64_t kSeqMax = std::int64_t(1) << 62;

std::int64_t NuovaSorgente() {
    std::uint64_t v = 0;
    while (v == 0) {
        if (::getrandom(&v, sizeof v, 0) != ssize_t(sizeof v)) throw std::runtime_error("no random source id");
        v >>= 1;  // positive: SQLite keeps it as it is
    }
    return std::int64_t(v);
}

// The lock file kept by descriptor: another one at the same path (ours
// deleted) is taken too, or a second program would take it.
int Blocca(const std::string& nome) {
    const int fd = ::open(nome.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) throw std::runtime_error("cannot create " + nome);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        throw std::runtime_error(nome.substr(0, nome.size() - 5) + " is in use by another talumbra-read on this port");
    }
    return fd;
}

// The lock file: the last seq given on a full disk, then the acknowledged
// ranges kept there (a tag, the source id, their count, a checksum, then
// first and last of each). Its bytes are written at open, to be overwritten
// in place later without asking the disk for room.
constexpr off_t kTolti = 8;
constexpr off_t kBloccoByte = 4096;
constexpr std::int64_t kTagTolti = 0x31746c6f74726472;  // "rdrtolt1"
constexpr size_t kTestaTolti = 4;                       // tag, source, count, checksum

std::int64_t Somma(const std::vector<std::int64_t>& v) {
    std::uint64_t h = 1469598103934665603ULL;
    for (size_t i = 0; i < v.size(); ++i) {
        if (i == 3) continue;  // the checksum itself
        for (int b = 0; b < 64; b += 8) h = (h ^ ((std::uint64_t(v[i]) >> b) & 0xFF)) * 1099511628211ULL;
    }
    return std::int64_t(h >> 1);
}

}  // namespace

Spool::Spool(const std::string& percorso, std::int64_t massimo) : percorso_(percorso), massimo_(massimo) {
    // SQLite would let two processes share the file; two programs publishing
    // the same codes would not be a spool any more.
    blocco_ = Blocca(percorso + ".lock");
    try {
        Apri();
        // The last seq given while the disk was full; its bytes are written
        // now, while there may be room, to be overwritten in place later.
        std::int64_t ultimo = 0;
        if (::pread(blocco_, &ultimo, sizeof ultimo, 0) != ssize_t(sizeof ultimo)) {
            ultimo = 0;
            (void)!::pwrite(blocco_, &ultimo, sizeof ultimo, 0);
        }
        if (ultimo < 0 || ultimo >= kSeqMax) throw std::runtime_error(percorso + ".lock: it holds no sequence number");
        prossimo_ = std::max(prossimo_, ultimo + 1);
        RiservaBlocco();
        LeggiTolti();
    } catch (...) {
        Chiudi();
        throw;
    }
}

void Spool::Consumato(std::int64_t seq) { (void)!::pwrite(blocco_, &seq, sizeof seq, 0); }

// Without room now, the lock file keeps what it has, and fewer ranges fit.
void Spool::RiservaBlocco() {
    struct stat st {};
    if (::fstat(blocco_, &st) != 0 || st.st_size >= kBloccoByte) return;
    const std::vector<char> zeri(size_t(kBloccoByte - st.st_size), 0);
    (void)!::pwrite(blocco_, zeri.data(), zeri.size(), st.st_size);
}

// Ranges that are not this spool's (made again, with another source), torn
// or senseless are ignored: at worst some codes go out twice.
void Spool::LeggiTolti() {
    tolti_.clear();
    std::vector<std::int64_t> v(kTestaTolti);
    if (::pread(blocco_, v.data(), v.size() * 8, kTolti) != ssize_t(v.size() * 8)) return;
    if (v[0] != kTagTolti || v[1] != idSorgente_ || v[2] <= 0 || v[2] > kBloccoByte / 16) return;
    v.resize(kTestaTolti + size_t(v[2]) * 2);
    const ssize_t n = ssize_t((v.size() - kTestaTolti) * 8);
    if (::pread(blocco_, v.data() + kTestaTolti, size_t(n), kTolti + off_t(kTestaTolti * 8)) != n) return;
    if (Somma(v) != v[3]) return;
    std::int64_t dopo = 0;
    for (size_t i = kTestaTolti; i < v.size(); i += 2) {
        if (v[i] <= dopo || v[i + 1] < v[i] || v[i + 1] >= kSeqMax) {
            tolti_.clear();
            return;
        }
        tolti_[v[i]] = v[i + 1];
        dopo = v[i + 1];
    }
}

void Spool::SegnaTolti(const Tratti& tratti) {
    if (tratti.empty() && tolti_.empty()) return;
    struct stat st {};
    if (::fstat(blocco_, &st) != 0) return;
    const std::int64_t posto = (std::int64_t(st.st_size) - kTolti) / 8 - std::int64_t(kTestaTolti);
    if (posto < 0) return;
    // The oldest first, when not all fit: the others may go out twice.
    std::vector<std::int64_t> v{kTagTolti, idSorgente_, 0, 0};
    for (const auto& [da, a] : tratti) {
        if (std::int64_t(v.size() - kTestaTolti) + 2 > posto) break;
        v.push_back(da);
        v.push_back(a);
    }
    v[2] = std::int64_t(v.size() - kTestaTolti) / 2;
    v[3] = Somma(v);
    if (::pwrite(blocco_, v.data(), v.size() * 8, kTolti) != ssize_t(v.size() * 8)) return;
    tolti_.clear();
    for (size_t i = kTestaTolti; i < v.size(); i += 2) tolti_[v[i]] = v[i + 1];
}

void Spool::Apri() {
    if (sqlite3_open_v2(percorso_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK)
        Errore("open");
    sqlite3_busy_timeout(db_, 2000);
    Esegui("PRAGMA journal_mode=WAL");
    // A committed code must survive a power cut as well as a crash.
    Esegui(piena_ ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL");
    // A small page cache: memory stays the same with a full spool.
    Esegui("PRAGMA cache_size=-512");
    Esegui("CREATE TABLE IF NOT EXISTS codici(seq INTEGER PRIMARY KEY, dati BLOB NOT NULL)");
    Esegui("CREATE TABLE IF NOT EXISTS meta(chiave TEXT PRIMARY KEY, valore INTEGER NOT NULL)");
    Esegui("CREATE TABLE IF NOT EXISTS respinti(seq INTEGER PRIMARY KEY, dati BLOB NOT NULL, motivo TEXT NOT NULL)");

    sqlite3_stmt* s = Prepara(
        "SELECT (SELECT count(*) FROM codici), (SELECT min(seq) FROM codici), (SELECT max(seq) FROM codici),"
        " (SELECT valore FROM meta WHERE chiave='prossimo'), (SELECT valore FROM meta WHERE chiave='scartati'),"
        " (SELECT valore FROM meta WHERE chiave='respinti'), (SELECT valore FROM meta WHERE chiave='sorgente'),"
        " (SELECT typeof(valore) FROM meta WHERE chiave='sorgente')");
    if (sqlite3_step(s) != SQLITE_ROW) {
        sqlite3_finalize(s);
        Errore("read");
    }
    auto n = [&](int c) { return sqlite3_column_int64(s, c); };
    const bool vuota = sqlite3_column_type(s, 1) == SQLITE_NULL;
    const bool senzaSorgente = sqlite3_column_type(s, 6) == SQLITE_NULL;
    const char* tipo = reinterpret_cast<const char*>(sqlite3_column_text(s, 7));
    const bool sorgenteValida = senzaSorgente || (tipo && std::string(tipo) == "integer" && n(6) > 0);
    const bool valida = (vuota || (n(1) >= 1 && n(2) <= kSeqMax)) && n(3) >= 0 && n(3) <= kSeqMax + 1 && n(4) >= 0 &&
                        n(4) <= kSeqMax && n(5) >= 0 && n(5) <= kSeqMax && sorgenteValida;
    if (!valida) {
        sqlite3_finalize(s);
        throw std::runtime_error(percorso_ +
                                 ": it holds a sequence number, count or source id that this program never writes");
    }
    conta_ = n(0);
    prossimo_ = std::max<std::int64_t>({1, vuota ? 1 : n(2) + 1, n(3)});
    scartati_ = n(4);
    respinti_ = n(5);
    std::int64_t sorgente = n(6);
    sqlite3_finalize(s);
    if (prossimo_ > kSeqMax) throw std::runtime_error(percorso_ + ": no sequence number is left");
    // A spool made before source ids gets one now; its seq goes on.
    if (senzaSorgente) {
        sorgente = NuovaSorgente();
        meta_ = Prepara("INSERT OR REPLACE INTO meta(chiave, valore) VALUES(?, ?)");
        ScriviMeta("sorgente", sorgente);
    }
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(sorgente));
    sorgente_ = hex;
    idSorgente_ = sorgente;

    if (!meta_) meta_ = Prepara("INSERT OR REPLACE INTO meta(chiave, valore) VALUES(?, ?)");
    inserisci_ = Prepara("INSERT INTO codici(seq, dati) VALUES(?, ?)");
    dopo_ = Prepara("SELECT seq, dati FROM codici WHERE seq > ? ORDER BY seq LIMIT ?");
    rimuovi_ = Prepara("DELETE FROM codici WHERE seq = ?");
    scarta_ = Prepara("DELETE FROM codici WHERE seq IN (SELECT seq FROM codici ORDER BY seq LIMIT ?)");

    struct stat st {};
    if (::stat(percorso_.c_str(), &st) == 0) {
        dev_ = st.st_dev;
        ino_ = st.st_ino;
    }
}

Spool::~Spool() { Chiudi(); }

void Spool::ChiudiDb() {
    for (sqlite3_stmt* s : {inserisci_, dopo_, rimuovi_, scarta_, meta_}) sqlite3_finalize(s);
    inserisci_ = dopo_ = rimuovi_ = scarta_ = meta_ = nullptr;
    if (db_) sqlite3_close(db_);
    db_ = nullptr;
}

void Spool::Chiudi() {
    ChiudiDb();
    if (blocco_ >= 0) ::close(blocco_);
    blocco_ = -1;
}

void Spool::Errore(const char* cosa) {
    throw std::runtime_error(std::string("spool ") + cosa + ": " + (db_ ? sqlite3_errmsg(db_) : "out of memory"));
}

void Spool::Esegui(const char* sql) {
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) Errore(sql);
}

sqlite3_stmt* Spool::Prepara(const char* sql) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr) != SQLITE_OK) Errore("prepare");
    return s;
}

void Spool::ScriviMeta(const char* chiave, std::int64_t valore) {
    sqlite3_bind_text(meta_, 1, chiave, -1, SQLITE_STATIC);
    sqlite3_bind_int64(meta_, 2, valore);
    const int r = sqlite3_step(meta_);
    sqlite3_reset(meta_);
    if (r != SQLITE_DONE) Errore("write");
}

// A failed write is undone; on a full disk the write-ahead log is then
// folded back and cut, which may give the room for the next attempt.
void Spool::Annulla() {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_exec(db_, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
}

std::int64_t Spool::Aggiungi(const std::vector<Voce>& voci, bool taglia) {
    if (voci.empty()) return 0;
    Esegui("BEGIN IMMEDIATE");
    std::int64_t conta = conta_, scartati = 0;
    try {
        for (const Voce& v : voci) {
            sqlite3_bind_int64(inserisci_, 1, v.seq);
            sqlite3_bind_blob(inserisci_, 2, v.dati.data(), int(v.dati.size()), SQLITE_STATIC);
            const int r = sqlite3_step(inserisci_);
            sqlite3_reset(inserisci_);
            if (r != SQLITE_DONE) Errore("write");
            ++conta;
        }
        if (taglia && conta > massimo_) {
            sqlite3_bind_int64(scarta_, 1, conta - massimo_);
            const int r = sqlite3_step(scarta_);
            sqlite3_reset(scarta_);
            if (r != SQLITE_DONE) Errore("write");
            scartati = sqlite3_changes(db_);
            conta -= scartati;
        }
        if (scartati > 0 || persi_ > 0) ScriviMeta("scartati", scartati_ + persi_ + scartati);
        ScriviMeta("prossimo", voci.back().seq + 1);
        Esegui("COMMIT");
    } catch (...) {
        Annulla();
        throw;
    }
    prossimo_ = voci.back().seq + 1;
    conta_ = conta;
    scartati_ += persi_ + scartati;
    persi_ = 0;
    return scartati;
}

void Spool::Sincronia(bool piena) {
    if (piena == piena_) return;
    Esegui(piena ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL");
    piena_ = piena;
}

std::vector<Spool::Voce> Spool::Dopo(std::int64_t dopo, int n) {
    std::vector<Voce> v;
    sqlite3_bind_int64(dopo_, 1, dopo);
    sqlite3_bind_int(dopo_, 2, n);
    int r;
    while ((r = sqlite3_step(dopo_)) == SQLITE_ROW) {
        const char* p = static_cast<const char*>(sqlite3_column_blob(dopo_, 1));
        v.push_back({sqlite3_column_int64(dopo_, 0), std::string(p ? p : "", size_t(sqlite3_column_bytes(dopo_, 1)))});
    }
    sqlite3_reset(dopo_);
    if (r != SQLITE_DONE) Errore("read");
    return v;
}

void Spool::Rimuovi(const std::vector<std::int64_t>& seq) {
    if (seq.empty()) return;
    Esegui("BEGIN IMMEDIATE");
    std::int64_t tolti = 0;
    try {
        for (std::int64_t s : seq) {
            sqlite3_bind_int64(rimuovi_, 1, s);
            const int r = sqlite3_step(rimuovi_);
            sqlite3_reset(rimuovi_);
            if (r != SQLITE_DONE) Errore("write");
            tolti += sqlite3_changes(db_);
        }
        Esegui("COMMIT");
    } catch (...) {
        Annulla();
        throw;
    }
    conta_ -= tolti;
}

void Spool::RimuoviDa(std::int64_t da, std::int64_t a) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db_, "DELETE FROM codici WHERE seq BETWEEN ? AND ?", -1, &s, nullptr) != SQLITE_OK)
        Errore("prepare");
    sqlite3_bind_int64(s, 1, da);
    sqlite3_bind_int64(s, 2, a);
    const int r = sqlite3_step(s);
    sqlite3_finalize(s);
    if (r != SQLITE_DONE) {
        Annulla();
        Errore("write");
    }
    conta_ -= sqlite3_changes(db_);
}

bool Spool::Respingi(std::int64_t seq, const std::string& motivo) {
    Esegui("BEGIN IMMEDIATE");
    sqlite3_stmt* s = nullptr;
    bool cera = false;
    try {
        if (sqlite3_prepare_v2(
                db_, "INSERT OR REPLACE INTO respinti(seq, dati, motivo) SELECT seq, dati, ? FROM codici WHERE seq = ?",
                -1, &s, nullptr) != SQLITE_OK)
            Errore("prepare");
        sqlite3_bind_text(s, 1, motivo.data(), int(motivo.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int64(s, 2, seq);
        if (sqlite3_step(s) != SQLITE_DONE) Errore("write");
        sqlite3_finalize(std::exchange(s, nullptr));
        cera = sqlite3_changes(db_) > 0;
        if (cera) {
            sqlite3_bind_int64(rimuovi_, 1, seq);
            const int r = sqlite3_step(rimuovi_);
            sqlite3_reset(rimuovi_);
            if (r != SQLITE_DONE) Errore("write");
            ScriviMeta("respinti", respinti_ + 1);
        }
        Esegui("COMMIT");
    } catch (...) {
        sqlite3_finalize(s);
        Annulla();
        throw;
    }
    if (cera) {
        --conta_;
        ++respinti_;
    }
    return cera;
}

Spool::Percorso Spool::Controlla() {
    struct stat st {};
    if (::stat(percorso_.c_str(), &st) == 0) {
        if ((st.st_dev == dev_ && st.st_ino == ino_) || sostituito_) return Percorso::Suo;
        // Someone's own file (a copy put back?): not ours to overwrite.
        sostituito_ = true;
        return Percorso::Sostituito;
    }
    if (errno != ENOENT) return Percorso::Suo;
    // A whole copy of the file still open, made beside the path, then put in
    // its place: the codes waiting, the next seq and the source id go on.
    const std::string nuovo = percorso_ + ".new";
    ::unlink(nuovo.c_str());
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db_, "VACUUM INTO ?", -1, &s, nullptr) != SQLITE_OK) Errore("prepare");
    sqlite3_bind_text(s, 1, nuovo.c_str(), -1, SQLITE_TRANSIENT);
    const int r = sqlite3_step(s);
    sqlite3_finalize(s);
    if (r != SQLITE_DONE) {
        ::unlink(nuovo.c_str());
        Errore("copy");
    }
    // Closed before the copy takes the path: closing removes the old
    // log's names, which the new file must not find.
    ChiudiDb();
    if (::rename(nuovo.c_str(), percorso_.c_str()) != 0) {
        ::unlink(nuovo.c_str());
        throw std::runtime_error("cannot make the spool " + percorso_ + " again");
    }
    const std::string nomeBlocco = percorso_ + ".lock";
    struct stat sb {
    }, sf{};
    if (::stat(nomeBlocco.c_str(), &sb) != 0 || ::fstat(blocco_, &sf) != 0 || sb.st_ino != sf.st_ino ||
        sb.st_dev != sf.st_dev) {
        const int fd = Blocca(nomeBlocco);
        ::close(blocco_);
        blocco_ = fd;
        RiservaBlocco();
        SegnaTolti(Tratti(tolti_));
    }
    Apri();
    return Percorso::Rifatto;
}

}  // namespace talumbra_read
