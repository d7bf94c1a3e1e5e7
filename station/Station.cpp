#include "Station.h"

#include "DeviceRun.h"
#include "HexImage.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <chrono>

namespace ktr {

namespace {

QByteArray HexRecord(uint8_t type, uint16_t address, const QByteArray& data) {
    QByteArray bytes;
    bytes.append(char(data.size())).append(char(address >> 8)).append(char(address));
    bytes.append(char(type)).append(data);
    uint8_t sum = 0;
    for (char c : bytes)
        sum += uint8_t(c);
    bytes.append(char(uint8_t(-sum)));
    return ':' + bytes.toHex().toUpper() + "\r\n";
}

// Why an image cannot be written to any device, found by reading it as a job would.
std::optional<QString> ImageContentProblem(const ImageFile& image, const QByteArray& text,
                                           JobRules::Format format) {
    if (!ReadsAsHex(image.Target, image.Path, format))
        return text.isEmpty() ? std::optional(QStringLiteral("образ пуст: в файле нет данных"))
                              : std::nullopt;
    std::vector<uint8_t> bytes;
    FillRandomState fill;
    const HexResult result = ReadHexImage(reinterpret_cast<const uint8_t*>(text.constData()),
                                          size_t(text.size()), bytes, kMaxImageBytes, fill);
    switch (result.Outcome) {
    case HexOutcome::Ok:
        break;
    case HexOutcome::Empty:
        return QStringLiteral("образ пуст: в файле нет данных");
    case HexOutcome::NoEndRecord:
        return QStringLiteral("нет записи конца файла HEX");
    case HexOutcome::Malformed:
        return QStringLiteral("Ошибка формата файла в строке %1!").arg(result.Line);
    case HexOutcome::TooLarge:
        return QStringLiteral("Файл слишком большой! (%1 байт при пределе %2 байт)")
            .arg(result.ImageEnd)
            .arg(kMaxImageBytes);
    }
    if (bytes.empty()) return QStringLiteral("образ пуст: в файле нет данных");
    return {};
}

} // namespace

// One device's run, and what its socket shows of it.
class Station::Attempt : public QObject {
public:
    Attempt(Station& station, Socket& socket, const UsbDeviceInfo& device)
        : station_(station), socket_(socket),
          run_(station.usb_,
               {device.Bus, device.Device, station.config_.Timings, station.config_.LinkTimeoutS,
                station.config_.Format, station.config_.Command, station.images_}) {
        connect(&run_.Session(), &DeviceSession::Identified, this, [this](const QString& name) {
            socket_.State.Name = name;
            station_.Show(socket_);
        });
        connect(&run_.Session(), &DeviceSession::Ready, this, &Attempt::Program);
        connect(&run_, &DeviceRun::Started, this, [this](const JobProgress& progress) {
            socket_.State.Phase = SocketPhase::Programming;
            socket_.State.Progress = progress;
            station_.Show(socket_);
        });
        connect(&run_, &DeviceRun::Progress, this, [this](const JobProgress& progress) {
            socket_.State.Progress = progress;
            station_.Show(socket_);
        });
        connect(&run_, &DeviceRun::Finished, this,
                [this](const Verdict& verdict, const JournalRecord& record) {
                    socket_.State.Result = verdict;
                    // The station deletes this attempt: not from inside its link's signal.
                    QTimer::singleShot(0, &station_,
                                       [station = &station_, socket = &socket_, record] {
                                           station->Ended(*socket, record);
                                       });
                });
    }

    ~Attempt() override {
        // This device's copy of the EEPROM image is of no more use.
        if (!serialImage_.isEmpty()) QDir(QFileInfo(serialImage_).path()).removeRecursively();
    }

    void Run() { run_.Connect(); }
    void End(const Verdict& verdict) { run_.End(verdict); }

private:
    void Program() {
        std::vector<ImageFile> images = station_.config_.Images;
        if (station_.serials_) {
            QString error;
            // Taken before anything is written: a number is never given twice.
            const std::optional<uint32_t> number = station_.serials_->Take(&error);
            std::optional<QString> path;
            if (number) {
                run_.Record().SetSerial(*number);
                path = station_.SerialImage(*number, &error);
            }
            if (!path) return run_.End({kExitFile, error, {}});
            serialImage_ = *path;
            for (ImageFile& image : images)
                if (image.Target == Memory::Eeprom) image.Path = *path;
        }
        run_.Write(std::move(images));
    }

