// ktr-headless: the program's core without a window. It starts as the window would, runs
// the connect command, and prints what the operator would see, one line at a time:
// "log: " for the log pane, "status: " for the status panel, "flash: "/"eeprom: " for the
// size labels, "link: open"/"link: closed" for the toolbar's look.
#include "ConfiguratorHost.h"
#include "LinkControl.h"
#include "TcpBridge.h"
#include "WriteJobs.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <functional>

namespace {

constexpr int kDefaultRunSeconds = 5;
constexpr int kExitNotReady = 1;
constexpr int kExitBadArguments = 2;
constexpr int kExitTcpServer = 3;

class ConsoleView final : public ktr::HostView {
public:
    std::function<void(const QString&)> OnLog;

    void AddLog(const QString& line) override {
        Print("log", line);
        if (OnLog) OnLog(line);
    }
    void SetQueueCaption(const QString& text) override { queueCaption_ = text; }
    void SetProgressMax(int) override {}
    void SetProgressPosition(int) override {}
    void SetStatusPanel(const QString& text) override { Show("status", status_, text); }
    void SetFlashSizeText(const QString& text) override { Show("flash", flash_, text); }
    void SetEepromSizeText(const QString& text) override { Show("eeprom", eeprom_, text); }
    void SetLinkButtons(int connectImage, int) override {
        Print("link", connectImage == ktr::kImageConnectOpen ? QStringLiteral("open")
                                                             : QStringLiteral("closed"));
    }
    void Beep(int, int) override {}
    void ShowError(const QString& text) override { Print("error", text); }
    void SetCaption(const QString& text) override { caption_ = text; }
    void SetTcpStatus(const QString& text) override { Show("tcp", tcpStatus_, text); }
    void SetKindSelection(int) override {}
    void SetConfiguratorEnabled(bool) override {}

    const QString& Status() const { return status_; }
    void PrintPanels() {
        Print("status", status_);
        Print("flash", flash_);
        Print("eeprom", eeprom_);
        Print("queue", queueCaption_);
    }

private:
    static void Print(const char* kind, const QString& text) {
        std::printf("%s: %s\n", kind, text.toUtf8().constData());
        std::fflush(stdout);
    }
    static void Show(const char* kind, QString& shown, const QString& text) {
        if (text == shown) return;
        shown = text;
        Print(kind, text);
    }

    QString status_, flash_, eeprom_, caption_, tcpStatus_;
    QString queueCaption_ = QStringLiteral("Очередь команд: ");
};

constexpr int kMaxOptionValue = 86'400'000; // a day, in the largest unit of milliseconds

bool ParseInt(const QCommandLineParser& parser, const QString& name, int& value,
              int max = kMaxOptionValue) {
    if (!parser.isSet(name)) return true;
    bool ok = false;
    value = parser.value(name).toInt(&ok);
    ok = ok && value >= 0 && value <= max;
    if (!ok) std::fprintf(stderr, "ktr-headless: bad value for --%s\n", qPrintable(name));
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Runs the service tool's link core without a window and prints what it shows.");
    parser.addHelpOption();
    parser.addOptions({
        {"seconds", "Run for S seconds (default 5).", "S"},
        {"exit-when-ready",
         "Exit with 0 as soon as the device is identified and its status answers are in; "
         "with 1 if that does not happen in time."},
        {"fault-pause-ms", "Pause after a failed transfer before reopening (default 1000).", "MS"},
        {"watchdog-ms", "Link watchdog interval (default 10000).", "MS"},
        {"no-connect", "Do not run the connect command."},
        {"flash", "Once the device is identified, write and verify FILE into FLASH.", "FILE"},
        {"eeprom", "Once the device is identified, write and verify FILE into EEPROM.", "FILE"},
        {"configurator", "Once the device is identified, run its kind's configurator library."},
        {"tcp-port", "Bridge TCP clients on 127.0.0.1 port N (default 10005).", "N"},
    });
    parser.process(app);

    int seconds = kDefaultRunSeconds;
    ktr::LinkTimings timings;
    int tcpPort = ktr::kDefaultTcpPort;
    if (!ParseInt(parser, "seconds", seconds) || !ParseInt(parser, "tcp-port", tcpPort, 65535) ||
        !ParseInt(parser, "fault-pause-ms", timings.FaultPauseMs) ||
        !ParseInt(parser, "watchdog-ms", timings.WatchdogMs))
        return kExitBadArguments;

    ConsoleView view;
    view.AddLog(QStringLiteral("Запуск программы"));
    ktr::LibUsbBackend usb;
    ktr::LinkControl control(usb, view, timings);
    ktr::TcpBridge bridge(control, view);
    try {
        bridge.TcpServerOpen(QString::number(tcpPort));
    } catch (const ktr::TcpServerError& error) {
        std::fprintf(stderr, "%s\n", error.Text.toUtf8().constData());
        return kExitTcpServer;
    }

    // The operator's presses of the write buttons come once the status answers are in; with
    // --exit-when-ready the run then ends when the queue has drained again.
    ktr::ConfiguratorHost host(control, view);
    control.SetDeviceKindHook(&host);
    ktr::WriteJobs jobs(control);
    const QString flashFile = parser.value("flash"), eepromFile = parser.value("eeprom");
    const bool configuratorPending = parser.isSet("configurator");
    bool jobsPending = !flashFile.isEmpty() || !eepromFile.isEmpty() || configuratorPending;
    const bool exitWhenReady = parser.isSet("exit-when-ready");
    int exitCode = exitWhenReady ? kExitNotReady : 0;
    view.OnLog = [&](const QString& line) {
        if (host.Running()) return; // exiting would end the configurator's own event loop
        if (exitWhenReady && line == QStringLiteral("Очередь команд очищена!")) {
            QCoreApplication::exit(); // a verification error ends the job
            return;
        }
        if (line != QStringLiteral("Операция успешно завершена.") || !control.LinkEstablished ||
            view.Status().isEmpty())
            return;
        if (jobsPending) {
            jobsPending = false;
            // A real timer, not a zero-delay posted call: a configurator's event loop nested
            // in the delivery of posted events would not deliver the receive step's
            // already-posted event under the glib dispatcher, and the link would stall.
            QTimer::singleShot(1, &app, [&] {
                if (!flashFile.isEmpty()) jobs.Button1Click(flashFile);
                if (!eepromFile.isEmpty()) jobs.Button2Click(eepromFile);
                if (!configuratorPending) return;
                host.Button3Click();
                if (exitWhenReady && control.Queue().empty()) {
                    exitCode = 0; // it waited for its answers: nothing is left to drain
                    QCoreApplication::exit();
                }
            });
        } else if (exitWhenReady) {
            exitCode = 0;
            QCoreApplication::exit();
        }
    };
    QTimer::singleShot(std::chrono::seconds(seconds), Qt::PreciseTimer, &app,
                       &QCoreApplication::quit);
    if (!parser.isSet("no-connect")) control.ToolButton1Click();
    app.exec();

    view.OnLog = nullptr;
    control.CloseLink(); // as the window does when it closes
    view.PrintPanels();
    if (exitCode == kExitNotReady)
        std::fprintf(stderr,
                     "ktr-headless: the device was not identified, or its jobs did not complete, "
                     "within %d s\n",
                     seconds);
    return exitCode;
}
