// ktr-cli end to end on the real libusb against the simulated device played by umockdev:
// what each outcome exits with and says, what the device's memories hold afterwards, and
// that verify never writes.
#include "HexText.h"
#include "e2e/HarnessRun.h"

#include <QTcpServer>
#include <QTcpSocket>

using Bytes = std::vector<uint8_t>;

namespace {

// An Intel HEX image from objcopy, as a firmware build would hand it over.
bool ObjcopyHex(const QString& binary, const QString& hex) {
    QProcess objcopy;
    objcopy.start(QStringLiteral("objcopy"), {"-I", "binary", "-O", "ihex", binary, hex});
    return objcopy.waitForFinished() && objcopy.exitCode() == 0;
}

} // namespace

class TestE2eCli : public QObject {
    Q_OBJECT
private slots:
    void exitStatuses_data() {
        QTest::addColumn<QStringList>("harnessArgs");
        QTest::addColumn<QStringList>("cliArgs");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("says");

        QByteArray badChecksum = ToHex(RandomBytes(200));
        char& digit =
            badChecksum[badChecksum.indexOf("\r\n:", badChecksum.indexOf("\r\n:") + 1) - 1];
        digit = digit == '0' ? '1' : '0'; // the second record's checksum, still hex digits
        const QString bad = files_.Write("bad.hex", badChecksum);
        const QString big = files_.Write("big.bin", RandomBytes(200 * 1024));
        const QString image = files_.Write("fw.hex", ToHex(RandomBytes(0x2000)));
        const QString noEnd = files_.Write("noend.hex", QByteArray(":0100000000FF\r\n"));

        QTest::newRow("bad usage") << QStringList{} << QStringList{"write"} << 2 << "нужен файл";
        QTest::newRow("no device") << QStringList{} << QStringList{"info", "--device", "9:9"} << 3
                                   << "устройство 1000:6666 на 9:9 не найдено";
        QTest::newRow("missing file")
            << QStringList{} << QStringList{"write", "--flash", files_.Path("none.hex")} << 4
            << "не найден";
        QTest::newRow("bad checksum") << QStringList{} << QStringList{"write", "--flash", bad} << 4
                                      << "Ошибка формата файла в строке 2!";
        QTest::newRow("no end record") << QStringList{} << QStringList{"verify", "--flash", noEnd}
                                       << 4 << "нет записи конца файла";
        QTest::newRow("too large")
            << QStringList{"--flash-size", "65536"} << QStringList{"write", "--flash", big} << 4
            << "Файл слишком большой!";
        QTest::newRow("verify mismatch") << QStringList{"--mismatch-verify-at", "0x1000"}
                                         << QStringList{"write", "--flash", image} << 5
                                         << "ошибка верификации FLASH по адресу 1000h";
        QTest::newRow("unplug not back")
            << QStringList{"--unplug-at", "120"} << QStringList{"write", "--flash", image} << 3
            << "потеряна и не восстановлена";
        QVERIFY(busyPort_.listen(QHostAddress::LocalHost, 0));
        QTest::newRow("port in use")
            << QStringList{}
            << QStringList{"bridge", "--port", QString::number(busyPort_.serverPort())} << 2
            << "не открывается";
        QTest::newRow("silent device")
            << QStringList{"--no-first-frame"} << QStringList{"info", "--watchdog-ms", "300"} << 3
            << "не отвечает";
    }

    // Each outcome from a real situation: its status, one line on stderr, and for a refused
    // file not a single block sent.
    void exitStatuses() {
        QFETCH(QStringList, harnessArgs);
        QFETCH(QStringList, cliArgs);
        QFETCH(int, status);
        QFETCH(QString, says);
        const Run run = RunFast(harnessArgs, cliArgs);
        QVERIFY2(run.ExitCode == status, qPrintable(run.Dump()));
        QCOMPARE(run.Errors.size(), 1);
        QVERIFY2(run.Errors[0].startsWith("ktr-cli: ") && run.Errors[0].contains(says),
                 qPrintable(run.Errors[0]));
        if (status == 4) QCOMPARE(run.FramesOfType("11"), 0);
    }

