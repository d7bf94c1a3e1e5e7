// One device brought up for a run: the link opened, the device identified and its sizes
// known, then Ready; or why it never got there, or was lost afterwards. It decides from the
// link's events alone and never sends anything of its own but the connect.
#pragma once

#include "LinkControl.h"

#include <QJsonObject>

#include <QTimer>

#include <vector>

namespace ktr {

// Why a session gave up on its device.
enum class SessionLoss {
    NotFound,      // never opened: no such device attached, or it does not open
    AccessDenied,  // never opened: attached, but this user may not open its node
    Watchdog,      // the device fell silent and Timer1 closed the link
    FaultLimit,    // transfers failed kLinkFailureLimit times in a row: no reopen
    DeviceGone,    // closed after a fault and the reopen failed (unplugged)
    NotIdentified, // opened but not identified within the link timeout
    LinkTimeout,   // closed and not working again within the link timeout
};

struct DeviceInfo {
    QString Name;
    uint32_t Kind = 0;
    uint32_t FlashSize = 0, EepromSize = 0, AuxSize = 0;
    int Bus = 0, Device = 0; // where it was opened

    // "Устройство: имя\nТип: ...", a line per field, and the same as an event's fields.
    QString Text() const;
    QJsonObject ToJson() const;
};

class DeviceSession : public QObject {
    Q_OBJECT
public:
    // linkTimeoutS: how long the link may be down, or the device unready, before the session
    // gives up. 0: never, and a link that has once opened is never given up (the bridge, like
    // the window, reopens when there is something to send).
    DeviceSession(LinkControl& link, int linkTimeoutS);

    // Opens the link and asks for the status; Ready, Lost or NotServed follows.
    void Connect();
    bool IsReady() const { return ready_; }

signals:
    void Opened(int bus, int device);     // the first open only
    void Identified(const QString& name); // the first identification only
    // Identified, every size known and the status queries answered: work may begin.
    void Ready(const ktr::DeviceInfo& device);
    // Once; the link is down and the session will not wait for it.
    void Lost(ktr::SessionLoss why);
    // The device answered as a kind this program does not serve; once.
    void NotServed(uint32_t kind);

private:
    void LinkDown(bool reopenFollows);
    void CheckLink();
    void CheckReady();
    void Lose(SessionLoss why);

    LinkControl& link_;
    const bool givesUp_;
    QTimer linkTimeout_; // from Connect until ready, and from a close until an answer
    QTimer readyCheck_;  // the answer that drained the queue is still being handled
    DeviceInfo device_;
    bool opened_ = false, identified_ = false, ready_ = false, lost_ = false;
    bool watchdogFired_ = false, notServed_ = false;
    bool faultLimit_ = false;
    int sizesKnown_ = 0; // a bit per Memory
};

} // namespace ktr
