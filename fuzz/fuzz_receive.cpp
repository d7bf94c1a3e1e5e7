// Feeds arbitrary device output to the receive path, cut into transfers by the input itself:
// byte 0 picks the transfer size, the rest is the stream. Any read or write outside the
// accumulator, or a frame handed on that does not validate, ends the run.
#include "LinkFrame.h"
#include "RxAccumulator.h"

#include <algorithm>
#include <cstdlib>

namespace {
struct CheckingSink : ktr::FrameSink {
    uint32_t Signature = 0;
    void HandleResponse(const uint8_t* frame) override {
        const int size = ktr::FrameLength(frame) + ktr::kFrameOverhead;
        if (!ktr::CheckFrame(frame) || ktr::GetU32(frame) != Signature) std::abort();
        // What a handler reads: every byte of the frame.
        volatile uint8_t sum = 0;
        for (int i = 0; i < size; ++i)
            sum = uint8_t(sum + frame[i]);
        if (frame[ktr::kFrameTypeOffset] == 0x7F) Signature = 0; // a connect mid-scan
    }
    void DeviceKindChanged() override {
        const uint32_t kind = ktr::KindOfSignature(Signature);
        if (kind < 1 || kind > 3) Signature = 0;
    }
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const size_t piece = size_t(data[0]) + 1; // 1..256, like one IN transfer
    CheckingSink sink;
    ktr::RxAccumulator rx(sink.Signature, sink);
    for (size_t at = 1; at < size; at += piece) {
        const size_t n = std::min(piece, size - at);
        rx.AppendReceived(data + at, int32_t(n));
        if (rx.Filled() < 0 || rx.Filled() > ktr::kAccumulatorSize || rx.Consumed() != 0)
            std::abort();
    }
    return 0;
}
