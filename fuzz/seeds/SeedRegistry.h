#pragma once
// Seed inputs for the fuzz targets, built in code by testkit. Each seeds_*.cpp file registers
// its seeds under the fuzz target's name; fuzz_seeds writes them out as corpus folders.

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace lumivore::fuzzseeds {

using TSeedMaker = std::function<std::vector<std::vector<std::uint8_t>>()>;

inline std::vector<std::pair<std::string, TSeedMaker>>& Registry() {
    static std::vector<std::pair<std::string, TSeedMaker>> registry;
    return registry;
}

struct TRegisterSeeds {
    TRegisterSeeds(std::string target, TSeedMaker maker) { Registry().emplace_back(std::move(target), std::move(maker)); }
};

} // namespace lumivore::fuzzseeds
