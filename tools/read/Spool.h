// The durable spool of codes on their way to a delivery back end: one SQLite
// file (WAL) per port. A code is committed here before it is sent and removed
// only once the receiver has acknowledged it, so a crash or an outage loses
// nothing; the sequence number lives here too, so it goes on across restarts,
// and so does the spool's random source id, which tells its codes from those
// of any other spool (a twin machine, a spool deleted and made again).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace talumbra_read {

class Spool {
public:
    struct Voce {
        std::int64_t seq;
        std::string dati;
    };

    // Opens (creating when missing) the spool at `percorso`, bounded to
    // `massimo` codes. Throws std::runtime_error when it cannot be opened, is
    // in use by another process, or holds what this program never writes.
    Spool(const std::string& percorso, std::int64_t massimo);
    ~Spool();
    Spool(const Spool&) = delete;
    Spool& operator=(const Spool&) = delete;

    // The next sequence number that was never committed.
    std::int64_t ProssimoSeq() const { return prossimo_; }
    // The spool's source id: 16 hex digits.
    const std::string& Sorgente() const { return sorgente_; }
    // Commits the codes in one transaction (one sync for a burst); their seq
    // are increasing and not below ProssimoSeq(). With `taglia`, the oldest
    // codes beyond the limit make room; returns how many were dropped.
    std::int64_t Aggiungi(const std::vector<Voce>& voci, bool taglia);
    // `seq` went to a code that could not be committed (a full disk): kept
    // in the lock file, whose bytes are there already, so that a restart on
    // a disk still full does not give that number to another code.
    void Consumato(std::int64_t seq);
    // Acknowledged codes that the spool could not remove (a full disk), as
    // seq ranges (first -> last): kept in the lock file too, in bytes set
    // aside at open, so that a restart on a disk still full does not send
    // them again. Those read at open come from Tolti().
    using Tratti = std::map<std::int64_t, std::int64_t>;
    const Tratti& Tolti() const { return tolti_; }
    void SegnaTolti(const Tratti& tratti);
    // Codes lost elsewhere (never committed): counted with the next commit.
    void ContaPersi(std::int64_t n) { persi_ += n; }
    // Whether each commit waits for the disk (a power cut loses nothing) or
    // only for the system (a crash of the program loses nothing).
    void Sincronia(bool piena);
    // Up to `n` codes with seq > dopo, oldest first.
    std::vector<Voce> Dopo(std::int64_t dopo, int n);
    // Removes acknowledged codes (those already gone are ignored).
    void Rimuovi(const std::vector<std::int64_t>& seq);
    // Removes the codes from `da` to `a`, both included.
    void RimuoviDa(std::int64_t da, std::int64_t a);
    // Moves a code the receiver refuses for good out of the way, into the
    // table respinti, with the reason. False: it was not in the spool.
    bool Respingi(std::int64_t seq, const std::string& motivo);
    // The file at the spool's path is gone (deleted while running): it is
    // made again from the one still open, with all it holds. Another file
    // put in its place is left alone and named once.
    enum class Percorso { Suo, Rifatto, Sostituito };
    Percorso Controlla();

    std::int64_t Conta() const { return conta_; }
    std::int64_t Massimo() const { return massimo_; }
    // Codes dropped for lack of room over the spool's whole life.
    std::int64_t Scartati() const { return scartati_ + persi_; }
    // Codes set aside as refused for good, over the spool's whole life.
    std::int64_t Respinti() const { return respinti_; }

private:
    void Apri();
    void ChiudiDb();
    void Chiudi();
    void Esegui(const char* sql);
    sqlite3_stmt* Prepara(const char* sql);
    [[noreturn]] void Errore(const char* cosa);
    void ScriviMeta(const char* chiave, std::int64_t valore);
    void Annulla();
    void RiservaBlocco();
    void LeggiTolti();

    std::string percorso_;
    sqlite3* db_ = nullptr;
    int blocco_ = -1;  // the lock file's descriptor
    dev_t dev_ = 0;    // the file open, to notice it deleted or replaced
    ino_t ino_ = 0;
    sqlite3_stmt* inserisci_ = nullptr;
    sqlite3_stmt* dopo_ = nullptr;
    sqlite3_stmt* rimuovi_ = nullptr;
    sqlite3_stmt* scarta_ = nullptr;
    sqlite3_stmt* meta_ = nullptr;
    std::int64_t massimo_;
    std::int64_t prossimo_ = 1;
    std::int64_t conta_ = 0;
    std::int64_t scartati_ = 0;
    std::int64_t persi_ = 0;  // not yet in meta
    std::int64_t respinti_ = 0;
    std::string sorgente_;
    std::int64_t idSorgente_ = 0;
    Tratti tolti_;
    bool piena_ = true;
    bool sostituito_ = false;
};

}  // namespace talumbra_read
