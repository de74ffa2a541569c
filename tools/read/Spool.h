// The durable spool of codes on their way to a delivery back end: one SQLite
// file (WAL) per port. A code is committed here before it is sent and removed
// only once the receiver has acknowledged it, so a crash or an outage loses
// nothing; the sequence number lives here too, so it goes on across restarts.
#pragma once

#include <cstdint>
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
    // `massimo` codes. Throws std::runtime_error when it cannot be opened or
    // is in use by another process.
    Spool(const std::string& percorso, std::int64_t massimo);
    ~Spool();
    Spool(const Spool&) = delete;
    Spool& operator=(const Spool&) = delete;

    // The next sequence number, reserved by Aggiungi.
    std::int64_t ProssimoSeq() const { return prossimo_; }
    // Commits the codes in one transaction (one sync for a burst). Each
    // element is the payload of seq ProssimoSeq(), ProssimoSeq()+1, ...
    // When the spool is full the oldest codes make room; returns how many
    // were dropped by this call.
    std::int64_t Aggiungi(const std::vector<std::string>& dati);
    // Whether each commit waits for the disk (a power cut loses nothing) or
    // only for the system (a crash of the program loses nothing).
    void Sincronia(bool piena);
    // Up to `n` codes with seq > dopo, oldest first.
    std::vector<Voce> Dopo(std::int64_t dopo, int n);
    // Removes acknowledged codes (those already gone are ignored).
    void Rimuovi(const std::vector<std::int64_t>& seq);

    std::int64_t Conta() const { return conta_; }
    std::int64_t Massimo() const { return massimo_; }
    // Codes dropped for lack of room over the spool's whole life.
    std::int64_t Scartati() const { return scartati_; }

private:
    void Chiudi();
    void Esegui(const char* sql);
    sqlite3_stmt* Prepara(const char* sql);
    void Errore(const char* cosa);
    void ScriviMeta(const char* chiave, std::int64_t valore);

    sqlite3* db_ = nullptr;
    int blocco_ = -1;  // the lock file's descriptor
    sqlite3_stmt* inserisci_ = nullptr;
    sqlite3_stmt* dopo_ = nullptr;
    sqlite3_stmt* rimuovi_ = nullptr;
    sqlite3_stmt* scarta_ = nullptr;
    sqlite3_stmt* meta_ = nullptr;
    std::int64_t massimo_;
    std::int64_t prossimo_ = 1;
    std::int64_t conta_ = 0;
    std::int64_t scartati_ = 0;
    bool piena_ = true;
};

}  // namespace talumbra_read
