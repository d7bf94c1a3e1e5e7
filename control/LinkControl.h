// The host's side of the conversation: the command queue, the transmit and receive steps,
// the link commands and the handling of every answer. One object per link, living on the
// thread that created it (the UI thread in the window); every operation must be called on
// that thread. It shows everything through HostView and announces every outcome as a signal;
// the log lines are for the operator, the signals for code. Transfers never hold the thread
// when the backend completes them asynchronously: one is in flight at a time, and a step
// that would start another (a send, a read) waits for it and runs when it ends. With a
// backend that completes at once, everything happens in the order of a blocking call.
#pragma once

#include "CommandQueue.h"
#include "HostView.h"
#include "LinkEvents.h"
#include "RxAccumulator.h"
#include "UsbDevice.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

namespace ktr {

struct LinkTimings {
    int WatchdogMs = 10000;  // Timer1
    int PollTickMs = 50;     // Timer2
    int FaultPauseMs = 1000; // LinkFault's pause before reopening; 0 reopens at once
    // While the answer to a command frame is awaited, an empty read is followed by another
    // after AnswerRetryUs; once AnswerRetryFlatUs have passed without bytes, each empty read
    // doubles the pause until it reaches PollTickMs, from where Timer2 alone reads again.
    // The first read after a command frame waits for the device's usual answer time, learned
    // within AnswerRetryFlatUs. Polls keep Timer2's pace; an AnswerRetryUs of 0 leaves
    // commands at it too.
    int AnswerRetryUs = 100;
    int AnswerRetryFlatUs = 4000;
    // How long an adopted kind this program does not serve must stand, with no served kind
    // adopted since, before it is taken for the device's own: bytes left from an earlier
    // session or line noise can form one bogus candidate just before the real first frame.
    int UnservedKindSettleMs = 500;
    // An open, signed link with nothing valid received for this long has lost a frame (an
    // answer with a corrupted checksum, a first frame hidden behind noise): the head, or a
    // poll, goes out again. The watchdog still has the last word.
    int AnswerReaskMs = 1000;
};

constexpr int kLinkFailureLimit = 20;
// The completion value of an EEPROM or AUX verify block that differs from the device.
constexpr int32_t kVerifyMismatchNotice = -2;

class LinkControl : public QObject, private FrameSink {
    Q_OBJECT
public:
    // Initialises the USB library and starts Timer1 and Timer2; opens nothing.
    LinkControl(UsbBackend& usb, HostView& view, LinkTimings timings = {});
    ~LinkControl() override; // closes the handle without a log line

    void SetBridge(TcpReplySink* bridge) { bridge_ = bridge; }
    void SetDeviceKindHook(DeviceKindHook* hook) { kindHook_ = hook; }

    // ---- Queue ----
    // Append one entry. Refused (false, nothing changed) for a Length beyond the entry's
    // capacity or a null Data with a non-zero Length.
    bool EnqueueCommand(uint8_t command, const uint8_t* data, uint16_t length);
    bool EnqueueCommandEx(uint8_t command, const uint8_t* data, uint16_t length,
                          PluginCompletion completion);
    // Queues blocks of command over count bytes from address, at least one (an empty one for
    // a count of 0), each of at most kMaxBlockData bytes and starting where the one before
    // ends. data holds the bytes from address on and goes into the blocks; null for reads,
    // whose blocks carry none. Returns the first block's serial; the others follow it by one.
    // std::bad_alloc leaves the blocks queued so far queued.
    uint64_t EnqueueBlocks(uint8_t command, uint64_t address, const uint8_t* data, uint64_t count,
                           PluginCompletion completion = nullptr);
    // The serial the next entry queued gets.
    uint64_t NextSerial() const { return nextSerial_; }
    // Retires the head (nothing on an empty queue); the queue becoming empty logs its
    // success line and emits QueueDrained.
    void DequeueCommand();
    // Drops every entry; logs and emits QueueCleared only when there was one.
    void ClearQueue();
    // Drops the entries behind the first count, silently: the tail of a request that could
    // not be queued whole. Nothing changes when count is not below the queue's size.
    void DropQueuedAfter(size_t count);
    // Queues the identification and the three size queries.
    void RequestStatus();
    const CommandQueue& Queue() const { return queue_; }
    // Payload bytes of the queued entries of one Type, kept as the queue changes.
    uint64_t QueuedBytes(uint8_t command) const { return queuedBytes_[command]; }
    // A configurator library is going away: its queued requests stay queued and are still
    // sent, but their completions are never called and its buffers are no longer targets.
    // A read answer still comes into the target of a later accepted read, as any earlier
    // read's answers do, within that read's Count.
    void ForgetPluginRequests();
    // The buffer that answers of an EEPROM or AUX read are copied into, and the Count it was
    // accepted with: no answer is ever copied past it. The buffer's byte 0 stands for device
    // address base (a window of the area). Null (or a size of 0 or below) makes the area's
    // answers go nowhere. Flash has no reads: ignored.
    void SetReadTarget(Memory memory, uint8_t* target, int32_t size, uint32_t base = 0);

