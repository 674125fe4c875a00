// Found files inside other found files: nested only where the holder's own structure points at
// them, left out of recovery by type unless asked and named in the report with their holder; a
// stale header's claimed extent costs none of the files written over its body, and is cut
// short where one of them begins.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "engine/EngineOnCard.h"
#include "engine/FileTypes.h"
#include "engine/Nesting.h"
#include "testkit/MediaBuilder.h"
#include "testkit/PhotoBuilder.h"
#include "testkit/TiffBuilder.h"

using namespace lumivore;
using lumivore::testkit::TByteVector;

namespace {

TFoundFile Record(std::int64_t sector, std::int64_t length, const char* ext = "JPG") {
    TFoundFile f;
    f.StartSector = sector;
    f.Length = length;
    f.Ext = ext;
    return f;
}

std::int64_t NestedIn(const TFoundFileList& files, std::int64_t sector) {
    for (const TFoundFile& f : files)
        if (f.StartSector == sector)
            return f.NestedIn;
    return -2;
}

} // namespace

TEST(MarkNestedFiles, OnlyWhereTheHoldersStructurePointsWithALengthThatAgrees) {
    TFoundFile raw = Record(100, 400 * 512, "NEF");
    raw.NoteEmbedded(2 * 512, 512);     // a preview at sector 102
    raw.NoteEmbedded(10 * 512, 0);      // a run of unstated length at 110
    raw.NoteEmbedded(20 * 512, 2048);   // a run at 120 far shorter than what starts there
    raw.NoteEmbedded(30 * 512, 40000);  // a run at 130 far longer than what starts there
    raw.NoteEmbedded(40 * 512, 4096);   // a run at 140, where the file's length is unknown
    TFoundFile preview = Record(102, 512);
    preview.NoteEmbedded(512, 300); // its own thumbnail, at 103
    TFoundFileList files = {
        Record(103, 300),           // the preview's thumbnail: held by the nearer holder
        raw,
        preview,
        Record(105, 512),           // inside the raw's extent, named by nothing: its own
        Record(110, 9000),
        Record(120, 50000),         // a photo written where a stale run began
        Record(130, 1000),
        Record(140, -1),
    };
    MarkNestedFiles(files);
    EXPECT_EQ(NestedIn(files, 100), -1);
    EXPECT_EQ(NestedIn(files, 102), 100);
    EXPECT_EQ(NestedIn(files, 103), 102);
    EXPECT_EQ(NestedIn(files, 105), -1) << "lying inside an extent is no reason";
    EXPECT_EQ(NestedIn(files, 110), 100);
    EXPECT_EQ(NestedIn(files, 120), -1);
    EXPECT_EQ(NestedIn(files, 130), -1);
    EXPECT_EQ(NestedIn(files, 140), 100);
    EXPECT_EQ(files[0].StartSector, 103); // not reordered

    // Marking again gives the same; a record loses its nesting when its holder's run goes.
    MarkNestedFiles(files);
    EXPECT_EQ(NestedIn(files, 103), 102);
    files[1].Embedded.clear();
    MarkNestedFiles(files);
    EXPECT_EQ(NestedIn(files, 102), -1);
    EXPECT_EQ(NestedIn(files, 103), 102);
}

TEST(MarkNestedFiles, AClaimedBodyIsCutWhereAFileWalkedWholeBegins) {
    TFoundFile wav = Record(0, 1000 * 512, "WAV");
    wav.ClaimFrom = 12;
    TFoundFile raw = Record(2000, 800 * 512, "NEF");
    raw.ClaimFrom = 300 * 512; // its image data from sector 2300 on
    TFoundFile thumbHolder = Record(50, 5000);
    thumbHolder.NoteEmbedded(512, 600);
    TFoundFileList files = {
        wav,
        Record(20, 54, "BMP"),  // a header's claim cuts nothing
        Record(30, -1),         // nor does a photo of unknown length
        thumbHolder,            // a photo walked whole: it cuts the sound
        Record(51, 600),        // its thumbnail
        raw,
        Record(2100, 8000),     // before the raw's image data: part of it, maybe
        Record(2500, 8000),     // inside the image data: written over
    };
    MarkNestedFiles(files);
    EXPECT_EQ(files[0].Length, 50 * 512);
    EXPECT_EQ(files[0].ClaimedLength, 1000 * 512);
    EXPECT_EQ(files[5].Length, 500 * 512);
    EXPECT_EQ(files[5].ClaimedLength, 800 * 512);
    for (const TFoundFile& f : files) {
        if (f.Ext == "JPG" && f.StartSector != 51) {
            EXPECT_FALSE(f.Nested()) << f.StartSector;
        }
    }

    // Judged afresh each time: without the photos inside them the claims stand whole again.
    files.erase(files.begin() + 3, files.begin() + 5);
    files.pop_back();
    MarkNestedFiles(files);
    EXPECT_EQ(files[0].Length, 1000 * 512);
    EXPECT_EQ(files[0].ClaimedLength, -1);
    EXPECT_EQ(files[3].Length, 800 * 512);
}

