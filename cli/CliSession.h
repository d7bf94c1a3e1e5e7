// One ktr-cli command run to its outcome on the same core as the window: the link control,
// the write jobs, the configurator host and the TCP bridge, shown through a HostView that
// prints. Runs on any UsbBackend, so tests drive it in-process on the simulated bus.
#pragma once

#include "CliOptions.h"
#include "CliOutput.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonObject>
#include <QObject>
#include <QSaveFile>
#include <QTimer>

#include <array>
#include <atomic>
#include <memory>
#include <vector>

namespace ktr {
class ConfiguratorHost;
class TcpBridge;
class WriteJobs;
struct JobRefused;
struct JobAccepted;
} // namespace ktr

namespace ktr::cli {

class CliSession : public QObject, public HostView {
    Q_OBJECT
public:
    CliSession(UsbBackend& usb, const CliOptions& options, CliOutput& output);
    ~CliSession() override;

    // Runs the command until its outcome is known (needs a QCoreApplication) and returns the
    // exit status; the result has been printed by then.
    int Run();
    // A signal (options.InterruptSignal) or the --timeout: the link is closed cleanly; bridge
    // ends with 0, any other command with 128 + the signal (kExitLink for the timeout).
    void Interrupt();
    void TimedOut();
    // What a write that ends now leaves on the device, as text and result fields (none when
    // no write runs): for the guard's thread too.
    QJsonObject PartialResult(QString& text) const;

    struct Attached {
        DeviceAddress Address;
        bool Accessible = true;
    };
    // The attached devices of the family as usb lists them now.
    static std::vector<Attached> AttachedDevices(UsbBackend& usb);

    void AddLog(const QString& line) override;
    void SetQueueCaption(const QString&) override {}
    void SetProgressMax(int) override {}
    void SetProgressPosition(int) override {}
    void SetStatusPanel(const QString&) override {}
    void SetFlashSizeText(const QString&) override {}
    void SetEepromSizeText(const QString&) override {}
    void SetLinkButtons(int, int) override {}
    void Beep(int, int) override {}
    void ShowError(const QString& text) override;
    void SetCaption(const QString&) override {}
    void SetTcpStatus(const QString& text) override;
    void SetKindSelection(int) override {}
    void SetConfiguratorEnabled(bool) override {}

private:
    enum class Phase { Connecting, Working, Probing, Finished };
    // An area read into its file a window at a time: the file is written beside its name
    // and takes the name only once it is complete.
    struct ReadArea {
        Memory Target;
        uint32_t Size = 0;
        uint32_t Done = 0; // bytes already in the file
        std::unique_ptr<QSaveFile> File;
    };

    int List();
    bool CheckFiles();
    bool CheckImageFile(Memory memory, const QString& path);
    bool RefuseFile(Memory memory, const QString& path, const QString& why);
    bool CheckOutputFile(Memory memory, const QString& path);
    QString DeviceText() const;
    void LinkProgress();
    void RunLinked();
    void BindEvents();
    void CheckLink();
    void JobRefusedBy(const ktr::JobRefused& job);
    void JobAcceptedBy(const ktr::JobAccepted& job);
    void Mismatch(Memory memory, uint32_t address);
    void ProbeNext();
    QJsonObject PartialWrite(QString& text) const;
    void CountLeft();
    void Drained();
    void Ready();
    void ShowInfo();
    void StartJobs();
    void StartRead();
    void StartBridge();
    void StartConfigure();
    int64_t QueuedImageBytes() const;
    void BeginWork(int64_t totalBytes);
    void ShowProgress();
    void ReadNextWindow();
    bool SaveWindow();
    void Finish(int status, const QString& message);

    UsbBackend& usb_;
    const CliOptions& options_;
    CliOutput& out_;
    QEventLoop loop_;
    QTimer drained_; // the queue drained: the command's next step
    Phase phase_ = Phase::Connecting;
    int status_ = kExitDone;
    QString message_;

    // Alive while the command runs.
    LinkControl* link_ = nullptr;
    WriteJobs* jobs_ = nullptr;
    ConfiguratorHost* host_ = nullptr;
    TcpBridge* bridge_ = nullptr;

    QString deviceName_;
    bool identified_ = false;
    QString tcpStatus_;
    bool everOpened_ = false;
    bool watchdogFired_ = false;
    int openedBus_ = 0, openedDevice_ = 0;
    std::vector<ReadArea> reads_;
    std::vector<uint8_t> readWindow_; // the answers of the window in flight land here
    int64_t readDone_ = 0;            // bytes of all areas already in their files
    int64_t totalBlocks_ = 0, totalBytes_ = 0;
    QElapsedTimer workClock_;
    // Block entries of each Type the jobs queued, for what a failure leaves on the device.
    std::array<int64_t, 256> queuedBlocks_ = {};
    QJsonObject resultFields_;
    // Runs while the link is not known to work: from the start until the device is ready,
    // and from a close until the queue moves again.
    QTimer linkTimeout_;
    size_t lastQueueSize_ = 0;
    // A verify block that differs, narrowed by verifying halves of it to its first byte.
    struct Probe {
        Memory Target = Memory::Flash;
        uint8_t Command = 0;
        uint32_t Start = 0;         // the block's address
        std::vector<uint8_t> Data;  // its bytes
        uint32_t Low = 0, High = 0; // the first difference lies in [Low, High)
        uint32_t Mid = 0;           // a probe covers [Low, Mid)
        bool InFlight = false;
        bool Confirmed = false; // a probe has differed too
    } probe_;
    QString partialText_; // what a failed write leaves on the device, once counted
    // Entries left of the write and verify passes of FLASH and EEPROM, and whether a write
    // runs: read by the guard's thread.
    std::array<std::atomic<int64_t>, 4> left_ = {};
    std::atomic<bool> writing_ = false;
};

} // namespace ktr::cli
