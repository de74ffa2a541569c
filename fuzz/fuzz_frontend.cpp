// The front end's decision on one received text, under every device type,
// badge type and conversion setting.
#include "fuzz/FuzzComune.h"

using namespace talumbra;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* dati, size_t n) {
    test::FakePiattaforma fp;
    fuzz::Lettore in(dati, n);
    auto lettori = std::make_shared<clsLettori>();
    lettori->PELVAN().setConType(in.Byte() % 5);
    lettori->TipoBadgeCorrente = static_cast<int8_t>(in.Byte()) % 7;
    lettori->CodificaQuendelAttiva = in.Byte() & 1;
    lettori->TempoMantCode = in.Byte() * 10;
    int consegnati = 0;
    lettori->Lettura = [&](std::string& codice) {
        ++consegnati;
        FUZZ_VERIFICA(codice.size() <= 4096);
    };
    while (!in.Finito()) {
        fp.Avanza(in.Byte());
        std::string testo = in.Pezzo(80);
        lettori->Comunicazione_ComRx(testo);
    }
    return 0;
}
