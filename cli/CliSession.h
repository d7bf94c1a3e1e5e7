// One ktr-cli command run to its outcome on the same core as the window: a device session
// brings the device up, the core's jobs, configurator host and TCP bridge do the work, and
// this prints what they announce. Runs on any UsbBackend, so tests drive it in-process on
// the simulated bus.
#pragma once

#include "AttemptRecord.h"
#include "CliOptions.h"
#include "CliOutput.h"
#include "DeviceSession.h"
#include "Job.h"
#include "NullView.h"
#include "Verdict.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonObject>
#include <QObject>

#include <memory>
#include <optional>

namespace ktr {
class ConfiguratorHost;
class TcpBridge;
} // namespace ktr

namespace ktr::cli {

class CliSession : public QObject, public NullView {
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

    void AddLog(const QString& line) override;
    void ShowError(const QString& text) override;
    void SetTcpStatus(const QString& text) override;

private:
    void List();
    bool CheckFiles();
    bool OpenJournal();
    QString DeviceText() const;
    void RunLinked();
    void BindSession(DeviceSession& session);
    void Ready(const DeviceInfo& device);
    void ShowInfo(const DeviceInfo& device);
    void StartImages(WriteJobs& files);
    void StartRead();
    void RunJob(std::unique_ptr<Job> job);
    void JobAccepted(const JobAccepted& part);
    void JobFinished(const JobOutcome& outcome);
    void ShowProgress(const JobProgress& progress);
    void StartBridge();
    void StartConfigure();
    // Ends the command; a job still running ends first, with end, and says what it left.
    void End(int status, const QString& message, JobEnd end = JobEnd::Cancelled);
    void Finish(const Verdict& verdict);

    UsbBackend& usb_;
    const CliOptions& options_;
    CliOutput& out_;
    QEventLoop loop_;
    bool finished_ = false;
    int status_ = kExitDone;
    QString message_;
    QJsonObject resultFields_;

    // Alive while the command runs.
    LinkControl* link_ = nullptr;
    ConfiguratorHost* host_ = nullptr;
    TcpBridge* bridge_ = nullptr;
    std::unique_ptr<Job> job_;
    std::optional<std::pair<int, QString>> ending_; // the command's own end of a running job
    QStringList read_;                              // the areas a read takes, for its result
    QElapsedTimer workClock_;
    Journal journal_;                  // --journal, open before any device is asked
    AttemptRecord* attempt_ = nullptr; // the record of this run's device, while it runs
    QString tcpStatus_;
};

} // namespace ktr::cli
