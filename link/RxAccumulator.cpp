#include "RxAccumulator.h"

#include <algorithm>

namespace ktr {

void RxAccumulator::AppendReceived(const uint8_t* received, int32_t n) {
    n = std::min({n, int32_t(kReceiveTransferSize), int32_t(kAccumulatorSize) - filled_});
    if (n <= 0) return;
    std::memcpy(buffer_ + filled_, received, size_t(n));
    filled_ += n;
    ParseReceived();
}

void RxAccumulator::ParseReceived() {
    while (filled_ - consumed_ >= kFrameOverhead) {
        const uint8_t* p = buffer_ + consumed_;
        const uint32_t signature = GetU32(p);
        if ((signature & kSignatureBaseMask) != SignatureBase) {
            ++consumed_;
            continue;
        }
        if (linkSignature_ == 0) {
            linkSignature_ = signature;
            sink_.DeviceKindChanged();
        }
        if (signature != linkSignature_) {
            ++consumed_;
            continue;
        }
        const int32_t length = FrameLength(p);
        // A header announcing more than the buffer can ever hold would wait forever and
        // stall the stream: treat it like a bad checksum.
        if (length > kMaxReceivableLength) {
            ++consumed_;
            continue;
        }
        if (filled_ - consumed_ < length + kFrameOverhead) break;
        if (!CheckFrame(p)) {
            ++consumed_;
            continue;
        }
        // Out of the buffer before it is handled: a sink that waits in an event loop may
        // receive and parse the frames that follow meanwhile.
        uint8_t frame[kMaxReceivableLength + kFrameOverhead];
        std::memcpy(frame, p, size_t(length + kFrameOverhead));
        consumed_ += length + kFrameOverhead;
        CompactAccumulator();
        sink_.HandleResponse(frame);
    }
    CompactAccumulator();
}

void RxAccumulator::CompactAccumulator() {
    if (consumed_ <= 0) return;
    std::memmove(buffer_, buffer_ + consumed_, size_t(filled_ - consumed_));
    filled_ -= consumed_;
    consumed_ = 0;
}

} // namespace ktr
