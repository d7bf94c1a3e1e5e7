// End to end: ktr-cli bridge connects a TCP port to the simulated device that umockdev
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
    void portInUseEndsTheBridge();
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
    const Run run = RunConnected({}, 8, {"--port", port});
    QVERIFY(socat.waitForFinished(kProcessBoundMs));
    QVERIFY2(run.ExitCode == 0, qPrintable(run.Dump()));
    QVERIFY(run.Texts(QStringLiteral("note")).contains(QStringLiteral("Подключений: 1")));
    QFile outFile(out);
    QVERIFY(outFile.open(QIODevice::ReadOnly));
    QCOMPARE(outFile.readAll(), QByteArray("Welcome to TcpSrv\r\n") + data);
}

void TestE2eBridge::portInUseEndsTheBridge() {
    QTcpServer other;
    QVERIFY(other.listen(QHostAddress::LocalHost, 0));
    const QString port = QString::number(other.serverPort());
    const Run run = RunConnected({}, 5, {"--port", port});
    QCOMPARE(run.ExitCode, 2);
    QCOMPARE(run.Errors,
             QStringList{QStringLiteral("ktr-cli: порт TCP %1 не открывается: Error %2 in function "
                                        "Bind: Address already in use")
                             .arg(port)
                             .arg(EADDRINUSE)});
    QVERIFY(!run.Log().contains(kOpened)); // it never got to the device
}

QTEST_GUILESS_MAIN(TestE2eBridge)
#include "tst_e2e_bridge.moc"
