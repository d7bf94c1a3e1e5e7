#include "ImageJob.h"

#include "LinkControl.h"

#include <QTimer>

namespace ktr {

ImageJob::ImageJob(WriteJobs& files, std::vector<ImageFile> images, bool write)
    : Job(files.Link()), files_(files), images_(std::move(images)), write_(write) {
    connect(&link_, &LinkControl::VerifyMismatch, this, &ImageJob::Mismatch);
    connect(&link_, &LinkControl::EntryRetired, this, [this](uint64_t serial) {
        if (!probe_ || !probe_->InFlight || serial != probe_->Serial) return;
        probe_->Low = probe_->Mid; // the half verified equal
        probe_->InFlight = false;
        ProbeNext();
    });
    connect(&link_, &LinkControl::QueueCleared, this, [this] {
        if (probe_ && probe_->InFlight) Finish({JobEnd::Cancelled});
    });
}

QString ImageJob::StartLine(Memory target) {
    return target == Memory::Flash ? QStringLiteral("Запуск прошивки основной программы...")
                                   : QStringLiteral("Запуск прошивки EEPROM...");
}

void ImageJob::Start() {
    const size_t queued = link_.Queue().size();
    std::optional<JobRefused> refusal;
    const auto refused =
        connect(&files_, &WriteJobs::Refused, this, [&](const JobRefused& r) { refusal = r; });
    const auto accepted = connect(&files_, &WriteJobs::Accepted, this, [&](const JobAccepted& a) {
        // Both passes have the same blocks.
        const uint64_t pass = write_ ? a.Blocks / 2 : a.Blocks;
        left_.push_back({a.Target, 0, write_ ? pass : 0, 0, pass});
        emit Accepted(a);
    });
    starting_ = true;
    for (const ImageFile& image : images_) {
        if (write_) link_.View().AddLog(StartLine(image.Target));
        const uint64_t first = link_.NextSerial();
        const bool flash = image.Target == Memory::Flash;
        const bool taken = write_ ? (flash ? files_.WriteFlashFile(image.Path)
                                           : files_.WriteEepromFile(image.Path))
                                  : (flash ? files_.VerifyFlashFile(image.Path)
                                           : files_.VerifyEepromFile(image.Path));
        if (!taken) break;
        Own(first);
    }
    starting_ = false;
    disconnect(refused);
    disconnect(accepted);
    if (refusal) {
        // The files before it go unwritten too.
        link_.DropQueuedAfter(queued);
        left_.clear();
        return Finish({JobEnd::Refused, *refusal});
    }
    Begin();
    if (!Waiting()) Finish({JobEnd::Done});
}

void ImageJob::Count(uint8_t command) {
    for (MemoryLeft& memory : left_)
        if (MemoryOfType(command) == memory.Target)
            ++((command & 0x0F) == (cmdFlashWrite & 0x0F) ? memory.BlocksWritten
                                                          : memory.BlocksVerified);
}

void ImageJob::Answered() {
    if (!Waiting()) Finish({JobEnd::Done});
}

// A refusal's drop of the whole queue is the refusal's outcome; a drop after a difference
// is followed by the probes.
void ImageJob::Dropped() {
    if (!starting_ && !probe_) Finish({JobEnd::Cancelled});
}

// The device compares whole blocks: the block in which it found a difference is what the
// verify pass knows. Only the job's own blocks are its difference; another's drops the queue
// under it, which cancels it.
void ImageJob::Mismatch(Memory memory, uint32_t address) {
    if (IsFinished() || link_.Queue().empty()) return;
    const CommandEntry& head = link_.Queue().front();
    if (probe_) {
        if (!probe_->InFlight || head.Serial != probe_->Serial) return;
        probe_->High = probe_->Mid; // the difference lies in the half just verified
        probe_->InFlight = false;
        probe_->Confirmed = true;
        QTimer::singleShot(0, this, &ImageJob::ProbeNext); // once the queue is dropped
        return;
    }
    if (!Owns(head.Serial)) return;
    const uint16_t count = head.BlockCount();
    const bool known = MemoryOfType(head.Command) == memory && head.Address() == address &&
                       count > 0 && head.Data.size() >= size_t(kBlockHeaderSize + count);
    if (!files_.Rules().NarrowMismatch || !known)
        return Finish({JobEnd::Mismatch, {}, {memory, address, false, true}});
    const uint8_t* data = BlockData(head.Data.data());
    probe_ = Probe{memory,  head.Command,   address, std::vector<uint8_t>(data, data + count),
                   address, address + count};
    QTimer::singleShot(0, this, &ImageJob::ProbeNext);
}

// Halves that all verify equal leave one byte never compared alone: it is, unless the
// difference does not repeat.
void ImageJob::ProbeNext() {
    if (IsFinished()) return;
    Probe& p = *probe_;
    const bool narrowed = p.High - p.Low <= 1;
    if (narrowed && p.Low < p.High && p.Confirmed)
        return Finish({JobEnd::Mismatch, {}, {p.Target, p.Low, true, true}});
    if (narrowed && p.Low >= p.High)
        return Finish({JobEnd::Mismatch, {}, {p.Target, p.Start, false, false}});
    p.Mid = narrowed ? p.High : p.Low + (p.High - p.Low) / 2;
    p.Serial =
        link_.EnqueueBlocks(p.Command, p.Low, p.Data.data() + (p.Low - p.Start), p.Mid - p.Low);
    p.InFlight = true;
}

} // namespace ktr
