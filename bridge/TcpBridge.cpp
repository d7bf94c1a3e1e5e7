#include "TcpBridge.h"

#include "LinkControl.h"

#include <QTcpServer>
#include <QTcpSocket>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace ktr {

namespace {

const QByteArray kBanner = QByteArrayLiteral("Welcome to TcpSrv\r\n");

QString SocketErrorText(int code, const QString& step, const QString& description) {
    return QStringLiteral("Error %1 in function %2\r\n%3").arg(code).arg(step, description);
}

QString ListenErrorText(QAbstractSocket::SocketError error, const QString& qtText) {
    switch (error) {
    case QAbstractSocket::AddressInUseError:
        return SocketErrorText(EADDRINUSE, QStringLiteral("Bind"),
                               QStringLiteral("Address already in use"));
    case QAbstractSocket::SocketAccessError:
        return SocketErrorText(EACCES, QStringLiteral("Bind"), QStringLiteral("Permission denied"));
    default:
        return QStringLiteral("listen: ") + qtText;
    }
}

// The socket layer takes the port as text: plain decimal digits naming a port, nothing else.
bool PortOfText(const QString& text, uint16_t& port) {
    if (text.size() > 5 || !std::all_of(text.begin(), text.end(), [](QChar c) {
            return c >= QLatin1Char('0') && c <= QLatin1Char('9');
        }))
        return false;
    const int value = text.toInt();
    if (value > 65535) return false;
    port = uint16_t(value);
    return true;
}

} // namespace

TcpBridge::TcpBridge(LinkControl& link, HostView& view, BridgeTimings timings)
    : link_(link), view_(view), server_(std::make_unique<QTcpServer>()) {
    Timer3.setInterval(timings.StatusMs);
    Timer4.setInterval(timings.FlushMs);
    Timer4.setSingleShot(true);
    connect(&Timer3, &QTimer::timeout, this, &TcpBridge::Timer3Timer);
    connect(&Timer4, &QTimer::timeout, this, &TcpBridge::Timer4Timer);
    connect(server_.get(), &QTcpServer::newConnection, this, &TcpBridge::AcceptClients);
    connect(&link_, &LinkControl::QueueChanged, this, &TcpBridge::ScheduleResume);
    server_->setListenBacklogSize(kTcpListenBacklog);
    link_.SetBridge(this);
    Timer3.start();
}

TcpBridge::~TcpBridge() {
    link_.SetBridge(nullptr);
    // The sockets are the server's children: silence them before they go with it.
    server_->disconnect(this);
    for (QTcpSocket* client : clients_)
        client->disconnect();
    for (QTcpSocket* client : leaving_)
        client->disconnect();
    server_.reset();
}

// ---- The server ----

void TcpBridge::TcpServerOpen(const QString& portText) {
    // Closed clients stay listed until their disconnect is handled (posted), so the numbering
    // holds through the loop.
    const size_t count = clients_.size();
    for (size_t i = 0; i < count; ++i)
        clients_[i]->abort();
    server_->close();
    uint16_t port = 0;
    if (portText.isEmpty())
        throw TcpServerError(SocketErrorText(EINVAL, QStringLiteral("listen: port not assigned"),
                                             QStringLiteral("Invalid argument")));
    if (!PortOfText(portText, port)) throw TcpServerError(QStringLiteral("listen: ") + portText);
    if (!server_->listen(QHostAddress::LocalHost, port))
        throw TcpServerError(ListenErrorText(server_->serverError(), server_->errorString()));
    TcpServerStatus();
}

void TcpBridge::TcpServerStatus() {
    const int count = ClientCount();
    view_.SetTcpStatus(count != 0 ? QStringLiteral("Подключений: %1").arg(count)
                                  : QStringLiteral("Подключение"));
}

QString TcpBridge::ysIntEdit1Change(const QString& fieldText) {
    bool ok = false;
    const qint64 value = fieldText.toLongLong(&ok);
    // Only the clamps set the value and so rewrite the text; a lone "+" or "-" stays shown
    // (its value is 0) and the open fails on it.
    QString shown = fieldText;
    if (ok && value > 65535) shown = QStringLiteral("65535");
    if (ok && value < 0) shown = QStringLiteral("0");
    TcpServerOpen(shown);
    return shown;
}

uint16_t TcpBridge::ListeningPort() const {
    return server_->isListening() ? server_->serverPort() : 0;
}

int TcpBridge::ClientCount() const {
    return int(clients_.size());
}

void TcpBridge::Timer3Timer() {
    TcpServerStatus();
}

// ---- Clients ----

void TcpBridge::AcceptClients() {
    while (QTcpSocket* client = server_->nextPendingConnection()) {
        // Bounded, so that a paused client's bytes wait in its connection, not in memory.
        client->setReadBufferSize(kClientReadBufferBytes);
        clients_.push_back(client);
        WSocketServer1ClientConnect(client);
        if (client->state() == QAbstractSocket::ConnectedState) client->write(kBanner);
    }
}

