#pragma once
// A scan engine whose drive is a disk image built by the test, with every drive read recorded.

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <utility>
#include <vector>

#include "device/DskLib.h"
#include "engine/ScanEngine.h"
#include "testkit/ImageBuilder.h"
#include "testkit/TempFiles.h"

namespace lumivore::testing {

class EngineOnImage : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("LUMIVORE_CONFIG", (dir_ / "settings.xml").c_str(), 1);
        TDeviceCatalogue::Instance().Clear();
        engine_ = std::make_unique<TScanEngine>();
        previous_ = SetReadFault([this](std::uint64_t first, std::uint16_t count) {
            Calls.emplace_back(first, count);
            return false;
        });
    }
    void TearDown() override {
        SetReadFault(previous_);
        engine_.reset();
        TDeviceCatalogue::Instance().Clear();
    }

    // Writes the image and opens it as the engine's drive; forgets the reads made so far.
    void Open(const testkit::TDiskImage& image) {
        const std::string path = dir_ / "card.img";
        ASSERT_TRUE(image.Write(path));
        const std::uint8_t code = TDeviceCatalogue::Instance().RegisterImage(path);
        ASSERT_NE(code, 0);
        ASSERT_TRUE(engine_->OpenDrive(code));
        Calls.clear();
    }

    TScanEngine& Engine() { return *engine_; }

    std::vector<std::pair<std::uint64_t, std::uint16_t>> Calls; // (first sector, count) per read

private:
    testkit::TTempDir dir_;
    std::unique_ptr<TScanEngine> engine_;
    TReadFault previous_;
};

} // namespace lumivore::testing
