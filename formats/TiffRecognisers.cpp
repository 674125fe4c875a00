// Placeholder definitions, replaced by the real recognisers.
#include "formats/Recognisers.h"
namespace lumivore {
bool RecogniseTiff(TBytes, TFoundFile&) { return false; }
bool RecogniseX3f(TBytes, TFoundFile&) { return false; }
bool RecogniseRaf(TBytes, TFoundFile&) { return false; }
bool RecogniseMrw(TBytes, TFoundFile&) { return false; }
}
