// lumivore-cli on hostile cards: text from the card shown as data, honest exit statuses,
// the reason a source did not open, and SOURCE names that look like device codes.
#include <gtest/gtest.h>

#include <array>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "testkit/ImageBuilder.h"
#include "testkit/LargeFiles.h"
#include "testkit/PhotoBuilder.h"
#include "testkit/SampleCard.h"
#include "cli/CliRun.h"
#include "testkit/TempFiles.h"
#include "testkit/TiffBuilder.h"

namespace {

using lumivore::testing::Cli;
using lumivore::testing::Lines;
using lumivore::testing::TRun;

class CliSafetyTest : public ::testing::Test {
protected:
    void SetUp() override { setenv("LUMIVORE_CONFIG", (dir / "settings.xml").c_str(), 1); }
    lumivore::testkit::TTempDir dir;
};

} // namespace

namespace {

using lumivore::testkit::TByteVector;

std::string LastLine(const std::string& s) {
    std::size_t end = s.size();
    while (end > 0 && s[end - 1] == '\n')
        --end;
    const std::size_t start = s.rfind('\n', end == 0 ? 0 : end - 1);
    return s.substr(start == std::string::npos || end == 0 ? 0 : start + 1, end - (start == std::string::npos ? 0 : start + 1));
}

// A small JPEG whose EXIF block names the given make and model.
TByteVector CameraJpeg(const std::string& make, const std::string& model) {
    lumivore::testkit::TTiffBuilder tiff;
    const auto dir = tiff.AddDirectory();
    tiff.Ascii(dir, 0x010F, make);
    tiff.Ascii(dir, 0x0110, model);
    return lumivore::testkit::TJpegBuilder()
        .Exif(tiff.Build())
        .Picture(lumivore::testkit::EncodeJpeg(lumivore::testkit::TRgbImage::Pattern(32, 24)))
        .Build();
}

// Whether every byte sequence of s is valid UTF-8.
bool ValidUtf8(const std::string& s) {
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        const std::size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
        if (n == 0 || (n == 2 && c < 0xC2) || i + n > s.size())
            return false;
        for (std::size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
                return false;
        i += n;
    }
    return true;
}

} // namespace

// Camera names with terminal escapes, controls and bad bytes reach no output as control.
TEST_F(CliSafetyTest, CardTextIsEscapedInTheTableTheJsonAndTheReport) {
    const std::string make = "Evil\x1b]0;owned\x07\x1b[2J";
    const std::string model = "Caf\xc3\xa9 \xff\xfe\r\nX";
    lumivore::testkit::TDiskImage image(4096);
    image.Place(100, CameraJpeg(make, model));
    image.Place(2100, CameraJpeg("=1+2", "\xe6\x97\xa5\xe6\x9c\xac"));
    ASSERT_TRUE(image.Write(dir / "card.img"));

    const TRun table = Cli("scan --quiet " + dir / "card.img", dir);
    ASSERT_EQ(table.status, 0) << table.err;
    EXPECT_EQ(table.out.find('\x1b'), std::string::npos);
    EXPECT_EQ(table.out.find('\x07'), std::string::npos);
    EXPECT_EQ(table.out.find('\r'), std::string::npos);
    EXPECT_NE(table.out.find("Evil\\x1B]0;owned\\x07\\x1B[2J"), std::string::npos) << table.out;
    EXPECT_NE(table.out.find("Caf\xc3\xa9 \\xFF\\xFE\\x0D\\x0AX"), std::string::npos) << table.out;
    EXPECT_NE(table.out.find("\xe6\x97\xa5\xe6\x9c\xac"), std::string::npos) << "valid UTF-8 is shown as it is";

    const TRun json = Cli("scan --quiet --json " + dir / "card.img", dir);
    ASSERT_EQ(json.status, 0) << json.err;
    EXPECT_TRUE(ValidUtf8(json.out));
    EXPECT_EQ(Lines(json.out), 2);
    EXPECT_NE(json.out.find("\"Make\":\"Evil\\u001b]0;owned\\u0007\\u001b[2J\""), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"Model\":\"Caf\xc3\xa9 \xef\xbf\xbd\xef\xbf\xbd\\u000d\\u000aX\""), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"Model\":\"\xe6\x97\xa5\xe6\x9c\xac\""), std::string::npos) << json.out;

    const TRun recover = Cli("recover --quiet " + dir / "card.img" + " --to " + dir / "out", dir);
    ASSERT_EQ(recover.status, 0) << recover.err;
    const auto bytes = lumivore::testkit::ReadFile(dir / "out/recovery-report.csv");
    const std::string csv(bytes.begin(), bytes.end());
    EXPECT_EQ(Lines(csv), 3) << "a header and one line per file: no line break from the card";
    EXPECT_EQ(csv.find('\x1b'), std::string::npos);
    EXPECT_EQ(csv.find(",=1+2"), std::string::npos) << "a formula stays inert";
    EXPECT_NE(csv.find(",'=1+2,"), std::string::npos) << csv;
}