TEST(MarkNestedFiles, ManyRecordsInLinearithmicTime) {
    // 200,000 records of which every other one is named by its predecessor, and a claim over
    // all of them: a quadratic marking would take minutes here.
    TFoundFileList files;
    TFoundFile wav = Record(0, std::int64_t{2000000} * 512, "WAV");
    wav.ClaimFrom = 12;
    files.push_back(wav);
    for (std::int64_t i = 0; i < 100000; ++i) {
        TFoundFile holder = Record(i * 10 + 5, 8 * 512);
        holder.NoteEmbedded(2 * 512, 512);
        files.push_back(holder);
        files.push_back(Record(i * 10 + 7, 512));
    }
    std::shuffle(files.begin(), files.end(), std::mt19937(5));
    MarkNestedFiles(files);
    std::size_t nested = 0;
    for (const TFoundFile& f : files)
        nested += f.Nested() ? 1 : 0;
    EXPECT_EQ(nested, 100000u);
    EXPECT_EQ(NestedIn(files, 7), 5);
    const auto sound = std::find_if(files.begin(), files.end(), [](const TFoundFile& f) { return f.Ext == "WAV"; });
    EXPECT_EQ(sound->Length, 5 * 512);
}

TEST(TNestingIndex, AgreesWithTheWholeListMarkedAtOnce) {
    // Records come one by one, some learning runs or lengths later, as the scan meets them;
    // the index's verdict after each step is the one a marking of the list so far gives.
    std::mt19937 rng(11);
    for (int round = 0; round < 20; ++round) {
        TFoundFileList files, marked;
        TNestingIndex index;
        for (int i = 0; i < 60; ++i) {
            TFoundFile f = Record(static_cast<std::int64_t>(rng() % 400), (rng() % 3 == 0) ? -1 : 512 * (1 + rng() % 8));
            if (std::any_of(files.begin(), files.end(), [&](const TFoundFile& g) { return g.StartSector == f.StartSector; }))
                continue;
            for (unsigned k = rng() % 3; k > 0; --k)
                f.NoteEmbedded(512 * (1 + rng() % 40), 512 * (rng() % 8));
            files.push_back(f);
            index.Added(files, files.size() - 1);
            if (rng() % 4 == 0) {
                const std::size_t k = rng() % files.size();
                TFoundFile& g = files[k];
                if (rng() % 2 == 0)
                    g.NoteEmbedded(512 * (1 + rng() % 40), 512 * (rng() % 8));
                else
                    g.Length = 512 * (1 + rng() % 8);
                index.Changed(files, k);
            }
            marked = files;
            MarkNestedFiles(marked);
            for (std::size_t k = 0; k < files.size(); ++k)
                ASSERT_EQ(files[k].NestedIn, marked[k].NestedIn) << "round " << round << " record " << k;
        }
    }
}

class Nesting : public lumivore::testing::EngineOnCard {
protected:
    // A photo of some kilobytes.
    static TByteVector Photo(std::size_t bytes) { return testkit::TJpegBuilder().Jfif().FakeScan(bytes).Build(); }

