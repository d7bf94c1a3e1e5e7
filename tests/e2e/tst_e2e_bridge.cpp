// End to end: the headless program bridges a TCP port to the simulated device that umockdev
// plays through the real libusb. socat is the client; its bytes come back after the banner.
#include "HarnessRun.h"

#include <QStandardPaths>
#include <QTcpServer>

#include <cerrno>

namespace {

uint16_t FreePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

} // namespace

class TestE2eBridge : public QObject {
    Q_OBJECT
private slots:
    void socatGetsItsBytesBackIntact();
    void portInUseEndsTheRunner();
};

void TestE2eBridge::socatGetsItsBytesBackIntact() {
    const QString socatPath = QStandardPaths::findExecutable(QStringLiteral("socat"));
    QVERIFY2(!socatPath.isEmpty(), "socat is missing: run scripts/deps");
    QTemporaryDir dir;
    const QString in = dir.filePath(QStringLiteral("in.bin"));
    const QString out = dir.filePath(QStringLiteral("out.bin"));
    QByteArray data; // every byte value, CR LF and NUL among them, over several chunks
    for (int i = 0; i < 5000; ++i)
        data += char((i * 131 + i / 256) & 0xFF);
    QFile inFile(in);
    QVERIFY(inFile.open(QIODevice::WriteOnly) && inFile.write(data) == data.size());
    inFile.close();

    const QString port = QString::number(FreePort());
    QProcess socat;
    // ignoreeof keeps socat's sending side open, since a close would end the connection
    // before the echo is back; it ends after 3 s without traffic.
    socat.start(socatPath, {"-T", "3", "OPEN:" + in + ",ignoreeof!!CREATE:" + out,
                            "TCP:127.0.0.1:" + port + ",retry=200,interval=0.05"});
    QVERIFY(socat.waitForStarted());
    const Run run = RunHarness({}, {"--tcp-port", port, "--seconds", "8"});
    QVERIFY(socat.waitForFinished(kProcessBoundMs));
    QVERIFY2(run.ExitCode == 0, qPrintable(run.Output.join('\n') + run.ErrorOutput));
    QVERIFY(run.Output.contains(QStringLiteral("tcp: Подключений: 1")));
    QFile outFile(out);
    QVERIFY(outFile.open(QIODevice::ReadOnly));
    QCOMPARE(outFile.readAll(), QByteArray("Welcome to TcpSrv\r\n") + data);
}

void TestE2eBridge::portInUseEndsTheRunner() {
    QTcpServer other;
    QVERIFY(other.listen(QHostAddress::LocalHost, 0));
    const Run run =
        RunHarness({}, {"--tcp-port", QString::number(other.serverPort()), "--seconds", "5"});
    QCOMPARE(run.ExitCode, 3);
    QVERIFY2(
        run.ErrorOutput.contains(
            QStringLiteral("Error %1 in function Bind\r\nAddress already in use").arg(EADDRINUSE)),
        qPrintable(run.ErrorOutput));
    QVERIFY(run.Last(QStringLiteral("status")).isEmpty()); // it never got to the device
}

QTEST_GUILESS_MAIN(TestE2eBridge)
#include "tst_e2e_bridge.moc"
