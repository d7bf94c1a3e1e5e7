#include "AttemptRecord.h"

#include "DeviceKinds.h"

#include <algorithm>

namespace ktr {

QString BusDevText(int bus, int device) {
    return QStringLiteral("%1:%2")
        .arg(bus, 3, 10, QLatin1Char('0'))
        .arg(device, 3, 10, QLatin1Char('0'));
}

AttemptRecord::AttemptRecord(DeviceSession& session, UsbBackend& usb, const QString& command,
                             std::vector<JournalImage> images)
    : usb_(usb) {
    record_.Start = QDateTime::currentDateTimeUtc();
    record_.Command = command;
    record_.Images = std::move(images);
    record_.Phase = QStringLiteral("connect");
    connect(&session, &DeviceSession::Opened, this, [this](int bus, int device) {
        record_.Phase = QStringLiteral("identify");
        record_.BusDev = BusDevText(bus, device);
        for (const UsbDeviceInfo& info : usb_.ListDevices())
            if (info.Bus == bus && info.Device == device)
                record_.Port = QString::fromStdString(info.PortPath);
    });
    connect(&session, &DeviceSession::Identified, this,
            [this](const QString& name) { record_.Name = name; });
    connect(&session, &DeviceSession::Ready, this, [this](const DeviceInfo& device) {
        record_.Kind = int(device.Kind);
        const DeviceKindInfo* kind = FindDeviceKind(device.Kind);
        record_.KindName = kind ? QString::fromUtf8(kind->Item) : QString();
        record_.FlashSize = device.FlashSize;
        record_.EepromSize = device.EepromSize;
        record_.AuxSize = device.AuxSize;
    });
}

void AttemptRecord::Follow(Job& job, const QString& phase) {
    record_.Phase = phase;
    if (phase != QLatin1String("write")) return;
    connect(&job, &Job::Finished, this, [this](const JobOutcome& outcome) {
        // A failure once every block was written is the verify's.
        const bool written =
            std::all_of(outcome.Left.begin(), outcome.Left.end(), [](const MemoryLeft& left) {
                return left.BlocksWritten == left.WriteBlocks;
            });
        if (outcome.End == JobEnd::Mismatch || (written && !outcome.Left.empty()))
            record_.Phase = QStringLiteral("verify");
    });
}

JournalRecord AttemptRecord::Close(const Verdict& verdict) {
    JournalRecord record = record_;
    record.End = QDateTime::currentDateTimeUtc();
    record.Seconds = double(record.Start.msecsTo(record.End)) / 1000;
    record.Status = verdict.Status;
    record.Message = verdict.Message;
    record.Partial = verdict.Partial;
    if (verdict.Status == kExitDone) record.Phase.clear();
    return record;
}

} // namespace ktr
