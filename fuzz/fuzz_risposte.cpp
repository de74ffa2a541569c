// The reply waits, alone and inside their commands, fed through the fake port
// and clock: the outcome is always 0, 1 or 2 and matches the reply, and a
// command keeps within its time-out, the codes waited for before it included.
#include "fuzz/FuzzComune.h"
#include "protocols/TabellaDriver.h"

using namespace talumbra;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* dati, size_t n) {
    test::FakePiattaforma fp(0xFFFFFF00u);  // close to the clock's wrap
    fuzz::Lettore in(dati, n);
    auto lettori = std::make_shared<clsLettori>();
    auto& ch = *lettori->Comunicazione;
    const uint8_t scelta = in.Byte();
    const bool zarnet = scelta & 1;
    // 0: a framed reply wait alone; 1: a framed command; 2: a CR LF command,
    // with the codes of a reader family arriving around it.
    const int modo = (scelta >> 1) % 3;
    if (modo != 0) {
        InstallaDriver(ch, (scelta >> 3) & 3);
        if (scelta & 0x20) ch.RispostaMaiCodice();
    }
    ch.VlMaxTimeOut = in.Byte() * 4;
    ch.setAttivo(true);
    fuzz::ProgrammaArrivi(in, fp.porta(), fp.ora);
    const uint32_t inizio = fp.ora;
    int16_t esito = -1;
    std::string risposta = "x";
    if (modo == 2)
        ch.InviaComando_RiceviRisposta("v", esito, risposta, true, ch.VlMaxTimeOut);
    else if (modo == 1 && zarnet)
        ch.InviaComando_RiceviRisposta_ZARNET("<v>", esito, risposta);
    else if (modo == 1)
        ch.InviaComando_RiceviRisposta_MAVO("\x02v\x03", esito, risposta);
    else if (zarnet)
        ch.Aspetta_Risposta_ZARNET(esito, risposta);
    else
        ch.Aspetta_Risposta_MAVO(esito, risposta);
    FUZZ_VERIFICA(esito == 0 || esito == 1 || esito == 2);
    FUZZ_VERIFICA(esito == 0 || risposta.empty());
    const uint32_t limite = static_cast<uint32_t>(ch.VlMaxTimeOut);
    const uint32_t trascorso = Trascorso(inizio, fp.ora);
    if (modo != 0) {
        // The codes waiting before a command leave its reply half the time-out.
        const auto& scritture = fp.porta().scritture;
        FUZZ_VERIFICA(!scritture.empty() && Trascorso(inizio, scritture[0].quando) <= limite / 2);
    }
    if (modo == 2) {
        FUZZ_VERIFICA(trascorso <= 2 * limite + 200);  // the LF has a time-out of its own, from the CR
    } else {
        FUZZ_VERIFICA(trascorso <= limite + 200);
        if (esito == 0) FUZZ_VERIFICA(ch.VerificaRisposta(risposta));
    }
    return 0;
}
