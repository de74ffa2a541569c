#include "platform/MappaPorte.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "talumbra/Fallimento.h"

namespace talumbra {

namespace {

std::string Tabella(int numero) {
    if (numero >= 1 && numero <= 32) return "/dev/ttyS" + std::to_string(numero - 1);
    if (numero >= 33 && numero <= 64) return "/dev/ttyUSB" + std::to_string(numero - 33);
    if (numero >= 65 && numero <= 96) return "/dev/ttyACM" + std::to_string(numero - 65);
    return {};
}

[[noreturn]] void Inesistente(int numero, const std::string& perche) {
    throw Fallimento(errPortaInesistente, "Port " + std::to_string(numero) + " does not exist: " + perche);
}

// The entry exists, or may, but cannot be looked at: no permission is the
// permission failure, anything else leaves the number without a device.
[[noreturn]] void NonLeggibile(int numero, const std::string& voce, int e) {
    const std::string perche = "cannot look up " + voce + ": " + std::strerror(e);
    if (e == EACCES || e == EPERM) throw Fallimento(errPortaOccupata, "Port " + std::to_string(numero) + ": " + perche);
    Inesistente(numero, perche);
}

}  // namespace

std::string PercorsoPorta(int numero) {
    if (numero < PrimaPorta || numero > UltimaPorta) Inesistente(numero, "port numbers go from 1 to 256");

    struct stat st {};
    std::string cartella = CartellaPorte();
    if (!cartella.empty()) {
        std::string voce = cartella + "/com" + std::to_string(numero);
        // The entry wins even when its target is missing: a mapped number must
        // not silently fall back to some other device of the built-in table.
        if (::lstat(voce.c_str(), &st) == 0) {
            if (::stat(voce.c_str(), &st) != 0) {
                const int e = errno;
                if (e == ENOENT)
                    Inesistente(numero, voce + " points to a device that is not there (adapter unplugged?)");
                NonLeggibile(numero, voce, e);
            }
            if (!S_ISCHR(st.st_mode)) Inesistente(numero, voce + " is not a character device");
            return voce;
        }
        // Only a missing entry leaves the number to the table. A folder that
        // cannot be read, or is not a folder, may hide an entry: falling back
        // would send the reader's commands to some other device.
        if (errno != ENOENT) NonLeggibile(numero, voce, errno);
        if (CartellaPorteNominata() && ::stat(cartella.c_str(), &st) != 0) {
            if (errno == ENOENT)
                Inesistente(numero, "the ports folder " + cartella + " (TALUMBRA_PORTS) does not exist");
            NonLeggibile(numero, cartella, errno);
        }
    }

    std::string dev = Tabella(numero);
    if (dev.empty()) {
        Inesistente(numero, "no com" + std::to_string(numero) + " entry in " +
                                (cartella.empty() ? std::string("the ports folder") : cartella));
    }
    if (::stat(dev.c_str(), &st) != 0) Inesistente(numero, dev + " is not there");
    if (!S_ISCHR(st.st_mode)) Inesistente(numero, dev + " is not a character device");
    return dev;
}

}  // namespace talumbra