// 0 when everything was done, 3 with a last line when sectors could not be read, and an
// unreadable sector at a block's start or inside a block costs no other file.
TEST_F(CliSafetyTest, UnreadableSectorsEndWithStatusThreeAndLoseNoOtherFile) {
    lumivore::testkit::TDiskImage image(8000);
    const TByteVector jpeg = CameraJpeg("Canon", "EOS");
    for (std::uint64_t s = 10; s < 8000; s += 250)
        image.Place(s, jpeg);
    ASSERT_TRUE(image.Write(dir / "card.img"));
    const TRun clean = Cli("scan --quiet --json " + dir / "card.img", dir);
    ASSERT_EQ(clean.status, 0) << clean.err;
    EXPECT_TRUE(clean.err.empty()) << clean.err;
    ASSERT_EQ(Lines(clean.out), 32);

    const std::string preload = "ASAN_OPTIONS=verify_asan_link_order=0 LD_PRELOAD=" +
                                std::string(LUMIVORE_BINARY_DIR) + "/libbadsector_shim.so";
    for (const char* bad : {"3000", "5500"}) {
        const TRun r = Cli("scan --quiet --json " + dir / "card.img", dir, preload + " BAD_SECTOR=" + bad);
        EXPECT_EQ(r.status, 3) << bad << r.err;
        EXPECT_EQ(r.out, clean.out) << bad;
        EXPECT_EQ(LastLine(r.err), "lumivore-cli: finished, but 1 sector(s) could not be read") << bad;
        const TRun table = Cli("scan --quiet " + dir / "card.img", dir, preload + " BAD_SECTOR=" + bad);
        EXPECT_EQ(table.status, 3);
        EXPECT_NE(table.out.find("1 unreadable sector(s)"), std::string::npos) << table.out;
    }
    const TRun recover = Cli("recover --quiet " + dir / "card.img" + " --to " + dir / "out", dir, preload + " BAD_SECTOR=5500");
    EXPECT_EQ(recover.status, 3) << recover.err;
    EXPECT_EQ(LastLine(recover.err), "lumivore-cli: finished, but 1 sector(s) could not be read");
}