void TcpBridge::WSocketServer1ClientConnect(QTcpSocket* client) {
    connect(client, &QIODevice::readyRead, this, [this, client] { ClientReadyRead(client); });
    // Posted, as the socket layer reports a close: the client stays listed until then.
    connect(
        client, &QAbstractSocket::disconnected, client, [this, client] { ClientGone(client); },
        Qt::QueuedConnection);
    TcpServerStatus();
}

void TcpBridge::WSocketServer1ClientDisconnect(QTcpSocket*) {
    TcpServerStatus();
}

void TcpBridge::ClientGone(QTcpSocket* client) {
    const auto listed = std::find(clients_.begin(), clients_.end(), client);
    if (listed == clients_.end()) return;
    WSocketServer1ClientDisconnect(client);
    clients_.erase(listed);
    // Bytes a client sent before leaving still go to the device.
    if (client->bytesAvailable() > 0) {
        leaving_.push_back(client);
        readsWaiting_ = true;
        ScheduleResume();
    } else {
        Release(client);
    }
}

void TcpBridge::Release(QTcpSocket* client) {
    client->disconnect();
    client->deleteLater();
}

// ---- Client to device ----

bool TcpBridge::ReadingHeld() const {
    return fill_ >= kTcpInBufferSize || link_.QueuedBytes(cmdTcpData) > kBridgeQueueHoldBytes;
}

void TcpBridge::ClientReadyRead(QTcpSocket* client) {
    if (ReadingHeld()) {
        readsWaiting_ = true;
        return;
    }
    WSocketServer1DataAvailable(client);
}

void TcpBridge::WSocketServer1DataAvailable(QTcpSocket* client) {
    const int32_t before = fill_;
    const qint64 n =
        client->read(reinterpret_cast<char*>(tcpInBuffer_) + fill_, kTcpInBufferSize - fill_);
    view_.SetCaption(QString::number(before));
    // Qt announces only new bytes: what is left behind must be fetched when reading resumes.
    if (client->bytesAvailable() > 0) readsWaiting_ = true;
    if (n <= 0) return;
    fill_ += int32_t(n);
    Timer4.start();
}

// Called on every queue change: cheap unless some client waits.
void TcpBridge::ScheduleResume() {
    if (!readsWaiting_ || resumePosted_ || ReadingHeld()) return;
    resumePosted_ = true;
    QMetaObject::invokeMethod(this, &TcpBridge::ResumeReading, Qt::QueuedConnection);
}

void TcpBridge::ResumeReading() {
    resumePosted_ = false;
    std::vector<QTcpSocket*> readers = clients_;
    readers.insert(readers.end(), leaving_.begin(), leaving_.end());
    if (readers.empty()) {
        readsWaiting_ = false;
        return;
    }
    // A different first reader each time, so that no client takes all the room for long.
    const size_t start = resumeStart_++ % readers.size();
    std::rotate(readers.begin(), readers.begin() + ptrdiff_t(start), readers.end());
    readsWaiting_ = false;
    for (QTcpSocket* client : readers) {
        if (client->bytesAvailable() <= 0) continue;
        if (ReadingHeld()) {
            readsWaiting_ = true;
            break;
        }
        WSocketServer1DataAvailable(client);
    }
    const auto drained = std::stable_partition(
        leaving_.begin(), leaving_.end(), [](QTcpSocket* c) { return c->bytesAvailable() > 0; });
    std::for_each(drained, leaving_.end(), [this](QTcpSocket* c) { Release(c); });
    leaving_.erase(drained, leaving_.end());
}

void TcpBridge::Timer4Timer() {
    Timer4.stop();
    uint8_t chunk[kTcpChunkHeaderSize + kMaxTcpChunkData];
    int32_t taken = 0;
    while (fill_ - taken > 0) {
        const int count = std::min(fill_ - taken, kMaxTcpChunkData);
        chunk[0] = BridgeSequence++;
        PutU16(chunk + 1, uint16_t(count));
        std::memcpy(chunk + kTcpChunkHeaderSize, tcpInBuffer_ + taken, size_t(count));
        link_.EnqueueCommand(cmdTcpData, chunk, uint16_t(count + kTcpChunkHeaderSize));
        taken += count;
    }
    fill_ = 0;
    link_.SendNext();
    ScheduleResume();
}

// ---- Device to clients ----

void TcpBridge::SendToClients(const uint8_t* data, int size) {
    const size_t count = clients_.size();
    for (size_t i = 0; i < count; ++i) {
        QTcpSocket* client = clients_[i];
        // A closed client waits in the list for its posted disconnect: nothing to send to.
        if (client->state() != QAbstractSocket::ConnectedState) continue;
        if (client->bytesToWrite() + size > kClientBacklogBytes) {
            view_.AddLog(QStringLiteral("TCP-клиент не принимает данные, соединение закрыто."));
            client->abort();
            continue;
        }
        client->write(reinterpret_cast<const char*>(data), size);
    }
}

} // namespace ktr