    TRecoveryResult RecoverByType() {
        std::filesystem::remove_all(Out());
        TRecoveryResult r = Recover(TRecoverySelection::AllTypes());
        EXPECT_TRUE(r.Started) << r.Message;
        return r;
    }
    const TRecoveryEntry* Entry(const TRecoveryResult& r, std::int64_t sector) {
        const auto it = std::find_if(r.Files.begin(), r.Files.end(),
                                     [&](const TRecoveryEntry& e) { return e.StartSector == sector; });
        return it == r.Files.end() ? nullptr : &*it;
    }
    std::string Report(const TRecoveryResult& r) {
        std::ifstream in(r.ReportPath);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    // The three photos each stale header's claimed body holds here.
    void PlacePhotos(std::uint64_t first) {
        for (std::uint64_t k = 0; k < 3; ++k) {
            photos_[k] = Photo(6000 + 1000 * k);
            Place(first + 40 * k, photos_[k]);
        }
    }
    // They come back whole, counted and by type, none of them nested.
    void ExpectPhotosBack(const TRecoveryResult& r, std::uint64_t first, int photosOnCard = 3) {
        for (std::uint64_t k = 0; k < 3; ++k) {
            const auto sector = static_cast<std::int64_t>(first + 40 * k);
            const TFoundFile* f = At(sector);
            ASSERT_NE(f, nullptr) << sector;
            EXPECT_FALSE(f->Nested()) << sector;
            const TRecoveryEntry* e = Entry(r, sector);
            ASSERT_NE(e, nullptr) << sector;
            EXPECT_EQ(e->Status, TRecoveryStatus::Recovered);
            EXPECT_EQ(Written(e->Name), photos_[k]);
        }
        engine_->CountByType();
        EXPECT_EQ(GeneralCounts[kFormatJpeg], photosOnCard);
    }
    TByteVector photos_[3];
};

TEST_F(Nesting, AStaleVideoHeaderEndsWhereItsChunksBreakOff) {
    // A short video whose header claims 117 MB: the photos written after it are files of their
    // own, and the video ends with its last chunk.
    const TByteVector video = testkit::WithRiffSize(testkit::MakeAvi(64, 48, 3, 700), 117'000'000);
    Place(100, video);
    PlacePhotos(120);
    OpenAndScan();
    const TFoundFile* avi = At(100);
    ASSERT_NE(avi, nullptr);
    EXPECT_EQ(avi->Ext, "AVI");
    EXPECT_EQ(avi->Length, static_cast<std::int64_t>(video.size()));
    EXPECT_EQ(avi->ClaimedLength, 117'000'008);
    const TRecoveryResult r = RecoverByType();
    ExpectPhotosBack(r, 120);
    const TRecoveryEntry* e = Entry(r, 100);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(Written(e->Name), video);
    EXPECT_NE(e->Detail.find("cut short"), std::string::npos) << e->Detail;
    EXPECT_NE(Report(r).find(",117000008,,,,,\n"), std::string::npos);
}

TEST_F(Nesting, AStaleSoundHeaderIsCutWhereAPhotoBegins) {
    const TByteVector sound = testkit::MakeWave(8000, 1, 16, 2000);
    Place(100, testkit::WithRiffSize(sound, 60'000'000)); // more than the card holds
    PlacePhotos(200);
    OpenAndScan();
    const TFoundFile* wav = At(100);
    ASSERT_NE(wav, nullptr);
    EXPECT_EQ(wav->Length, 100 * 512);
    EXPECT_EQ(wav->ClaimedLength, 60'000'008);
    const TRecoveryResult r = RecoverByType();
    ExpectPhotosBack(r, 200);
    const TRecoveryEntry* e = Entry(r, 100);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->Status, TRecoveryStatus::Recovered);
    const TByteVector written = Written(e->Name);
    ASSERT_EQ(written.size(), 100u * 512);
    EXPECT_TRUE(std::equal(sound.begin() + 8, sound.end(), written.begin() + 8));
}

TEST_F(Nesting, AClaimPastTheDevicesEndIsWrittenAsFarAsTheDeviceGoes) {
    // A sound whose header claims more than the card holds, with nothing after it to cut the
    // claim: what the card holds of it comes back, and the run says so.
    const TByteVector sound = testkit::MakeWave(8000, 1, 16, 2000);
    Place(kCardSectors - 20, testkit::WithRiffSize(sound, 60'000'000));
    PlacePhotos(100);
    OpenAndScan();
    const TRecoveryResult r = RecoverByType();
    ExpectPhotosBack(r, 100);
    const TRecoveryEntry* e = Entry(r, kCardSectors - 20);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->Status, TRecoveryStatus::Recovered);
    EXPECT_EQ(Written(e->Name).size(), 20u * 512);
    EXPECT_NE(e->Detail.find("cut at the end of the device"), std::string::npos) << e->Detail;
}

TEST_F(Nesting, AStaleRawHeaderKeepsItsClaimButCostsNoPhoto) {
    // A raw's directory whose image strip lies 20 MB ahead, over which photos were written:
    // before the strip they are files of their own and the claim stands (nothing says they are
    // not the raw's); one inside the strip shows the strip was written over.
    testkit::TTiffBuilder b;
    const auto ifd0 = b.AddDirectory();
    b.Ascii(ifd0, 0x010F, "NIKON CORPORATION");
    b.Fixed(ifd0, 0x0111, testkit::kTiffLong, 1, 20'000'000);
    b.Fixed(ifd0, 0x0117, testkit::kTiffLong, 1, 4'000'000);
    const TByteVector raw = b.Build();
    Place(100, raw);
    PlacePhotos(300);
    const std::uint64_t inStrip = 100 + 20'000'000 / 512 + 100;
    const TByteVector late = Photo(9000);
    Place(inStrip, late);
    OpenAndScan();
    const TFoundFile* nef = At(100);
    ASSERT_NE(nef, nullptr);
    EXPECT_EQ(nef->Ext, "NEF");
    EXPECT_EQ(nef->Length, static_cast<std::int64_t>(inStrip - 100) * 512);
    EXPECT_EQ(nef->ClaimedLength, 24'000'000);
    const TRecoveryResult r = RecoverByType();
    ExpectPhotosBack(r, 300, 4);
    ASSERT_NE(Entry(r, static_cast<std::int64_t>(inStrip)), nullptr);
    EXPECT_EQ(Written(Entry(r, static_cast<std::int64_t>(inStrip))->Name), late);
}

