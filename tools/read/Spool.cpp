#include "Spool.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

namespace talumbra_read {

Spool::Spool(const std::string& percorso, std::int64_t massimo) : massimo_(massimo) {
    // SQLite would let two processes share the file; two programs publishing
    // the same codes would not be a spool any more.
    const std::string nomeBlocco = percorso + ".lock";
    blocco_ = ::open(nomeBlocco.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (blocco_ < 0) throw std::runtime_error("cannot create " + nomeBlocco);
    if (::flock(blocco_, LOCK_EX | LOCK_NB) != 0) {
        ::close(blocco_);
        throw std::runtime_error(percorso + " is in use by another talumbra-read on this port");
    }
    try {
        if (sqlite3_open_v2(percorso.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK)
            Errore("open");
        sqlite3_busy_timeout(db_, 2000);
        Esegui("PRAGMA journal_mode=WAL");
        // A committed code must survive a power cut as well as a crash.
        Esegui("PRAGMA synchronous=FULL");
        // A small page cache: memory stays the same with a full spool.
        Esegui("PRAGMA cache_size=-512");
        Esegui("CREATE TABLE IF NOT EXISTS codici(seq INTEGER PRIMARY KEY, dati BLOB NOT NULL)");
        Esegui("CREATE TABLE IF NOT EXISTS meta(chiave TEXT PRIMARY KEY, valore INTEGER NOT NULL)");

        sqlite3_stmt* s = Prepara(
            "SELECT (SELECT count(*) FROM codici), (SELECT max(seq) FROM codici),"
            " (SELECT valore FROM meta WHERE chiave='prossimo'), (SELECT valore FROM meta WHERE chiave='scartati')");
        if (sqlite3_step(s) != SQLITE_ROW) {
            sqlite3_finalize(s);
            Errore("read");
        }
        conta_ = sqlite3_column_int64(s, 0);
        prossimo_ = std::max<std::int64_t>({1, sqlite3_column_int64(s, 1) + 1, sqlite3_column_int64(s, 2)});
        scartati_ = sqlite3_column_int64(s, 3);
        sqlite3_finalize(s);

        inserisci_ = Prepara("INSERT INTO codici(seq, dati) VALUES(?, ?)");
        dopo_ = Prepara("SELECT seq, dati FROM codici WHERE seq > ? ORDER BY seq LIMIT ?");
        rimuovi_ = Prepara("DELETE FROM codici WHERE seq = ?");
        scarta_ = Prepara("DELETE FROM codici WHERE seq IN (SELECT seq FROM codici ORDER BY seq LIMIT ?)");
        meta_ = Prepara("INSERT OR REPLACE INTO meta(chiave, valore) VALUES(?, ?)");
    } catch (...) {
        Chiudi();
        throw;
    }
}

Spool::~Spool() { Chiudi(); }

void Spool::Chiudi() {
    for (sqlite3_stmt* s : {inserisci_, dopo_, rimuovi_, scarta_, meta_}) sqlite3_finalize(s);
    inserisci_ = dopo_ = rimuovi_ = scarta_ = meta_ = nullptr;
    if (db_) sqlite3_close(db_);
    db_ = nullptr;
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

std::int64_t Spool::Aggiungi(const std::vector<std::string>& dati) {
    if (dati.empty()) return 0;
    Esegui("BEGIN IMMEDIATE");
    std::int64_t seq = prossimo_, conta = conta_, scartati = 0;
    try {
        for (const std::string& d : dati) {
            sqlite3_bind_int64(inserisci_, 1, seq);
            sqlite3_bind_blob(inserisci_, 2, d.data(), int(d.size()), SQLITE_STATIC);
            const int r = sqlite3_step(inserisci_);
            sqlite3_reset(inserisci_);
            if (r != SQLITE_DONE) Errore("write");
            ++seq;
            ++conta;
        }
        if (conta > massimo_) {
            sqlite3_bind_int64(scarta_, 1, conta - massimo_);
            const int r = sqlite3_step(scarta_);
            sqlite3_reset(scarta_);
            if (r != SQLITE_DONE) Errore("write");
            scartati = sqlite3_changes(db_);
            conta -= scartati;
            ScriviMeta("scartati", scartati_ + scartati);
        }
        ScriviMeta("prossimo", seq);
        Esegui("COMMIT");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    prossimo_ = seq;
    conta_ = conta;
    scartati_ += scartati;
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
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    conta_ -= tolti;
}

}  // namespace talumbra_read
