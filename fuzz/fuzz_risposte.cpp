// The framed-reply collectors (STX/ETX and "<"/">"), fed through the fake
// port and clock: the outcome is always 0, 1 or 2 and matches the reply.
#include "fuzz/FuzzComune.h"

using namespace talumbra;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* dati, size_t n) {
    test::FakePiattaforma fp(0xFFFFFF00u);  // close to the clock's wrap
    fuzz::Lettore in(dati, n);
    auto lettori = std::make_shared<clsLettori>();
    auto& ch = *lettori->Comunicazione;
    const bool zarnet = in.Byte() & 1;
    ch.VlMaxTimeOut = in.Byte() * 4;
    ch.setAttivo(true);
    fuzz::ProgrammaArrivi(in, fp.porta(), fp.ora);
    const uint32_t inizio = fp.ora;
    int16_t esito = -1;
    std::string risposta = "x";
    if (zarnet)
        ch.Aspetta_Risposta_ZARNET(esito, risposta);
    else
        ch.Aspetta_Risposta_MAVO(esito, risposta);
    FUZZ_VERIFICA(esito == 0 || esito == 1 || esito == 2);
    FUZZ_VERIFICA(esito == 0 || risposta.empty());
    FUZZ_VERIFICA(Trascorso(inizio, fp.ora) <= static_cast<uint32_t>(ch.VlMaxTimeOut) + 200);
    if (esito == 0) FUZZ_VERIFICA(ch.VerificaRisposta(risposta));
    return 0;
}