    // Noise that forms a candidate of a kind not served just before the first frame (bytes of
    // an earlier session) does not refuse the device.
    void infoShowsTheDevice() {
        const Run run = RunUnderHarness({"--latency-us", "0", "--noise", "53525107", "--name",
                                         "Тестовый монитор", "--kind", "2", "--flash-size", "65536",
                                         "--eeprom-size", "2048", "--aux-size", "512"},
                                        {KTR_CLI, "info", "--quiet"});
        QVERIFY2(run.ExitCode == 0, qPrintable(run.Dump()));
        QCOMPARE(
            run.Output,
            (QStringList{"Устройство: Тестовый монитор", "Тип: 2 (Монитор контроллера дорожного)",
                         "FLASH: 65536 байт", "EEPROM: 2048 байт", "AUX: 512 байт", "Адрес: 1:2"}));
        QVERIFY(run.Errors.isEmpty());
    }

    // Every line a program reads is one JSON object: the log in order, progress that only
    // grows to the whole, the result last.
    void jsonParsedBack() {
        Files f;
        const QString data = f.Write("data.bin", RandomBytes(3000));
        const Run run = RunFast({}, {"write", "--eeprom", data});
        QVERIFY2(run.ExitCode == 0, qPrintable(run.Dump()));
        QStringList log;
        qint64 lastDone = -1, total = -1;
        for (const QString& line : run.Output) {
            const QJsonObject event = ParseJsonLine(line);
            QVERIFY2(!event.isEmpty(), qPrintable(line));
            const QString kind = event["event"].toString();
            if (kind == "log") log << event["text"].toString();
            if (kind == "progress") {
                QVERIFY(event["done_blocks"].toInteger() >= lastDone);
                lastDone = event["done_blocks"].toInteger();
                total = event["total_blocks"].toInteger();
                QCOMPARE(event["total_bytes"].toInteger(), 6000); // written, then verified
            }
            QVERIFY2(kind == "log" || kind == "step" || kind == "progress" || kind == "result",
                     qPrintable(line));
        }
        QCOMPARE(total, 24); // 12 blocks each way
        QCOMPARE(lastDone, total);
        QVERIFY(log.contains("Запуск прошивки EEPROM..."));
        QCOMPARE(log.count(kDone), 2); // the status answers, then the job
        const QJsonObject result = ParseJsonLine(run.Output.last());
        QCOMPARE(result["event"].toString(), "result");
        QCOMPARE(result["command"].toString(), "write");
        QCOMPARE(result["status"].toInt(), 0);
    }

    void objcopyHexWrittenToMemory() {
        Files f;
        const Bytes firmware = RandomBytes(100000); // extended address records
        const Bytes data = RandomBytes(1000);
        const QString binary = f.Write("fw.bin", firmware);
        QVERIFY(ObjcopyHex(binary, f.Path("fw.hex")));
        // Bytes before the first frame form a candidate of a kind not served first.
        const Run run =
            RunFast({"--noise", "53525107", "--dump-flash", f.Path("flash.dump"), "--dump-eeprom",
                     f.Path("eeprom.dump")},
                    {"write", "--flash", f.Path("fw.hex"), "--eeprom", f.Write("data.bin", data)});
        QVERIFY2(run.ExitCode == 0, qPrintable(run.Dump()));
        QCOMPARE(f.Read("flash.dump").left(qsizetype(firmware.size())), AsBytes(firmware));
        QCOMPARE(f.Read("eeprom.dump").left(qsizetype(data.size())), AsBytes(data));
    }

