#pragma once
// A card image with files laid at chosen sectors, opened in a fresh engine, scanned, and
// recovered into a folder: the road a user takes, for tests of what comes back.

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "device/DskLib.h"
#include "engine/Recovery.h"
#include "engine/ScanEngine.h"
#include "testkit/ImageBuilder.h"
#include "testkit/TempFiles.h"

namespace lumivore::testing {

class EngineOnCard : public ::testing::Test {
protected:
    static constexpr std::uint64_t kCardSectors = 80000; // 40,960,000 bytes

    void SetUp() override {
        setenv("LUMIVORE_CONFIG", (dir_ / "settings.xml").c_str(), 1);
        TDeviceCatalogue::Instance().Clear();
        engine_ = std::make_unique<TScanEngine>();
    }
    void TearDown() override {
        engine_.reset();
        TDeviceCatalogue::Instance().Clear();
    }

    void Place(std::uint64_t sector, const testkit::TByteVector& bytes) { image_.Place(sector, bytes); }

    // Writes the card, opens it and scans all of it.
    void OpenAndScan() {
        const std::string path = dir_ / "card.img";
        ASSERT_TRUE(image_.Write(path));
        const std::uint8_t code = TDeviceCatalogue::Instance().RegisterImage(path);
        ASSERT_NE(code, 0);
        ASSERT_TRUE(engine_->OpenDrive(code));
        engine_->Scan(0, static_cast<std::uint32_t>(kCardSectors), nullptr, nullptr, nullptr);
    }

    const TFoundFile* At(std::int64_t sector) const {
        for (const TFoundFile& f : engine_->FoundFiles)
            if (f.StartSector == sector)
                return &f;
        return nullptr;
    }

    TRecoveryResult Recover(TRecoverySelection selection) {
        TRecoveryRequest r;
        r.Destination = Out();
        r.Selection = std::move(selection);
        return lumivore::Recover(*engine_, r);
    }
    std::string Out() const { return dir_ / "out"; }
    testkit::TByteVector Written(const std::string& name) const { return testkit::ReadFile(Out() + "/" + name); }

    testkit::TTempDir dir_;
    testkit::TDiskImage image_{kCardSectors};
    std::unique_ptr<TScanEngine> engine_;
};

} // namespace lumivore::testing
