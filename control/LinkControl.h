// The host's side of the conversation: the command queue, the transmit and receive steps,
// the link commands and the handling of every answer. One object for the program's run,
// living on the UI thread; it shows everything through HostView.
#pragma once

#include "CommandQueue.h"
#include "HostView.h"
#include "RxAccumulator.h"
#include "UsbDevice.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

namespace ktr {

struct LinkTimings {
    int WatchdogMs = 10000;  // Timer1
    int PollTickMs = 50;     // Timer2
    int FaultPauseMs = 1000; // LinkFault's pause before reopening
    // While the answer to a command frame is awaited, an empty read is followed by another
    // after AnswerRetryUs; once AnswerRetryFlatUs have passed without bytes, each empty read
    // doubles the pause until it reaches PollTickMs, from where Timer2 alone reads again.
    // Polls keep Timer2's pace; an AnswerRetryUs of 0 leaves commands at it too.
    int AnswerRetryUs = 100;
    int AnswerRetryFlatUs = 4000;
};

constexpr int kLinkFailureLimit = 20;

class LinkControl : public QObject, private FrameSink {
    Q_OBJECT
public:
    LinkControl(UsbBackend& usb, HostView& view, LinkTimings timings = {});
    ~LinkControl() override;

    void SetBridge(TcpReplySink* bridge) { bridge_ = bridge; }
    void SetDeviceKindHook(DeviceKindHook* hook) { kindHook_ = hook; }

    // Queue. The enqueues refuse (false, nothing changed) a Length beyond the entry's
    // capacity or a null Data with a non-zero Length.
    bool EnqueueCommand(uint8_t command, const uint8_t* data, uint16_t length);
    bool EnqueueCommandEx(uint8_t command, const uint8_t* data, uint16_t length,
                          PluginCompletion completion);
    void DequeueCommand();
    void ClearQueue();
    void RequestStatus();
    const CommandQueue& Queue() const { return queue_; }
    // Payload bytes of the queued entries of one Type, kept as the queue changes.
    uint64_t QueuedBytes(uint8_t command) const { return queuedBytes_[command]; }
    // A configurator library is going away: its queued requests stay queued and are still
    // sent, but their completions are never called and its buffers are no longer targets.
    // A read answer still comes into the target of a later accepted read, as any earlier
    // read's answers do, within that read's Count.
    void ForgetPluginRequests();

    // Link lifecycle.
    void OpenLink();
    void CloseLink();
    void LinkFault();

    // Transmit and receive steps.
    void SendNext();
    void ReceiveData(); // run only by the posted receive event
    void PostReceive(); // posts the receive event (message 0x401)

    // Commands and timers of the window.
    void ToolButton1Click(); // connect
    void N7Click() { ToolButton1Click(); }
    void ToolButton4Click(); // disconnect
    void N2Click() { ToolButton4Click(); }
    void Timer1Timer();
    void Timer2Timer();

    // Program-wide link state, one owner.
    UsbDevice Usb;
    uint32_t LinkSignature = 0;
    RxAccumulator Rx;
    int32_t LinkFailureCount = 0;
    bool LinkEstablished = false;
    uint32_t FlashSize = 0;
    uint32_t EepromSize = 0;
    uint32_t AuxSize = 0;
    // Set by the configurator host: the buffer of the latest accepted read of each area and
    // the Count it was accepted with; an answer is never copied past that Count.
    uint8_t* EepromReadTarget = nullptr;
    int32_t EepromReadTargetSize = 0;
    uint8_t* AuxReadTarget = nullptr;
    int32_t AuxReadTargetSize = 0;
    QTimer Timer1;
    QTimer Timer2;
    HostView& View;

signals:
    // After every change of the queue, once its display is up to date.
    void QueueChanged();

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
    void VerificationError(uint8_t type, const uint8_t* payload);
    void ReadAnswer(const uint8_t* payload, int payloadLength, uint8_t* const& target,
                    const int32_t& targetSize);
    void PopHead();
    void ScheduleAnswerRetry();

    LinkTimings timings_;
    CommandQueue queue_;
    uint64_t queuedBytes_[256] = {};
    uint64_t nextSerial_ = 1;
    bool receiving_ = false;
    bool receivePosted_ = false;
    // The answer retry: set by a command frame sent, dropped by a poll sent or a close.
    bool answerAwaited_ = false;
    int answerRetryUs_ = 0;
    QElapsedTimer answerWait_; // since the frame went out, or the last read with bytes
    QTimer answerRetry_;
    TcpReplySink* bridge_ = nullptr;
    DeviceKindHook* kindHook_ = nullptr;
};

} // namespace ktr
