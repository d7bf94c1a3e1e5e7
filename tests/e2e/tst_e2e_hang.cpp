// A device whose transfers hang, through the real libusb: the program goes on meanwhile,
// the operator's disconnect ends the hung transfer, and the link recovers when the device
// comes back. Each library's backend is checked alone first, then ktr-cli on either.
#include "HarnessRun.h"

#include <QTcpServer>
#include <QTcpSocket>

#include <cerrno>
#include <csignal>

namespace {

const QByteArray kBanner = QByteArrayLiteral("Welcome to TcpSrv\r\n");

uint16_t FreePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// ktr-cli bridge under the harness, watched while it runs: its log as it comes.
class LiveBridge {
public:
    LiveBridge(const QStringList& harnessArgs, const QString& port) {
        process_.start(QStringLiteral(KTR_HARNESS),
                       QStringList{"--quiet", "--kill-after-s", "30", "--record",
                                   dir_.filePath("record.txt")} +
                           harnessArgs +
                           QStringList{"--", KTR_CLI, "bridge", "--port", port, "--json"});
    }
    ~LiveBridge() {
        if (process_.state() != QProcess::NotRunning) process_.kill();
        process_.waitForFinished();
    }
    // Waits until the log holds `line` (false if the program ends or the bound passes).
    bool WaitForLog(const QString& line) {
        QElapsedTimer clock;
        clock.start();
        while (!Log().contains(line)) {
            if (clock.elapsed() > kProcessBoundMs || process_.state() == QProcess::NotRunning)
                return false;
            Read();
        }
        return true;
    }
    QStringList Log() {
        Read();
        QStringList log;
        for (const QString& line : lines_)
            if (const QJsonObject event = ParseJsonLine(line); event["event"] == "log")
                log << event["text"].toString();
        return log;
    }
    // Ctrl-C, as the harness hands it on; the exit status.
    int Interrupt() {
        kill(pid_t(process_.processId()), SIGINT);
        if (!process_.waitForFinished(kProcessBoundMs)) return -1;
        Read();
        return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
    }
    QStringList Record() const {
        QFile file(dir_.filePath("record.txt"));
        if (!file.open(QIODevice::ReadOnly)) return {};
        return QString::fromLatin1(file.readAll()).split('\n', Qt::SkipEmptyParts);
    }

private:
    // Whatever the program has written by now: it writes each line as it happens.
    void Read() {
        while (process_.waitForReadyRead(20))
            buffer_ += process_.readAllStandardOutput();
        buffer_ += process_.readAllStandardOutput();
        for (qsizetype end; (end = buffer_.indexOf('\n')) >= 0; buffer_.remove(0, end + 1))
            lines_ << QString::fromUtf8(buffer_.left(end));
    }

    QTemporaryDir dir_;
    QProcess process_;
    QByteArray buffer_;
    QStringList lines_;
};

// A client's banner, or what came instead.
QByteArray Banner(const QString& port) {
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port.toUShort());
    if (!client.waitForConnected(kProcessBoundMs)) return {};
    QByteArray got;
    QElapsedTimer clock;
    clock.start();
    while (got.size() < kBanner.size() && clock.elapsed() < kProcessBoundMs &&
           client.state() != QAbstractSocket::UnconnectedState) {
        client.waitForReadyRead(100);
        got += client.readAll();
    }
    return got;
}

} // namespace

