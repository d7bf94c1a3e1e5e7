// Reassembly of the device's byte stream into frames. Bytes are copied in once and frames
// are handed on where they lie; the buffer is never written past its 4096 bytes.
#pragma once

#include "LinkFrame.h"

#include <cstdint>

namespace ktr {

// What the parser hands frames to. Both calls run inside ParseReceived.
class FrameSink {
public:
    virtual ~FrameSink() = default;
    // A complete frame with the accepted signature and a good checksum, already taken out of
    // the buffer and valid only during the call. The sink may append and parse from inside
    // it (a configurator waiting in an event loop): the frames that follow are handled there.
    virtual void HandleResponse(const uint8_t* frame) = 0;
    // Called right after a signature was adopted while LinkSignature was 0; may set
    // LinkSignature again (to 0 for a kind the host does not serve).
    virtual void DeviceKindChanged() = 0;
};

class RxAccumulator {
public:
    // linkSignature is read afresh at every step, since the sink may change it mid-scan.
    RxAccumulator(uint32_t& linkSignature, FrameSink& sink)
        : linkSignature_(linkSignature), sink_(sink) {}

    // Appends the first n bytes of a successful IN transfer and parses. n <= 0 does nothing;
    // bytes beyond a single transfer (256) or beyond the free space are not taken.
    void AppendReceived(const uint8_t* received, int32_t n);
    void ParseReceived();
    void CompactAccumulator();

    int32_t Filled() const { return filled_; }
    int32_t Consumed() const { return consumed_; }
    const uint8_t* Data() const { return buffer_; }

private:
    uint32_t& linkSignature_;
    FrameSink& sink_;
    uint8_t buffer_[kAccumulatorSize] = {};
    int32_t filled_ = 0;
    int32_t consumed_ = 0;
};

} // namespace ktr
