#pragma once
// Recovery in one pass keeps its entries on the destination; tests that look at them read them
// back into the result, in the report's order.

#include "engine/Recovery.h"

namespace lumivore::testing {

inline TRecoveryResult Finished(TRecoveryDuringScan& session, bool scanStopped) {
    TRecoveryResult r = session.Finish(scanStopped);
    session.ForEachEntry([&r](const TRecoveryEntry& e, const TFoundFile&) { r.Files.push_back(e); });
    return r;
}

} // namespace lumivore::testing
