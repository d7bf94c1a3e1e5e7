// The wire format of the device link: the single source of truth for frame layout,
// frame Types, payload records and buffer sizes. Depends on nothing.
#pragma once

#include <cstdint>
#include <cstring>

namespace ktr {

// Envelope: Signature(4) Length(2) Type(1) Payload(Length-1) Checksum(1).
constexpr uint32_t SignatureBase = 0x00515253;
constexpr uint32_t kSignatureBaseMask = 0x00FFFFFF;
constexpr int kFrameHeaderSize = 6; // Signature + Length
constexpr int kFrameOverhead = 7;   // header + checksum; a frame is Length + 7 bytes
constexpr int kFrameTypeOffset = 6;
constexpr int kFramePayloadOffset = 7;

constexpr int kTransmitBufferSize = 2048;
constexpr int kReceiveBufferSize = 2048;
constexpr int kAccumulatorSize = 4096;
constexpr int kReceiveTransferSize = 256;
// The largest Length whose frame the accumulator can ever hold whole.
constexpr int kMaxReceivableLength = kAccumulatorSize - kReceiveTransferSize + 1 - kFrameOverhead;
constexpr int kMaxEntryData = 1546; // CommandEntry capacity
constexpr int kMaxBlockData = 256;
constexpr int kCommandTrailingBytes = 2; // sent after every command frame, ignored by the device
constexpr int kPollTransferSize = 8;

// BlockRecord: Address uint32 @0, Count uint16 @4, Data or VerifyFlag @6.
constexpr int kBlockHeaderSize = 6;
constexpr int kBlockCountOffset = 4;
constexpr int kBlockDataOffset = 6;
// TcpChunk: Sequence @0, Count uint16 @1, Data @3.
constexpr int kTcpChunkHeaderSize = 3;

enum FrameType : uint8_t {
    cmdPoll = 0x00,
    cmdIdent = 0x01,
    cmdFlashSize = 0x10,
    cmdFlashWrite = 0x11,
    cmdFlashVerify = 0x12,
    cmdEepromSize = 0x20,
    cmdEepromWrite = 0x21,
    cmdEepromVerify = 0x22,
    cmdEepromRead = 0x23,
    cmdAuxSize = 0x30,
    cmdAuxWrite = 0x31,
    cmdAuxVerify = 0x32,
    cmdAuxRead = 0x33,
    cmdTcpData = 0x40,
    cmdTcpReply = 0x41,
};

constexpr uint32_t SignatureOfKind(uint32_t kind) {
    return SignatureBase | (kind << 24);
}
constexpr uint32_t KindOfSignature(uint32_t signature) {
    return signature >> 24;
}

inline uint16_t GetU16(const uint8_t* p) {
    return uint16_t(p[0] | (p[1] << 8));
}
inline uint32_t GetU32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline void PutU16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void PutU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}

// ---- Named fields. Callers guarantee the bytes each one reads or writes. ----

// The frame's Length field: the Type byte plus the payload.
inline uint16_t FrameLength(const uint8_t* frame) {
    return GetU16(frame + 4);
}
inline void PutFrameLength(uint8_t* frame, uint16_t length) {
    PutU16(frame + 4, length);
}

// BlockRecord of a block request or answer, at the payload.
inline uint32_t BlockAddress(const uint8_t* record) {
    return GetU32(record);
}
inline uint16_t BlockCount(const uint8_t* record) {
    return GetU16(record + kBlockCountOffset);
}
inline const uint8_t* BlockData(const uint8_t* record) {
    return record + kBlockDataOffset;
}
inline uint8_t* BlockData(uint8_t* record) {
    return record + kBlockDataOffset;
}
// A verify answer's flag: non-zero when the block differs.
inline uint8_t BlockVerifyFlag(const uint8_t* record) {
    return record[kBlockDataOffset];
}
inline void PutBlockHeader(uint8_t* record, uint32_t address, uint16_t count) {
    PutU32(record, address);
    PutU16(record + kBlockCountOffset, count);
}

// TcpChunk of a cmdTcpData request or answer, at the payload.
inline uint8_t TcpChunkSequence(const uint8_t* chunk) {
    return chunk[0];
}
inline uint16_t TcpChunkCount(const uint8_t* chunk) {
    return GetU16(chunk + 1);
}
inline const uint8_t* TcpChunkData(const uint8_t* chunk) {
    return chunk + kTcpChunkHeaderSize;
}
inline uint8_t* TcpChunkData(uint8_t* chunk) {
    return chunk + kTcpChunkHeaderSize;
}
inline void PutTcpChunkHeader(uint8_t* chunk, uint8_t sequence, uint16_t count) {
    chunk[0] = sequence;
    PutU16(chunk + 1, count);
}

// Sum of the Length + 6 bytes before the checksum, modulo 256. The frame's Length field
// must already be in place.
uint8_t FrameChecksum(const uint8_t* frame);

// True when the byte at offset 6 + Length equals FrameChecksum. The caller guarantees
// Length + 7 bytes.
bool CheckFrame(const uint8_t* frame);

// Writes a complete frame (envelope, payload, checksum) at out and returns its length,
// payloadLength + 8. The caller guarantees room for it. Host and simulated device both
// build their frames here.
int WriteFrame(uint8_t* out, uint32_t signature, uint8_t type, const uint8_t* payload,
               uint16_t payloadLength);

// Host frames in TransmitBuffer. BuildCommandFrame returns the frame length (Length + 8),
// or 0 when length exceeds the entry capacity and nothing was written.
int BuildCommandFrame(uint8_t* transmitBuffer, uint32_t signature, uint8_t command,
                      const uint8_t* data, uint16_t length);
int BuildPollFrame(uint8_t* transmitBuffer, uint32_t signature); // returns 8

} // namespace ktr
