// The device side of the link contract, as one model shared by the in-process bus and the
// umockdev harness. It is driven only by "here are the bytes of an OUT transfer" and "give
// me up to N bytes for an IN transfer"; it knows the frame format and nothing of the host.
// Not thread-safe: a caller on several threads serialises the calls.
#pragma once

#include <bitset>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace ktr::sim {

struct DeviceConfig {
    uint32_t Kind = 1; // goes into the top byte of every signature, valid or not
    // Identification text in code page 1251 ("Модем КТР-17").
    std::string Name = "\xCC\xEE\xE4\xE5\xEC \xCA\xD2\xD0-17";
    uint32_t FlashSize = 128 * 1024; // capacities; memories are allocated up to
    uint32_t EepromSize = 4096;      // kMaxMemoryBytes and bytes beyond that read as 0xFF
    uint32_t AuxSize = 8192;
    // What the size answers claim, when not 0; the memories keep the sizes above, so reads
    // beyond them answer 0xFF and writes beyond them are answered and dropped.
    uint32_t ClaimedFlashSize = 0, ClaimedEepromSize = 0, ClaimedAuxSize = 0;
    std::bitset<256> IgnoredTypes; // host frames of these Types get no answer
    bool SendsFirstFrame = true;
    // A kindness the contract does not promise, 0 (never) unless a test asks: with its output
    // drained and no host frame since, the device announces itself again with a cmdPoll frame
    // on this many consecutive empty reads.
    int HelloAfterEmptyReads = 0;
    // Each answer becomes readable only after this many reads have come back empty, as a
    // device that takes a few polls of the bus to prepare it.
    int AnswerAfterEmptyReads = 0;
    // The answers to a host frame become readable only this long after the frame arrived,
    // as a device that programs a block before answering; reads meanwhile bring 0 bytes.
    uint32_t AnswerDelayUs = 0;
};

class DeviceModel {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    static constexpr uint32_t kMaxMemoryBytes = 64u << 20;
    static constexpr uint8_t kErasedByte = 0xFF; // what unwritten memory reads as

    explicit DeviceModel(DeviceConfig config = {});

    // Transfers; each returns the byte count or a negative errno as libusb would.
    int Out(const uint8_t* bytes, int size);
    int In(uint8_t* bytes, int maxSize);
    void Opened(); // the host opened the device: the first frame becomes due

    // Fault injection. Counts apply to the next transfers or answers of that kind.
    void FailOut(int count, int error);
    void FailIn(int count, int error);
    void ZeroByteReads(int count);
    void InjectBytes(const std::vector<uint8_t>& bytes); // raw, e.g. garbage
    void SetMaxReadChunk(int bytes);                     // splits frames across reads
    void WrongEchoes(int count);                         // answers echo another Address or Sequence
    void RepeatAnswers(int count);                       // each of these answers is sent twice
    void CorruptChecksums(int count);                    // answers with a wrong checksum byte
    void MismatchVerifyAt(uint32_t address);             // the next verify of that block reports 1
    void SetAnswering(bool answering);                   // false: silent, no answers and no hello
    // false: unplugged, every transfer -ENODEV. A replug (true after false) ends a hang.
    void SetPresent(bool present);
    // true: every transfer hangs until its timeout and fails with -ETIMEDOUT; the device
    // takes nothing from it. The bus that plays the model does the waiting.
    void SetHanging(bool hanging) { hanging_ = hanging; }
    void SendReply(const std::vector<uint8_t>& data); // unsolicited cmdTcpReply
    void SendFrame(uint32_t signature, uint8_t type, const std::vector<uint8_t>& payload);
    void SetRecording(bool on) { recording_ = on; }
    // What the answer delay is measured by; steady_clock unless a test sets its own.
    void SetClock(Clock clock) { clock_ = std::move(clock); }

    // Observation.
    bool Present() const { return present_; }
    bool Hanging() const { return hanging_; }
    const DeviceConfig& Config() const { return config_; }
    uint32_t Signature() const;
    const std::vector<std::vector<uint8_t>>& OutTransfers() const { return outTransfers_; }
    const std::vector<uint8_t>& TcpReceived() const { return tcpReceived_; }
    uint64_t FramesReceived() const { return framesReceived_; }
    uint64_t InTransfers() const { return inTransfers_; }
    uint64_t FramesReceivedOfType(uint8_t type) const { return framesByType_[type]; }
    // Host frames other than polls that repeat the one before them byte for byte: the host
    // sent its head again while the answer may have been on the way, so two answers carry
    // the same echo and the second may retire a later head of the same address.
    uint64_t RepeatedFrames() const { return repeatedFrames_; }
    std::vector<uint8_t>& Flash() { return flash_; }
    std::vector<uint8_t>& Eeprom() { return eeprom_; }
    std::vector<uint8_t>& Aux() { return aux_; }
    // Output not yet read, including answers still held back by the answer delay.
    size_t Pending() const { return output_.size() - outputPos_; }

private:
    void Answer(uint8_t type, const uint8_t* payload, int length);
    void HandleFrame(const uint8_t* frame);
    std::vector<uint8_t>* MemoryFor(uint8_t type);
    size_t Readable();

    DeviceConfig config_;
    std::vector<uint8_t> flash_, eeprom_, aux_;
    std::vector<uint8_t> output_;
    size_t outputPos_ = 0;
    uint64_t outputBase_ = 0; // stream offset of output_[0]
    // Output from stream offset Offset on stays unreadable until Ready; offsets and times
    // both ascend.
    struct Gate {
        uint64_t Offset;
        std::chrono::steady_clock::time_point Ready;
    };
    std::deque<Gate> gates_;
    Clock clock_ = [] { return std::chrono::steady_clock::now(); };
    bool present_ = true;
    bool hanging_ = false;
    bool answering_ = true;
    bool firstFrameDue_ = false;
    bool recording_ = true;
    int emptyReads_ = 0;
    int lateReads_ = 0; // empty reads still due before the answer waiting
    int failOut_ = 0, failOutError_ = 0, failIn_ = 0, failInError_ = 0;
    int zeroReads_ = 0, maxReadChunk_ = 0;
    int wrongEchoes_ = 0, repeatAnswers_ = 0, corruptChecksums_ = 0;
    std::set<uint32_t> verifyMismatches_;
    std::vector<std::vector<uint8_t>> outTransfers_;
    std::vector<uint8_t> tcpReceived_;
    int lastTcpSequence_ = -1; // none taken yet
    uint64_t framesReceived_ = 0;
    uint64_t repeatedFrames_ = 0;
    std::vector<uint8_t> lastCommandFrame_;
    uint64_t inTransfers_ = 0;
    uint64_t framesByType_[256] = {};
};

} // namespace ktr::sim
