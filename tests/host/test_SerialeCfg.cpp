#include <gtest/gtest.h>
#include <QTemporaryDir>

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
