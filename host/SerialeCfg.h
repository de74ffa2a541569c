#pragma once
// "Seriale.cfg": the port number and the three typing options of Brelvo,
// four lines of one integer each, kept in the working directory.
#include <QByteArray>
#include <QString>
#include <cstdint>

#include <talumbra/NumeriFallimento.h>

namespace brelvo {

struct SerialeCfg {
    int16_t NSeriale = 1;
    int16_t mACapo = 0;
    int16_t mScrivi = 0;
    int16_t mFrecciaGiu = 0;
};

using talumbra::errSerialeCfg;  // a "Seriale.cfg" that cannot or may not be written
// The most the file may hold: four short lines are the whole format.
inline constexpr qsizetype kMassimoSerialeCfg = 4096;

// The port numbers that exist.
inline constexpr int kPrimaPorta = 1, kUltimaPorta = 256;

// Reads the values in file order into `cfg`. Whatever cannot be read (missing
// file, missing value, a value that is not a 16-bit number) is passed over
// and leaves that field as it was; so does every field after the end of file.
// Only a regular file of at most kMassimoSerialeCfg bytes is read, without
// blocking; anything else counts as missing. `avviso` stays empty for a file
// that is simply not there, or read whole and sound; otherwise it says why
// the file, or a value in it, was refused: such a file is the user's to mend,
// and is not to be overwritten. False when not read.
bool LeggiSerialeCfg(const QString& percorso, SerialeCfg& cfg, QString* avviso = nullptr);
// The same over the file's bytes; `rifiuto` names the first value refused (a
// field that is not a 16-bit number, a port number that does not exist).
void LeggiSerialeCfg(const QByteArray& contenuto, SerialeCfg& cfg, QString* rifiuto = nullptr);

// The exact bytes of the file: each value as " 3 \r\n" ("-3 \r\n" when negative).
QByteArray TestoSerialeCfg(const SerialeCfg& cfg);
// Creates or replaces the file. A regular file is replaced whole (a failed
// write leaves it intact) and keeps its mode and group; a symlink is written
// in place only when both it and its target, a regular file, are the user's.
// Anything else (another user's file, a device, a dangling link, a folder) is
// refused and nothing is written. Returns false, with the reason in `errore`
// (the description of failure errSerialeCfg), when the file is not written.
bool ScriviSerialeCfg(const QString& percorso, const SerialeCfg& cfg, QString* errore = nullptr);

}  // namespace brelvo
