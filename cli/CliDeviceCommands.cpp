// The commands that use the configurator host and the TCP bridge: read, configure, bridge.
#include "CliSession.h"

#include "ConfiguratorHost.h"
#include "HexImage.h"
#include "TcpBridge.h"

#include <QSaveFile>

namespace ktr::cli {

namespace {
// Reads go to their files in windows of this size: memory stays small whatever the area.
constexpr uint32_t kReadWindowBytes = 64 * 1024;
} // namespace

void CliSession::StartRead() {
    const struct {
        Memory Target;
        const QString& File;
    } areas[] = {{Memory::Eeprom, options_.EepromFile}, {Memory::Aux, options_.AuxFile}};
    int64_t total = 0;
    QStringList done;
    for (const auto& area : areas) {
        if (area.File.isEmpty()) continue;
        const QString name = MemoryName(area.Target);
        const uint32_t size = link_->Capacity(area.Target);
        // A claim beyond any image this program holds is refused before anything is asked.
        if (size > kMaxImageBytes) {
            Finish(kExitLink, QStringLiteral("чтение %1 отклонено: устройство сообщило размер %2 "
                                             "байт, больше предела %3 байт")
                                  .arg(name)
                                  .arg(size)
                                  .arg(kMaxImageBytes));
            return;
        }
        auto file = std::make_unique<QSaveFile>(area.File);
        if (!file->open(QIODevice::WriteOnly)) {
            Finish(kExitFile, QStringLiteral("файл %1 «%2» не записан: %3")
                                  .arg(name, area.File, file->errorString()));
            return;
        }
        reads_.push_back({area.Target, size, 0, std::move(file)});
        out_.Step(QStringLiteral("чтение %1: %2 байт").arg(name).arg(size));
        done << QStringLiteral("%1 %2 байт в «%3»").arg(name).arg(size).arg(area.File);
        total += size;
    }
    message_ = QStringLiteral("прочитано: ") + done.join(QStringLiteral(", "));
    readWindow_.resize(std::min<int64_t>(total, kReadWindowBytes));
    ReadNextWindow();
    if (phase_ != Phase::Finished) BeginWork(total);
}

// Queues the block reads of the next window, or ends the command when every area is in its
// file (an empty area gives an empty file).
void CliSession::ReadNextWindow() {
    for (ReadArea& area : reads_) {
        if (area.Done >= area.Size) continue;
        const uint32_t window = std::min(area.Size - area.Done, kReadWindowBytes);
        link_->SetReadTarget(area.Target, readWindow_.data(), int32_t(window), area.Done);
        const uint8_t command = area.Target == Memory::Eeprom ? cmdEepromRead : cmdAuxRead;
        uint8_t block[kBlockHeaderSize];
        for (uint32_t offset = 0; offset < window; offset += kMaxBlockData) {
            PutBlockHeader(block, area.Done + offset,
                           uint16_t(std::min<uint32_t>(window - offset, kMaxBlockData)));
            link_->EnqueueCommand(command, block, kBlockHeaderSize);
        }
        return;
    }
    for (ReadArea& area : reads_) {
        if (!area.File->commit()) {
            Finish(kExitFile, QStringLiteral("файл %1 «%2» не записан: %3")
                                  .arg(MemoryName(area.Target), area.File->fileName(),
                                       area.File->errorString()));
            return;
        }
    }
    Finish(kExitDone, message_);
}

// The window in flight has drained: its bytes go to the file, and the next one is asked for.
bool CliSession::SaveWindow() {
    for (ReadArea& area : reads_) {
        if (area.Done >= area.Size) continue;
        const uint32_t window = std::min(area.Size - area.Done, kReadWindowBytes);
        link_->SetReadTarget(area.Target, nullptr, 0);
        if (area.File->write(reinterpret_cast<const char*>(readWindow_.data()), window) !=
            qint64(window)) {
            Finish(kExitFile, QStringLiteral("файл %1 «%2» не записан: %3")
                                  .arg(MemoryName(area.Target), area.File->fileName(),
                                       area.File->errorString()));
            return false;
        }
        area.Done += window;
        readDone_ += window;
        break;
    }
    ReadNextWindow();
    return true;
}

void CliSession::StartConfigure() {
    if (!host_->EntryFound()) {
        const DeviceKindInfo* info = FindDeviceKind(KindOfSignature(link_->LinkSignature()));
        const QString name = info ? ConfiguratorHost::LibraryFileName(QLatin1String(info->Library))
                                  : QStringLiteral("?");
        Finish(kExitFile, QStringLiteral("библиотека конфигуратора %1 не загружена").arg(name));
        return;
    }
    phase_ = Phase::Working;
    message_ = QStringLiteral("конфигуратор завершил работу");
    host_->Button3Click();
    // What it left queued drains afterwards; the drain's line then ends the command.
    if (link_->Queue().empty()) Finish(kExitDone, message_);
}

// Listens before the link is up, as the window does from its start.
void CliSession::StartBridge() {
    try {
        bridge_->TcpServerOpen(QString::number(options_.TcpPort));
    } catch (const TcpServerError& error) {
        Finish(kExitUsage,
               QStringLiteral("порт TCP %1 не открывается: %2")
                   .arg(options_.TcpPort)
                   .arg(QString(error.Text).replace(QLatin1String("\r\n"), QLatin1String(": "))));
        return;
    }
    const int port = bridge_->ListeningPort();
    out_.Data(
        QStringLiteral("listening"), QStringLiteral("Мост TCP: 127.0.0.1:%1").arg(port),
        {{QStringLiteral("address"), QStringLiteral("127.0.0.1")}, {QStringLiteral("port"), port}});
}

void CliSession::SetTcpStatus(const QString& text) {
    if (text == tcpStatus_) return;
    tcpStatus_ = text;
    out_.Note(text);
}

} // namespace ktr::cli
