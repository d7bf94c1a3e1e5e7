// A production station: every device of the family that appears on the bus is connected,
// identified, written and verified over a link of its own, its result recorded; its socket
// (the USB port it is plugged into) then waits for it to leave before the next device there
// is served. Sockets run side by side on one thread, and one socket's fault never touches
// another's.
#pragma once

#include "CommandRun.h"
#include "ImageJob.h"
#include "Journal.h"
#include "LinkControl.h"
#include "SerialCounter.h"
#include "Verdict.h"

#include <QJsonObject>
#include <QObject>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>

#include <map>
#include <memory>

namespace ktr {

struct StationConfig {
    std::vector<ImageFile> Images; // FLASH and/or EEPROM, in that order
    JobRules::Format Format = JobRules::Format::ByExtension;
    QStringList Ports; // the fixture's port paths; empty: every port
    int Count = 0;     // devices to serve before the station ends; 0: until stopped
    LinkTimings Timings;
    int LinkTimeoutS = 30;
    int ScanMs = 100; // how often the bus is listed
    int TimeoutS = 0; // then every running attempt is ended (3); 0: never
    // A serial number per device from this counter file, 32 bits little-endian at
    // SerialAddress of EEPROM; empty: none.
    QString SerialFile;
    uint32_t SerialAddress = 0;
    QString JournalFile; // empty: no journal
    QString Command = QStringLiteral("station");
};

// What a station takes from a command's setup: the images given, their format, the link's
// timings and timeout, the journal, and the deadline when one was given.
StationConfig StationConfigOf(const CommandSetup& setup);

enum class SocketPhase { Waiting, Connecting, Programming, Passed, Failed };

// What one socket shows now. Passed and Failed last until the device has been removed.
struct SocketState {
    QString Port;   // "1-1.2"
    QString BusDev; // of the device in it, "003:007"; empty when waiting
    SocketPhase Phase = SocketPhase::Waiting;
    QString Name; // the device's, once identified
    JobProgress Progress;
    Verdict Result; // Passed, Failed
    // Percent of the job's bytes answered.
    qint64 Percent() const {
        return Progress.TotalBytes ? qint64(Progress.DoneBytes * 100 / Progress.TotalBytes) : 0;
    }
};

// The socket in the operator's words: "гнездо 1-1.2 (003:007 имя): годно — выньте устройство".
QString SocketText(const SocketState& socket);
// The socket as an event's fields: port, bus_dev, name, state, bytes, and its result's.
QJsonObject SocketJson(const SocketState& socket);

class Station : public QObject {
    Q_OBJECT
public:
    Station(UsbBackend& usb, StationConfig config);
    ~Station() override;

    // Opens the journal (a failure: 6) and reads and checks the images once (a refusal: 4),
    // before any device is touched. Then watches the bus.
    Verdict Start();
    // Ends every running attempt with end (each is recorded) and stops watching; Finished
    // follows once all are recorded.
    void Stop(const Verdict& end);

    int Passed() const { return passed_; }
    int Failed() const { return failed_; }
    // "годных: 2, отказов: 1"
    QString Tally() const;
    // Every socket's line in port order, then the tally.
    QStringList Board() const;

signals:
    // A socket's phase, device name or percent changed.
    void SocketChanged(const ktr::SocketState& socket);
    void Recorded(const ktr::JournalRecord& record);
    // The station has ended: the count was reached, it was stopped, or the journal failed.
    // The worst status of the devices served (6 when the journal failed) and the tally.
    void Finished(const ktr::Verdict& verdict);

private:
    class Attempt;
    struct Socket {
        SocketState State;
        std::unique_ptr<Attempt> Run;
        UsbDeviceInfo Device;  // the one served last or now
        bool Occupied = false; // Device has not left yet
        SocketState Shown;     // as last announced
    };

    void Scan();
    void Begin(Socket& socket, const UsbDeviceInfo& device);
    void Ended(Socket& socket, JournalRecord record);
    void Show(Socket& socket);
    void EndIfDone();
    // A copy of the EEPROM image with number at the serial address, in the station's folder.
    std::optional<QString> SerialImage(uint32_t number, QString* error);

    UsbBackend& usb_;
    StationConfig config_;
    Journal journal_;
    std::optional<SerialCounter> serials_;
    QTemporaryDir folder_; // the images as read at start, and each device's serial image
    std::vector<JournalImage> images_;
    QTimer scan_, deadline_;
    std::map<QString, Socket> sockets_; // by port path
    int started_ = 0, passed_ = 0, failed_ = 0, worst_ = kExitDone;
    bool stopping_ = false;
    std::optional<Verdict> end_;
};

} // namespace ktr

Q_DECLARE_METATYPE(ktr::SocketState)
