#include "Consegna.h"

#include "ConsegnaMqtt.h"

namespace talumbra_read {

namespace {

struct Voce {
    const char* schema;
    std::unique_ptr<Consegna> (*crea)(const Destinazione&);
};

std::unique_ptr<Consegna> Mqtt(const Destinazione& d) { return std::make_unique<ConsegnaMqtt>(d); }

// A new back end (HTTP, a message queue...) is one more line here.
const Voce kBackEnd[] = {
    {"mqtt", Mqtt},
    {"mqtts", Mqtt},
};

}  // namespace

std::unique_ptr<Consegna> CreaConsegna(const Destinazione& d) {
    for (const Voce& v : kBackEnd)
        if (d.schema == v.schema) return v.crea(d);
    return nullptr;
}

bool SchemaConsegna(const std::string& schema) {
    for (const Voce& v : kBackEnd)
        if (schema == v.schema) return true;
    return false;
}

std::string SchemiConsegna() {
    std::string s;
    for (const Voce& v : kBackEnd) s += (s.empty() ? "" : ", ") + std::string(v.schema);
    return s;
}

}  // namespace talumbra_read