class TestE2eHang : public QObject {
    Q_OBJECT
private slots:
    // Transfers are waited for in the event loop on either library: a 1 ms timer ticks while
    // one hangs, a cancel ends it at once, the transfer's own timeout ends it as -ETIMEDOUT,
    // and the results are libusb 0.1's (-errno).
    void backendAloneWaitsInTheEventLoop_data() {
        QTest::addColumn<QString>("library");
        QTest::addColumn<QStringList>("harnessArgs");
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QStringList>("says");
        for (const char* library : {"libusb1", "libusb0"}) {
            QTest::addRow("%s: answers, hang cancelled, timeout", library)
                << QString(library) << QStringList{"--hang-at", "4"}
                << QStringList{"out", "in", "sync", "hang", "in:100"}
                << QStringList{
                       "out 8", "in 8 53525101010000F8", "sync 0",
                       QString("hang ticked busy %1 cancelled %2").arg(-EBUSY).arg(-ECANCELED),
                       QString("in:100 ticked %1").arg(-ETIMEDOUT)};
            // The handle is closed while the given-up transfer still hangs.
            QTest::addRow("%s: closed while hung", library)
                << QString(library) << QStringList{"--hang-at", "2"} << QStringList{"out", "hang"}
                << QStringList{
                       "out 8",
                       QString("hang ticked busy %1 cancelled %2").arg(-EBUSY).arg(-ECANCELED)};
            // A new transfer on the handle whose given-up one still hangs; then closed.
            QTest::addRow("%s: cancelled, then the same handle again", library)
                << QString(library) << QStringList{"--hang-at", "2", "--hang-for-ms", "100"}
                << QStringList{"out", "hang", "wait:200", "in"}
                << QStringList{
                       "out 8",
                       QString("hang ticked busy %1 cancelled %2").arg(-EBUSY).arg(-ECANCELED),
                       "in 8 53525101010000F8"};
            QTest::addRow("%s: unplugged", library)
                << QString(library) << QStringList{"--unplug-at", "2"}
                << QStringList{"list", "out", "in"}
                << QStringList{"list 1:2 1-1 accessible", "out 8", QString("in %1 ").arg(-ENODEV)};
        }
        // The port path is looked up by the device number of now (libusb 1.0 sees no replug).
        QTest::addRow("libusb0: replugged into the same port as another number")
            << QString("libusb0")
            << QStringList{"--unplug-at", "2", "--replug-after-ms", "50", "--replug-as", "9"}
            << QStringList{"list", "out", "in", "wait:300", "list"}
            << QStringList{"list 1:2 1-1 accessible", "out 8", QString("in %1 ").arg(-ENODEV),
                           "list 1:9 1-1 accessible"};
    }
    void backendAloneWaitsInTheEventLoop() {
        QFETCH(QString, library);
        QFETCH(QStringList, harnessArgs);
        QFETCH(QStringList, steps);
        QFETCH(QStringList, says);
        const Run run = [&] {
            const Library use(library);
            return RunUnderHarness(QStringList{"--latency-us", "0"} + harnessArgs,
                                   QStringList{KTR_USB_PROBE} + steps);
        }();
        if (run.ExitCode == 2) QSKIP("this library is not built in");
        QVERIFY2(run.ExitCode == 0, qPrintable(run.Dump()));
        QCOMPARE(run.Output, says);
    }

    // The device hangs for good mid-stream, after the link is up and a client has been sending:
    // a second client still gets its banner while the transfer is in flight (its fault
    // has not come), and Ctrl-C ends the hung transfer and closes the link without a fault.
    void bridgeGoesOnWhileTheDeviceHangs_data() {
        QTest::addColumn<QString>("library");
        QTest::newRow("libusb1") << QString("libusb1");
        QTest::newRow("libusb0") << QString("libusb0");
    }
    void bridgeGoesOnWhileTheDeviceHangs() {
        QFETCH(QString, library);
        const QString port = QString::number(FreePort());
        const Library use(library);
        LiveBridge bridge({"--latency-us", "0", "--hang-at", "300"}, port);
        QVERIFY(bridge.WaitForLog(kDone));
        QTcpSocket first;
        first.connectToHost(QHostAddress::LocalHost, port.toUShort());
        QVERIFY(first.waitForConnected(kProcessBoundMs));
        first.write(QByteArray(3000, 'x'));
        QVERIFY(first.waitForBytesWritten(kProcessBoundMs));
        QTest::qWait(300); // the ping-pong reaches the hang within a few milliseconds
        QCOMPARE(Banner(port), kBanner);
        QVERIFY2(!bridge.Log().contains(kClosing), qPrintable(bridge.Log().join('\n')));
        QCOMPARE(bridge.Interrupt(), 0);
        const QStringList log = bridge.Log();
        QCOMPARE(log.mid(log.lastIndexOf(kDone) + 1), (QStringList{kClosing, kClosed}));
    }

    // A healthy write: the same frames on the wire and the same log on either library.
    void healthyWriteIsTheSameOnBothLibraries() {
        QTemporaryDir dir;
        const QString flash = dir.filePath("fw.bin"), eeprom = dir.filePath("ee.bin");
        for (const auto& [path, size] : {std::pair{flash, 3000}, std::pair{eeprom, 700}}) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            for (int i = 0; i < size; ++i)
                file.putChar(char(i * 37 + size));
        }
        QList<Run> runs;
        for (const char* library : {"libusb1", "libusb0"}) {
            const Library use(library);
            runs << RunCli({"--latency-us", "0"}, {"write", "--flash", flash, "--eeprom", eeprom});
        }
        for (const Run& run : runs)
            QVERIFY2(run.ExitCode == 0, qPrintable(run.Dump()));
        QCOMPARE(runs[0].Log(), runs[1].Log());
        // Between the steps polls go on for as long as the program takes to its next step:
        // the command frames are the same, in the same order.
        QStringList wire[2];
        for (int i = 0; i < 2; ++i)
            for (const QString& frame : runs[i].Record)
                if (frame != kPoll) wire[i] << frame;
        QVERIFY(wire[0].size() > 10);
        QCOMPARE(wire[0], wire[1]);
    }
};

QTEST_GUILESS_MAIN(TestE2eHang)
#include "tst_e2e_hang.moc"
