// The commands that use the configurator host and the TCP bridge: configure, bridge.
#include "CliSession.h"

#include "ConfiguratorHost.h"
#include "TcpBridge.h"

#include <QTimer>

namespace ktr::cli {

void CliSession::StartConfigure() {
    if (!host_->EntryFound()) {
        const DeviceKindInfo* info = FindDeviceKind(KindOfSignature(link_->LinkSignature()));
        const QString name = info ? ConfiguratorHost::LibraryFileName(QLatin1String(info->Library))
                                  : QStringLiteral("?");
        Finish(
            {kExitFile, QStringLiteral("библиотека конфигуратора %1 не загружена").arg(name), {}});
        return;
    }
    const QString done = QStringLiteral("конфигуратор завершил работу");
    // What it left queued drains afterwards; the drain ends the command, once the answer
    // that drained the queue has been handled.
    connect(link_, &LinkControl::QueueDrained, this, [this, done] {
        QTimer::singleShot(0, this, [this, done] {
            if (!host_->Running()) Finish({kExitDone, done, {}});
        });
    });
    host_->RunConfigurator();
    if (link_->Queue().empty()) Finish({kExitDone, done, {}});
}

// Listens before the link is up, as the window does from its start.
void CliSession::StartBridge() {
    try {
        bridge_->TcpServerOpen(QString::number(options_.TcpPort));
    } catch (const TcpServerError& error) {
        Finish({kExitUsage,
                QStringLiteral("порт TCP %1 не открывается: %2")
                    .arg(options_.TcpPort)
                    .arg(QString(error.Text).replace(QLatin1String("\r\n"), QLatin1String(": "))),
                {}});
        return;
    }
    const int port = bridge_->ListeningPort();
    out_.Data(
        QStringLiteral("listening"), QStringLiteral("Мост TCP: 127.0.0.1:%1").arg(port),
        {{QStringLiteral("address"), QStringLiteral("127.0.0.1")}, {QStringLiteral("port"), port}});
}

} // namespace ktr::cli
