// The line receiver (device type 0): whatever arrives, in whatever pieces,
// lines never carry CR LF, and lines and the pending text stay within 4 KiB.
#include "fuzz/FuzzComune.h"

using namespace talumbra;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* dati, size_t n) {
    test::FakePiattaforma fp;
    auto lettori = std::make_shared<clsLettori>();
    auto& ch = *lettori->Comunicazione;
    ch.ComRX = [](std::string& riga) { FUZZ_VERIFICA(riga.find("\r\n") == std::string::npos && riga.size() <= 4096); };
    ch.setAttivo(true);
    fuzz::Lettore in(dati, n);
    while (!in.Finito()) {
        fp.Avanza(1 + in.Byte());
        fp.porta().ArrivaOra(in.Pezzo(255));
        fp.porta().Notifica();
        FUZZ_VERIFICA(ch.BufferRicezione().size() <= 4096);
    }
    return 0;
}
