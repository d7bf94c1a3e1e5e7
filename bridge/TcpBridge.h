// The TCP bridge: a listening server on 127.0.0.1 whose clients' bytes are cut into
// cmdTcpData chunks for the device, and whose clients each receive every cmdTcpReply.
// Core only (QtNetwork, no widgets); the window binds ysIntEdit1 and Label9 to it.
//
// Flow control: reading from clients pauses, leaving the bytes in their connections so that
// TCP slows the senders, while TcpInBuffer is full or more than kBridgeQueueHoldBytes of
// chunks wait in the command queue. A client that does not take its replies is closed once
// kClientBacklogBytes wait for it.
//
// Errors raised in the bridge's own timer and socket handlers go to HostView::ShowError, and
// the bridge goes on.
#pragma once

#include "HostView.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>
#include <stdexcept>
#include <unordered_map>
#include <vector>

class QTcpServer;
class QTcpSocket;

namespace ktr {

class LinkControl;

constexpr uint16_t kDefaultTcpPort = 10005;
constexpr int kTcpInBufferSize = 65521;
constexpr int kMaxTcpChunkData = 256;
constexpr int kTcpListenBacklog = 5;
constexpr uint64_t kBridgeQueueHoldBytes = 64 * 1024;
constexpr int64_t kClientBacklogBytes = 8 * 1024 * 1024;
constexpr int64_t kClientReadBufferBytes = 64 * 1024; // what Qt takes in ahead of our reads

struct BridgeTimings {
    int StatusMs = 1000; // Timer3
    int FlushMs = 20;    // Timer4
    // How long a client asked to close, all its bytes read, may take to receive its last
    // replies before it is reset.
    int CloseGraceMs = 10000;
};

// A failure to open the server, carrying the socket layer's text ("Error 98 in function
// Bind\r\nAddress already in use", "listen: <port text>", ...). Raised to the caller: the
// window's default error report shows it; at start-up it ends the program.
class TcpServerError : public std::runtime_error {
public:
    explicit TcpServerError(const QString& text)
        : std::runtime_error(text.toStdString()), Text(text) {}
    QString Text;
};

class TcpBridge : public QObject, public TcpReplySink {
    Q_OBJECT
public:
    // Registers itself as the link's reply sink and starts Timer3; the server stays closed
    // until the first TcpServerOpen.
    TcpBridge(LinkControl& link, HostView& view, BridgeTimings timings = {});
    ~TcpBridge() override;

    // Asks every client to close, closes the server, then listens on 127.0.0.1 at portText
    // exactly as the port field shows it. A client asked to close gets no more replies; the
    // replies it still has to take go out first, and the bytes it had sent before are still
    // read and delivered; then the connection closes (reset if the replies are not taken
    // within CloseGraceMs). Throws TcpServerError; the status is then left as it was.
    void TcpServerOpen(const QString& portText);
    void TcpServerStatus();
    // The port field's rules: text that is an integer is shown as its value in plain decimal,
    // clamped to 0..65535 ("010007" and "+10007" show "10007"); other text ("", "+", "-")
    // stays as typed, its value 0.
    static QString PortFieldText(const QString& fieldText);
    // Reopens the server on PortFieldText(fieldText) and returns that text. Throws
    // TcpServerError.
    QString ysIntEdit1Change(const QString& fieldText);

    void Timer3Timer();
    void Timer4Timer();

    // cmdTcpReply payloads, to every listed client in list order.
    void SendToClients(const uint8_t* data, int size) override;

    uint16_t ListeningPort() const; // 0 when not listening
    int ClientCount() const;
    int32_t TcpInFill() const { return fill_; }
    uint8_t BridgeSequence = 0;
    QTimer Timer3;
    QTimer Timer4;

private:
    void AcceptClients();
    void WSocketServer1ClientConnect(QTcpSocket* client);
    void WSocketServer1ClientDisconnect(QTcpSocket* client);
    void WSocketServer1DataAvailable(QTcpSocket* client);
    void ClientReadyRead(QTcpSocket* client);
    void ClientGone(QTcpSocket* client);
    bool ReadingHeld() const;
    void ScheduleResume();
    void ResumeReading();
    void Release(QTcpSocket* client);
    void AskToClose(QTcpSocket* client);
    void CloseWhenSent(QTcpSocket* client);
    qint64 Unread(QTcpSocket* client) const;
    template <class Handler> void Reported(Handler handler);

    LinkControl& link_;
    HostView& view_;
    int closeGraceMs_;
    uint8_t tcpInBuffer_[kTcpInBufferSize] = {};
    int32_t fill_ = 0;
    // The client list, in accept order; a client leaves it once its disconnect is handled.
    std::vector<QTcpSocket*> clients_;
    // Clients that have left with bytes still unread: read to the end, then released.
    std::vector<QTcpSocket*> leaving_;
    // Clients asked to close, with what they had sent by then and is still to be read.
    std::unordered_map<QTcpSocket*, qint64> closing_;
    bool readsWaiting_ = false; // some client holds bytes that no readyRead will announce
    bool resumePosted_ = false;
    size_t resumeStart_ = 0;
    // Last: its client sockets are destroyed with it, before the state their handlers use.
    std::unique_ptr<QTcpServer> server_;
};

} // namespace ktr
