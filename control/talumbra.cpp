// libtalumbra.so: the control library. Its content comes whole from
// talumbra_control; this unit only gives the shared target a source.
namespace talumbra {
extern const char* const kVersioneLibreria;
const char* const kVersioneLibreria = "Talumbra " TALUMBRA_VERSIONE;
}  // namespace talumbra
