#include "LinkControl.h"

#include "LogTexts.h"

#include <QCoreApplication>
#include <QEvent>
#include <QThread>

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
    return Data.size() >= kBlockHeaderSize ? GetU16(Data.data() + kBlockCountOffset) : 0;
}

LinkControl::LinkControl(UsbBackend& usb, HostView& view, LinkTimings timings)
    : Usb(usb), Rx(LinkSignature, *this), View(view), timings_(timings) {
    Timer1.setInterval(timings_.WatchdogMs);
    Timer2.setInterval(timings_.PollTickMs);
    connect(&Timer1, &QTimer::timeout, this, &LinkControl::Timer1Timer);
    connect(&Timer2, &QTimer::timeout, this, &LinkControl::Timer2Timer);
    answerRetry_.setSingleShot(true);
    answerRetry_.setTimerType(Qt::PreciseTimer);
    connect(&answerRetry_, &QTimer::timeout, this, &LinkControl::PostReceive);
    UsbInit(Usb);
    Usb.IsOpen = false;
    Timer1.start();
    Timer2.start();
}

LinkControl::~LinkControl() {
    UsbClose(Usb);
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
    CommandEntry& entry = queue_.emplace_back();
    entry.Command = command;
    entry.Length = length;
    entry.Data.assign(data, data + length);
    entry.Completion = completion;
    entry.Serial = nextSerial_++;
    queuedBytes_[command] += length;
    View.SetProgressMax(int(queue_.size()));
    View.SetProgressPosition(int(queue_.size()));
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

void LinkControl::PopHead() {
    queuedBytes_[queue_.front().Command] -= queue_.front().Length;
    queue_.pop_front();
}

void LinkControl::DequeueCommand() {
    if (!queue_.empty()) PopHead();
    if (queue_.empty()) View.AddLog(kLogDone);
    View.SetProgressPosition(int(queue_.size()));
    ShowQueueCount();
}

void LinkControl::ClearQueue() {
    if (!queue_.empty()) {
        queue_.clear();
        std::fill(std::begin(queuedBytes_), std::end(queuedBytes_), 0);
        View.AddLog(kLogCleared);
    }
    View.SetProgressPosition(0);
    ShowQueueCount();
}

void LinkControl::ShowQueueCount() {
    // Once per entry queued or retired: concatenation, not a format parsed each time.
    View.SetQueueCaption(QStringLiteral("Очередь команд: ") + QString::number(queue_.size()) +
                         u'.');
    emit QueueChanged();
}

void LinkControl::ForgetPluginRequests() {
    for (CommandEntry& entry : queue_)
        entry.Completion = nullptr;
    EepromReadTarget = AuxReadTarget = nullptr;
    EepromReadTargetSize = AuxReadTargetSize = 0;
}

void LinkControl::RequestStatus() {
    for (uint8_t command : {cmdIdent, cmdFlashSize, cmdEepromSize, cmdAuxSize})
        EnqueueCommand(command, nullptr, 0);
}

// ---- Link lifecycle ----

void LinkControl::OpenLink() {
    // Opening afresh while a handle is held would leak it (and its descriptor) on every
    // configurator callback and at the first poll's reconnect.
    UsbClose(Usb);
    UsbInit(Usb);
    Usb.VendorId = kVendorId;
    Usb.ProductId = kProductId;
    if (!UsbOpen(Usb)) {
        View.AddLog(kLogCannotOpen);
        return;
    }
    View.AddLog(kLogOpened);
    Timer1.start();
    View.SetLinkButtons(kImageConnectOpen, kImageDisconnectOpen);
    Usb.IsOpen = true;
}

void LinkControl::CloseLink() {
    if (Usb.IsOpen) {
        View.AddLog(kLogClosing);
        UsbClose(Usb);
        View.AddLog(kLogClosed);
        View.SetLinkButtons(kImageConnectClosed, kImageDisconnectClosed);
        Usb.IsOpen = false;
    }
    UsbClose(Usb);
    answerAwaited_ = false;
    answerRetry_.stop();
}

void LinkControl::LinkFault() {
    CloseLink();
    ++LinkFailureCount;
    if (timings_.FaultPauseMs > 0) QThread::msleep(ulong(timings_.FaultPauseMs));
    if (LinkFailureCount < kLinkFailureLimit) OpenLink();
}

// ---- Transmit and receive ----

void LinkControl::SendNext() {
    int size;
    const bool command = !queue_.empty();
    if (command) {
        const CommandEntry& head = queue_.front();
        size = BuildCommandFrame(Usb.TransmitBuffer, LinkSignature, head.Command, head.Data.data(),
                                 head.Length);
        // A refused build leaves the buffer as it was: send nothing rather than stale bytes.
        if (size > 0) size += kCommandTrailingBytes;
    } else {
        size = BuildPollFrame(Usb.TransmitBuffer, LinkSignature);
    }
    if (LinkSignature != 0 && size > 0) {
        if (UsbSend(Usb, 0, 0, 0, size)) {
            answerAwaited_ = command;
            answerRetryUs_ = timings_.AnswerRetryUs;
            answerWait_.start();
            answerRetry_.stop();
        } else {
            LinkFault();
        }
    }
    Timer2.start();
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

void LinkControl::ReceiveData() {
    // A completion routine that spins an event loop would run this inside HandleResponse,
    // where the frame being handled still lies in the accumulator: skip; Timer2 reads later.
    if (!Usb.IsOpen || receiving_) return;
    if (!UsbReceive(Usb, 0, 0, 0, kReceiveTransferSize)) {
        LinkFault();
        return;
    }
    LinkFailureCount = 0;
    if (Usb.LastResult == 0) {
        ScheduleAnswerRetry();
        return;
    }
    answerRetryUs_ = timings_.AnswerRetryUs;
    answerWait_.start();
    receiving_ = true;
    Rx.AppendReceived(Usb.ReceiveBuffer, Usb.LastResult);
    receiving_ = false;
    PostReceive();
}

// ---- Commands and timers ----

void LinkControl::ToolButton1Click() {
    LinkSignature = 0;
    OpenLink();
    RequestStatus();
    View.AddLog(kLogRequesting);
}

void LinkControl::ToolButton4Click() {
    View.SetStatusPanel(QString());
    CloseLink();
    ClearQueue();
}

void LinkControl::Timer1Timer() {
    View.AddLog(kLogWatchdog);
    CloseLink();
    Timer1.stop();
}

// A step still pending a whole tick after it was posted is not coming: an event loop started
// under the one that holds it (a configurator waiting for its answers) is never handed it.
// Post a fresh one; the stale step, when it finally runs, is one more harmless read.
void LinkControl::Timer2Timer() {
    receivePosted_ = false;
    PostReceive();
}

void LinkControl::DeviceKindChanged() {
    if (kindHook_) {
        kindHook_->DeviceKindChanged();
        return;
    }
    const uint32_t kind = KindOfSignature(LinkSignature);
    if (kind < 1 || kind > 3) LinkSignature = 0;
}

} // namespace ktr
