#include "LinkFrame.h"

namespace ktr {

uint8_t FrameChecksum(const uint8_t* frame) {
    const int covered = FrameLength(frame) + kFrameHeaderSize;
    uint8_t sum = 0;
    for (int i = 0; i < covered; ++i)
        sum = uint8_t(sum + frame[i]);
    return sum;
}

bool CheckFrame(const uint8_t* frame) {
    return FrameChecksum(frame) == frame[kFrameHeaderSize + FrameLength(frame)];
}

int WriteFrame(uint8_t* out, uint32_t signature, uint8_t type, const uint8_t* payload,
               uint16_t payloadLength) {
    PutU32(out, signature);
    PutFrameLength(out, uint16_t(payloadLength + 1));
    out[kFrameTypeOffset] = type;
    if (payloadLength > 0) std::memmove(out + kFramePayloadOffset, payload, payloadLength);
    out[kFramePayloadOffset + payloadLength] = FrameChecksum(out);
    return payloadLength + kFrameOverhead + 1;
}

int BuildCommandFrame(uint8_t* transmitBuffer, uint32_t signature, uint8_t command,
                      const uint8_t* data, uint16_t length) {
    if (length > kMaxEntryData) return 0;
    return WriteFrame(transmitBuffer, signature, command, data, length);
}

int BuildPollFrame(uint8_t* transmitBuffer, uint32_t signature) {
    return WriteFrame(transmitBuffer, signature, cmdPoll, nullptr, 0);
}

} // namespace ktr
