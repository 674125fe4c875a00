// Recovery after a scan: choosing the found files, checking the destination, and handing the
// files to the run that writes each one whole (engine/RecoveryRun.cpp) before the report beside
// them (engine/RecoveryReport.cpp). Recovery during a scan is engine/RecoveryDuringScan.cpp.
#include "engine/Recovery.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "device/DskLib.h"
#include "engine/RecoveryRun.h"
#include "engine/RecoveryWriter.h"
#include "engine/ScanEngine.h"
#include "support/SafeText.h"

namespace lumivore {

using detail::NameEnclosingFiles;
using detail::PrepareDestination;
using detail::TRecoveryRun;
using detail::WriteReport;

namespace {

namespace fs = std::filesystem;

std::vector<std::size_t> ChooseFiles(const TFoundFileList& files, const TRecoverySelection& sel) {
    std::vector<std::size_t> chosen;
    if (sel.ByRecords) {
        std::set<std::size_t> seen;
        for (std::size_t i : sel.Records)
            if (i < files.size() && seen.insert(i).second)
                chosen.push_back(i);
    } else {
        for (std::size_t i = 0; i < files.size(); ++i) {
            const TFoundFile& f = files[i];
            if (f.Nested() && !sel.IncludeNested)
                continue;
            if ((f.FormatIndex < kGeneralTypeCount && sel.General[f.FormatIndex]) ||
                (f.MakerIndex < kMakerTypeCount && sel.Makers[f.MakerIndex]) ||
                (f.PhoneIndex < kPhoneTypeCount && sel.Phones[f.PhoneIndex]))
                chosen.push_back(i);
        }
    }
    // Ascending start sector: the device is read front to back.
    std::stable_sort(chosen.begin(), chosen.end(),
                     [&](std::size_t a, std::size_t b) { return files[a].StartSector < files[b].StartSector; });
    return chosen;
}

} // namespace

namespace detail {

void NameEnclosingFiles(TRecoveryResult& result) {
    std::map<std::int64_t, const TFoundFile*> byStart;
    for (const TRecoveryEntry& e : result.Files)
        if (const TFoundFile& f = result.FileOf(e); f.Nested())
            byStart.emplace(f.NestedIn, nullptr);
    if (byStart.empty() || result.Records == nullptr)
        return;
    for (const TFoundFile& f : *result.Records) {
        const auto it = byStart.find(f.StartSector);
        if (it != byStart.end())
            it->second = &f;
    }
    for (TRecoveryEntry& e : result.Files) {
        const TFoundFile& f = result.FileOf(e);
        if (!f.Nested())
            continue;
        e.Enclosing = EnclosingName(byStart[f.NestedIn], f.NestedIn);
    }
}

std::string EnclosingName(const TFoundFile* holder, std::int64_t nestedIn) {
    return holder != nullptr ? RecoveredFileName(holder->StartSector, holder->Ext) : "sector " + std::to_string(nestedIn);
}

bool PrepareDestination(const TScanEngine& engine, const TRecoveryRequest& request, TOutputDir& dest,
                        std::string& message) {
    return dest.Open(request.Destination, ExaminedSourceOf(engine, request.Probe), message);
}

} // namespace detail

const TFoundFile& TRecoveryResult::FileOf(const TRecoveryEntry& e) const {
    static const TFoundFile kNone = [] {
        TFoundFile none;
        none.StartSector = -1;
        none.Length = kUnknownLength;
        return none;
    }();
    const TFoundFile* f = Records != nullptr ? RecordStartingAt(*Records, e.Index, e.StartSector) : nullptr;
    return f != nullptr ? *f : kNone;
}

bool OriginalFilePath(const TFoundFile& f, bool damaged, int suffix, std::vector<std::string>& folder, std::string& name) {
    folder.clear();
    name.clear();
    if (f.OriginalName.empty())
        return false;
    if (f.FolderKnown)
        for (const std::string& part : f.OriginalFolder)
            folder.push_back(SafePathComponent(part));
    name = SafePathComponent(f.OriginalName);
    std::string mark;
    if (suffix > 0)
        mark += "-" + std::to_string(suffix);
    if (damaged)
        mark += "-damaged";
    if (!mark.empty()) {
        const std::size_t dot = name.rfind('.');
        name.insert(dot == std::string::npos || dot == 0 ? name.size() : dot, mark);
    }
    return true;
}

std::optional<std::time_t> RecoveredFileTime(const TFoundFile& f) {
    if (const auto taken = ParseDateTaken(f.DateTaken))
        return taken;
    if (f.EntryModified != 0)
        return static_cast<std::time_t>(f.EntryModified);
    return std::nullopt;
}

TExaminedSource ExaminedSourceOf(const TScanEngine& engine, const TDeviceProbe& probe) {
    TExaminedSource examined;
    examined.Tables = probe.Tables;
    examined.FileSystemDevice = probe.FileSystemDevice;
    const TDeviceCatalogue& catalogue = TDeviceCatalogue::Instance();
    const TDeviceEntry* entry = catalogue.Find(engine.Drive.DriveCode);
    struct stat st {};
    const bool known = entry != nullptr && ::stat(entry->Path.c_str(), &st) == 0;
    if (known && S_ISREG(st.st_mode)) {
        examined.ImageDevice = st.st_dev;
        examined.ImageInode = st.st_ino;
    }
    if (probe.ExaminedDevices) {
        examined.Devices = probe.ExaminedDevices();
        return examined;
    }
    if (!known)
        return examined;
    if (S_ISBLK(st.st_mode)) {
        examined.Devices = RelatedBlockDevices(catalogue.SysRoot(), st.st_rdev);
        return examined;
    }
    // An image file: the loop devices that serve it (a file system mounted from the image
    // lives there).
    std::error_code ec;
    for (const fs::directory_entry& e : fs::directory_iterator(fs::path(catalogue.SysRoot()) / "block", ec)) {
        std::ifstream in(e.path() / "loop" / "backing_file");
        std::string backing;
        if (!std::getline(in, backing))
            continue;
        struct stat bs {};
        if (::stat(backing.c_str(), &bs) != 0 || bs.st_dev != st.st_dev || bs.st_ino != st.st_ino)
            continue;
        std::ifstream devFile(e.path() / "dev");
        unsigned maj = 0, min = 0;
        char colon = 0;
        if (devFile >> maj >> colon >> min && colon == ':') {
            const std::vector<dev_t> related = RelatedBlockDevices(catalogue.SysRoot(), makedev(maj, min));
            examined.Devices.insert(examined.Devices.end(), related.begin(), related.end());
        }
    }
    return examined;
}

bool CheckRecoveryDestination(const TScanEngine& engine, const TRecoveryRequest& request, std::string& message) {
    try {
        TOutputDir dest;
        return PrepareDestination(engine, request, dest, message);
    } catch (const std::exception& ex) {
        message = std::string("The destination cannot be checked: ") + ex.what();
        return false;
    }
}

TRecoverySelection TRecoverySelection::Types(const std::array<bool, kGeneralTypeCount>& general,
                                             const std::array<bool, kMakerTypeCount>& makers,
                                             const std::array<bool, kPhoneTypeCount>& phones) {
    TRecoverySelection s;
    s.General = general;
    s.Makers = makers;
    s.Phones = phones;
    return s;
}

TRecoverySelection TRecoverySelection::AllTypes() {
    TRecoverySelection s;
    s.General.fill(true);
    s.Makers.fill(true);
    s.Phones.fill(true);
    return s;
}

TRecoverySelection TRecoverySelection::Files(std::vector<std::size_t> indexes) {
    TRecoverySelection s;
    s.Records = std::move(indexes);
    s.ByRecords = true;
    return s;
}

TRecoveryResult Recover(TScanEngine& engine, const TRecoveryRequest& request) {
    TRecoveryResult result;
    try {
        if (engine.Busy) {
            result.Message = "Recovery cannot start while a scan or another recovery is running.";
            return result;
        }
        if (engine.Drive.Handle == kInvalidHandle) {
            result.Message = "No device is open to recover from.";
            return result;
        }
        TOutputDir dest;
        if (!PrepareDestination(engine, request, dest, result.Message))
            return result;
        result.Started = true;

        // The callers keep the list as it is while recovery runs (the engine is busy, and the
        // windows let nothing reorder or replace the records).
        result.Records = &engine.FoundFiles;
        for (std::size_t i : ChooseFiles(engine.FoundFiles, request.Selection)) {
            TRecoveryEntry e;
            e.Index = i;
            e.StartSector = engine.FoundFiles[i].StartSector;
            result.Files.push_back(std::move(e));
        }
        NameEnclosingFiles(result);
        if (result.Files.empty())
            return result;

        engine.Busy = true;
        engine.StopRequested = false;
        struct TResetOnExit {
            TScanEngine& engine;
            ~TResetOnExit() {
                engine.Busy = false;
                engine.StopRequested = false;
            }
        } reset{engine};

        TRecoveryRun(engine, request, dest, result).Run();

        WriteReport(dest, result);
        dest.Sync();
    } catch (const std::exception& ex) {
        result.Stopped = true;
        result.Message = std::string("Recovery stopped by an internal error: ") + ex.what();
    }
    return result;
}

} // namespace lumivore