TEST_F(Nesting, WhatAFilesStructureNamesStaysNested) {
    // A raw whose preview JPEG starts on a sector of its own.
    const TByteVector preview = testkit::TJpegBuilder().Jfif().FakeScan(3000).Build();
    testkit::TTiffBuilder b;
    const auto ifd0 = b.AddDirectory();
    b.Ascii(ifd0, 0x010F, "NIKON CORPORATION");
    b.PadTo(1024);
    const auto jpeg = b.AddData(preview);
    b.Pointer(ifd0, 0x0201, jpeg);
    b.Sizes(ifd0, 0x0202, {jpeg});
    b.AddData(TByteVector(20000, 0));
    const TByteVector raw = b.Build();
    ASSERT_EQ(b.Position(jpeg), 1024u);
    Place(100, raw);
    // A photo whose EXIF thumbnail starts on a sector boundary of the photo: the TIFF block
    // starts 12 bytes in, the thumbnail 500 bytes into it.
    const TByteVector thumbnail = testkit::TJpegBuilder().Jfif().FakeScan(700).Build();
    testkit::TTiffBuilder exif(true);
    const auto dir0 = exif.AddDirectory();
    exif.Ascii(dir0, 0x010F, "Canon");
    const auto dir1 = exif.AddDirectory();
    exif.Chain(dir0, dir1);
    exif.PadTo(500);
    const auto thumb = exif.JpegThumbnail(dir1, thumbnail);
    const TByteVector tiff = exif.Build();
    ASSERT_EQ(exif.Position(thumb), 500u);
    const TByteVector withThumb = testkit::TJpegBuilder().Exif(tiff).Jfif().FakeScan(4000).Build();
    Place(400, withThumb);
    // A photo with a camera's multi-picture preview appended on a sector boundary.
    TByteVector main = testkit::TJpegBuilder().Jfif().FakeScan(5000).Build();
    const TByteVector mpPreview = testkit::TJpegBuilder().Jfif().FakeScan(2500).Build();
    const std::size_t mpfBytes = testkit::JpegWithPreview(main, mpPreview).size() - main.size() - mpPreview.size();
    main.insert(main.end() - 2, (1536 - (main.size() + mpfBytes) % 512) % 512, 0);
    const TByteVector withPreview = testkit::JpegWithPreview(main, mpPreview);
    ASSERT_EQ((withPreview.size() - mpPreview.size()) % 512, 0u);
    Place(600, withPreview);
    OpenAndScan();

    EXPECT_EQ(At(102) != nullptr ? At(102)->NestedIn : -2, 100);
    EXPECT_EQ(At(401) != nullptr ? At(401)->NestedIn : -2, 400);
    const auto previewSector = static_cast<std::int64_t>(600 + (withPreview.size() - mpPreview.size()) / 512);
    EXPECT_EQ(At(previewSector) != nullptr ? At(previewSector)->NestedIn : -2, 600);
    EXPECT_FALSE(At(100)->Nested());
    EXPECT_FALSE(At(400)->Nested());
    EXPECT_FALSE(At(600)->Nested());

    // By type: the nested files are left out.
    TRecoveryResult r = RecoverByType();
    EXPECT_EQ(r.Recovered, 3);
    for (const std::int64_t sector : {std::int64_t{102}, std::int64_t{401}, previewSector})
        EXPECT_EQ(Entry(r, sector), nullptr) << sector;
    EXPECT_EQ(Written(Entry(r, 600)->Name), withPreview);

    // Asked for: written, and the report names the file that holds each.
    std::filesystem::remove_all(Out());
    TRecoverySelection all = TRecoverySelection::AllTypes();
    all.IncludeNested = true;
    r = Recover(all);
    ASSERT_EQ(r.Recovered, 6);
    ASSERT_NE(Entry(r, 102), nullptr);
    EXPECT_EQ(Entry(r, 102)->Enclosing, "f0000000100.nef");
    EXPECT_EQ(Written(Entry(r, 102)->Name), preview);
    EXPECT_EQ(Written(Entry(r, 401)->Name), thumbnail);
    EXPECT_NE(Report(r).find(",f0000000100.nef,"), std::string::npos);

    // Chosen one by one, a nested file is written like any other.
    std::filesystem::remove_all(Out());
    const TFoundFileList& found = engine_->FoundFiles;
    const auto index = static_cast<std::size_t>(std::distance(
        found.begin(), std::find_if(found.begin(), found.end(), [](const TFoundFile& f) { return f.StartSector == 102; })));
    ASSERT_LT(index, found.size());
    r = Recover(TRecoverySelection::Files({index}));
    EXPECT_EQ(r.Recovered, 1);
}
