// Arbitrary bytes as a HEIC/HEIF or AVIF file, decoded as a thumbnail (which takes the thumbnail
// item when the file has one) and in full.
#include "DecodeFuzz.h"
#include "preview/MediaDecoders.h"

// The AV1 decoder behind libheif keeps a small block when a damaged stream makes it give up;
// that is not ours to free, and not a finding.
extern "C" const char* __lsan_default_suppressions() { return "leak:libdav1d.so\n"; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lumivore;
    for (THeifPicture which : {THeifPicture::Thumbnail, THeifPicture::Primary})
        fuzz::FuzzDecoder(data, size, [which](TBytes bytes) {
            TMemorySource source(bytes);
            return DecodeHeif(source, which, fuzz::kFuzzPixels);
        });
    return 0;
}
