// End to end: ktr-cli on the real libusb, talking to the simulated device that umockdev
// plays through usbsim-harness. Asserts on what the operator would see and on the
// exact bytes the device received.

#include "HarnessRun.h"

namespace {

QStringList Repeat(const QStringList& block, int times) {
    QStringList out;
    for (int i = 0; i < times; ++i)
        out << block;
    return out;
}

} // namespace

class TestE2eUsb : public QObject {
    Q_OBJECT
private slots:
    void connectAndIdentify_data();
    void connectAndIdentify();
    void pollPingPongKeepsWatchdogAlive();
    void watchdogClosesSilentLink();
    void adoptsKindFromFirstFrame();
    void unsignedLinkNeverTransmits_data();
    void unsignedLinkNeverTransmits();
    void transferFailuresRecover_data();
    void transferFailuresRecover();
    void twentiethFailureLeavesLinkClosed();
    void unplugDuringPingPong_data();
    void unplugDuringPingPong();
    void timedOutTransferRecovers();
    void wedgedProgramIsKilled();
};

void TestE2eUsb::connectAndIdentify_data() {
    QTest::addColumn<QString>("flashSize");
    QTest::newRow("ordinary") << "65536";
    QTest::newRow("2 GiB") << "2147483648";
}

void TestE2eUsb::connectAndIdentify() {
    QFETCH(QString, flashSize);
    const Run run =
        RunCli({"--name", "Тестовый модем №1", "--flash-size", flashSize, "--eeprom-size", "2048"},
               {"info"});
    QVERIFY2(run.ExitCode == 0, qPrintable(run.Dump()));
    const QStringList firstConnect{"Запуск программы",
                                   kOpened,
                                   "Запрос текущего состояния...",
                                   kEstablished,
                                   kOpened,
                                   "Запрос текущего состояния...",
                                   kDone};
    QCOMPARE(run.Log().mid(0, firstConnect.size()), firstConnect);
    // The sizes arrive whole; how the labels show them is the response handling's test.
    const QJsonObject info = run.Event("info");
    QCOMPARE(info["name"].toString(), QStringLiteral("Тестовый модем №1"));
    QCOMPARE(info["flash_size"].toInteger(), flashSize.toLongLong());
    QCOMPARE(info["eeprom_size"].toInteger(), 2048);

    // The identification goes out at the first poll answer; the reconnect that follows
    // queues the four queries again behind the four of the manual connect.
    const QStringList queries{kIdent, "53 52 51 01 01 00 10 08 00 00",
                              "53 52 51 01 01 00 20 18 00 00", "53 52 51 01 01 00 30 28 00 00"};
    QCOMPARE(run.Record.mid(0, 8), Repeat(queries, 2));
}

void TestE2eUsb::pollPingPongKeepsWatchdogAlive() {
    const Run run = RunConnected({}, 2, {"--watchdog-ms", "500"});
    QCOMPARE(run.ExitCode, 0);
    QVERIFY(run.Log().contains(kDone));
    QVERIFY2(!run.Log().contains(kWatchdog), qPrintable(run.Dump()));
    // After the queries, nothing but polls, each exactly its 8 bytes.
    const QStringList polls = run.Record.mid(8);
    QVERIFY2(polls.size() > 50, qPrintable(QString::number(polls.size())));
    QCOMPARE(polls, QStringList(polls.size(), kPoll));
    QCOMPARE(run.LogAfterConnect(), (QStringList{kClosing, kClosed})); // the close at exit
}

void TestE2eUsb::watchdogClosesSilentLink() {
    const Run run = RunConnected({"--silent-after", "12"}, 1, {"--watchdog-ms", "400"});
    QCOMPARE(run.ExitCode, 0);
    QCOMPARE(run.LogAfterConnect(), (QStringList{kWatchdog, kClosing, kClosed}));
    // Strict ping-pong: the frame after the last answer is sent, and then nothing.
    QCOMPARE(run.Record.size(), 13);
    QCOMPARE(run.Record.last(), kPoll);
}

void TestE2eUsb::adoptsKindFromFirstFrame() {
    const Run run = RunCli({"--kind", "2"}, {"info"});
    QCOMPARE(run.ExitCode, 0);
    QVERIFY(!run.Record.isEmpty());
    QCOMPARE(run.Record.first(), QStringLiteral("53 52 51 02 01 00 01 FA 00 00"));
    for (const QString& transfer : run.Record)
        QVERIFY2(transfer.startsWith(QStringLiteral("53 52 51 02 ")), qPrintable(transfer));
}

