#include "TcpBridge.h"

#include "LinkControl.h"

#include <QScopeGuard>
#include <QTcpServer>
#include <QTcpSocket>

#include <algorithm>
#include <cerrno>
#include <cstring>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <sys/ioctl.h>
#endif

namespace ktr {

namespace {

const QByteArray kBanner = QByteArrayLiteral("Welcome to TcpSrv\r\n");
const QString kClientStuckLine =
    QStringLiteral("TCP-клиент не принимает данные, соединение закрыто.");

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

// What the system holds for a client and Qt has not taken in yet.
qint64 PendingInSystem(const QTcpSocket& client) {
    const qintptr socket = client.socketDescriptor();
    if (socket == -1) return 0;
#ifdef _WIN32
    u_long pending = 0;
    return ioctlsocket(SOCKET(socket), FIONREAD, &pending) == 0 ? qint64(pending) : 0;
#else
    int pending = 0;
    return ::ioctl(int(socket), FIONREAD, &pending) == 0 ? pending : 0;
#endif
}

} // namespace

TcpBridge::TcpBridge(LinkControl& link, HostView& view, BridgeTimings timings)
    : link_(link), view_(view), closeGraceMs_(timings.CloseGraceMs),
      server_(std::make_unique<QTcpServer>()) {
    Timer3.setInterval(timings.StatusMs);
    Timer4.setInterval(timings.FlushMs);
    Timer4.setSingleShot(true);
    connect(&Timer3, &QTimer::timeout, this, [this] { Reported([this] { Timer3Timer(); }); });
    connect(&Timer4, &QTimer::timeout, this, [this] { Reported([this] { Timer4Timer(); }); });
    connect(server_.get(), &QTcpServer::newConnection, this,
            [this] { Reported([this] { AcceptClients(); }); });
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

// As the window's own handlers do: the error is shown and the program goes on.
template <class Handler> void TcpBridge::Reported(Handler handler) {
    try {
        handler();
    } catch (const TcpServerError& error) {
        view_.ShowError(error.Text);
    } catch (const std::exception& error) {
        view_.ShowError(QString::fromLocal8Bit(error.what()));
    }
}

// ---- The server ----

void TcpBridge::TcpServerOpen(const QString& portText) {
    // Closed clients stay listed until their disconnect is handled (posted), so the numbering
    // holds through the loop.
    const size_t count = clients_.size();
    for (size_t i = 0; i < count; ++i)
        AskToClose(clients_[i]);
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

QString TcpBridge::PortFieldText(const QString& fieldText) {
    bool ok = false;
    const qint64 value = fieldText.toLongLong(&ok);
    if (!ok) return fieldText; // the open fails on it, as the socket layer cannot name a port
    return QString::number(std::clamp<qint64>(value, 0, 65535));
}

QString TcpBridge::ysIntEdit1Change(const QString& fieldText) {
    const QString shown = PortFieldText(fieldText);
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
    connect(client, &QIODevice::readyRead, this,
            [this, client] { Reported([&] { ClientReadyRead(client); }); });
    // Posted, as the socket layer reports a close: the client stays listed until then.
    connect(
        client, &QAbstractSocket::disconnected, client,
        [this, client] { Reported([&] { ClientGone(client); }); }, Qt::QueuedConnection);
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
    if (Unread(client) > 0) {
        leaving_.push_back(client);
        readsWaiting_ = true;
        ScheduleResume();
    } else {
        Release(client);
    }
}

void TcpBridge::Release(QTcpSocket* client) {
    closing_.erase(client);
    client->disconnect();
    client->deleteLater();
}

// An abort would throw away what the client has sent and what it has still to receive, and
// so would closing with bytes unread (the system resets the connection): its bytes are read
// first, the replies it still has to take go out, then it closes.
void TcpBridge::AskToClose(QTcpSocket* client) {
    if (closing_.count(client) || client->state() != QAbstractSocket::ConnectedState) return;
    const qint64 sent = client->bytesAvailable() + PendingInSystem(*client);
    closing_[client] = sent;
    if (sent == 0) {
        CloseWhenSent(client);
        return;
    }
    readsWaiting_ = true;
    ScheduleResume();
}

// Qt closes the connection once the replies are out. One that does not take them in time is
// reset, as a client that stops reading is.
void TcpBridge::CloseWhenSent(QTcpSocket* client) {
    client->disconnectFromHost();
    if (client->state() != QAbstractSocket::ClosingState) return;
    QTimer::singleShot(closeGraceMs_, client, [this, client] {
        Reported([&] {
            if (client->state() != QAbstractSocket::ClosingState) return;
            view_.AddLog(kClientStuckLine);
            client->abort();
        });
    });
}

// What is still to be read from a client: for one asked to close, no more than it had sent
// by then.
qint64 TcpBridge::Unread(QTcpSocket* client) const {
    const qint64 available = client->bytesAvailable();
    const auto closing = closing_.find(client);
    return closing == closing_.end() ? available : std::min(available, closing->second);
}

// ---- Client to device ----

bool TcpBridge::ReadingHeld() const {
    return fill_ >= kTcpInBufferSize || link_.QueuedBytes(cmdTcpData) > kBridgeQueueHoldBytes;
}

void TcpBridge::ClientReadyRead(QTcpSocket* client) {
    if (Unread(client) <= 0) return; // one asked to close has sent all it will be read for
    if (ReadingHeld()) {
        readsWaiting_ = true;
        return;
    }
    WSocketServer1DataAvailable(client);
}

void TcpBridge::WSocketServer1DataAvailable(QTcpSocket* client) {
    const int32_t before = fill_;
    const auto closing = closing_.find(client);
    qint64 room = kTcpInBufferSize - fill_;
    if (closing != closing_.end()) room = std::min(room, closing->second);
    const qint64 n = client->read(reinterpret_cast<char*>(tcpInBuffer_) + fill_, room);
    if (n > 0) {
        fill_ += int32_t(n);
        Timer4.start();
    }
    if (closing != closing_.end() && n > 0) {
        closing->second -= n;
        if (closing->second == 0 && client->state() == QAbstractSocket::ConnectedState)
            CloseWhenSent(client);
    }
    // Qt announces only new bytes: what is left behind must be fetched when reading resumes.
    if (Unread(client) > 0) readsWaiting_ = true;
    view_.SetCaption(QString::number(before));
}

// Called on every queue change: cheap unless some client waits.
void TcpBridge::ScheduleResume() {
    if (!readsWaiting_ || resumePosted_ || ReadingHeld()) return;
    resumePosted_ = true;
    QMetaObject::invokeMethod(
        this, [this] { Reported([this] { ResumeReading(); }); }, Qt::QueuedConnection);
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
        if (Unread(client) <= 0) continue;
        if (ReadingHeld()) {
            readsWaiting_ = true;
            break;
        }
        WSocketServer1DataAvailable(client);
    }
    const auto drained = std::stable_partition(leaving_.begin(), leaving_.end(),
                                               [this](QTcpSocket* c) { return Unread(c) > 0; });
    std::for_each(drained, leaving_.end(), [this](QTcpSocket* c) { Release(c); });
    leaving_.erase(drained, leaving_.end());
}

void TcpBridge::Timer4Timer() {
    Timer4.stop();
    uint8_t chunk[kTcpChunkHeaderSize + kMaxTcpChunkData];
    int32_t taken = 0;
    {
        // Queued bytes leave the buffer even when a step raises, or the next flush would
        // send them again.
        const auto compact = qScopeGuard([&] {
            std::memmove(tcpInBuffer_, tcpInBuffer_ + taken, size_t(fill_ - taken));
            fill_ -= taken;
        });
        while (fill_ - taken > 0) {
            const int count = std::min(fill_ - taken, kMaxTcpChunkData);
            PutTcpChunkHeader(chunk, BridgeSequence++, uint16_t(count));
            std::memcpy(TcpChunkData(chunk), tcpInBuffer_ + taken, size_t(count));
            const size_t queued = link_.Queue().size();
            try {
                link_.EnqueueCommand(cmdTcpData, chunk, uint16_t(count + kTcpChunkHeaderSize));
            } catch (...) {
                if (link_.Queue().size() > queued) taken += count;
                throw;
            }
            taken += count;
        }
    }
    link_.SendNext();
    ScheduleResume();
}

// ---- Device to clients ----

void TcpBridge::SendToClients(const uint8_t* data, int size) {
    const size_t count = clients_.size();
    for (size_t i = 0; i < count; ++i) {
        QTcpSocket* client = clients_[i];
        // A closed client, or one asked to close, waits in the list for its posted
        // disconnect: nothing to send to.
        if (client->state() != QAbstractSocket::ConnectedState || closing_.count(client)) continue;
        if (client->bytesToWrite() + size > kClientBacklogBytes) {
            view_.AddLog(kClientStuckLine);
            client->abort();
            continue;
        }
        client->write(reinterpret_cast<const char*>(data), size);
    }
}

} // namespace ktr