    // On one device: a write, a verify of the same file that passes, and a verify of a
    // changed file that fails at the changed block; neither verify sends a write.
    void verifyComparesWithoutWriting() {
        Files f;
        Bytes image = RandomBytes(0x3000);
        const QString original = f.Write("fw.bin", image);
        image[0x2345] ^= 0x5A;
        const QString changed = f.Write("changed.bin", image);
        const Run run = RunScript({},
                                  "for c in \"write --flash $1\" \"verify --flash $1\" "
                                  "\"verify --flash $2\"; do \"$0\" $c -q --fault-pause-ms 0; "
                                  "echo status $?; done",
                                  {original, changed});
        QCOMPARE(Statuses(run), (QStringList{"status 0", "status 0", "status 5"}));
        QCOMPARE(run.FramesOfType("11"), 0x30); // the write's own blocks, once each
        // The block at 2300h differs; halves of it find the byte.
        QCOMPARE(run.Errors, QStringList{"ktr-cli: ошибка верификации FLASH по адресу 2345h"});
    }

    // A backup read back equals what was written; the rest of the area reads erased.
    void eepromReadBack() {
        Files f;
        const Bytes data = RandomBytes(1500);
        const Run run =
            RunScript({"--eeprom-size", "4096", "--aux-size", "600"},
                      "\"$0\" write --eeprom \"$1\" -q; echo status $?; "
                      "\"$0\" read --eeprom \"$2\" --aux \"$3\" -q; echo status $?",
                      {f.Write("data.bin", data), f.Path("backup.bin"), f.Path("aux.bin")});
        QCOMPARE(Statuses(run), (QStringList{"status 0", "status 0"}));
        const QByteArray backup = f.Read("backup.bin");
        QCOMPARE(backup.size(), 4096);
        QCOMPARE(backup.left(1500), AsBytes(data));
        QCOMPARE(backup.mid(1500), QByteArray(4096 - 1500, '\xFF'));
        QCOMPARE(f.Read("aux.bin"), QByteArray(600, '\xFF'));
    }

    // Bytes from a TCP client reach the device and its echo comes back; Ctrl-C (here the
    // harness passing on SIGTERM) closes the link and ends with 0.
    void bridgeRelaysUntilInterrupted() {
        QProcess cli;
        cli.start(KTR_HARNESS, {"--quiet", "--kill-after-s", "30", "--latency-us", "0", "--",
                                KTR_CLI, "bridge", "--port", "0", "--json"});
        QStringList lines;
        int port = 0;
        QVERIFY(QTest::qWaitFor(
            [&] {
                while (cli.canReadLine())
                    lines << QString::fromUtf8(cli.readLine()).trimmed();
                for (const QString& line : lines)
                    if (const QJsonObject event = ParseJsonLine(line);
                        event["event"] == "listening")
                        port = event["port"].toInt();
                return port != 0;
            },
            kProcessBoundMs));
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, quint16(port));
        QVERIFY(client.waitForConnected());
        client.write("ping through the device");
        QByteArray received;
        QVERIFY(QTest::qWaitFor(
            [&] {
                received += client.readAll();
                return received.endsWith("ping through the device");
            },
            kProcessBoundMs));
        QCOMPARE(received, QByteArray("Welcome to TcpSrv\r\nping through the device"));
        cli.terminate();
        QVERIFY(cli.waitForFinished(kProcessBoundMs));
        QCOMPARE(cli.exitCode(), 0);
        lines += QString::fromUtf8(cli.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        QVERIFY(lines.contains(QStringLiteral("{\"event\":\"log\",\"text\":\"%1\"}").arg(kClosed)));
        const QJsonObject result = ParseJsonLine(lines.last());
        QCOMPARE(result["command"].toString(), "bridge");
        QCOMPARE(result["status"].toInt(), 0);
    }

private:
    Files files_;         // the data rows' files
    QTcpServer busyPort_; // a port the bridge cannot have
};

QTEST_GUILESS_MAIN(TestE2eCli)
#include "tst_e2e_cli.moc"
