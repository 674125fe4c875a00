// Placeholder definitions, replaced by the real recognisers.
#include "formats/Recognisers.h"
namespace lumivore {
bool RecogniseBmp(TBytes, TFoundFile&) { return false; }
bool RecogniseJpeg(TBytes, TFoundFile&) { return false; }
bool RecognisePng(TBytes, TFoundFile&) { return false; }
bool RecogniseGif(TBytes, TFoundFile&) { return false; }
}
