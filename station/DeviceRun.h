// One device from connect to its verdict: a link of its own, its session, the job it is ready
// for, and the journal record of the attempt. ktr-cli runs one for each device of a command,
// the station one for each device plugged in; several run side by side on one thread.
#pragma once

#include "AttemptRecord.h"
#include "ImageJob.h"
#include "NullView.h"
#include "ReadJob.h"

#include <memory>
#include <optional>

namespace ktr {

struct DeviceRunSetup {
    int Bus = 0, Device = 0; // 0:0: the first found
    LinkTimings Timings;
    int LinkTimeoutS = 30; // 0: a link once open is never given up (the bridge)
    JobRules::Format Format = JobRules::Format::ByExtension;
    QString Command;                  // as the record names it: "write", "station"
    std::vector<JournalImage> Images; // as recorded
    HostView* View = nullptr;         // the link's log and captions; nullptr: shown nowhere
    // A device of a kind not served ends the run; else the run waits for another (the bridge,
    // like the window, stays for whatever device comes).
    bool EndsWhenNotServed = true;
};

class DeviceRun : public QObject {
    Q_OBJECT
public:
    // usb: the backend the program lists devices on; the run's link gets one of its own.
    DeviceRun(UsbBackend& usb, DeviceRunSetup setup);
    ~DeviceRun() override; // the link is closed, as the window closes it

    LinkControl& Link() { return link_; }
    DeviceSession& Session() { return session_; }
    AttemptRecord& Record() { return record_; }
    // How messages name the device: "1000:6666 на 1:2", or "1000:6666" for the first found.
    QString DeviceText() const;

    // Opens the link; the session's Ready (or the run's Finished) follows.
    void Connect();
    // The jobs, on the ready device. Write writes and verifies; its EEPROM images may fill
    // the whole area, as the configurators' block writes do.
    void Write(std::vector<ImageFile> images);
    void Verify(std::vector<ImageFile> images);
    void Read(std::vector<ReadArea> areas);
    // Ends the run with verdict; a job still running ends first with end, and the verdict
    // then says what it left on the device.
    void End(const Verdict& verdict, JobEnd end = JobEnd::Cancelled);
    bool IsFinished() const { return finished_; }

signals:
    void Accepted(const ktr::JobAccepted& part);
    void Started(const ktr::JobProgress& progress);
    void Progress(const ktr::JobProgress& progress);
    // Once: the verdict and the attempt's record (not yet journalled).
    void Finished(const ktr::Verdict& verdict, const ktr::JournalRecord& record);

private:
    void RunJob(std::unique_ptr<Job> job, const QString& phase, bool write, bool reading);
    void Finish(const Verdict& verdict);

    NullView nullView_;
    std::unique_ptr<UsbBackend> usb_; // the link's own: a transfer in flight beside the others'
    LinkControl link_;
    WriteJobs files_;
    DeviceSession session_;
    AttemptRecord record_;
    const int bus_, device_, linkTimeoutS_;
    std::unique_ptr<Job> job_;
    std::optional<Verdict> ending_; // the caller's end of a running job
    QStringList read_;              // the areas a read took, for its verdict
    bool finished_ = false;
};

} // namespace ktr