// A bad sector inside a photo larger than a scan block is read as few times as can be: the
// read that met it (which the system makes twice, once stopping short before it and once
// starting on it) and once alone, whatever reads the photo after the scan.
TEST_F(CliSafetyTest, ABadSectorIsReadAtMostThreeTimesInARun) {
    lumivore::testkit::TSampleCardOptions options;
    options.SizeBytes = 16ull << 20;
    lumivore::testkit::TSampleCard card;
    ASSERT_TRUE(lumivore::testkit::WriteSampleCard(dir / "card.img", options, card));
    std::uint64_t bad = 0;
    for (const lumivore::testkit::TCardFile& f : card.Files)
        if (f.Ext == "JPG" && f.Size > 4'000'000 && bad == 0)
            bad = f.StartSector + f.Size / 512 / 2;
    ASSERT_NE(bad, 0u);
    const std::string preload = "ASAN_OPTIONS=verify_asan_link_order=0 LD_PRELOAD=" +
                                std::string(LUMIVORE_BINARY_DIR) + "/libbadsector_shim.so BAD_SECTOR=" +
                                std::to_string(bad) + " BAD_SECTOR_ASKS=" + dir / "asks";
    for (const std::string& args : {"scan --quiet " + dir / "card.img",
                                    "recover --quiet " + dir / "card.img" + " --to " + dir / "one",
                                    "recover --quiet --two-pass " + dir / "card.img" + " --to " + dir / "two",
                                    "thumbs --quiet " + dir / "card.img" + " --to " + dir / "thumbs"}) {
        std::filesystem::remove(dir / "asks");
        const TRun r = Cli(args, dir, preload);
        EXPECT_EQ(r.status, 3) << args << r.err;
        const auto asks = lumivore::testkit::ReadFile(dir / "asks");
        EXPECT_GE(asks.size(), 1u) << args;
        EXPECT_LE(asks.size(), 3u) << args;
    }
}

// Ctrl+C during a scan: the clean stop and the report, then 130.
TEST_F(CliSafetyTest, CtrlCEndsWithStatus130AfterTheReport) {
    // 64 GiB of sparse zeros: far more than the scan gets through before the signal.
    ASSERT_TRUE(lumivore::testkit::TDiskImage(std::uint64_t{1} << 27).Write(dir / "big.img"));
    const std::string out = dir / "out.txt", err = dir / "err.txt";
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::freopen(out.c_str(), "w", stdout);
        std::freopen(err.c_str(), "w", stderr);
        const std::string cli = std::string(LUMIVORE_BINARY_DIR) + "/lumivore-cli";
        const std::string image = dir / "big.img";
        execl(cli.c_str(), cli.c_str(), "scan", image.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    // The first progress line shows that the scan (and its Ctrl+C handler) runs.
    auto started = [&] {
        std::error_code ec;
        const auto size = std::filesystem::file_size(err, ec);
        return !ec && size > 0;
    };
    for (int i = 0; i < 400 && !started(); ++i)
        usleep(50000);
    kill(pid, SIGINT);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by the signal, not by the stop";
    EXPECT_EQ(WEXITSTATUS(status), 130);
    const auto o = lumivore::testkit::ReadFile(out), e = lumivore::testkit::ReadFile(err);
    const std::string stdoutText(o.begin(), o.end()), stderrText(e.begin(), e.end());
    EXPECT_NE(stdoutText.find("0 file(s) found"), std::string::npos) << stdoutText;
    EXPECT_NE(stdoutText.find("scan stopped before the end of the range"), std::string::npos);
    EXPECT_EQ(LastLine(stderrText), "lumivore-cli: stopped by Ctrl+C before the end");
}

// A polite kill (timeout, systemd) and a closed terminal stop a recovery as Ctrl+C does: the
// file being written is not left as a temporary, the report is written, and the status is the
// shell's for that signal.
TEST_F(CliSafetyTest, SigtermAndSighupEndWithTheReportAndNoPartialFile) {
    // A 300 MB video on a sparse image: being written long enough for the signal to meet it.
    const auto pieces = lumivore::testkit::OpenDmlAvi(300'000'000u, {});
    if (!lumivore::testkit::CreateSparseFile(dir / "video.img", 320'000'000u, pieces))
        GTEST_SKIP() << "this file system cannot hold a sparse image";
    auto partials = [](const std::string& folder) {
        int n = 0;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(folder, ec))
            n += e.path().extension() == ".partial";
        return n;
    };
    for (int signal : {SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal);
        const std::string to = dir / ("out" + std::to_string(signal));
        const std::string out = dir / "out.txt", err = dir / "err.txt";
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            std::freopen(out.c_str(), "w", stdout);
            std::freopen(err.c_str(), "w", stderr);
            const std::string cli = std::string(LUMIVORE_BINARY_DIR) + "/lumivore-cli";
            const std::string image = dir / "video.img";
            execl(cli.c_str(), cli.c_str(), "recover", "--quiet", image.c_str(), "--to", to.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        // Sent once the video is being written.
        for (int i = 0; i < 2000 && partials(to) == 0; ++i)
            usleep(5000);
        EXPECT_EQ(partials(to), 1) << "the signal did not meet a file being written";
        kill(pid, signal);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status)) << "ended by the signal, not by the stop";
        EXPECT_EQ(WEXITSTATUS(status), 128 + signal);
        EXPECT_EQ(partials(to), 0);
        EXPECT_TRUE(std::filesystem::exists(to + "/recovery-report.csv"));
        const auto e = lumivore::testkit::ReadFile(err);
        const std::string stderrText(e.begin(), e.end());
        EXPECT_NE(LastLine(stderrText).find(signal == SIGTERM ? "stopped by SIGTERM" : "stopped by SIGHUP"),
                  std::string::npos)
            << stderrText;
    }
}

