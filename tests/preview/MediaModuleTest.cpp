// The media decoders behind their module: found beside the program, loaded once, and when
// the module is missing or foreign every decoder fails with TDecodeError, quietly.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include <dlfcn.h>
#include <zlib.h>

#include "preview/MediaDecoders.h"
#include "preview/MediaModule.h"
#include "support/AppInfo.h"
#include "testkit/EncodedMedia.h"
#include "testkit/TempFiles.h"

using namespace lumivore;
using namespace lumivore::testkit;

namespace {

// Each of the module's decoders on bytes it would decode.
void ExpectEveryDecoderFails(const TMediaModule& module) {
    const TByteVector webp = EncodeWebp(8, 8, {1, 2, 3});
    const TByteVector heic = EncodeHeif({});
    const TByteVector mp4 = EncodeVideo({});
    TMemorySource heicSource(heic), mp4Source(mp4);
    ::testing::internal::CaptureStderr();
    EXPECT_THROW(module.DecodeHeif(heicSource, THeifPicture::Primary, kMaxDecodePixels), TDecodeError);
    EXPECT_THROW(module.DecodeWebp(webp, kMaxDecodePixels), TDecodeError);
    EXPECT_THROW(module.DecodeVideoFrame(mp4Source, kMaxDecodePixels), TDecodeError);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

// A source whose reads throw, as a device reader may.
class TThrowingSource final : public TByteSource {
public:
    explicit TThrowingSource(std::uint64_t size) : size_(size) {}
    std::uint64_t Size() const override { return size_; }
    bool ReadAt(std::uint64_t, std::uint8_t*, std::size_t) override { throw std::runtime_error("device gone"); }

private:
    std::uint64_t size_;
};

} // namespace

TEST(MediaModule, TheDecodersUseTheModuleBesideTheProgram) {
    const std::vector<std::string> candidates = MediaModuleCandidates();
    ASSERT_EQ(candidates.size(), 2u);
    EXPECT_EQ(candidates[0], AppDir() + "lumivore-media.so");
    // An installation's module lies in a private library folder, found from the program's own.
    EXPECT_EQ(candidates[1].rfind(AppDir() + "../lib/", 0), 0u) << candidates[1];
    EXPECT_NE(candidates[1].find("/lumivore/lumivore-media.so"), std::string::npos) << candidates[1];

    const TMediaModule& shared = TMediaModule::Shared();
    ASSERT_TRUE(shared.Loaded()) << shared.Failure();
    EXPECT_EQ(shared.Path(), candidates[0]);
    EXPECT_EQ(&TMediaModule::Shared(), &shared) << "loaded once";

    // The same file loaded again under its own name decodes alike.
    const TMediaModule again(candidates[0]);
    ASSERT_TRUE(again.Loaded()) << again.Failure();
    const TByteVector webp = EncodeWebp(12, 10, {250, 250, 10});
    const TDecodedPicture a = again.DecodeWebp(webp, kMaxDecodePixels);
    const TDecodedPicture b = DecodeWebp(webp);
    EXPECT_EQ(a.Width, 12u);
    EXPECT_EQ(a.Height, 10u);
    EXPECT_EQ(a.Bitmap, b.Bitmap);
}

TEST(MediaModule, AMissingOrForeignModuleMakesEveryDecoderFailQuietly) {
    TTempDir dir;
    ASSERT_TRUE(WriteFile(dir / "lumivore-media.so", {'n', 'o', 't', ' ', 'E', 'L', 'F', '\n'}));
    // A real shared object without the module's entry: the compression library the core links.
    Dl_info zlib{};
    ASSERT_NE(::dladdr(reinterpret_cast<void*>(&zlibVersion), &zlib), 0);
    ASSERT_NE(zlib.dli_fname, nullptr);
    for (const std::string& path : {dir / "missing/lumivore-media.so", dir / "lumivore-media.so",
                                    std::string(zlib.dli_fname), std::string("lumivore-media.so")}) {
        SCOPED_TRACE(path);
        ::testing::internal::CaptureStderr();
        const TMediaModule module(path);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
        EXPECT_FALSE(module.Loaded());
        EXPECT_FALSE(module.Failure().empty());
        ExpectEveryDecoderFails(module);
    }
}

TEST(MediaModule, ASourceThatThrowsIsADecodeErrorOnTheCoreSide) {
    TThrowingSource source(1 << 20);
    EXPECT_THROW(DecodeHeif(source, THeifPicture::Primary), TDecodeError);
    EXPECT_THROW(DecodeVideoFrame(source), TDecodeError);
}
