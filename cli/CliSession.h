// One ktr-cli command run to its outcome on the same core as the window: the link control,
// the write jobs, the configurator host and the TCP bridge, shown through a HostView that
// prints. Runs on any UsbBackend, so tests drive it in-process on the simulated bus.
#pragma once

#include "CliOptions.h"
#include "CliOutput.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QObject>
#include <QTimer>

#include <memory>
#include <vector>

namespace ktr {
class ConfiguratorHost;
class TcpBridge;
class WriteJobs;
struct JobRefused;
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
    // Ctrl-C: the link is closed cleanly; bridge ends with 0, any other command with
    // kExitInterrupted.
    void Interrupt();

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
    enum class Phase { Connecting, Working, Finished };
    struct ReadArea {
        QString File;
        const char* Name;
        std::vector<uint8_t> Bytes;
    };

    int List();
    bool CheckFiles();
    void RunLinked();
    void BindEvents();
    void CheckLink();
    void JobRefusedBy(const ktr::JobRefused& job);
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
    bool SaveReadAreas();
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
    int64_t totalBlocks_ = 0, totalBytes_ = 0;
    QElapsedTimer workClock_;
};

} // namespace ktr::cli
