#include "DeviceModel.h"

#include "LinkFrame.h"

#include <algorithm>
#include <cerrno>

namespace ktr::sim {

namespace {

// Memories grow on first write, so a device reporting gigabytes costs nothing until used.
void WriteMemory(std::vector<uint8_t>& memory, uint32_t limit, uint32_t address,
                 const uint8_t* data, int count) {
    const uint64_t end = std::min<uint64_t>(uint64_t(address) + count, limit);
    if (end <= address) return;
    if (memory.size() < end) memory.resize(end, DeviceModel::kErasedByte);
    std::copy(data, data + (end - address), memory.begin() + address);
}

uint8_t ReadMemory(const std::vector<uint8_t>& memory, uint64_t address) {
    return address < memory.size() ? memory[address] : DeviceModel::kErasedByte;
}
} // namespace

DeviceModel::DeviceModel(DeviceConfig config) : config_(std::move(config)) {}

uint32_t DeviceModel::Signature() const {
    return SignatureOfKind(config_.Kind & 0xFF);
}

void DeviceModel::Opened() {
    firstFrameDue_ = config_.SendsFirstFrame;
    emptyReads_ = 0;
    lateReads_ = 0;
}

void DeviceModel::FailOut(int count, int error) {
    failOut_ = count;
    failOutError_ = error;
}
void DeviceModel::FailIn(int count, int error) {
    failIn_ = count;
    failInError_ = error;
}
void DeviceModel::ZeroByteReads(int count) {
    zeroReads_ = count;
}
void DeviceModel::InjectBytes(const std::vector<uint8_t>& bytes) {
    output_.insert(output_.end(), bytes.begin(), bytes.end());
}
void DeviceModel::SetMaxReadChunk(int bytes) {
    maxReadChunk_ = bytes;
}
void DeviceModel::WrongEchoes(int count) {
    wrongEchoes_ = count;
}
void DeviceModel::RepeatAnswers(int count) {
    repeatAnswers_ = count;
}
void DeviceModel::CorruptChecksums(int count) {
    corruptChecksums_ = count;
}
void DeviceModel::MismatchVerifyAt(uint32_t address) {
    verifyMismatches_.insert(address);
}
void DeviceModel::SetAnswering(bool answering) {
    answering_ = answering;
}
void DeviceModel::SetPresent(bool present) {
    if (present && !present_) hanging_ = false; // a power cycle
    present_ = present;
}

void DeviceModel::SendReply(const std::vector<uint8_t>& data) {
    SendFrame(Signature(), cmdTcpReply, data);
}

void DeviceModel::SendFrame(uint32_t signature, uint8_t type, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> frame(payload.size() + kFrameOverhead + 1);
    const int length =
        WriteFrame(frame.data(), signature, type, payload.data(), uint16_t(payload.size()));
    output_.insert(output_.end(), frame.begin(), frame.begin() + length);
}

void DeviceModel::Answer(uint8_t type, const uint8_t* payload, int length) {
    uint8_t frame[kFrameOverhead + 1 + kBlockHeaderSize + kMaxBlockData];
    const int size = WriteFrame(frame, Signature(), type, payload, uint16_t(length));
    if (corruptChecksums_ > 0) {
        --corruptChecksums_;
        frame[size - 1] ^= 0x5A;
    }
    int copies = 1;
    if (repeatAnswers_ > 0) {
        --repeatAnswers_;
        copies = 2;
    }
    for (int i = 0; i < copies; ++i)
        output_.insert(output_.end(), frame, frame + size);
}

std::vector<uint8_t>* DeviceModel::MemoryFor(uint8_t type) {
    switch (type & 0xF0) {
    case 0x10:
        return &flash_;
    case 0x20:
        return &eeprom_;
    case 0x30:
        return &aux_;
    default:
        return nullptr;
    }
}

int DeviceModel::Out(const uint8_t* bytes, int size) {
    if (!present_) return -ENODEV;
    if (hanging_) return -ETIMEDOUT;
    if (failOut_ > 0) {
        --failOut_;
        return failOutError_;
    }
    if (recording_) outTransfers_.emplace_back(bytes, bytes + size);
    emptyReads_ = 0;
    firstFrameDue_ = false;
    // One host frame per transfer, at its start; what follows it is padding.
    if (size < kFrameOverhead || GetU32(bytes) != Signature()) return size;
    const int length = FrameLength(bytes);
    if (length < 1 || size < length + kFrameOverhead || !CheckFrame(bytes)) return size;
    const size_t before = output_.size();
    HandleFrame(bytes);
    if (output_.size() > before) lateReads_ = config_.AnswerAfterEmptyReads;
    if (config_.AnswerDelayUs > 0 && output_.size() > before)
        gates_.push_back(
            {outputBase_ + before, clock_() + std::chrono::microseconds(config_.AnswerDelayUs)});
    return size;
}

size_t DeviceModel::Readable() {
    const auto now = clock_();
    while (!gates_.empty() && gates_.front().Ready <= now)
        gates_.pop_front();
    if (gates_.empty()) return Pending();
    return size_t(gates_.front().Offset - (outputBase_ + outputPos_));
}

void DeviceModel::HandleFrame(const uint8_t* frame) {
    ++framesReceived_;
    const uint8_t type = frame[kFrameTypeOffset];
    ++framesByType_[type];
    if (type != cmdPoll) {
        const size_t size = size_t(FrameLength(frame)) + kFrameOverhead;
        if (std::equal(frame, frame + size, lastCommandFrame_.begin(), lastCommandFrame_.end()))
            ++repeatedFrames_;
        else
            lastCommandFrame_.assign(frame, frame + size);
    }
    if (!answering_ || config_.IgnoredTypes[type]) return;
    const uint8_t* payload = frame + kFramePayloadOffset;
    const int payloadLength = FrameLength(frame) - 1;
    uint8_t answer[kBlockHeaderSize + kMaxBlockData];
    const bool wrongEcho = wrongEchoes_ > 0 && ((type & 0x0F) != 0 || type == cmdTcpData);
    if (wrongEcho) --wrongEchoes_;

    switch (type) {
    case cmdPoll:
        return Answer(type, nullptr, 0);
    case cmdIdent: {
        const int n = int(std::min<size_t>(config_.Name.size(), 255));
        answer[0] = uint8_t(n);
        std::copy_n(config_.Name.data(), n, answer + 1);
        return Answer(type, answer, n + 1);
    }
    case cmdFlashSize:
        PutU32(answer, config_.ClaimedFlashSize ? config_.ClaimedFlashSize : config_.FlashSize);
        return Answer(type, answer, 4);
    case cmdEepromSize:
        PutU32(answer, config_.ClaimedEepromSize ? config_.ClaimedEepromSize : config_.EepromSize);
        return Answer(type, answer, 4);
    case cmdAuxSize:
        PutU32(answer, config_.ClaimedAuxSize ? config_.ClaimedAuxSize : config_.AuxSize);
        return Answer(type, answer, 4);
    case cmdTcpData: {
        if (payloadLength < kTcpChunkHeaderSize) return;
        const int count =
            std::min<int>(TcpChunkCount(payload), payloadLength - kTcpChunkHeaderSize);
        const uint8_t* data = TcpChunkData(payload);
        const uint8_t sequence = TcpChunkSequence(payload);
        answer[0] = uint8_t(sequence + (wrongEcho ? 1 : 0));
        Answer(type, answer, 1);
        // The host repeats its head when it transmits again before the answer came: a
        // chunk with the Sequence taken last is answered, but its bytes are taken once.
        if (sequence == lastTcpSequence_) return;
        lastTcpSequence_ = sequence;
        tcpReceived_.insert(tcpReceived_.end(), data, data + count);
        SendReply(std::vector<uint8_t>(data, data + count)); // the device echoes TCP data
        return;
    }
    default:
        break;
    }

    std::vector<uint8_t>* memory = MemoryFor(type);
    const uint8_t op = type & 0x0F;
    if (!memory || op < 1 || op > 3 || payloadLength < kBlockHeaderSize) {
        return Answer(type, nullptr, 0); // every host frame gets an answer of its Type
    }
    const uint32_t address = BlockAddress(payload);
    const int count = std::min<int>(BlockCount(payload), kMaxBlockData);
    const int dataCount = std::min(count, payloadLength - kBlockHeaderSize);
    const uint8_t* data = BlockData(payload);
    const uint32_t limit = std::min(type < 0x20   ? config_.FlashSize
                                    : type < 0x30 ? config_.EepromSize
                                                  : config_.AuxSize,
                                    kMaxMemoryBytes);
    PutBlockHeader(answer, address + (wrongEcho ? 0x100 : 0), uint16_t(count));

    if (op == 1) { // write
        WriteMemory(*memory, limit, address, data, dataCount);
        return Answer(type, answer, kBlockHeaderSize);
    }
    if (op == 2) { // verify
        bool equal = dataCount == count;
        for (int i = 0; equal && i < dataCount; ++i)
            equal = ReadMemory(*memory, uint64_t(address) + i) == data[i];
        if (verifyMismatches_.erase(address) > 0) equal = false;
        BlockData(answer)[0] = equal ? 0 : 1; // the verify flag
        return Answer(type, answer, kBlockHeaderSize + 1);
    }
    // op == 3: read (FLASH has no read command, but the model serves it alike)
    for (int i = 0; i < count; ++i)
        BlockData(answer)[i] = ReadMemory(*memory, uint64_t(address) + i);
    Answer(type, answer, kBlockHeaderSize + count);
}

int DeviceModel::In(uint8_t* bytes, int maxSize) {
    if (!present_) return -ENODEV;
    if (hanging_) return -ETIMEDOUT;
    ++inTransfers_;
    if (failIn_ > 0) {
        --failIn_;
        return failInError_;
    }
    if (zeroReads_ > 0) {
        --zeroReads_;
        return 0;
    }
    if (lateReads_ > 0 && Pending() > 0) {
        --lateReads_;
        return 0;
    }
    if (Pending() == 0 && answering_) {
        if (firstFrameDue_ || (config_.SendsFirstFrame && config_.HelloAfterEmptyReads > 0 &&
                               ++emptyReads_ >= config_.HelloAfterEmptyReads)) {
            firstFrameDue_ = false;
            emptyReads_ = 0;
            Answer(cmdPoll, nullptr, 0);
        }
    }
    int n = int(std::min<size_t>(Readable(), size_t(std::max(maxSize, 0))));
    if (maxReadChunk_ > 0) n = std::min(n, maxReadChunk_);
    std::copy_n(output_.begin() + outputPos_, n, bytes);
    outputPos_ += n;
    if (outputPos_ == output_.size()) {
        outputBase_ += output_.size();
        output_.clear();
        outputPos_ = 0;
    }
    return n;
}

} // namespace ktr::sim
