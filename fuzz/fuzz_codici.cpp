// The binary code-frame receiver (device types 1 and 2): every code raised is
// ten upper-case hexadecimal digits, and the receiver always ends.
#include "fuzz/FuzzComune.h"

using namespace talumbra;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* dati, size_t n) {
    test::FakePiattaforma fp;
    fuzz::Lettore in(dati, n);
    auto lettori = std::make_shared<clsLettori>();
    lettori->PELVAN().setConType(1 + (in.Byte() & 1));
    auto& ch = *lettori->Comunicazione;
    ch.ComRX = [](std::string& codice) {
        FUZZ_VERIFICA(codice.size() == 10);
        for (char c : codice) FUZZ_VERIFICA((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'));
    };
    ch.setAttivo(true);
    fuzz::ProgrammaArrivi(in, fp.porta(), fp.ora);
    for (int giri = 0; giri < 10000 && (fp.porta().NonArrivati() || !fp.porta().InAttesa().empty()); ++giri) {
        if (!fp.porta().Notifica()) fp.Avanza(1);
    }
    return 0;
}