// Why a source did not open is said, with the advice about rights only for rights.
TEST_F(CliSafetyTest, OpenFailuresSayWhy) {
    lumivore::testkit::WriteFile(dir / "tiny.img", TByteVector(100, 0));
    const TRun tiny = Cli("scan --quiet " + dir / "tiny.img", dir);
    EXPECT_EQ(tiny.status, 1);
    EXPECT_NE(tiny.err.find("shorter than one sector"), std::string::npos) << tiny.err;
    EXPECT_EQ(tiny.err.find("'disk' group"), std::string::npos) << tiny.err;

    const TRun listed = Cli("devices --image " + dir / "tiny.img", dir);
    EXPECT_EQ(listed.status, 0) << listed.err;
    EXPECT_NE(listed.out.find("shorter than one sector"), std::string::npos) << listed.out;

    // The same refusal for a user without rights, where the system lets us become one.
    lumivore::testkit::TDiskImage(64).Write(dir / "card.img");
    std::filesystem::permissions(dir / "card.img", std::filesystem::perms::owner_read);
    if (geteuid() == 0 && std::filesystem::exists("/usr/bin/setpriv")) {
        std::filesystem::permissions(dir.Path(), std::filesystem::perms::all);
        const TRun denied = Cli("scan --quiet " + dir / "card.img", dir,
                                "LUMIVORE_CONFIG=/nonexistent/s.xml setpriv --reuid=65534 --regid=65534 --clear-groups");
        EXPECT_EQ(denied.status, 1);
        EXPECT_NE(denied.err.find("Permission denied"), std::string::npos) << denied.err;
        EXPECT_NE(denied.err.find("'disk' group"), std::string::npos) << denied.err;
        const TRun devices = Cli("devices --image " + dir / "card.img", dir,
                                 "LUMIVORE_CONFIG=/nonexistent/s.xml setpriv --reuid=65534 --regid=65534 --clear-groups");
        EXPECT_EQ(devices.status, 1);
        EXPECT_NE(devices.err.find("Permission denied"), std::string::npos) << devices.err;
    }
}

// A file named like a device code is that file; --start-mb -1 names the value given.
TEST_F(CliSafetyTest, NumericFileNamesAndNegativeMegabytes) {
    lumivore::testkit::TDiskImage image(4096);
    image.Place(100, CameraJpeg("Canon", "EOS"));
    ASSERT_TRUE(image.Write(dir / "7"));
    const TRun r = Cli("scan --quiet --json 7", dir, "cd " + dir.Path() + " &&");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Lines(r.out), 1);

    const TRun negative = Cli("scan x --start-mb -1", dir);
    EXPECT_EQ(negative.status, 2);
    EXPECT_NE(negative.err.find("'-1'"), std::string::npos) << negative.err;
    EXPECT_EQ(negative.err.find("e+308"), std::string::npos) << negative.err;
}
