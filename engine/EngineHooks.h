#pragma once
// How a long operation of the engine talks to whoever started it. The engine is single-threaded
// and never calls a toolkit: at fixed points it lets the caller's pending events run, moves a
// progress bar and shows counters through these small interfaces. The windows implement them
// with the toolkit, the command line with a progress line on stderr, the tests with recorders.

#include <cstdint>

namespace lumivore {

// Lets pending user-interface events run (where a Stop button is noticed).
class TMessagePump {
public:
    virtual ~TMessagePump() = default;
    virtual void ProcessMessages() = 0;
};

// A progress bar with positions 0 to 100.
class TProgressBar {
public:
    virtual ~TProgressBar() = default;
    virtual void SetPosition(int position) = 0;
};

// A label that shows one decimal counter and repaints at once.
class TCounterLabel {
public:
    virtual ~TCounterLabel() = default;
    virtual void SetCount(std::int64_t value) = 0;
};

// Shown each block of a scan's first pass right after it was read and examined: where it
// starts, its bytes and how many sectors it holds. Files found in it are in FoundFiles already.
class TBlockObserver {
public:
    virtual ~TBlockObserver() = default;
    virtual void BlockScanned(std::uint64_t firstSector, const std::uint8_t* data, std::uint64_t sectors) = 0;
};

} // namespace lumivore