    // ---- Link lifecycle ----
    // Opens the first matching device (see ChooseDevice), dropping any handle still held
    // (one with a transfer in flight is closed when that transfer ends, which is handled as
    // usual). On failure logs so, emits LinkOpenFailed and leaves the link closed; on success
    // logs, restarts Timer1 and emits LinkOpened. Ends a fault's pause: its reopen is not made.
    void OpenLink();
    // Ends a transfer in flight first, unhandled (no fault), then closes an open link with
    // its two log lines and emits LinkClosed(reason); a closed link only drops a stale handle,
    // silently. Never fails: a handle the library refuses to close is dropped all the same.
    void CloseLink(LinkCloseReason reason = LinkCloseReason::Operator);
    // The one recovery path of a failed transfer: closes the link, counts the fault and,
    // unless kLinkFailureLimit faults in a row were reached, reopens after FaultPauseMs (at
    // once for 0). The pause is a timer: the thread goes on, nothing is sent meanwhile (a
    // send waits for the reopen), and a disconnect ends it. A successful read resets the count.
    void LinkFault();
    // Which device OpenLink takes among several that match: by bus and device number, as
    // the device list gives them; 0 and 0, the first in bus and device number order.
    void ChooseDevice(int bus, int device);
    // What a device's size answer does (the capacity and its signal), without the label: for
    // hosts that learn the sizes otherwise.
    void SetCapacity(Memory memory, uint32_t size);
    // A host that knows the link is up without having seen its first poll answer (the
    // fuzzer starts from such states): no connect follows the next poll answer.
    void AssumeEstablished() { linkEstablished_ = true; }
    // The signature accepted from the device, changed only here: 0 accepts the first valid
    // frame of any kind and adopts its signature.
    void SetLinkSignature(uint32_t signature);

    // ---- Transmit and receive steps ----
    // Sends the head's frame, or a poll when the queue is empty, unless no signature is known
    // (then nothing goes out); a failed send runs LinkFault. Restarts Timer2 and posts a
    // receive step either way, once the send is done. While a transfer is in flight or a
    // fault's pause runs, it only notes that a send is due: it runs when they end.
    void SendNext();
    // One read, handled when it ends; while a transfer is in flight, it runs when that ends.
    void ReceiveData(); // run only by the posted receive event
    void PostReceive(); // posts the receive event (message 0x401)

    // ---- Commands and timers of the window ----
    // Connect: open, then ask for the status.
    void Connect();
    void ToolButton1Click() { Connect(); }
    void N7Click() { Connect(); }
    // Disconnect: ends the transfer in flight and a fault's pause, closes and drops the queue;
    // the link is closed when it returns.
    void ToolButton4Click();
    void N2Click() { ToolButton4Click(); }
    void Timer1Timer();
    void Timer2Timer();

