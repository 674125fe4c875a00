#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <tuple>

#include "engine/RecoveryEntries.h"
#include "testkit/TempFiles.h"

namespace lumivore::testing {
namespace {

namespace fs = std::filesystem;
using detail::TRecoveryEntries;

// An entry with every field set, different for each start sector.
TRecoveryEntry Sample(std::int64_t start, std::size_t nameLength = 15) {
    TRecoveryEntry e;
    e.Index = static_cast<std::size_t>(start) * 3;
    e.StartSector = start;
    e.Status = start % 2 == 0 ? TRecoveryStatus::Recovered : TRecoveryStatus::Failed;
    e.Source = TLengthSource::Entry;
    e.NamedOriginally = start % 3 == 0;
    e.Damaged = start % 5 == 0;
    e.Name = std::string(nameLength, static_cast<char>('a' + start % 26));
    e.Detail = "detail of " + std::to_string(start);
    e.Enclosing = start % 2 == 0 ? "" : "f0000000001.nef";
    e.Temporary = start % 4 == 0 ? ".partial-" + std::to_string(start) : "";
    e.Length = start * 1000 + 7;
    e.BytesWritten = static_cast<std::uint64_t>(start) * 999;
    e.WrittenAs.Length = start * 1000;
    e.WrittenAs.NestedIn = start - 1;
    e.WrittenAs.Incomplete = start % 7 == 0;
    for (std::int64_t k = 0; k < start % 4; ++k)
        e.WrittenAs.Pieces.push_back({start * 512 + k * 4096, 2048 + k});
    return e;
}

auto Fields(const TRecoveryEntry& e) {
    return std::tie(e.Index, e.StartSector, e.Status, e.Source, e.NamedOriginally, e.Damaged, e.Name, e.Detail,
                    e.Enclosing, e.Temporary, e.Length, e.BytesWritten, e.WrittenAs);
}

class RecoveryEntries : public ::testing::Test {
protected:
    void SetUp() override { folder_ = ::open(dir_.Path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }
    void TearDown() override {
        if (folder_ >= 0)
            ::close(folder_);
    }
    // Nothing of the entries is left in the folder under a name.
    bool FolderEmpty() const { return fs::is_empty(dir_.Path()); }

    testkit::TTempDir dir_;
    int folder_ = -1;
};

TEST_F(RecoveryEntries, EntriesComeBackWholeByStartSectorWhereverTheyWereKept) {
    for (const bool onDisk : {true, false}) {
        TRecoveryEntries entries;
        if (onDisk)
            entries.Open(folder_);
        // Kept out of order, one with a name longer than a first read takes, one kept twice.
        for (const std::int64_t start : {500, 100, 300, 7, 42})
            entries.Put(Sample(start, start == 300 ? 3000 : 15));
        entries.Put(Sample(100, 40));
        ASSERT_EQ(entries.Size(), 5u);
        std::int64_t last = -1;
        for (std::size_t k = 0; k < entries.Size(); ++k) {
            const TRecoveryEntry e = entries.At(k);
            EXPECT_GT(e.StartSector, last);
            last = e.StartSector;
            EXPECT_EQ(Fields(e), Fields(Sample(e.StartSector, e.StartSector == 300 ? 3000 : e.StartSector == 100 ? 40 : 15)))
                << e.StartSector;
        }
        EXPECT_EQ(entries.FileBytes() > 0, onDisk);
        EXPECT_TRUE(FolderEmpty());
    }
}

TEST_F(RecoveryEntries, APassKeepsWhatItChangedAndForgetsWhatItRemoved) {
    TRecoveryEntries entries;
    entries.Open(folder_);
    for (std::int64_t start = 1; start <= 50; ++start)
        entries.Put(Sample(start));
    entries.Update([](TRecoveryEntry& e) {
        if (e.StartSector % 10 == 0)
            return TRecoveryEntries::TAfter::Removed;
        if (e.StartSector % 3 == 0) {
            e.Name = "renamed-" + std::to_string(e.StartSector);
            return TRecoveryEntries::TAfter::Changed;
        }
        e.Name = "not kept"; // said to be the same: what it changed is not kept
        return TRecoveryEntries::TAfter::Same;
    });
    ASSERT_EQ(entries.Size(), 45u);
    for (std::size_t k = 0; k < entries.Size(); ++k) {
        const TRecoveryEntry e = entries.At(k);
        EXPECT_NE(e.StartSector % 10, 0);
        TRecoveryEntry expected = Sample(e.StartSector);
        if (e.StartSector % 3 == 0)
            expected.Name = "renamed-" + std::to_string(e.StartSector);
        EXPECT_EQ(Fields(e), Fields(expected)) << e.StartSector;
    }
}

// The destination fills while the entries are kept there: the ones that no longer fit stay in
// memory, and every entry comes back.
TEST_F(RecoveryEntries, AFullDestinationLosesNoEntry) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // A file may grow to 4 KiB: about thirty entries fit, the rest fail with EFBIG.
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{4096, 4096};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
            _exit(3);
        TRecoveryEntries entries;
        entries.Open(folder_);
        for (std::int64_t start = 200; start > 0; --start)
            entries.Put(Sample(start));
        bool same = entries.Size() == 200 && entries.FileBytes() > 0 && entries.FileBytes() <= 4096;
        for (std::size_t k = 0; same && k < entries.Size(); ++k) {
            const TRecoveryEntry e = entries.At(k);
            same = e.StartSector == static_cast<std::int64_t>(k) + 1 && Fields(e) == Fields(Sample(e.StartSector));
        }
        _exit(same ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(RecoveryEntryPacking, EveryCutShortPackingIsRefused) {
    std::string packed;
    detail::PackEntry(Sample(9, 30), packed);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(packed.data());
    TRecoveryEntry e;
    ASSERT_TRUE(detail::UnpackEntry(bytes, packed.size(), e));
    EXPECT_EQ(Fields(e), Fields(Sample(9, 30)));
    for (std::size_t n = 0; n < packed.size(); ++n)
        EXPECT_FALSE(detail::UnpackEntry(bytes, n, e)) << n;
    // A status no entry has.
    std::string odd = packed;
    odd[4 + 8 + 8] = 9;
    EXPECT_FALSE(detail::UnpackEntry(reinterpret_cast<const std::uint8_t*>(odd.data()), odd.size(), e));
}

} // namespace
} // namespace lumivore::testing
