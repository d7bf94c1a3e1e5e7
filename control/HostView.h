// Everything the core shows the operator goes through this one interface: the main window
// implements it, tests record it. The core never touches a widget.
#pragma once

#include <QString>

namespace ktr {

// ToolButton1 (connect) and ToolButton4 (disconnect) images, open and closed look.
constexpr int kImageConnectClosed = 18, kImageConnectOpen = 19;
constexpr int kImageDisconnectOpen = 20, kImageDisconnectClosed = 21;

class HostView {
public:
    virtual ~HostView() = default;
    virtual void AddLog(const QString& line) = 0;            // Memo1
    virtual void SetQueueCaption(const QString& text) = 0;   // Label4
    virtual void SetProgressMax(int max) = 0;                // ProgressBar1
    virtual void SetProgressPosition(int position) = 0;      // ProgressBar1
    virtual void SetStatusPanel(const QString& text) = 0;    // StatusBar1, its one panel
    virtual void SetFlashSizeText(const QString& text) = 0;  // Label1
    virtual void SetEepromSizeText(const QString& text) = 0; // Label2
    // Image indices of ToolButton1 (connect) and ToolButton4 (disconnect): 19/20 open, 18/21
    // closed.
    virtual void SetLinkButtons(int connectImage, int disconnectImage) = 0;
    virtual void Beep(int frequencyHz, int durationMs) = 0;
    // The default error report: a box with the text and OK.
    virtual void ShowError(const QString& text) = 0;
    virtual void SetCaption(const QString& text) = 0;      // the main window's caption
    virtual void SetTcpStatus(const QString& text) = 0;    // Label9
    virtual void SetKindSelection(int itemIndex) = 0;      // ComboBox1; -1 selects nothing
    virtual void SetConfiguratorEnabled(bool enabled) = 0; // Button3
};

// Receives the device's cmdTcpReply payloads: the TCP bridge sends them to each client in
// list order.
class TcpReplySink {
public:
    virtual ~TcpReplySink() = default;
    virtual void SendToClients(const uint8_t* data, int size) = 0;
};

// The device-kind choice that follows every signature adoption. It must leave
// LinkSignature at the adopted value for kinds 1 to 3 and set it to 0 for any other.
class DeviceKindHook {
public:
    virtual ~DeviceKindHook() = default;
    virtual void DeviceKindChanged() = 0;
};

} // namespace ktr