    // ---- State, read only ----
    const UsbDevice& Usb() const { return usb_; }
    bool IsOpen() const { return usb_.IsOpen; }
    uint32_t LinkSignature() const { return linkSignature_; }
    const RxAccumulator& Rx() const { return rx_; }
    int32_t LinkFailureCount() const { return linkFailureCount_; }
    bool LinkEstablished() const { return linkEstablished_; }
    uint32_t FlashSize() const { return flashSize_; }
    uint32_t EepromSize() const { return eepromSize_; }
    uint32_t AuxSize() const { return auxSize_; }
    uint32_t Capacity(Memory memory) const;
    const uint8_t* ReadTarget(Memory memory) const; // null for none (and for FLASH)
    const QTimer& Timer1() const { return timer1_; }
    const QTimer& Timer2() const { return timer2_; }
    HostView& View() const { return view_; }
    bool TransferInFlight() const { return transferInFlight_; }
    bool ReopenPending() const { return faultPause_.isActive(); } // a fault's pause runs

signals:
    // After every change of the queue, once its display is up to date.
    void QueueChanged();
    // An answer retired the entry with this serial; QueueDrained follows when it was the last.
    void EntryRetired(uint64_t serial);
    // The last entry retired: the queue went from one entry to none.
    void QueueDrained();
    // ClearQueue dropped entries (after a mismatch, a disconnect, an image out of memory);
    // the QueueChanged of the same clear follows.
    void QueueCleared();
    void LinkOpened(int bus, int device);
    void LinkOpenFailed();
    void LinkClosed(ktr::LinkCloseReason reason);
    // The first poll answer after the link came up.
    void Established();
    // A signature was adopted from a device while none was set; served tells whether the
    // kind is one this program serves (if not, the signature is dropped again).
    void KindAdopted(uint32_t kind, bool served);
    // The device is of a kind this program does not serve: an unserved kind was adopted and
    // no served kind followed within UnservedKindSettleMs. At most once per such stretch.
    void KindNotServed(uint32_t kind);
    void DeviceIdentified(const QString& name, uint32_t kind);
    void SizeKnown(ktr::Memory memory, uint32_t size);
    // A verify answer reported a difference in the block at address; the queue is dropped.
    void VerifyMismatch(ktr::Memory memory, uint32_t address);

protected:
    bool event(QEvent* event) override;

private:
    void HandleResponse(const uint8_t* frame) override;
    void DeviceKindChanged() override;
    bool Enqueue(uint8_t command, const uint8_t* data, uint16_t length,
                 PluginCompletion completion);
    void ShowQueueCount();
    // Response handling steps.
    bool HeadMatches(uint8_t type) const;
    bool AddressMatches(const uint8_t* payload, int payloadLength) const;
    void Notify(int32_t value);
    void Retire(uint64_t serial);
    void Unmatched();
    void Reask();
    void VerificationError(uint8_t type, const uint8_t* payload);
    bool TakeAnswer(uint8_t type, const uint8_t* payload, int payloadLength);
    bool ReadAnswer(Memory memory, const uint8_t* payload, int payloadLength);
    void PopHead();
    void ScheduleAnswerRetry();
    void LearnPace();
    void OpenDevice();
    void FaultPauseEnded();
    // Starts the one transfer (IN into ReceiveBuffer, or OUT from TransmitBuffer); `then`
    // handles its outcome unless it was cancelled, and the steps that waited run after it.
    void Transfer(bool in, int size, void (LinkControl::*then)(bool ok));
    void TransferEnded(bool ok);
    void SendEnded(bool ok);
    void ReceiveEnded(bool ok);
    void CancelTransfer();
    void RunPendingSteps();
    void AwaitAnswer();

    struct ReadBuffer {
        uint8_t* Buffer = nullptr;
        int32_t Size = 0;
        uint32_t Base = 0;
    };

    UsbDevice usb_;
    uint32_t linkSignature_ = 0;
    RxAccumulator rx_;
    int32_t linkFailureCount_ = 0;
    bool linkEstablished_ = false;
    uint32_t flashSize_ = 0;
    uint32_t eepromSize_ = 0;
    uint32_t auxSize_ = 0;
    ReadBuffer eepromReadTarget_;
    ReadBuffer auxReadTarget_;
    QTimer timer1_;
    QTimer timer2_;
    HostView& view_;

    LinkTimings timings_;
    CommandQueue queue_;
    uint64_t queuedBytes_[256] = {};
    uint64_t nextSerial_ = 1;
    // The head whose completion runs now (0: none), and the last head retired early because
    // its completion waited in an event loop.
    uint64_t notifying_ = 0;
    uint64_t retiredEarly_ = 0;
    bool receivePosted_ = false;
    // Frames sent since the link opened that the device has not answered yet. The device
    // answers every frame, so when this is 0 nothing more will come unasked.
    int unanswered_ = 0;
    QTimer reask_;        // restarted by every send, valid frame and open
    QTimer unservedKind_; // runs from an unserved adoption until a served one
    uint32_t unservedKindSeen_ = 0;
    // The answer retry: set by a command frame sent, dropped by a poll sent or a close.
    bool answerAwaited_ = false;
    int answerRetryUs_ = 0;
    QElapsedTimer answerWait_; // since the frame went out, or the last read with bytes
    QTimer answerRetry_;
    // The answer pace: how long after a command frame this device's answer is usually ready,
    // learned from the reads that found it. The first read waits for it (while pacing_), so
    // that a device that takes its time is not asked in vain before.
    int answerPaceUs_ = 0;
    bool pacing_ = false;
    bool answerStarted_ = false; // bytes have come since the frame went out
    bool answerEmpty_ = false;   // a read since the frame went out found nothing
    int64_t readStartUs_ = 0;    // of the read in flight, on answerWait_
    QTimer faultPause_;
    bool transferInFlight_ = false;
    void (LinkControl::*then_)(bool ok) = nullptr; // what handles the transfer in flight
    bool sendingCommand_ = false;                  // a command frame, not a poll, is going out
    bool cancelling_ = false;
    bool sendPending_ = false;    // a SendNext waits for the transfer or the fault's pause
    bool receivePending_ = false; // a receive step waits for the transfer
    TcpReplySink* bridge_ = nullptr;
    DeviceKindHook* kindHook_ = nullptr;
};

} // namespace ktr