    Station& station_;
    Socket& socket_;
    DeviceRun run_;
    QString serialImage_;
};

Station::Station(UsbBackend& usb, StationConfig config) : usb_(usb), config_(std::move(config)) {
    if (!config_.SerialFile.isEmpty()) serials_.emplace(config_.SerialFile);
    scan_.setInterval(config_.ScanMs);
    connect(&scan_, &QTimer::timeout, this, &Station::Scan);
    deadline_.setSingleShot(true);
    connect(&deadline_, &QTimer::timeout, this, [this] { Stop(TimedOut(config_.TimeoutS)); });
}

Station::~Station() {
    sockets_.clear(); // the attempts close their links before the rest goes
}

Verdict Station::Start() {
    if (QString error;
        !config_.JournalFile.isEmpty() && !journal_.Open(config_.JournalFile, &error))
        return {kExitJournal, error, {}};
    if (!folder_.isValid())
        return {kExitFile,
                QStringLiteral("временный каталог не создаётся: ") + folder_.errorString(),
                {}};
    // Each image is read once, and every device gets these bytes even if the file changes.
    for (ImageFile& image : config_.Images) {
        const QString memory =
            image.Target == Memory::Flash ? QStringLiteral("flash") : QStringLiteral("eeprom");
        if (std::optional<QString> problem =
                ImageFileProblem(image.Target, image.Path, config_.Format))
            return FileRefused(image.Target, image.Path, *problem);
        QFile file(image.Path);
        if (!file.open(QIODevice::ReadOnly))
            return FileRefused(image.Target, image.Path,
                               QStringLiteral("не открывается: ") + file.errorString());
        const QByteArray text = file.readAll();
        if (std::optional<QString> problem = ImageContentProblem(image, text, config_.Format))
            return FileRefused(image.Target, image.Path, QStringLiteral("не принят: ") + *problem);
        const QString copy =
            folder_.filePath(memory + QLatin1Char('/') + QFileInfo(image.Path).fileName());
        QFile saved(copy);
        if (!QDir().mkpath(QFileInfo(copy).path()) || !saved.open(QIODevice::WriteOnly) ||
            saved.write(text) != text.size() || !saved.flush())
            return FileRefused(image.Target, image.Path,
                               QStringLiteral("не копируется: ") + saved.errorString());
        QString error;
        std::optional<JournalImage> recorded =
            JournalImageFromFile(image.Target, copy, config_.Format, &error);
        if (!recorded) return FileRefused(image.Target, image.Path, error);
        recorded->Path = QFileInfo(image.Path).absoluteFilePath();
        images_.push_back(*recorded);
        image.Path = copy;
    }
    Scan();
    scan_.start();
    if (config_.TimeoutS > 0) deadline_.start(std::chrono::seconds(config_.TimeoutS));
    return {};
}

void Station::Stop(const Verdict& end) {
    if (stopping_) return;
    stopping_ = true;
    scan_.stop();
    deadline_.stop();
    end_ = end;
    for (auto& [port, socket] : sockets_)
        if (socket.Run) socket.Run->End(end);
    EndIfDone();
}

void Station::Scan() {
    if (stopping_) return;
    std::map<QString, UsbDeviceInfo> present;
    for (const UsbDeviceInfo& device : usb_.ListDevices()) {
        const QString port = QString::fromStdString(device.PortPath);
        if (config_.Ports.isEmpty() || config_.Ports.contains(port)) present[port] = device;
    }
    for (auto& [port, socket] : sockets_) {
        const auto here = present.find(port);
        const bool same = here != present.end() && here->second.Bus == socket.Device.Bus &&
                          here->second.Device == socket.Device.Device;
        if (socket.Occupied && !same && !socket.Run) {
            socket.Occupied = false; // removed: the socket is free again
            socket.State = {port};
            Show(socket);
        }
    }
    for (const auto& [port, device] : present) {
        Socket& socket = sockets_[port];
        if (socket.Occupied) continue;
        if (config_.Count > 0 && started_ >= config_.Count) continue;
        Begin(socket, device);
    }
}

void Station::Begin(Socket& socket, const UsbDeviceInfo& device) {
    ++started_;
    socket.Device = device;
    socket.Occupied = true;
    socket.State = {QString::fromStdString(device.PortPath), BusDevText(device.Bus, device.Device),
                    SocketPhase::Connecting};
    Show(socket);
    socket.Run = std::make_unique<Attempt>(*this, socket, device);
    socket.Run->Run();
}

void Station::Ended(Socket& socket, JournalRecord record) {
    socket.Run.reset();
    const bool passed = record.Status == kExitDone;
    ++(passed ? passed_ : failed_);
    worst_ = std::max(worst_, record.Status);
    socket.State.Phase = passed ? SocketPhase::Passed : SocketPhase::Failed;
    if (journal_.IsOpen()) {
        QString error;
        record.Number = journal_.Append(record, &error);
        if (record.Number == 0) {
            // No device is programmed that would leave no record.
            Stop({kExitJournal, error, {}});
            end_ = Verdict{kExitJournal, error, {}};
        }
    }
    emit Recorded(record);
    Show(socket);
    if (config_.Count > 0 && passed_ + failed_ >= config_.Count && !stopping_) Stop({});
    EndIfDone();
}

void Station::Show(Socket& socket) {
    const SocketState& now = socket.State;
    const SocketState before = std::exchange(socket.Shown, now);
    if (before.Phase != now.Phase || before.Name != now.Name || before.Percent() != now.Percent() ||
        before.BusDev != now.BusDev)
        emit SocketChanged(now);
}

void Station::EndIfDone() {
    if (!stopping_) return;
    for (const auto& [port, socket] : sockets_)
        if (socket.Run) return;
    if (!end_) return;
    const bool journalFailed = end_->Status == kExitJournal;
    const Verdict verdict{journalFailed ? kExitJournal : worst_,
                          journalFailed ? end_->Message + QStringLiteral("; ") + Tally() : Tally(),
                          {}};
    end_.reset();
    emit Finished(verdict);
}

std::optional<QString> Station::SerialImage(uint32_t number, QString* error) {
    const uint32_t at = config_.SerialAddress;
    QByteArray value;
    for (int shift = 0; shift < 32; shift += 8)
        value.append(char(number >> shift)); // little-endian
    const auto eeprom = std::find_if(config_.Images.begin(), config_.Images.end(),
                                     [](const ImageFile& i) { return i.Target == Memory::Eeprom; });
    if (eeprom == config_.Images.end()) {
        *error = QStringLiteral("серийный номер пишется только вместе с образом EEPROM");
        return {};
    }
    QFile source(eeprom->Path);
    if (!source.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("образ EEPROM не читается: ") + source.errorString();
        return {};
    }
    QByteArray text = source.readAll();
    if (ReadsAsHex(Memory::Eeprom, eeprom->Path, config_.Format)) {
        // Placed before the end record, behind every record of the image: it wins.
        static const QRegularExpression endRecord(QStringLiteral(":[0-9A-Fa-f]{6}01"));
        const qsizetype end = QString::fromLatin1(text).indexOf(endRecord);
        text.insert(end < 0 ? text.size() : end,
                    HexRecord(4, 0, QByteArray(1, char(at >> 24)) + char(at >> 16)) +
                        HexRecord(0, uint16_t(at), value));
    } else {
        if (text.size() < qsizetype(at) + 4) text.resize(qsizetype(at) + 4, char(0xFF));
        text.replace(qsizetype(at), 4, value);
    }
    const QString path = folder_.filePath(QStringLiteral("serial/%1/").arg(number) +
                                          QFileInfo(eeprom->Path).fileName());
    QFile copy(path);
    if (!QDir().mkpath(QFileInfo(path).path()) || !copy.open(QIODevice::WriteOnly) ||
        copy.write(text) != text.size() || !copy.flush()) {
        *error =
            QStringLiteral("образ EEPROM с серийным номером не записан: ") + copy.errorString();
        return {};
    }
    return path;
}

StationConfig StationConfigOf(const CommandSetup& setup) {
    StationConfig config;
    for (const auto& [memory, path] :
         {std::pair{Memory::Flash, setup.FlashFile}, std::pair{Memory::Eeprom, setup.EepromFile}})
        if (!path.isEmpty()) config.Images.push_back({memory, path});
    config.Format = setup.Format;
    config.Timings = setup.Timings;
    config.LinkTimeoutS = setup.LinkTimeoutS;
    config.JournalFile = setup.JournalFile;
    if (setup.TimeoutSet) config.TimeoutS = setup.TimeoutS;
    return config;
}

QString Station::Tally() const {
    return QStringLiteral("годных: %1, отказов: %2").arg(passed_).arg(failed_);
}

QStringList Station::Board() const {
    QStringList lines;
    for (const auto& [port, socket] : sockets_)
        lines << SocketText(socket.State);
    return lines << Tally();
}

QString SocketText(const SocketState& socket) {
    QString device = socket.BusDev;
    if (!socket.Name.isEmpty()) device += QLatin1Char(' ') + socket.Name;
    const QString head = device.isEmpty()
                             ? QStringLiteral("гнездо %1").arg(socket.Port)
                             : QStringLiteral("гнездо %1 (%2)").arg(socket.Port, device);
    switch (socket.Phase) {
    case SocketPhase::Waiting:
        return head + QStringLiteral(": ждёт устройство");
    case SocketPhase::Connecting:
        return head + QStringLiteral(": подключение");
    case SocketPhase::Programming:
        return head + QStringLiteral(": запись и проверка %1%").arg(socket.Percent());
    case SocketPhase::Passed:
        return head + QStringLiteral(": годно — выньте устройство");
    case SocketPhase::Failed:
        break;
    }
    return head + QStringLiteral(": отказ (%1) — выньте устройство").arg(socket.Result.Message);
}

QJsonObject SocketJson(const SocketState& socket) {
    static const char* const phases[] = {"waiting", "connecting", "programming", "passed",
                                         "failed"};
    QJsonObject fields{{"port", socket.Port},
                       {"bus_dev", socket.BusDev},
                       {"name", socket.Name},
                       {"state", QLatin1String(phases[int(socket.Phase)])},
                       {"done_bytes", qint64(socket.Progress.DoneBytes)},
                       {"total_bytes", qint64(socket.Progress.TotalBytes)}};
    if (socket.Phase == SocketPhase::Passed || socket.Phase == SocketPhase::Failed) {
        fields.insert("status", socket.Result.Status);
        fields.insert("message", socket.Result.Message);
    }
    return fields;
}

} // namespace ktr
