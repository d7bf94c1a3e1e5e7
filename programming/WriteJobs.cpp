#include "WriteJobs.h"

#include "ImageJob.h"
#include "LinkControl.h"

#include <QFile>
#include <QFileInfo>

#include <new>

namespace ktr {

namespace {
const QString kTooLarge = QStringLiteral("Файл слишком большой!");

// The part of the file name from its last '.', in upper case; empty without one.
QString UpperExtension(const QString& path) {
    const QString name = QFileInfo(path).fileName();
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? QString() : name.mid(dot).toUpper();
}
} // namespace

// Each press is a job of its own, running until its passes are answered or dropped.
static void RunWriteJob(WriteJobs& jobs, Memory target, const QString& path) {
    auto* job = new ImageJob(jobs, {{target, path}}, true);
    job->setParent(&jobs);
    QObject::connect(job, &Job::Finished, job, &QObject::deleteLater);
    job->Start();
}

void WriteJobs::Button1Click(const QString& edit1Text) {
    RunWriteJob(*this, Memory::Flash, edit1Text);
}

void WriteJobs::Button2Click(const QString& edit2Text) {
    RunWriteJob(*this, Memory::Eeprom, edit2Text);
}

bool WriteJobs::Refuse(JobRefused refusal) {
    emit Refused(refusal);
    return false;
}

bool WriteJobs::LoadImage(const QString& path, Memory target, std::vector<uint8_t>& image,
                          std::vector<ByteSpan>& defined) {
    QFile file(path);
    const auto openFailure = [&] {
        link_.View().ShowError(QStringLiteral("Cannot open file \"%1\". %2")
                                   .arg(QFileInfo(path).absoluteFilePath(), file.errorString()));
        const QFileInfo info(path);
        const JobRefusal reason =
            info.exists() && !info.isFile() ? JobRefusal::NotRegularFile : JobRefusal::CannotOpen;
        return Refuse({target, path, reason, 0, 0, 0, file.errorString()});
    };
    if (!file.open(QIODevice::ReadOnly)) return openFailure();
    // FLASH takes an image of exactly its capacity; EEPROM only one strictly smaller, unless
    // the rules let it fill the area.
    const bool flash = target == Memory::Flash;
    const uint64_t capacity = link_.Capacity(target);
    const bool wholeArea = flash || rules_.EepromUpToCapacity;
    const uint64_t largest =
        std::min(wholeArea ? capacity : (capacity == 0 ? 0 : capacity - 1), kMaxImageBytes);
    const bool tooLargeIfEmpty = !flash && capacity == 0;
    const uint64_t size = uint64_t(file.size());
    const auto tooLarge = [&](uint64_t imageSize) {
        link_.View().AddLog(kTooLarge);
        return Refuse({target, path, JobRefusal::TooLarge, 0, imageSize, largest, {}});
    };

    const bool hex =
        rules_.ImageFormat == JobRules::Format::ByExtension
            ? UpperExtension(path) == (flash ? QStringLiteral(".HEX") : QStringLiteral(".EEP"))
            : rules_.ImageFormat == JobRules::Format::Hex;
    if (hex) {
        const uchar* text = size > 0 ? file.map(0, qint64(size)) : nullptr;
        if (size > 0 && !text) return openFailure();
        const HexResult result = ReadHexImage(text, size, image, largest, Fill, &defined);
        switch (result.Outcome) {
        case HexOutcome::Ok:
            break;
        case HexOutcome::Empty: // ends without a word, as ever
            return Refuse({target, path, JobRefusal::Empty, 0, 0, 0, {}});
        case HexOutcome::NoEndRecord:
            return Refuse({target, path, JobRefusal::NoEndRecord, 0, 0, 0, {}});
        case HexOutcome::Malformed:
            link_.View().AddLog(
                QStringLiteral("Ошибка формата файла в строке %1!").arg(result.Line));
            return Refuse({target, path, JobRefusal::FormatError, result.Line, 0, 0, {}});
        case HexOutcome::TooLarge:
            return tooLarge(result.ImageEnd);
        }
    } else {
        // The size is known before reading: nothing larger than the device is ever loaded.
        if (size > largest) return tooLarge(size);
        image.resize(size);
        if (size > 0 &&
            file.read(reinterpret_cast<char*>(image.data()), qint64(size)) != qint64(size))
            return openFailure();
        defined.assign(1, {0, size});
    }
    if (rules_.RefuseEmpty && image.empty())
        return Refuse({target, path, JobRefusal::Empty, 0, 0, 0, {}});
    if (tooLargeIfEmpty && !rules_.EepromUpToCapacity) return tooLarge(image.size());
    return true;
}

bool WriteJobs::RunJob(const QString& path, Memory target, bool write) {
    const bool flash = target == Memory::Flash;
    if (flash && (path.isEmpty() || !QFileInfo(path).isFile())) {
        const QFileInfo info(path);
        return Refuse(
            {target,
             path,
             !path.isEmpty() && info.exists() ? JobRefusal::NotRegularFile : JobRefusal::NoFile,
             0,
             0,
             0,
             {}});
    }
    const size_t queued = link_.Queue().size();
    try {
        std::vector<uint8_t> image;
        std::vector<ByteSpan> defined;
        if (!LoadImage(path, target, image, defined)) return false;
        const uint8_t verify = flash ? cmdFlashVerify : cmdEepromVerify;
        const bool whole = defined.size() == 1 && defined[0] == ByteSpan{0, image.size()};
        if (!write && !whole) {
            for (const ByteSpan& span : defined)
                link_.EnqueueBlocks(verify, span.Start, image.data() + span.Start,
                                    span.End - span.Start);
        } else if (flash || !image.empty()) {
            // Even an empty FLASH image is one empty block each way; an empty EEPROM image
            // none.
            if (write)
                link_.EnqueueBlocks(flash ? cmdFlashWrite : cmdEepromWrite, 0, image.data(),
                                    image.size());
            link_.EnqueueBlocks(verify, 0, image.data(), image.size());
        }
        emit Accepted({target, path, write, image.size(), link_.Queue().size() - queued});
        return true;
    } catch (const std::bad_alloc&) {
        return OutOfMemory(path, target, queued);
    }
}

// The memory for an image (or its commands) could not be had: the file is too large for
// this machine. Part of a job left queued would write without verifying and then report
// success, so the queue is dropped as after a verification error.
bool WriteJobs::OutOfMemory(const QString& path, Memory target, size_t queuedBefore) {
    link_.View().AddLog(kTooLarge);
    if (link_.Queue().size() != queuedBefore) link_.ClearQueue();
    return Refuse({target, path, JobRefusal::OutOfMemory, 0, 0, 0, {}});
}

bool WriteJobs::WriteFlashFile(const QString& path) {
    return RunJob(path, Memory::Flash, true);
}

bool WriteJobs::WriteEepromFile(const QString& path) {
    return RunJob(path, Memory::Eeprom, true);
}

bool WriteJobs::VerifyFlashFile(const QString& path) {
    return RunJob(path, Memory::Flash, false);
}

bool WriteJobs::VerifyEepromFile(const QString& path) {
    return RunJob(path, Memory::Eeprom, false);
}

} // namespace ktr
