#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <QFileInfo>
#include <QTemporaryDir>
#include <functional>

#include "host/SerialeCfg.h"

using brelvo::LeggiSerialeCfg;
using brelvo::SerialeCfg;

namespace {
SerialeCfg Leggi(const QByteArray& testo) {
    SerialeCfg c;
    LeggiSerialeCfg(testo, c);
    return c;
}
void Atteso(const SerialeCfg& c, int n, int capo, int scrivi, int giu) {
    EXPECT_EQ(c.NSeriale, n);
    EXPECT_EQ(c.mACapo, capo);
    EXPECT_EQ(c.mScrivi, scrivi);
    EXPECT_EQ(c.mFrecciaGiu, giu);
}
}  // namespace

TEST(SerialeCfg, ScriveLeCifreTraDueBlankEIlMenoAlPostoDelPrimo) {
    EXPECT_EQ(brelvo::TestoSerialeCfg({3, 1, 0, 0}), QByteArray(" 3 \r\n 1 \r\n 0 \r\n 0 \r\n"));
    EXPECT_EQ(brelvo::TestoSerialeCfg({-32768, -1, 256, 0}), QByteArray("-32768 \r\n-1 \r\n 256 \r\n 0 \r\n"));
}

TEST(SerialeCfg, RileggeCioCheScrive) {
    for (SerialeCfg c : {SerialeCfg{7, 1, 1, 0}, SerialeCfg{-5, 0, 1, 1}, SerialeCfg{32767, -32768, 0, 1}}) {
        SerialeCfg r{9, 9, 9, 9};
        LeggiSerialeCfg(brelvo::TestoSerialeCfg(c), r);
        Atteso(r, c.NSeriale, c.mACapo, c.mScrivi, c.mFrecciaGiu);
    }
}

TEST(SerialeCfg, SeparatoriBlankEFineRiga) {
    Atteso(Leggi("4,1,0,1"), 4, 1, 0, 1);
    Atteso(Leggi("  4 ,\t1\n0\r1"), 4, 1, 0, 1);
    Atteso(Leggi("4\n\n\r\n1\n0\n1\n"), 4, 1, 0, 1);          // empty lines skipped
    Atteso(Leggi("+4\r\n2.5\r\n3.5\r\n-0\r\n"), 4, 2, 4, 0);  // decimals round to the nearest, halves to even
}

TEST(SerialeCfg, UnFileCortoLasciaIlRestoComEra) {
    Atteso(Leggi("3"), 3, 0, 0, 0);
    Atteso(Leggi("3\r\n1\r\n"), 3, 1, 0, 0);
    Atteso(Leggi(""), 1, 0, 0, 0);
}

TEST(SerialeCfg, UnValoreIllegibileVieneSaltatoEIlSeguenteLetto) {
    Atteso(Leggi("abc\r\n1\r\n1\r\n1\r\n"), 1, 1, 1, 1);
    Atteso(Leggi("5\r\n70000\r\n1x\r\n1\r\n"), 5, 0, 0, 1);  // out of range, trailing junk
    Atteso(Leggi("5,,1,1"), 5, 0, 1, 1);                     // an empty field between commas
    Atteso(Leggi("\xff\xfe\x00\x01"), 1, 0, 0, 0);
    // Each refusal is named, the first one only; a sound file names none.
    const std::pair<QByteArray, QString> casi[] = {
        {" 3 \r\n 1 \r\n 0 \r\n 0 \r\n", ""},
        {"3", ""},
        {"5,,1,1", ""},
        {"99999\r\n1", "«99999» non è un intero da -32768 a 32767 (il numero della porta)"},
        {"3\r\n\xef\xbc\x91\r\n", "«\\xef\\xbc\\x91» non è un intero da -32768 a 32767 (\"A capo\")"},
        {QByteArray("150\0\r\n0\r\n1x", 10), "«150\\x00» non è un intero da -32768 a 32767 (il numero della porta)"},
        {"0\r\n", "la porta 0 non esiste (le porte vanno da 1 a 256)"},
        {"-5", "la porta -5 non esiste (le porte vanno da 1 a 256)"},
        {"300,1,x", "la porta 300 non esiste (le porte vanno da 1 a 256)"},
    };
    for (const auto& [testo, atteso] : casi) {
        SerialeCfg c;
        QString rifiuto;
        LeggiSerialeCfg(testo, c, &rifiuto);
        EXPECT_EQ(rifiuto, atteso) << testo.toStdString();
    }
}

TEST(SerialeCfg, FileSulDisco) {
    QTemporaryDir dir;
    const QString p = dir.filePath("Seriale.cfg");
    SerialeCfg c;
    LeggiSerialeCfg(p, c);  // missing: defaults kept
    Atteso(c, 1, 0, 0, 0);
    ASSERT_TRUE(brelvo::ScriviSerialeCfg(p, {12, 0, 1, 1}));
    QFile f(p);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), QByteArray(" 12 \r\n 0 \r\n 1 \r\n 1 \r\n"));
    LeggiSerialeCfg(p, c);
    Atteso(c, 12, 0, 1, 1);

    QString errore;
    EXPECT_FALSE(brelvo::ScriviSerialeCfg(dir.filePath("manca/Seriale.cfg"), c, &errore));
    EXPECT_FALSE(errore.isEmpty());
}

