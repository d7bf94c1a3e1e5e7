// What a device whose transfers hang costs the program, on the real libusb through
// usbsim-harness (the build's library, or the one KTR_USB_BACKEND names):
// - hung_device_bridge_banner_ms: the longest a TCP client waits for its banner, connecting
//   every 200 ms while the device's transfers hang, time out and the link recovers, again
//   and again;
// - hung_device_disconnect_ms: from the moment the operator asks to disconnect, with a
//   transfer hanging, until the link is closed.
// The link core runs in a copy of this program under the harness ("--serve" or
// "--disconnect"); the client and the clock that judges it stay outside.
#include "BenchSupport.h"
#include "TcpBridge.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <algorithm>
#include <cstdlib>
#include <memory>

using namespace ktr;

namespace {

constexpr int kHangAtTransfer = 100; // well after the first connect's status answers
constexpr int kServeSeconds = 9;     // spans a whole hang, its fault and the reopen
constexpr int kClientEveryMs = 200;
constexpr int kPressAfterMs = 500; // after the queue drained: the hang has begun by then
constexpr int kHarnessBoundMs = 60000;
const QByteArray kBanner = QByteArrayLiteral("Welcome to TcpSrv\r\n");

std::unique_ptr<UsbBackend> Backend() {
    std::unique_ptr<UsbBackend> usb = NewSystemUsbBackend();
    if (!usb) std::exit(2);
    return usb;
}

// Under the harness: the window's link and bridge until the time is up.
int Serve(const QString& port) {
    const std::unique_ptr<UsbBackend> usb = Backend();
    NullView view;
    LinkControl link(*usb, view);
    TcpBridge bridge(link, view);
    bridge.TcpServerOpen(port);
    link.Connect();
    QTimer::singleShot(kServeSeconds * 1000, qApp, &QCoreApplication::quit);
    QCoreApplication::exec();
    link.CloseLink();
    return 0;
}

// Under the harness: the operator presses disconnect while a transfer hangs. The press is
// due at a set time; a thread held by the transfer makes it late, and that counts.
int Disconnect() {
    const std::unique_ptr<UsbBackend> usb = Backend();
    NullView view;
    LinkControl link(*usb, view);
    QElapsedTimer clock;
    qint64 dueMs = -1;
    QTimer press;
    press.setSingleShot(true);
    press.setTimerType(Qt::PreciseTimer);
    QObject::connect(&press, &QTimer::timeout, [&] {
        link.ToolButton4Click();
        if (!link.IsOpen())
            PrintFigure("hung_device_disconnect_ms", double(clock.elapsed() - dueMs), "ms");
        QCoreApplication::quit();
    });
    QObject::connect(&link, &LinkControl::QueueDrained, [&] {
        if (dueMs >= 0) return;
        clock.start();
        dueMs = kPressAfterMs;
        press.start(kPressAfterMs);
    });
    link.Connect();
    return QCoreApplication::exec();
}

QProcess* StartUnderHarness(const QStringList& inner) {
    auto* process = new QProcess;
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->start(QStringLiteral(KTR_HARNESS),
                   QStringList{"--quiet", "--latency-us", "0", "--hang-at",
                               QString::number(kHangAtTransfer), "--",
                               qApp->applicationFilePath()} +
                       inner);
    return process;
}

// Milliseconds from the connect to the whole banner, or to the close of a program that ended
// before it could send it; -1 when nothing listens.
double BannerMs(uint16_t port) {
    QElapsedTimer clock;
    clock.start();
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    // The kernel accepts the connection whatever the program does; the banner is its own.
    if (!client.waitForConnected(kHarnessBoundMs)) return -1;
    QByteArray got;
    while (got.size() < kBanner.size() && clock.elapsed() < kHarnessBoundMs &&
           client.state() != QAbstractSocket::UnconnectedState) {
        client.waitForReadyRead(20);
        got += client.readAll();
    }
    return double(clock.nsecsElapsed()) / 1e6;
}

double WorstBannerMs() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const uint16_t port = probe.serverPort();
    probe.close();
    std::unique_ptr<QProcess> inner(StartUnderHarness({"--serve", QString::number(port)}));
    // The first banner says the program is up; the clients that count come after it.
    QElapsedTimer started;
    started.start();
    while (BannerMs(port) < 0) {
        if (started.elapsed() > kHarnessBoundMs) return -1;
        QThread::msleep(20);
    }
    double worst = 0;
    QElapsedTimer run;
    run.start();
    for (int client = 1; run.elapsed() < (kServeSeconds - 2) * 1000; ++client) {
        const double ms = BannerMs(port);
        if (ms < 0) break;
        worst = std::max(worst, ms);
        const qint64 next = qint64(client) * kClientEveryMs;
        if (run.elapsed() < next) QThread::msleep(ulong(next - run.elapsed()));
    }
    inner->waitForFinished(kHarnessBoundMs);
    return worst;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 3 && args[1] == "--serve") return Serve(args[2]);
    if (args.size() == 2 && args[1] == "--disconnect") return Disconnect();

    PrintFigure("hung_device_bridge_banner_ms", WorstBannerMs(), "ms");
    std::unique_ptr<QProcess> inner(StartUnderHarness({"--disconnect"}));
    inner->waitForFinished(kHarnessBoundMs);
    const QByteArray said = inner->readAllStandardOutput();
    if (!said.startsWith("hung_device_disconnect_ms:")) {
        std::fprintf(stderr, "bench_hang: the disconnect run failed\n");
        return 1;
    }
    std::fwrite(said.constData(), 1, size_t(said.size()), stdout);
    return 0;
}
