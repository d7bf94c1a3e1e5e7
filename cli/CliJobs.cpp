// The commands that run the core's jobs: files checked before the device is asked, then the
// write, verify or read job with the command line's rules, its events printed.
#include "CliSession.h"

#include "ImageJob.h"
#include "ReadJob.h"

namespace ktr::cli {

// Whatever can be refused before the device is asked is refused at once.
bool CliSession::CheckFiles() {
    const bool images = options_.Cmd == Command::Write || options_.Cmd == Command::Verify;
    const bool reading = options_.Cmd == Command::Read;
    for (const auto& [memory, path] :
         {std::pair{Memory::Flash, images ? options_.FlashFile : QString()},
          std::pair{Memory::Eeprom, options_.EepromFile},
          std::pair{Memory::Aux, reading ? options_.AuxFile : QString()}}) {
        if (path.isEmpty() || !(images || reading)) continue;
        const std::optional<QString> problem =
            reading ? OutputFileProblem(path) : ImageFileProblem(memory, path, options_.Format);
        if (problem) {
            Finish(FileRefused(memory, path, *problem));
            return false;
        }
    }
    return true;
}

void CliSession::StartImages(WriteJobs& files) {
    const bool write = options_.Cmd == Command::Write;
    // The window's EEPROM job refuses an image that fills the area, so a backup read from the
    // device could not be restored; the command line writes it through the same block
    // writes the configurators use, which take the whole area.
    files.SetRules({options_.Format, true, true, true});
    std::vector<ImageFile> images;
    for (const auto& [memory, path] : {std::pair{Memory::Flash, options_.FlashFile},
                                       std::pair{Memory::Eeprom, options_.EepromFile}})
        if (!path.isEmpty()) images.push_back({memory, path});
    RunJob(std::make_unique<ImageJob>(files, std::move(images), write));
}

void CliSession::StartRead() {
    std::vector<ReadArea> areas;
    for (const auto& [memory, path] :
         {std::pair{Memory::Eeprom, options_.EepromFile}, std::pair{Memory::Aux, options_.AuxFile}})
        if (!path.isEmpty()) areas.push_back({memory, path});
    RunJob(std::make_unique<ReadJob>(*link_, std::move(areas)));
}

void CliSession::RunJob(std::unique_ptr<Job> job) {
    job_ = std::move(job);
    attempt_->Follow(*job_, options_.Cmd == Command::Read    ? QStringLiteral("read")
                            : options_.Cmd == Command::Write ? QStringLiteral("write")
                                                             : QStringLiteral("verify"));
    connect(job_.get(), &Job::Accepted, this, &CliSession::JobAccepted);
    connect(job_.get(), &Job::Started, this, [this](const JobProgress& progress) {
        workClock_.start();
        ShowProgress(progress);
    });
    connect(job_.get(), &Job::Progress, this, &CliSession::ShowProgress);
    connect(job_.get(), &Job::Finished, this, &CliSession::JobFinished);
    job_->Start();
}

void CliSession::JobAccepted(const ktr::JobAccepted& part) {
    const QString memory = MemoryName(part.Target);
    if (options_.Cmd == Command::Read) {
        out_.Step(QStringLiteral("чтение %1: %2 байт").arg(memory).arg(part.ImageBytes));
        read_
            << QStringLiteral("%1 %2 байт в «%3»").arg(memory).arg(part.ImageBytes).arg(part.Path);
        return;
    }
    out_.Step(
        QStringLiteral("%1 «%2»: %3 байт, %4 блоков к %5")
            .arg(memory, part.Path)
            .arg(part.ImageBytes)
            .arg(part.Blocks)
            .arg(part.Write ? QStringLiteral("записи и проверке") : QStringLiteral("проверке")));
}

void CliSession::JobFinished(const JobOutcome& outcome) {
    if (ending_) return Finish(WithLeft({ending_->first, ending_->second, {}}, outcome.Left));
    const bool reading = options_.Cmd == Command::Read;
    Finish(JobVerdict(outcome, options_.Cmd == Command::Write, reading,
                      read_.join(QStringLiteral(", "))));
}

void CliSession::ShowProgress(const JobProgress& progress) {
    Progress p;
    p.DoneBlocks = int64_t(progress.DoneBlocks);
    p.TotalBlocks = int64_t(progress.TotalBlocks);
    p.DoneBytes = int64_t(progress.DoneBytes);
    p.TotalBytes = int64_t(progress.TotalBytes);
    const double seconds = double(workClock_.nsecsElapsed()) / 1e9;
    if (p.DoneBytes > 0 && seconds > 0) {
        p.BytesPerSecond = double(p.DoneBytes) / seconds;
        p.SecondsLeft = double(p.TotalBytes - p.DoneBytes) / p.BytesPerSecond;
    }
    out_.ShowProgress(p);
}

} // namespace ktr::cli
