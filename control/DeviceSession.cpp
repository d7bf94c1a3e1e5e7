#include "DeviceSession.h"

#include "DeviceKinds.h"

#include <chrono>
#include <unistd.h>

namespace ktr {

namespace {
QString KindName(uint32_t kind) {
    const DeviceKindInfo* info = FindDeviceKind(kind);
    return info ? QString::fromUtf8(info->Item) : QString();
}
} // namespace

QString DeviceInfo::Text() const {
    return QStringLiteral("Устройство: %1\nТип: %2 (%3)\nFLASH: %4 байт\nEEPROM: %5 байт\n"
                          "AUX: %6 байт\nАдрес: %7:%8")
        .arg(Name)
        .arg(Kind)
        .arg(KindName(Kind))
        .arg(FlashSize)
        .arg(EepromSize)
        .arg(AuxSize)
        .arg(Bus)
        .arg(Device);
}

QJsonObject DeviceInfo::ToJson() const {
    return {{QStringLiteral("name"), Name},
            {QStringLiteral("kind"), int(Kind)},
            {QStringLiteral("kind_name"), KindName(Kind)},
            {QStringLiteral("flash_size"), qint64(FlashSize)},
            {QStringLiteral("eeprom_size"), qint64(EepromSize)},
            {QStringLiteral("aux_size"), qint64(AuxSize)},
            {QStringLiteral("bus"), Bus},
            {QStringLiteral("device"), Device}};
}

namespace {
constexpr int kAllSizes = 0b111;
} // namespace

DeviceSession::DeviceSession(LinkControl& link, int linkTimeoutS)
    : link_(link), givesUp_(linkTimeoutS > 0) {
    linkTimeout_.setSingleShot(true);
    linkTimeout_.setInterval(std::chrono::seconds(linkTimeoutS));
    connect(&linkTimeout_, &QTimer::timeout, this, [this] {
        Lose(!identified_ && opened_ ? SessionLoss::NotIdentified : SessionLoss::LinkTimeout);
    });
    // A timer event rather than a posted call: work started from a posted call that spins
    // its own loop (a configurator) would never be handed the link's pending receive event
    // by Qt's glib dispatcher.
    readyCheck_.setSingleShot(true);
    readyCheck_.setInterval(0);
    connect(&readyCheck_, &QTimer::timeout, this, &DeviceSession::CheckReady);

    connect(&link, &LinkControl::LinkOpened, this, [this](int bus, int device) {
        if (!opened_) emit Opened(bus, device);
        opened_ = true;
        device_.Bus = bus;
        device_.Device = device;
    });
    connect(&link, &LinkControl::LinkOpenFailed, this, [this] { LinkDown(false); });
    connect(&link, &LinkControl::LinkClosed, this, [this](LinkCloseReason reason) {
        watchdogFired_ |= reason == LinkCloseReason::Watchdog;
        faultLimit_ |= reason == LinkCloseReason::FaultLimit;
        LinkDown(reason == LinkCloseReason::Fault || reason == LinkCloseReason::DeviceGone);
    });
    connect(&link, &LinkControl::KindNotServed, this, [this](uint32_t kind) {
        if (notServed_) return;
        notServed_ = true;
        emit NotServed(kind);
    });
    connect(&link, &LinkControl::DeviceIdentified, this,
            [this](const QString& name, uint32_t kind) {
                if (!identified_) emit Identified(name);
                identified_ = true;
                device_.Name = name;
                device_.Kind = kind;
            });
    connect(&link, &LinkControl::SizeKnown, this,
            [this](Memory memory) { sizesKnown_ |= 1 << int(memory); });
    connect(&link, &LinkControl::QueueDrained, &readyCheck_, qOverload<>(&QTimer::start));
    // An answer retired an entry: the link works again.
    connect(&link, &LinkControl::EntryRetired, this, [this] {
        if (ready_) linkTimeout_.stop();
    });
}

void DeviceSession::Connect() {
    if (givesUp_) linkTimeout_.start();
    link_.Connect();
}

void DeviceSession::CheckReady() {
    if (ready_ || lost_ || !identified_ || sizesKnown_ != kAllSizes || !link_.LinkEstablished())
        return;
    ready_ = true;
    linkTimeout_.stop();
    device_.FlashSize = link_.FlashSize();
    device_.EepromSize = link_.EepromSize();
    device_.AuxSize = link_.AuxSize();
    emit Ready(device_);
}

// A close after a fault is followed by a reopen after the fault pause: whether the link is
// back is known from that reopen. Any other close, and a failed open, leave it down.
void DeviceSession::LinkDown(bool reopenFollows) {
    if (givesUp_ && !linkTimeout_.isActive()) linkTimeout_.start();
    if (!reopenFollows) QTimer::singleShot(0, this, &DeviceSession::CheckLink);
}

void DeviceSession::CheckLink() {
    // A fault's reopen comes after its pause; a failed one calls this again.
    if (lost_ || link_.IsOpen() || link_.ReopenPending()) return;
    if (!givesUp_ && opened_) return;
    if (opened_)
        return Lose(watchdogFired_ ? SessionLoss::Watchdog
                    : faultLimit_  ? SessionLoss::FaultLimit
                                   : SessionLoss::DeviceGone);
    const UsbDevice& usb = link_.Usb();
    bool denied = false;
    for (const UsbDeviceInfo& attached : usb.Backend->ListDevices())
        if (usb.WantedBus == 0 ||
            (attached.Bus == usb.WantedBus && attached.Device == usb.WantedDevice)) {
            denied = !attached.Accessible;
            break;
        }
    Lose(denied ? SessionLoss::AccessDenied : SessionLoss::NotFound);
}

void DeviceSession::Lose(SessionLoss why) {
    if (lost_) return;
    lost_ = true;
    linkTimeout_.stop();
    emit Lost(why);
}

} // namespace ktr
