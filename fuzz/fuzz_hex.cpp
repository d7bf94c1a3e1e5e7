// Arbitrary text through the HEX reader: no read outside the text, no image beyond its bound,
// nothing left behind by a refused file.
#include "HexImage.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr uint64_t kMaxImage = 1 << 20;
    static ktr::FillRandomState fill; // one per run, as in the program
    std::vector<uint8_t> image{1, 2, 3};
    const ktr::HexResult result = ktr::ReadHexImage(data, size, image, kMaxImage, fill);
    if (result.Outcome == ktr::HexOutcome::Ok ? image.size() > kMaxImage : !image.empty())
        std::abort();
    if ((result.Outcome == ktr::HexOutcome::Malformed) != (result.Line > 0)) std::abort();
    return 0;
}
