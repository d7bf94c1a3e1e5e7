#include "ReadJob.h"

#include "HexImage.h"
#include "LinkControl.h"

namespace ktr {

ReadJob::ReadJob(LinkControl& link, std::vector<ReadArea> areas)
    : Job(link), files_(std::move(areas)) {}

// The answers still on their way must not land in a window that is gone.
ReadJob::~ReadJob() {
    for (const Area& area : areas_)
        if (link_.ReadTarget(area.File.Target) == window_.data())
            link_.SetReadTarget(area.File.Target, nullptr, 0);
}

void ReadJob::Refuse(const Area& area, JobRefusal reason, const QString& why) {
    link_.SetReadTarget(area.File.Target, nullptr, 0);
    Finish({JobEnd::Refused,
            {area.File.Target, area.File.Path, reason, 0, area.Size, kMaxImageBytes, why}});
}

void ReadJob::Start() {
    uint64_t total = 0;
    for (const ReadArea& file : files_) {
        Area& area = areas_.emplace_back();
        area.File = file;
        area.Size = link_.Capacity(file.Target);
        // A claim beyond any image this program holds is refused before anything is asked.
        if (area.Size > kMaxImageBytes) return Refuse(area, JobRefusal::TooLarge, {});
        area.Out = std::make_unique<QSaveFile>(file.Path);
        if (!area.Out->open(QIODevice::WriteOnly))
            return Refuse(area, JobRefusal::CannotWrite, area.Out->errorString());
        const uint64_t blocks = (area.Size + kMaxBlockData - 1) / kMaxBlockData;
        Expect(blocks, area.Size);
        emit Accepted({file.Target, file.Path, false, area.Size, blocks});
        total += area.Size;
    }
    window_.resize(std::min<uint64_t>(total, kReadWindowBytes));
    QueueWindow();
    if (!IsFinished()) Begin();
}

// The next window's block reads, or the files committed once every area is in.
void ReadJob::QueueWindow() {
    for (; current_ < areas_.size(); ++current_) {
        Area& area = areas_[current_];
        if (area.Done >= area.Size) continue;
        const uint32_t window = std::min(area.Size - area.Done, kReadWindowBytes);
        link_.SetReadTarget(area.File.Target, window_.data(), int32_t(window), area.Done);
        const uint8_t command = area.File.Target == Memory::Eeprom ? cmdEepromRead : cmdAuxRead;
        Own(link_.EnqueueBlocks(command, area.Done, nullptr, window), false);
        return;
    }
    for (Area& area : areas_)
        if (!area.Out->commit())
            return Refuse(area, JobRefusal::CannotWrite, area.Out->errorString());
    Finish({JobEnd::Done});
}

void ReadJob::Answered() {
    if (Waiting()) return;
    // The window is complete: its bytes go to the file, and the next one is asked for.
    Area& area = areas_[current_];
    const uint32_t window = std::min(area.Size - area.Done, kReadWindowBytes);
    link_.SetReadTarget(area.File.Target, nullptr, 0);
    if (area.Out->write(reinterpret_cast<const char*>(window_.data()), window) != qint64(window))
        return Refuse(area, JobRefusal::CannotWrite, area.Out->errorString());
    area.Done += window;
    QueueWindow();
}

namespace {

// A device's name as one file name component: it comes from the device, so it may hold
// anything, and must not lead out of the folder the pattern names.
QString FileNamePart(const QString& name) {
    QString part;
    for (const QChar c : name)
        part += c.unicode() < 0x20 || c.unicode() == 0x7F || c == QLatin1Char('/') ||
                        c == QLatin1Char('\\')
                    ? QLatin1Char('_')
                    : c;
    part = part.trimmed();
    return part.isEmpty() || part == QLatin1String(".") || part == QLatin1String("..")
               ? QStringLiteral("_")
               : part;
}

} // namespace

// {bus} and {dev} first, so that a name holding "{dev}" stays as it is.
QString ReadFilePath(const QString& pattern, int bus, int device, const QString& name) {
    return QString(pattern)
        .replace(QLatin1String("{bus}"), QString::number(bus))
        .replace(QLatin1String("{dev}"), QString::number(device))
        .replace(QLatin1String("{name}"), FileNamePart(name));
}

} // namespace ktr