// What a "Seriale.cfg" may turn out to be on disk: what reading makes of it
// and whether writing goes ahead. Some cases need root (another user's file,
// device nodes made in the test's folder) and are skipped without it.
TEST(SerialeCfg, FileCheNonSonoQuelloCheSembrano) {
    const bool root = ::geteuid() == 0;
    const QByteArray valori = " 5 \r\n 1 \r\n 1 \r\n 1 \r\n", nuovi = " 9 \r\n 0 \r\n 0 \r\n 0 \r\n";
    auto scrivi = [](const QString& p, const QByteArray& t) {
        QFile f(p);
        return f.open(QIODevice::WriteOnly) && f.write(t) == t.size();
    };
    auto contenuto = [](const QString& p) {
        QFile f(p);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(manca)");
    };
    auto collega = [](const QString& a, const QString& cfg) { return QFile::link(a, cfg); };
    struct Caso {
        const char* nome;
        // Makes dir/Seriale.cfg; false when it cannot be made here.
        std::function<bool(const QString& dir, const QString& cfg)> prepara;
        bool letto, avviso, scritto;
        std::function<void(const QString& dir, const QString& cfg)> dopo;
    };
    const Caso casi[] = {
        {"collegamento a un proprio file: scritto sul posto",
         [&](auto d, auto c) { return scrivi(d + "/vero", valori) && collega(d + "/vero", c); }, true, false, true,
         [&](auto d, auto c) {
             EXPECT_TRUE(QFileInfo(c).isSymLink());
             EXPECT_EQ(contenuto(d + "/vero"), nuovi);
         }},
        {"collegamento al file di un altro utente",
         [&](auto d, auto c) {
             return root && scrivi(d + "/altro", valori) &&
                    ::chown(QFile::encodeName(d + "/altro"), 65534, 65534) == 0 && collega(d + "/altro", c);
         },
         true, false, false, [&](auto d, auto) { EXPECT_EQ(contenuto(d + "/altro"), valori); }},
        {"collegamento a un dispositivo come /dev/null",
         [&](auto d, auto c) {
             return root && ::mknod(QFile::encodeName(d + "/nullo"), S_IFCHR | 0666, makedev(1, 3)) == 0 &&
                    collega(d + "/nullo", c);
         },
         false, true, false,
         [&](auto d, auto) {
             struct stat st {};
             EXPECT_TRUE(::stat(QFile::encodeName(d + "/nullo"), &st) == 0 && S_ISCHR(st.st_mode));
         }},
        {"collegamento che non porta a niente", [&](auto d, auto c) { return collega(d + "/manca", c); }, false, false,
         false, [&](auto d, auto) { EXPECT_FALSE(QFileInfo::exists(d + "/manca")); }},
        {"un FIFO: non si resta in attesa", [&](auto, auto c) { return ::mkfifo(QFile::encodeName(c), 0644) == 0; },
         false, true, false, [&](auto, auto c) { EXPECT_FALSE(QFileInfo(c).isFile()); }},
        {"un dispositivo come /dev/zero: letto per niente",
         [&](auto, auto c) { return root && ::mknod(QFile::encodeName(c), S_IFCHR | 0666, makedev(1, 5)) == 0; }, false,
         true, false, nullptr},
        {"una cartella", [&](auto, auto c) { return QDir().mkdir(c); }, false, true, false, nullptr},
        {"100 MB: non letto, sostituito",
         [&](auto, auto c) { return scrivi(c, valori) && ::truncate(QFile::encodeName(c), 100 << 20) == 0; }, false,
         true, true, nullptr},
        {"sola lettura e di un altro gruppo: modo e gruppo restano",
         [&](auto, auto c) {
             return scrivi(c, valori) && (!root || ::chown(QFile::encodeName(c), 0, 65534) == 0) &&
                    ::chmod(QFile::encodeName(c), 0444) == 0;
         },
         true, false, true,
         [&](auto, auto c) {
             struct stat st {};
             ASSERT_EQ(::lstat(QFile::encodeName(c), &st), 0);
             EXPECT_TRUE(S_ISREG(st.st_mode));
             EXPECT_EQ(st.st_mode & 07777, 0444u);
             if (root) {
                 EXPECT_EQ(st.st_gid, 65534u);
             }
         }},
    };
    for (const Caso& k : casi) {
        SCOPED_TRACE(k.nome);
        QTemporaryDir dir;
        const QString cfg = dir.filePath("Seriale.cfg");
        if (!k.prepara(dir.path(), cfg)) {
            std::printf("  (saltato: %s)\n", k.nome);
            continue;
        }
        SerialeCfg c;
        QString avviso;
        EXPECT_EQ(LeggiSerialeCfg(cfg, c, &avviso), k.letto);
        EXPECT_EQ(c.NSeriale, k.letto ? 5 : 1);
        EXPECT_EQ(!avviso.isEmpty(), k.avviso) << avviso.toStdString();
        QString errore;
        EXPECT_EQ(brelvo::ScriviSerialeCfg(cfg, {9, 0, 0, 0}, &errore), k.scritto) << errore.toStdString();
        EXPECT_EQ(errore.isEmpty(), k.scritto) << errore.toStdString();
        if (k.scritto) {
            EXPECT_EQ(contenuto(cfg), nuovi);
        }
        if (k.dopo) k.dopo(dir.path(), cfg);
        // Nothing left behind beside it.
        EXPECT_EQ(QDir(dir.path())
                      .entryList(QDir::Hidden | QDir::AllEntries | QDir::NoDotAndDotDot)
                      .filter(".Seriale")
                      .size(),
                  0);
    }
}
