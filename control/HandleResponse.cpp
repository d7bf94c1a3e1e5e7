// What the host does with each frame the device sends. An answer too short for the fields
// its handler reads, or a block answer counting more than was asked for, is dropped like any
// answer that matches nothing: the device is asked again at once, since it speaks only when
// spoken to.
#include "Cp1251.h"
#include "LinkControl.h"
#include "LogTexts.h"

#include <utility>

namespace ktr {

namespace {
constexpr int kBeepFrequencyHz = 1000;
constexpr int kBeepDurationMs = 10;

int32_t BlockEnd(const uint8_t* payload) {
    return int32_t(BlockAddress(payload) + BlockCount(payload));
}

// A completion is told the answer's end: it must lie inside the block that was asked for.
bool CountFits(const uint8_t* payload, const CommandEntry& head) {
    return BlockCount(payload) <= head.BlockCount();
}

// The Types the host sends, whose frames from the device are answers; cmdTcpReply and any
// other Type answer nothing.
bool IsAnswerType(uint8_t type) {
    switch (type) {
    case cmdPoll:
    case cmdIdent:
    case cmdTcpData:
        return true;
    default:
        return (type >= cmdFlashSize && type <= cmdFlashVerify) ||
               (type >= cmdEepromSize && type <= cmdEepromRead) ||
               (type >= cmdAuxSize && type <= cmdAuxRead);
    }
}
} // namespace

bool LinkControl::HeadMatches(uint8_t type) const {
    return !queue_.empty() && queue_.front().Command == type;
}

bool LinkControl::AddressMatches(const uint8_t* payload, int payloadLength) const {
    return payloadLength >= 4 && BlockAddress(payload) == queue_.front().Address();
}

void LinkControl::Notify(int32_t value) {
    const PluginCompletion completion = queue_.front().Completion;
    if (!completion) return;
    const uint64_t outer = std::exchange(notifying_, queue_.front().Serial);
    try {
        completion(value);
    } catch (...) {
        // Configurator code is not ours to fail on: its errors are swallowed.
    }
    notifying_ = outer;
}

// Removes the head only if it is still the entry the answer was for: a completion that
// ran a nested event loop may have seen the queue cleared meanwhile.
void LinkControl::Retire(uint64_t serial) {
    if (queue_.empty() || queue_.front().Serial != serial) return;
    DequeueCommand();
    SendNext();
}

// An answer that retires nothing is still an answer: with nothing else awaited the device
// will stay silent, so the head (or a poll) goes out again now. While another frame awaits
// its answer, that answer triggers the next transmission: extra frames (a bridge flush sends
// between answers) thus die out instead of multiplying.
void LinkControl::Unmatched() {
    if (unanswered_ == 0) SendNext();
}

void LinkControl::VerificationError(uint8_t type, const uint8_t* payload) {
    if (type != cmdFlashVerify) Notify(kVerifyMismatchNotice);
    const uint32_t address = BlockAddress(payload);
    view_.AddLog(QStringLiteral("Ошибка верификации по адресу %1h!")
                     .arg(QString::number(address, 16).toUpper()));
    emit VerifyMismatch(*MemoryOfType(type), address);
    ClearQueue();
    // The link stays open: the device answers only what is sent, so a poll goes out now.
    SendNext();
}

// The target is read after the completion: it may have redirected the area's reads, or
// released the library and its buffer with it.
bool LinkControl::ReadAnswer(Memory memory, const uint8_t* payload, int payloadLength) {
    if (payloadLength < kBlockHeaderSize || !AddressMatches(payload, payloadLength)) return false;
    const int count = BlockCount(payload);
    if (!CountFits(payload, queue_.front()) || payloadLength < kBlockHeaderSize + count)
        return false;
    const uint64_t serial = queue_.front().Serial;
    Notify(BlockEnd(payload));
    const bool stillHead = !queue_.empty() && queue_.front().Serial == serial;
    // A completion that waited in an event loop has seen its block retired there, and the
    // link go on.
    if (!stillHead && retiredEarly_ != serial) return true;
    // A later read may have redirected this answer into a smaller buffer: copy only what
    // lies inside the Count that buffer was accepted with.
    const ReadBuffer& target = memory == Memory::Eeprom ? eepromReadTarget_ : auxReadTarget_;
    const uint32_t offset = BlockAddress(payload) - target.Base;
    if (target.Buffer && BlockAddress(payload) >= target.Base && offset < uint32_t(target.Size)) {
        const uint32_t room = uint32_t(target.Size) - offset;
        std::memcpy(target.Buffer + offset, BlockData(payload), std::min<uint32_t>(count, room));
    }
    Retire(serial);
    return true;
}

void LinkControl::HandleResponse(const uint8_t* frame) {
    // Any valid frame shows the device alive: during a job it answers blocks, not polls.
    timer1_.start();
    reask_.start();
    const int payloadLength = int(FrameLength(frame)) - 1;
    if (payloadLength < 0) return; // a Length-0 frame has no Type
    const uint8_t type = frame[kFrameTypeOffset];
    if (type == cmdTcpReply) {
        if (bridge_ && payloadLength > 0)
            bridge_->SendToClients(frame + kFramePayloadOffset, payloadLength);
        return;
    }
    if (!IsAnswerType(type)) return;
    if (unanswered_ > 0) --unanswered_;
    if (!TakeAnswer(type, frame + kFramePayloadOffset, payloadLength)) Unmatched();
}

// One answer of a Type the host sends: true when it was taken (and the next frame sent).
bool LinkControl::TakeAnswer(uint8_t type, const uint8_t* payload, int payloadLength) {
    if (type == cmdPoll) {
        SendNext();
        if (!linkEstablished_) {
            view_.AddLog(kLogEstablished);
            ToolButton1Click();
            linkEstablished_ = true;
            emit Established();
        }
        return true;
    }
    if (type == cmdTcpData) {
        view_.Beep(kBeepFrequencyHz, kBeepDurationMs);
        const CommandEntry* head = queue_.empty() ? nullptr : &queue_.front();
        if (!HeadMatches(type) || payloadLength < 1 || head->Data.empty() ||
            payload[0] != head->Data[0])
            return false;
        Retire(head->Serial);
        return true;
    }
    if (!HeadMatches(type)) return false;
    const uint64_t serial = queue_.front().Serial;

    switch (type) {
    case cmdIdent: {
        if (payloadLength < 1 || payloadLength < 1 + payload[0]) return false;
        DequeueCommand();
        const QString name = FromCp1251(payload + 1, payload[0]);
        view_.SetStatusPanel(kStatusPrefix + name);
        emit DeviceIdentified(name, KindOfSignature(linkSignature_));
        SendNext();
        return true;
    }
    case cmdFlashSize:
    case cmdEepromSize:
    case cmdAuxSize: {
        if (payloadLength < 4) return false;
        const uint32_t size = GetU32(payload);
        DequeueCommand();
        const QString text = QStringLiteral("Размер %1 байт").arg(int32_t(size));
        if (type == cmdFlashSize) view_.SetFlashSizeText(text);
        if (type == cmdEepromSize) view_.SetEepromSizeText(text);
        SetCapacity(*MemoryOfType(type), size);
        SendNext();
        return true;
    }
    case cmdFlashWrite:
        if (!AddressMatches(payload, payloadLength)) return false;
        Retire(serial);
        return true;
    case cmdEepromWrite:
    case cmdAuxWrite:
        if (payloadLength < kBlockHeaderSize || !AddressMatches(payload, payloadLength) ||
            !CountFits(payload, queue_.front()))
            return false;
        Notify(BlockEnd(payload));
        Retire(serial);
        return true;
    case cmdFlashVerify:
    case cmdEepromVerify:
    case cmdAuxVerify:
        if (payloadLength < kBlockHeaderSize + 1) return false;
        if (BlockVerifyFlag(payload) != 0) {
            VerificationError(type, payload);
            return true;
        }
        if (!AddressMatches(payload, payloadLength)) return false;
        if (type != cmdFlashVerify) {
            if (!CountFits(payload, queue_.front())) return false;
            Notify(BlockEnd(payload));
        }
        Retire(serial);
        return true;
    case cmdEepromRead:
        return ReadAnswer(Memory::Eeprom, payload, payloadLength);
    case cmdAuxRead:
        return ReadAnswer(Memory::Aux, payload, payloadLength);
    default:
        return false;
    }
}

} // namespace ktr
