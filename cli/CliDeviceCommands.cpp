// The commands that use the configurator host and the TCP bridge: read, configure, bridge.
#include "CliSession.h"

#include "ConfiguratorHost.h"
#include "HexImage.h"
#include "TcpBridge.h"

#include <QSaveFile>

namespace ktr::cli {

void CliSession::StartRead() {
    using Read = int32_t (ConfiguratorHost::*)(uint8_t*, int32_t, PluginCompletion);
    const struct {
        QString File;
        const char* Name;
        uint32_t Size;
        Read Request;
    } areas[] = {
        {options_.EepromFile, "EEPROM", link_->EepromSize(), &ConfiguratorHost::PluginReadEeprom},
        {options_.AuxFile, "AUX", link_->AuxSize(), &ConfiguratorHost::PluginReadAux}};
    int64_t total = 0;
    for (const auto& area : areas) {
        if (area.File.isEmpty()) continue;
        // A claim beyond any image this program holds is refused before memory is taken.
        if (area.Size > kMaxImageBytes) {
            Finish(kExitLink, QStringLiteral("чтение %1 отклонено: устройство сообщило размер %2 "
                                             "байт, больше предела %3 байт")
                                  .arg(QLatin1String(area.Name))
                                  .arg(area.Size)
                                  .arg(kMaxImageBytes));
            return;
        }
        ReadArea& read = reads_.emplace_back(ReadArea{area.File, area.Name, {}});
        if (area.Size == 0) continue; // nothing to ask for: an empty file
        out_.Step(
            QStringLiteral("чтение %1: %2 байт").arg(QLatin1String(area.Name)).arg(area.Size));
        try {
            read.Bytes.resize(area.Size);
        } catch (const std::bad_alloc&) {
            Finish(kExitLink, QStringLiteral("чтение %1 отклонено: нет памяти на %2 байт")
                                  .arg(QLatin1String(area.Name))
                                  .arg(area.Size));
            return;
        }
        // The read answers land in read.Bytes: the vector is never resized while queued.
        const int32_t count = int32_t(std::min<uint32_t>(area.Size, INT32_MAX));
        if ((host_->*area.Request)(read.Bytes.data(), count, nullptr) != count ||
            count != int64_t(area.Size)) {
            Finish(kExitLink,
                   QStringLiteral("чтение %1 отклонено: устройство сообщило размер %2 байт")
                       .arg(QLatin1String(area.Name))
                       .arg(area.Size));
            return;
        }
        total += area.Size;
    }
    QStringList done;
    for (const ReadArea& read : reads_)
        done << QStringLiteral("%1 %2 байт в «%3»")
                    .arg(QLatin1String(read.Name))
                    .arg(read.Bytes.size())
                    .arg(read.File);
    message_ = QStringLiteral("прочитано: ") + done.join(QStringLiteral(", "));
    if (link_->Queue().empty()) {
        Finish(kExitDone, message_);
        return;
    }
    BeginWork(total);
}

// Each file is replaced only once it is complete: a failed read leaves an older backup alone.
bool CliSession::SaveReadAreas() {
    for (const ReadArea& read : reads_) {
        QSaveFile file(read.File);
        if (!file.open(QIODevice::WriteOnly) ||
            file.write(reinterpret_cast<const char*>(read.Bytes.data()),
                       qint64(read.Bytes.size())) != qint64(read.Bytes.size()) ||
            !file.commit()) {
            status_ = kExitFile;
            message_ = QStringLiteral("файл %1 «%2» не записан: %3")
                           .arg(QLatin1String(read.Name), read.File, file.errorString());
            return false;
        }
    }
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