// With no signature accepted, the host only reads; the watchdog closes the link.
void TestE2eUsb::unsignedLinkNeverTransmits_data() {
    QTest::addColumn<QStringList>("device");
    QTest::newRow("kind 0") << QStringList{"--kind", "0"};
    QTest::newRow("kind 4") << QStringList{"--kind", "4"};
    QTest::newRow("no first frame") << QStringList{"--no-first-frame"};
}

void TestE2eUsb::unsignedLinkNeverTransmits() {
    QFETCH(QStringList, device);
    const Run run = RunConnected(device, 1, {"--watchdog-ms", "500"});
    QCOMPARE(run.ExitCode, 0);
    QCOMPARE(run.Record, QStringList());
    QCOMPARE(run.Log().mid(1),
             (QStringList{kOpened, "Запрос текущего состояния...", kWatchdog, kClosing, kClosed}));
}

void TestE2eUsb::transferFailuresRecover_data() {
    QTest::addColumn<QString>("fault");
    QTest::newRow("reads") << "--fail-in";
    QTest::newRow("sends") << "--fail-out";
}

void TestE2eUsb::transferFailuresRecover() {
    QFETCH(QString, fault);
    const Run run = RunConnected({"--latency-us", "0", fault, "60:3:EPIPE"}, 1,
                                 {"--watchdog-ms", "500", "--fault-pause-ms", "50"});
    QCOMPARE(run.ExitCode, 0);
    // Each failure: close, pause, reopen; the ping-pong then resumes, so the short watchdog
    // never fires. The last close is the one at exit.
    const QStringList expected =
        Repeat({kClosing, kClosed, kOpened}, 3) + QStringList{kClosing, kClosed};
    QCOMPARE(run.LogAfterConnect(), expected);
    QCOMPARE(run.Record.last(), kPoll);
}

void TestE2eUsb::twentiethFailureLeavesLinkClosed() {
    // Long enough for twenty reopens and the watchdog after them on a busy machine.
    const Run run = RunConnected({"--latency-us", "0", "--fail-in", "60:1000"}, 3,
                                 {"--watchdog-ms", "600", "--fault-pause-ms", "10"});
    QCOMPARE(run.ExitCode, 0);
    QStringList expected =
        Repeat({kClosing, kClosed, kOpened}, 19) + QStringList{kClosing, kClosed};
    // The watchdog still runs from the last reopen; its expiry finds nothing to close.
    expected << kWatchdog;
    QCOMPARE(run.LogAfterConnect(), expected);
}

void TestE2eUsb::unplugDuringPingPong_data() {
    QTest::addColumn<QStringList>("replug");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("back before the reopen")
        << QStringList{"--replug-after-ms", "20"}
        << QStringList{kClosing, kClosed, kOpened, kClosing, kClosed};
    QTest::newRow("gone for good")
        << QStringList() << QStringList{kClosing, kClosed, kCannotOpen, kWatchdog};
}

void TestE2eUsb::unplugDuringPingPong() {
    QFETCH(QStringList, replug);
    QFETCH(QStringList, expected);
    const Run run = RunConnected(QStringList{"--latency-us", "0", "--unplug-at", "200"} + replug, 2,
                                 {"--watchdog-ms", "500", "--fault-pause-ms", "400"});
    QCOMPARE(run.ExitCode, 0);
    QCOMPARE(run.LogAfterConnect(), expected);
}

// libusb 1.0 ends a hung URB at its own timeout (5 s) whatever the harness's --timeout-ms:
// the run outlasts it, and the watchdog the hang.
void TestE2eUsb::timedOutTransferRecovers() {
    const Run run =
        RunConnected({"--latency-us", "0", "--timeout-in", "100", "--timeout-ms", "300"}, 7,
                     {"--watchdog-ms", "6000", "--fault-pause-ms", "50"});
    QCOMPARE(run.ExitCode, 0);
    QCOMPARE(run.LogAfterConnect(), (QStringList{kClosing, kClosed, kOpened, kClosing, kClosed}));
}

void TestE2eUsb::wedgedProgramIsKilled() {
    QProcess process;
    process.start(QStringLiteral(KTR_HARNESS),
                  {"--quiet", "--kill-after-s", "1", "--", "/bin/sleep", "30"});
    QVERIFY(process.waitForFinished(kProcessBoundMs));
    QCOMPARE(process.exitCode(), 124);
}

QTEST_GUILESS_MAIN(TestE2eUsb)
#include "tst_e2e_usb.moc"
