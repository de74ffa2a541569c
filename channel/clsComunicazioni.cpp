// The channel's port, settings and activation.
#include "channel/clsComunicazioni.h"

#include <functional>
#include <limits>
#include <utility>

#include "channel/Piattaforma.h"
#include "talumbra/Fallimento.h"

namespace talumbra {

clsComunicazioni::clsComunicazioni() {
    STX = std::string(1, '\x02');
    ETX = std::string(1, '\x03');
    ACK = std::string(1, '\x06');
    NAK = std::string(1, '\x15');
    EOT = std::string(1, '\x04');
    ApriTrama = "<";
    ChiudiTrama = ">";
    Seriale = piattaforma().CreaPorta();
    Seriale->OnComm = [this] { Seriale_OnComm(); };
    Seriale->setDTREnable(false);
    Seriale->setInputLen(1);
    Seriale->setInputMode(comInputModeText);
    Seriale->setRThreshold(1);
    Seriale->setRTSEnable(true);
    ValTimeOutDefault = 800;
}

clsComunicazioni::~clsComunicazioni() {
    if (Seriale) Seriale->OnComm = nullptr;
}

void clsComunicazioni::AlzaErrore(int32_t numero, const std::string& descrizione) {
    // ErroreCodice is 16 bits; a number that does not fit keeps its value in the text.
    bool entra = numero >= std::numeric_limits<int16_t>::min() && numero <= std::numeric_limits<int16_t>::max();
    int16_t codice = entra ? static_cast<int16_t>(numero) : int16_t{-1};
    std::string testo = entra ? descrizione : "(" + std::to_string(numero) + ") " + descrizione;
    if (Errore) Errore(codice, testo);
}

void clsComunicazioni::setCommPort(int16_t vData) {
    if (vData == mCommPort) return;
    try {
        if (Seriale->PortOpen()) {
            Seriale->setDTREnable(false);
            Seriale->setPortOpen(false);
            Seriale->setCommPort(vData);
            Seriale->setPortOpen(true);
            Seriale->setDTREnable(true);
        } else {
            Seriale->setCommPort(vData);
        }
        mCommPort = vData;
    } catch (const Fallimento& f) {
        AlzaErrore(f.Numero(), f.Descrizione());
    }
}

void clsComunicazioni::setCommSettings(const std::string& vData) {
    if (mCommSettings && *mCommSettings == vData) return;
    try {
        if (Seriale->PortOpen()) {
            Seriale->setDTREnable(false);
            Seriale->setPortOpen(false);
            Seriale->setSettings(vData);
            Seriale->setPortOpen(true);
            Seriale->setDTREnable(true);
        } else {
            Seriale->setSettings(vData);
        }
        mCommSettings = vData;
    } catch (const Fallimento& f) {
        AlzaErrore(f.Numero(), f.Descrizione());
    }
}

void clsComunicazioni::setAttivo(bool vData) {
    // A half line belongs to the opening it came in: a reader pulled in the
    // middle of a code line must not glue that half to the first line after
    // the port is opened again. Nor is what the last reader showed of its
    // check characters known of the next.
    if (vData != Seriale->PortOpen()) {
        mStxLetto = false;
        if (mDriver) mDriver->NuovaApertura();
    }
    // One recovery per assignment: reopen on the stored port number and repeat
    // the step that failed. A second failure ends with Errore and state false.
    bool recuperoUsato = false;
    bool interrotto = false;
    auto passo = [&](const std::function<void()>& azione) {
        if (interrotto) return;
        for (;;) {
            try {
                azione();
                return;
            } catch (const Fallimento& f) {
                if (recuperoUsato) {
                    mAttivo = false;
                    interrotto = true;
                    AlzaErrore(f.Numero(), f.Descrizione());
                    return;
                }
            }
            // Not protected: a failure here goes to the caller.
            Seriale->setPortOpen(false);
            Seriale->setCommPort(mCommPort);
            Seriale->setPortOpen(true);
            recuperoUsato = true;
        }
    };

    passo([&] { Seriale->setDTREnable(false); });
    if (vData) {
        if (!Seriale->PortOpen()) {
            // When the recovery has already opened the port, the repeated
            // opening counts as done instead of failing with 8005.
            passo([&] {
                if (!Seriale->PortOpen()) Seriale->setPortOpen(true);
            });
            passo([&] { Seriale->setDTREnable(true); });
            // A port lost while a framed code was awaited left the notification
            // off: the new opening listens again, or the reader stays deaf.
            if (std::exchange(mRiattivaAllApertura, false)) passo([&] { OnComm_Attivato(); });
        }
    } else if (Seriale->PortOpen()) {
        passo([&] { Seriale->setPortOpen(false); });
    }
    if (!interrotto) mAttivo = vData;
}

void clsComunicazioni::OnComm_Disattivato() { Seriale->setRThreshold(0); }

void clsComunicazioni::OnComm_Attivato() { Seriale->setRThreshold(1); }

void clsComunicazioni::AnalizzaSeriale(int16_t NumComm, int16_t& S_Stato, std::string& S_Setting) {
    const int16_t numeroPrima = Seriale->CommPort();
    const bool apertaPrima = Seriale->PortOpen();
    if (apertaPrima) Seriale->setPortOpen(false);
    try {
        Seriale->setCommPort(NumComm);
        S_Setting = Seriale->Settings();
        Seriale->setPortOpen(true);
        S_Stato = 1;
        Seriale->setPortOpen(false);
    } catch (const Fallimento& f) {
        const int32_t n = f.Numero();
        if (n == errPortaOccupata || n == errDispositivoNonDisponibile) S_Stato = 2;
        if (n == errPortaGiaAperta || n == errPortaInesistente) S_Stato = 3;
    }
    if (Seriale->CommPort() != numeroPrima) Seriale->setCommPort(numeroPrima);
    if (apertaPrima) Seriale->setPortOpen(true);
}

}  // namespace talumbra
