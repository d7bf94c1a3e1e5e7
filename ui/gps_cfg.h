// Form1: the main window. It shows everything the core reports (it is the core's HostView)
// and hands every control event to the core object that owns the operation.
#pragma once

#include "ConfiguratorHost.h"
#include "HostView.h"
#include "LinkControl.h"
#include "TcpBridge.h"

#include <QMainWindow>
#include <QStringList>

#include <memory>

class QFileDialog;
class QLabel;
class QLineEdit;

namespace Ui {
class TForm1;
}

namespace ktr {

class TComCFGForm;
class UsbBackend;
class WriteJobs;

constexpr const char* kApplicationTitle = "Brenvolt_Boot_libusb";

// What a test or a tool may put in place of the program's defaults.
struct FormOptions {
    UsbBackend* Usb = nullptr; // null: the real libusb, owned by the window
    LinkTimings Link;
    BridgeTimings Bridge;
    QString SettingsFile;                                   // empty: the user's settings store
    QString TcpPortText = QString::number(kDefaultTcpPort); // the port field at start
    QStringList ConfiguratorDirs;                           // empty: beside the program
};

class TForm1 : public QMainWindow, public HostView {
    Q_OBJECT
public:
    // Logs "Запуск программы", brings the link core up and opens the TCP server. Throws
    // TcpServerError when the server cannot be opened: the program then ends.
    explicit TForm1(FormOptions options = {}, QWidget* parent = nullptr);
    ~TForm1() override; // runs BeforeDestruction

    // The link settings dialog; created by the program's start after the window.
    void SetSettingsDialog(TComCFGForm* dialog) { ComCFGForm = dialog; }

    // HostView.
    void AddLog(const QString& line) override;
    void SetQueueCaption(const QString& text) override;
    void SetProgressMax(int max) override;
    void SetProgressPosition(int position) override;
    void SetStatusPanel(const QString& text) override;
    void SetFlashSizeText(const QString& text) override;
    void SetEepromSizeText(const QString& text) override;
    void SetLinkButtons(int connectImage, int disconnectImage) override;
    void Beep(int frequencyHz, int durationMs) override;
    void ShowError(const QString& text) override;
    void SetCaption(const QString& text) override;
    void SetTcpStatus(const QString& text) override;
    void SetKindSelection(int itemIndex) override;
    void SetConfiguratorEnabled(bool enabled) override;

    // Handlers of the window's own.
    void FormShow();
    void FormResize();
    void TabControl1Change();
    void N5Click();
    void N6Click() { close(); }
    void Edit1DblClick();
    void Edit2DblClick();
    void BeforeDestruction();

    LinkControl& Link() { return *link_; }
    ConfiguratorHost& Configurator() { return *host_; }
    TcpBridge& Bridge() { return *bridge_; }
    // Image indices the toolbar buttons show now.
    int ConnectImage() const { return connectImage_; }
    int DisconnectImage() const { return disconnectImage_; }

    TComCFGForm* ComCFGForm = nullptr;
    QFileDialog* OpenDialog1;

protected:
    void closeEvent(QCloseEvent* event) override; // FormClose
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void SetUpLook();
    void ConnectControls();
    // Runs the open-file dialog for a field; a confirmed file's full path goes into it.
    void ChooseFile(QLineEdit* field, const QString& filter, const QString& defaultSuffix);
    // The port field's change: its text rewritten by the bridge's rules, then the server
    // reopened on it.
    void ysIntEdit1Change();
    void SetPortText(const QString& text);
    // The default error report for what a handler does not catch.
    template <class Handler> void Guarded(Handler handler);

    std::unique_ptr<Ui::TForm1> ui_;
    std::unique_ptr<UsbBackend> ownUsb_;
    std::unique_ptr<LinkControl> link_;
    std::unique_ptr<WriteJobs> jobs_;
    std::unique_ptr<ConfiguratorHost> host_;
    std::unique_ptr<TcpBridge> bridge_;
    QLabel* statusPanel_ = nullptr;
    int connectImage_ = kImageConnectClosed;
    int disconnectImage_ = kImageDisconnectClosed;
    bool rewritingPort_ = false;
};

} // namespace ktr
