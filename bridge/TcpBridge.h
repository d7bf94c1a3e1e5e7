// The TCP bridge: a listening server on 127.0.0.1 whose clients' bytes are cut into
// cmdTcpData chunks for the device, and whose clients each receive every cmdTcpReply.
// Core only (QtNetwork, no widgets); the window binds ysIntEdit1 and Label9 to it.
#pragma once

#include "HostView.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <stdexcept>

class QTcpServer;
class QTcpSocket;

namespace ktr {

class LinkControl;

constexpr uint16_t kDefaultTcpPort = 10005;
constexpr int kTcpInBufferSize = 65521;

struct BridgeTimings {
    int StatusMs = 1000; // Timer3
    int FlushMs = 20;    // Timer4
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
    TcpBridge(LinkControl& link, HostView& view, BridgeTimings timings = {});
    ~TcpBridge() override;

    // Closes every client and the server, then listens on 127.0.0.1 at portText exactly as
    // the port field shows it. Throws TcpServerError; the status is then left as it was.
    void TcpServerOpen(const QString& portText);
    void TcpServerStatus();
    // The port field's rules: the value clamped to 0..65535 (text that is no integer counts
    // as 0). Returns the text the field shows afterwards and reopens the server on it.
    // Throws TcpServerError.
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
    LinkControl& link_;
    HostView& view_;
    uint8_t tcpInBuffer_[kTcpInBufferSize] = {};
    int32_t fill_ = 0;
};

} // namespace ktr
