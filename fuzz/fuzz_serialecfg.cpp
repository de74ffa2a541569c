// Brelvo's "Seriale.cfg" reader: any bytes read without a crash, and the
// values it keeps are written back in a form that reads back the same.
#include "fuzz/FuzzComune.h"
#include "host/SerialeCfg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* dati, size_t n) {
    brelvo::SerialeCfg cfg;
    brelvo::LeggiSerialeCfg(QByteArray(reinterpret_cast<const char*>(dati), static_cast<qsizetype>(n)), cfg);
    brelvo::SerialeCfg di_nuovo;
    di_nuovo.NSeriale = 0;
    brelvo::LeggiSerialeCfg(brelvo::TestoSerialeCfg(cfg), di_nuovo);
    FUZZ_VERIFICA(di_nuovo.NSeriale == cfg.NSeriale);
    FUZZ_VERIFICA(di_nuovo.mACapo == cfg.mACapo);
    FUZZ_VERIFICA(di_nuovo.mScrivi == cfg.mScrivi);
    FUZZ_VERIFICA(di_nuovo.mFrecciaGiu == cfg.mFrecciaGiu);
    return 0;
}
