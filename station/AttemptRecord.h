// The journal record of one device attempt, filled in from what its session and its job
// announce: where the device sits, what it is, and the phase it was in when it failed.
#pragma once

#include "DeviceSession.h"
#include "Job.h"
#include "Journal.h"
#include "Verdict.h"

#include <QObject>

namespace ktr {

class AttemptRecord : public QObject {
    Q_OBJECT
public:
    // The attempt starts now; usb tells the opened device's port path.
    AttemptRecord(DeviceSession& session, UsbBackend& usb, const QString& command,
                  std::vector<JournalImage> images);
    // The job the device is ready for, whose failure is phase's ("write", "verify", "read");
    // a write's outcome tells a failure of its verify pass.
    void Follow(Job& job, const QString& phase);
    void SetSerial(uint32_t serial) { record_.Serial = serial; }
    // The record of the attempt ended now with verdict.
    JournalRecord Close(const Verdict& verdict);

private:
    UsbBackend& usb_;
    JournalRecord record_;
};

// "003:007", as the journal names a device.
QString BusDevText(int bus, int device);

} // namespace ktr
