#include "DeviceRun.h"

namespace ktr {

DeviceRun::DeviceRun(UsbBackend& usb, DeviceRunSetup setup)
    : usb_(usb.ForAnotherLink()), link_(*usb_, setup.View ? *setup.View : nullView_, setup.Timings),
      files_(link_), session_(link_, setup.LinkTimeoutS),
      record_(session_, *usb_, setup.Command, std::move(setup.Images)), bus_(setup.Bus),
      device_(setup.Device), linkTimeoutS_(setup.LinkTimeoutS) {
    link_.ChooseDevice(bus_, device_);
    // The window's EEPROM job refuses an image that fills the area, so a backup read from a
    // device could not be restored; these block writes take the whole area.
    files_.SetRules({setup.Format, true, true, true});
    connect(&session_, &DeviceSession::Lost, this, [this](SessionLoss why) {
        End({kExitLink, LossText(why, DeviceText(), linkTimeoutS_), {}}, JobEnd::LinkLost);
    });
    if (setup.EndsWhenNotServed)
        connect(&session_, &DeviceSession::NotServed, this, [this](uint32_t kind) {
            End({kExitLink, NotServedText(DeviceText(), kind), {}}, JobEnd::LinkLost);
        });
}

DeviceRun::~DeviceRun() {
    link_.CloseLink();
}

QString DeviceRun::DeviceText() const {
    QString text = QStringLiteral("1000:6666");
    if (bus_ != 0) text += QStringLiteral(" на %1:%2").arg(bus_).arg(device_);
    return text;
}

void DeviceRun::Connect() {
    session_.Connect();
}

void DeviceRun::Write(std::vector<ImageFile> images) {
    RunJob(std::make_unique<ImageJob>(files_, std::move(images), true), QStringLiteral("write"),
           true, false);
}

void DeviceRun::Verify(std::vector<ImageFile> images) {
    RunJob(std::make_unique<ImageJob>(files_, std::move(images), false), QStringLiteral("verify"),
           false, false);
}

void DeviceRun::Read(std::vector<ReadArea> areas) {
    RunJob(std::make_unique<ReadJob>(link_, std::move(areas)), QStringLiteral("read"), false, true);
}

void DeviceRun::RunJob(std::unique_ptr<Job> job, const QString& phase, bool write, bool reading) {
    if (finished_) return;
    job_ = std::move(job);
    record_.Follow(*job_, phase);
    connect(job_.get(), &Job::Accepted, this, [this, reading](const JobAccepted& part) {
        if (reading)
            read_ << QStringLiteral("%1 %2 байт в «%3»")
                         .arg(MemoryName(part.Target))
                         .arg(part.ImageBytes)
                         .arg(part.Path);
        emit Accepted(part);
    });
    connect(job_.get(), &Job::Started, this, &DeviceRun::Started);
    connect(job_.get(), &Job::Progress, this, &DeviceRun::Progress);
    connect(job_.get(), &Job::Finished, this, [this, write, reading](const JobOutcome& outcome) {
        Finish(ending_ ? WithLeft(*ending_, outcome.Left)
                       : JobVerdict(outcome, write, reading, read_.join(QStringLiteral(", "))));
    });
    job_->Start();
}

void DeviceRun::End(const Verdict& verdict, JobEnd end) {
    if (finished_) return;
    if (job_ && !job_->IsFinished()) {
        ending_ = verdict;
        return job_->Abort(end); // its Finished ends the run
    }
    Finish(verdict);
}

void DeviceRun::Finish(const Verdict& verdict) {
    if (finished_) return;
    finished_ = true;
    emit Finished(verdict, record_.Close(verdict));
}

} // namespace ktr
