#include "preview/MediaDecoders.h"

#include <cstring>
#include <exception>

#include <dlfcn.h>

#include "engine/DeviceReader.h"
#include "preview/MediaModule.h"
#include "support/AppInfo.h"

// The media module's folder relative to the program's own, set when the build is configured.
#ifndef LUMIVORE_INSTALLED_MODULE_DIR
#define LUMIVORE_INSTALLED_MODULE_DIR "../lib/lumivore/"
#endif

namespace lumivore {

static_assert(kMediaMaxSide == TBitmap::kMaxSide, "the module and the bitmaps agree on the largest side");

bool TMemorySource::ReadAt(std::uint64_t offset, std::uint8_t* out, std::size_t n) {
    if (offset > data_.size() || n > data_.size() - offset)
        return false;
    if (n > 0)
        std::memcpy(out, data_.data() + offset, n);
    return true;
}

std::uint64_t TDeviceSource::Size() const {
    return reader_.Size();
}

bool TDeviceSource::ReadAt(std::uint64_t offset, std::uint8_t* out, std::size_t n) {
    return reader_.ReadAt(offset, out, n);
}

namespace {

// The core's side of the module's callbacks: no exception may reach the module's frames.

int SourceReadAt(void* user, std::uint64_t offset, std::uint8_t* out, std::size_t n) {
    try {
        return static_cast<TByteSource*>(user)->ReadAt(offset, out, n) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

TMediaSource SourceFor(TByteSource& source) {
    return TMediaSource{&source, source.Size(), &SourceReadAt};
}

std::uint8_t* AllocateBitmap(void* user, std::int32_t width, std::int32_t height, std::size_t* stride) {
    if (width <= 0 || height <= 0 || width > TBitmap::kMaxSide || height > TBitmap::kMaxSide || !stride)
        return nullptr;
    try {
        auto& bitmap = *static_cast<TBitmap*>(user);
        bitmap.SetSize(width, height);
        *stride = bitmap.Stride();
        return bitmap.Data();
    } catch (...) {
        return nullptr;
    }
}

// Runs one of the module's decoders into a fresh picture.
template <typename TCall> TDecodedPicture Decoded(TCall call) {
    TDecodedPicture result;
    TMediaPicture picture{};
    picture.User = &result.Bitmap;
    picture.Allocate = &AllocateBitmap;
    if (call(&picture) == 0 || result.Bitmap.Empty()) {
        picture.Error[sizeof picture.Error - 1] = '\0';
        throw TDecodeError(picture.Error[0] != '\0' ? picture.Error : "picture cannot be decoded");
    }
    result.Width = picture.Width;
    result.Height = picture.Height;
    return result;
}

const TMediaModuleTable& TableOf(const TMediaModuleTable* table) {
    if (!table)
        throw TDecodeError("the media decoders are not available");
    return *table;
}

} // namespace

TMediaModule::TMediaModule(const std::string& path) : path_(path) {
    if (path.empty() || path.front() != '/') {
        failure_ = "not an absolute path";
        return;
    }
    // The module is never unloaded (RTLD_NODELETE): the codec libraries it brings keep threads
    // and handlers that outlive a decode. Its symbols stay its own (RTLD_LOCAL).
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (!handle) {
        const char* why = ::dlerror();
        failure_ = why ? why : "cannot be loaded";
        return;
    }
    const auto entry = reinterpret_cast<TMediaModuleEntry>(::dlsym(handle, kMediaModuleEntry));
    const TMediaModuleTable* table = entry ? entry() : nullptr;
    if (!table || table->Abi != kMediaModuleAbi || table->Size != sizeof(TMediaModuleTable) || !table->DecodeHeif ||
        !table->DecodeWebp || !table->DecodeVideoFrame) {
        failure_ = "not a media module of this version";
        ::dlclose(handle);
        return;
    }
    table_ = table;
}

TDecodedPicture TMediaModule::DecodeHeif(TByteSource& source, THeifPicture which, std::uint64_t maxPixels) const {
    const TMediaModuleTable& table = TableOf(table_);
    const TMediaSource from = SourceFor(source);
    const std::int32_t picture = which == THeifPicture::Thumbnail ? kMediaHeifThumbnail : kMediaHeifPrimary;
    return Decoded([&](TMediaPicture* out) { return table.DecodeHeif(&from, picture, maxPixels, out); });
}

TDecodedPicture TMediaModule::DecodeWebp(TBytes data, std::uint64_t maxPixels) const {
    const TMediaModuleTable& table = TableOf(table_);
    return Decoded([&](TMediaPicture* out) { return table.DecodeWebp(data.data(), data.size(), maxPixels, out); });
}

TDecodedPicture TMediaModule::DecodeVideoFrame(TByteSource& source, std::uint64_t maxPixels) const {
    const TMediaModuleTable& table = TableOf(table_);
    const TMediaSource from = SourceFor(source);
    return Decoded([&](TMediaPicture* out) { return table.DecodeVideoFrame(&from, maxPixels, out); });
}

std::vector<std::string> MediaModuleCandidates() {
    std::vector<std::string> paths;
    const std::string& dir = AppDir();
    if (dir.empty() || dir.front() != '/')
        return paths;
    paths.push_back(dir + kMediaModuleFile);
    paths.push_back(dir + LUMIVORE_INSTALLED_MODULE_DIR + kMediaModuleFile);
    return paths;
}

const TMediaModule& TMediaModule::Shared() {
    // Loaded once; a module that cannot be loaded is not looked for again.
    static const TMediaModule* const shared = [] {
        std::string failures;
        for (const std::string& path : MediaModuleCandidates()) {
            auto* module = new TMediaModule(path);
            if (module->Loaded())
                return module;
            failures += (failures.empty() ? "" : "; ") + module->Failure();
            delete module;
        }
        auto* none = new TMediaModule();
        none->failure_ = failures.empty() ? "the program's folder is unknown" : failures;
        return none;
    }();
    return *shared;
}

TDecodedPicture DecodeHeif(TByteSource& source, THeifPicture which, std::uint64_t maxPixels) {
    return TMediaModule::Shared().DecodeHeif(source, which, maxPixels);
}

TDecodedPicture DecodeWebp(TBytes data, std::uint64_t maxPixels) {
    return TMediaModule::Shared().DecodeWebp(data, maxPixels);
}

TDecodedPicture DecodeVideoFrame(TByteSource& source, std::uint64_t maxPixels) {
    return TMediaModule::Shared().DecodeVideoFrame(source, maxPixels);
}

} // namespace lumivore
