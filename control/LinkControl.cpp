#include "LinkControl.h"

#include "DeviceKinds.h"
#include "LogTexts.h"

#include <QCoreApplication>
#include <QEvent>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <utility>

namespace ktr {

namespace {
// The window message 0x401 of the receive step, as a posted event.
const QEvent::Type kReceiveEvent = QEvent::Type(QEvent::User + 1);

} // namespace

uint32_t CommandEntry::Address() const {
    uint8_t bytes[4] = {};
    std::copy_n(Data.begin(), std::min<size_t>(Data.size(), 4), bytes);
    return GetU32(bytes);
}

uint16_t CommandEntry::BlockCount() const {
    return Data.size() >= kBlockHeaderSize ? ktr::BlockCount(Data.data()) : 0;
}

LinkControl::LinkControl(UsbBackend& usb, HostView& view, LinkTimings timings)
    : usb_(usb), rx_(linkSignature_, *this), view_(view), timings_(timings) {
    timer1_.setInterval(timings_.WatchdogMs);
    timer2_.setInterval(timings_.PollTickMs);
    connect(&timer1_, &QTimer::timeout, this, &LinkControl::Timer1Timer);
    connect(&timer2_, &QTimer::timeout, this, &LinkControl::Timer2Timer);
    answerRetry_.setSingleShot(true);
    answerRetry_.setTimerType(Qt::PreciseTimer);
    connect(&answerRetry_, &QTimer::timeout, this, [this] {
        pacing_ = false;
        PostReceive();
    });
    faultPause_.setSingleShot(true);
    connect(&faultPause_, &QTimer::timeout, this, &LinkControl::FaultPauseEnded);
    reask_.setSingleShot(true);
    reask_.setInterval(timings_.AnswerReaskMs);
    connect(&reask_, &QTimer::timeout, this, &LinkControl::Reask);
    unservedKind_.setSingleShot(true);
    unservedKind_.setInterval(timings_.UnservedKindSettleMs);
    connect(&unservedKind_, &QTimer::timeout, this,
            [this] { emit KindNotServed(unservedKindSeen_); });
    UsbInit(usb_);
    usb_.IsOpen = false;
    timer1_.start();
    timer2_.start();
}

LinkControl::~LinkControl() {
    CancelTransfer();
    UsbClose(usb_);
}

bool LinkControl::event(QEvent* event) {
    if (event->type() != kReceiveEvent) return QObject::event(event);
    receivePosted_ = false;
    ReceiveData();
    return true;
}

// Each read that brings data posts once more and so does the transmission it triggers: with
// a device that always has its answer ready, posted steps would double every round and the
// event queue grow without bound. One pending step still reads after every transmission and
// every read with data, since it runs after both.
void LinkControl::PostReceive() {
    if (receivePosted_) return;
    receivePosted_ = true;
    QCoreApplication::postEvent(this, new QEvent(kReceiveEvent));
}

// ---- Queue ----

bool LinkControl::Enqueue(uint8_t command, const uint8_t* data, uint16_t length,
                          PluginCompletion completion) {
    if (length > kMaxEntryData || (length > 0 && !data)) return false;
    // Built whole before it is queued: memory running out half-way leaves no entry whose
    // Length promises bytes it does not hold.
    CommandEntry entry;
    entry.Command = command;
    entry.Length = length;
    entry.Data.assign(data, data + length);
    entry.Completion = completion;
    entry.Serial = nextSerial_;
    queue_.push_back(std::move(entry));
    ++nextSerial_;
    queuedBytes_[command] += length;
    view_.SetProgressMax(int(queue_.size()));
    view_.SetProgressPosition(int(queue_.size()));
    ShowQueueCount();
    return true;
}

bool LinkControl::EnqueueCommand(uint8_t command, const uint8_t* data, uint16_t length) {
    return Enqueue(command, data, length, nullptr);
}

bool LinkControl::EnqueueCommandEx(uint8_t command, const uint8_t* data, uint16_t length,
                                   PluginCompletion completion) {
    return Enqueue(command, data, length, completion);
}

uint64_t LinkControl::EnqueueBlocks(uint8_t command, uint64_t address, const uint8_t* data,
                                    uint64_t count, PluginCompletion completion) {
    const uint64_t first = nextSerial_;
    uint8_t block[kBlockHeaderSize + kMaxBlockData];
    uint64_t done = 0;
    do {
        const uint64_t n = std::min<uint64_t>(count - done, kMaxBlockData);
        PutBlockHeader(block, uint32_t(address + done), uint16_t(n));
        if (data && n > 0) std::memcpy(BlockData(block), data + done, n);
        Enqueue(command, block, uint16_t(kBlockHeaderSize + (data ? n : 0)), completion);
        done += n;
    } while (done < count);
    return first;
}

void LinkControl::PopHead() {
    queuedBytes_[queue_.front().Command] -= queue_.front().Length;
    queue_.pop_front();
}

void LinkControl::DequeueCommand() {
    const bool retired = !queue_.empty();
    const uint64_t serial = retired ? queue_.front().Serial : 0;
    if (retired) PopHead();
    const bool drained = queue_.empty();
    if (drained) view_.AddLog(kLogDone);
    view_.SetProgressPosition(int(queue_.size()));
    ShowQueueCount();
    if (retired) emit EntryRetired(serial);
    if (drained && retired) emit QueueDrained();
}

void LinkControl::ClearQueue() {
    const bool dropped = !queue_.empty();
    if (dropped) {
        queue_.clear();
        std::fill(std::begin(queuedBytes_), std::end(queuedBytes_), 0);
        view_.AddLog(kLogCleared);
        emit QueueCleared();
    }
    view_.SetProgressPosition(0);
    ShowQueueCount();
}

void LinkControl::DropQueuedAfter(size_t count) {
    if (count >= queue_.size()) return;
    while (queue_.size() > count) {
        queuedBytes_[queue_.back().Command] -= queue_.back().Length;
        queue_.pop_back();
    }
    view_.SetProgressPosition(int(queue_.size()));
    ShowQueueCount();
}

void LinkControl::ShowQueueCount() {
    // Once per entry queued or retired: concatenation, not a format parsed each time.
    view_.SetQueueCaption(QStringLiteral("Очередь команд: ") + QString::number(queue_.size()) +
                          u'.');
    emit QueueChanged();
}

void LinkControl::ForgetPluginRequests() {
    for (CommandEntry& entry : queue_)
        entry.Completion = nullptr;
    eepromReadTarget_ = auxReadTarget_ = {};
}

void LinkControl::SetReadTarget(Memory memory, uint8_t* target, int32_t size, uint32_t base) {
    const ReadBuffer read{target, target ? std::max(size, 0) : 0, base};
    if (memory == Memory::Eeprom) eepromReadTarget_ = read;
    if (memory == Memory::Aux) auxReadTarget_ = read;
}

const uint8_t* LinkControl::ReadTarget(Memory memory) const {
    return memory == Memory::Eeprom ? eepromReadTarget_.Buffer
           : memory == Memory::Aux  ? auxReadTarget_.Buffer
                                    : nullptr;
}

uint32_t LinkControl::Capacity(Memory memory) const {
    switch (memory) {
    case Memory::Flash:
        return flashSize_;
    case Memory::Eeprom:
        return eepromSize_;
    case Memory::Aux:
        break;
    }
    return auxSize_;
}

void LinkControl::SetCapacity(Memory memory, uint32_t size) {
    (memory == Memory::Flash    ? flashSize_
     : memory == Memory::Eeprom ? eepromSize_
                                : auxSize_) = size;
    emit SizeKnown(memory, size);
}

void LinkControl::SetLinkSignature(uint32_t signature) {
    linkSignature_ = signature;
}

void LinkControl::ChooseDevice(int bus, int device) {
    usb_.WantedBus = bus;
    usb_.WantedDevice = device;
}

void LinkControl::RequestStatus() {
    for (uint8_t command : {cmdIdent, cmdFlashSize, cmdEepromSize, cmdAuxSize})
        EnqueueCommand(command, nullptr, 0);
}

// ---- Link lifecycle ----

void LinkControl::OpenLink() {
    // An open supersedes the reopen a fault's pause was waiting to make.
    const bool paused = faultPause_.isActive();
    faultPause_.stop();
    // Opening afresh while a handle is held would leak it (and its descriptor) on every
    // configurator callback and at the first poll's reconnect. A transfer in flight (the
    // first poll's answer sends before it reconnects) keeps its share of the handle until it
    // ends: its frame goes out as it would have before the reopen.
    UsbClose(usb_);
    OpenDevice();
    if (paused) RunPendingSteps();
}

void LinkControl::OpenDevice() {
    UsbInit(usb_);
    usb_.VendorId = kVendorId;
    usb_.ProductId = kProductId;
    if (!UsbOpen(usb_)) {
        view_.AddLog(kLogCannotOpen);
        emit LinkOpenFailed();
        return;
    }
    view_.AddLog(kLogOpened);
    unanswered_ = 0; // what was sent over an earlier handle is not answered over this one
    timer1_.start();
    reask_.start(); // a first frame lost in noise would leave the link waiting
    view_.SetLinkButtons(kImageConnectOpen, kImageDisconnectOpen);
    usb_.IsOpen = true;
    emit LinkOpened(usb_.Opened.Bus, usb_.Opened.Device);
}

void LinkControl::CloseLink(LinkCloseReason reason) {
    CancelTransfer();
    const bool wasOpen = usb_.IsOpen;
    if (wasOpen) {
        view_.AddLog(kLogClosing);
        UsbClose(usb_);
        view_.AddLog(kLogClosed);
        view_.SetLinkButtons(kImageConnectClosed, kImageDisconnectClosed);
        usb_.IsOpen = false;
    }
    UsbClose(usb_);
    answerAwaited_ = false;
    pacing_ = false;
    answerRetry_.stop();
    reask_.stop();
    if (wasOpen) emit LinkClosed(reason);
}

void LinkControl::LinkFault() {
    LinkCloseReason reason = LinkCloseReason::Fault;
    if (linkFailureCount_ + 1 >= kLinkFailureLimit)
        reason = LinkCloseReason::FaultLimit;
    else if (usb_.LastResult == -ENODEV)
        reason = LinkCloseReason::DeviceGone;
    CloseLink(reason);
    ++linkFailureCount_;
    if (linkFailureCount_ >= kLinkFailureLimit) return; // no reopen follows: nothing to wait for
    if (timings_.FaultPauseMs > 0)
        faultPause_.start(timings_.FaultPauseMs);
    else
        OpenLink();
}

// Sending the head again is what the ping-pong does anyway (every poll answer transmits the
// current head): blocks are written and read idempotently and a TCP chunk carries its
// Sequence so that the device takes a repeat once.
void LinkControl::Reask() {
    if (!usb_.IsOpen || linkSignature_ == 0) return;
    unanswered_ = 0;
    SendNext();
}

void LinkControl::FaultPauseEnded() {
    OpenLink();
    RunPendingSteps();
}

// ---- Transfers: one at a time ----

// With a backend that completes at once, `then` runs before this returns, exactly where the
// blocking call's result used to be looked at; otherwise from the event loop, later.
void LinkControl::Transfer(bool in, int size, void (LinkControl::*then)(bool ok)) {
    transferInFlight_ = true;
    then_ = then;
    // Captures no more than fits a std::function's own storage: the ping-pong allocates
    // nothing per transfer.
    const auto done = [this](bool ok) { TransferEnded(ok); };
    if (in)
        UsbSubmitReceive(usb_, 0, 0, 0, size, done);
    else
        UsbSubmitSend(usb_, 0, 0, 0, size, done);
}

void LinkControl::TransferEnded(bool ok) {
    transferInFlight_ = false;
    // A cancelled transfer belongs to a link being closed: nothing of it is handled.
    if (cancelling_) return;
    (this->*then_)(ok);
    RunPendingSteps();
}

void LinkControl::CancelTransfer() {
    if (!transferInFlight_) return;
    cancelling_ = true;
    UsbCancel(usb_);
    cancelling_ = false;
}

// The steps that waited for a transfer or a fault's pause, once: a send (which reads after
// it anyway), else a read.
void LinkControl::RunPendingSteps() {
    if (transferInFlight_ || faultPause_.isActive()) return;
    const bool send = std::exchange(sendPending_, false);
    const bool receive = std::exchange(receivePending_, false);
    if (send)
        SendNext();
    else if (receive)
        PostReceive();
}

// ---- Transmit and receive ----

void LinkControl::SendNext() {
    // While the answer's pace is awaited, as while a read is in flight: the head would only
    // go out again.
    if (transferInFlight_ || faultPause_.isActive() || pacing_) {
        sendPending_ = true;
        return;
    }
    int size;
    const bool command = !queue_.empty();
    if (command) {
        const CommandEntry& head = queue_.front();
        size = BuildCommandFrame(usb_.TransmitBuffer, linkSignature_, head.Command,
                                 head.Data.data(), head.Length);
        // A refused build leaves the buffer as it was: send nothing rather than stale bytes.
        if (size > 0) size += kCommandTrailingBytes;
    } else {
        size = BuildPollFrame(usb_.TransmitBuffer, linkSignature_);
    }
    if (linkSignature_ != 0 && size > 0) {
        sendingCommand_ = command;
        Transfer(false, size, &LinkControl::SendEnded);
        return;
    }
    AwaitAnswer();
}

void LinkControl::SendEnded(bool ok) {
    if (ok) {
        ++unanswered_;
        reask_.start();
        answerAwaited_ = sendingCommand_;
        answerRetryUs_ = timings_.AnswerRetryUs;
        answerWait_.start();
        answerRetry_.stop();
        answerStarted_ = answerEmpty_ = false;
        pacing_ = answerAwaited_ && answerPaceUs_ >= 1000;
        if (pacing_) {
            timer2_.start();
            answerRetry_.start(answerPaceUs_ / 1000);
            return;
        }
    } else {
        LinkFault();
    }
    AwaitAnswer();
}

void LinkControl::AwaitAnswer() {
    timer2_.start();
    PostReceive();
}

// A device that programs a block before answering leaves the reads right after the
// transmission empty; waiting for Timer2 would cost a whole tick per block. Read again soon,
// backing off once the wait grows long, so that a silent device costs little.
void LinkControl::ScheduleAnswerRetry() {
    if (!answerAwaited_ || answerRetryUs_ <= 0) return;
    const int pauseUs = answerRetryUs_;
    if (answerWait_.nsecsElapsed() / 1000 >= timings_.AnswerRetryFlatUs)
        answerRetryUs_ = int(
            std::min<int64_t>(2 * int64_t(answerRetryUs_), int64_t(timings_.PollTickMs) * 1000));
    if (pauseUs >= timings_.PollTickMs * 1000) return;
    if (pauseUs < 1000) {
        // Below a timer's resolution: a pause this short keeps the window responsive.
        if (pauseUs > 0) QThread::usleep(ulong(pauseUs));
        PostReceive();
    } else {
        answerRetry_.start(pauseUs / 1000);
    }
}

// The first read that found the answer started when it was ready. Asked in vain before, the
// pace moves half-way to it; found at the first read, the pace comes down a little, so that a
// device that grows quicker is soon read sooner. Bounded by the quick retries' span, so that
// a device that answers only after so many reads, not after a time, costs little.
void LinkControl::LearnPace() {
    if (timings_.AnswerRetryUs <= 0) return;
    if (answerEmpty_)
        answerPaceUs_ +=
            int((std::min<int64_t>(readStartUs_, timings_.AnswerRetryFlatUs) - answerPaceUs_) / 2);
    else
        answerPaceUs_ -= answerPaceUs_ / 64;
}

void LinkControl::ReceiveData() {
    if (!usb_.IsOpen) return;
    // A completion that waits in an event loop for answers to requests it has just queued
    // would wait forever behind its own block: the device answers only what is sent. Its
    // block is answered, so it is retired and the link goes on; its bytes still land once
    // the completion returns.
    if (notifying_ != 0 && !queue_.empty() && queue_.front().Serial == notifying_) {
        retiredEarly_ = notifying_;
        Retire(notifying_);
    }
    if (pacing_) return; // its end reads
    if (transferInFlight_) {
        receivePending_ = true;
        return;
    }
    readStartUs_ = answerWait_.nsecsElapsed() / 1000;
    Transfer(true, kReceiveTransferSize, &LinkControl::ReceiveEnded);
}

void LinkControl::ReceiveEnded(bool ok) {
    if (!ok) {
        LinkFault();
        return;
    }
    linkFailureCount_ = 0;
    if (usb_.LastResult == 0) {
        answerEmpty_ = true;
        ScheduleAnswerRetry();
        return;
    }
    if (answerAwaited_ && !std::exchange(answerStarted_, true)) LearnPace();
    answerRetryUs_ = timings_.AnswerRetryUs;
    answerWait_.start();
    rx_.AppendReceived(usb_.ReceiveBuffer, usb_.LastResult);
    PostReceive();
}

// ---- Commands and timers ----

void LinkControl::Connect() {
    linkSignature_ = 0;
    OpenLink();
    RequestStatus();
    view_.AddLog(kLogRequesting);
}

// The operator wants the link down: a fault's pending reopen, and steps waiting to transfer,
// go with it.
void LinkControl::ToolButton4Click() {
    view_.SetStatusPanel(QString());
    faultPause_.stop();
    sendPending_ = receivePending_ = false;
    CloseLink(LinkCloseReason::Operator);
    ClearQueue();
}

void LinkControl::Timer1Timer() {
    view_.AddLog(kLogWatchdog);
    CloseLink(LinkCloseReason::Watchdog);
    timer1_.stop();
}

// A step still pending a whole tick after it was posted is not coming: an event loop started
// under the one that holds it (a configurator waiting for its answers) is never handed it.
// Post a fresh one; the stale step, when it finally runs, is one more harmless read.
void LinkControl::Timer2Timer() {
    receivePosted_ = false;
    PostReceive();
}

void LinkControl::DeviceKindChanged() {
    const uint32_t kind = KindOfSignature(linkSignature_);
    if (kindHook_)
        kindHook_->DeviceKindChanged();
    else if (!FindDeviceKind(kind))
        linkSignature_ = 0;
    const bool served = linkSignature_ != 0;
    if (served) {
        unservedKind_.stop();
    } else {
        unservedKindSeen_ = kind;
        if (!unservedKind_.isActive()) unservedKind_.start();
    }
    emit KindAdopted(kind, served);
}

} // namespace ktr
