#pragma once
// "Seriale.cfg": the port number and the three typing options of Brelvo,
// four lines of one integer each, kept in the working directory.
#include <QByteArray>
#include <QString>
#include <cstdint>

namespace brelvo {

struct SerialeCfg {
    int16_t NSeriale = 1;
    int16_t mACapo = 0;
    int16_t mScrivi = 0;
    int16_t mFrecciaGiu = 0;
};

// Reads the values in file order into `cfg`. Whatever cannot be read (missing
// file, missing value, a value that is not a 16-bit number) is passed over
// and leaves that field as it was; so does every field after the end of file.
void LeggiSerialeCfg(const QString& percorso, SerialeCfg& cfg);
// The same over the file's bytes.
void LeggiSerialeCfg(const QByteArray& contenuto, SerialeCfg& cfg);

// The exact bytes of the file: each value as " 3 \r\n" ("-3 \r\n" when negative).
QByteArray TestoSerialeCfg(const SerialeCfg& cfg);
// Creates or replaces the file. Returns false, with the reason in `errore`,
// when it cannot be written; a failed write leaves any previous file intact.
bool ScriviSerialeCfg(const QString& percorso, const SerialeCfg& cfg, QString* errore = nullptr);

}  // namespace brelvo
