// Clips written by the muxer the way cameras write them (media data first, the index after
// it) and the way streaming uploads do, as MP4, MOV and 3GP, larger than a scan block, with
// the camera's metadata, on a card followed by random bytes or by the next clip: each is
// measured across blocks to its exact length and its metadata read from the index.
#include <gtest/gtest.h>

#include <string>

#include "FilesOnImage.h"
#include "testkit/EncodedMedia.h"

using namespace lumivore;
using namespace lumivore::testkit;

namespace {

using IsoMediaScan = lumivore::testing::FilesOnImage;

TVideoRecipe CameraClip(TVideoContainer container, bool movieFirst, std::uint32_t seed) {
    TVideoRecipe recipe;
    recipe.Container = container;
    recipe.MovieFirst = movieFirst;
    recipe.Width = 320;
    recipe.Height = 240;
    recipe.Frames = 14;
    recipe.Noise = true;
    recipe.NoiseSeed = seed;
    recipe.Make = "Lumivore";
    recipe.Model = "Field Camera 2";
    recipe.CreationTime = "2024-05-17T10:20:30Z";
    recipe.Keys = container == TVideoContainer::Mp4;
    return recipe;
}

TEST_F(IsoMediaScan, CameraClipsOfEveryContainerAreMeasuredAcrossBlocksWithTheirMetadata) {
    struct TCase {
        TVideoContainer container;
        const char* ext;
        bool metadata; // the muxer writes make and model for this container
    };
    const TCase cases[] = {{TVideoContainer::Mp4, "MP4", true}, {TVideoContainer::Mov, "MOV", true},
                           {TVideoContainer::ThreeGp, "3GP", false}};
    std::vector<TByteVector> clips;
    std::vector<const TCase*> kinds;
    std::uint32_t seed = 1;
    for (const TCase& c : cases) {
        for (bool movieFirst : {false, true}) {
            TByteVector clip = EncodeVideo(CameraClip(c.container, movieFirst, seed++));
            ASSERT_GT(clip.size(), 600'000u) << c.ext; // more than one scan block
            // The layout cameras write: the media data first, the index after it.
            const auto mdat = FindTopLevelBox(clip, "mdat"), moov = FindTopLevelBox(clip, "moov");
            ASSERT_TRUE(mdat && moov) << c.ext;
            ASSERT_EQ(*mdat < *moov, !movieFirst) << c.ext;
            clips.push_back(std::move(clip));
            kinds.push_back(&c);
        }
    }
    // Followed by random sectors, and laid back to back.
    for (std::size_t gap : {std::size_t{5}, std::size_t{0}}) {
        const TFoundFileList found = ScanFiles(clips, gap);
        for (std::size_t i = 0; i < clips.size(); ++i) {
            const TFoundFile& f = found[i];
            const std::string what = std::string(kinds[i]->ext) + " #" + std::to_string(i) + " gap " + std::to_string(gap);
            EXPECT_EQ(f.Ext, kinds[i]->ext) << what;
            EXPECT_EQ(f.Length, static_cast<std::int64_t>(clips[i].size())) << what;
            EXPECT_EQ(f.Width, 320) << what;
            EXPECT_EQ(f.Height, 240) << what;
            EXPECT_EQ(f.DateTaken, "2024:05:17 10:20:30") << what;
            if (kinds[i]->metadata) {
                EXPECT_EQ(f.Make, "Lumivore") << what;
                EXPECT_EQ(f.Model, "Field Camera 2") << what;
            }
        }
    }
}

} // namespace
