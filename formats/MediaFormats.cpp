// Placeholder definitions, replaced by the real recognisers.
#include "formats/Recognisers.h"
namespace lumivore {
bool RecogniseRiff(TBytes, TFoundFile&) { return false; }
bool RecogniseRealMedia(TBytes, TFoundFile&) { return false; }
}
