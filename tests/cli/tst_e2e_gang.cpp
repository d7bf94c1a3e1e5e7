// ktr-cli over several simulated devices at once, end to end on the real libusb: every device
// served over its own link, the others unaffected by one that mismatches, leaves or hangs.
#include "HexText.h"
#include "e2e/HarnessRun.h"

#include <QDir>
#include <QMap>

#include <csignal>

namespace {

// usbsim-harness --devices N puts its devices on bus 1 from device 2 on.
const QStringList kThree{"1:2", "1:3", "1:4"};

QByteArray RandomImage(size_t size) {
    const std::vector<uint8_t> bytes = RandomBytes(size);
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), qsizetype(size));
}

QString WriteFile(const QString& path, const QByteArray& content) {
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write(content);
    return path;
}

QByteArray ReadFile(const QString& path) {
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    return file.readAll();
}

// Each device's device_result event, by BUS:DEV.
QMap<QString, QJsonObject> DeviceResults(const QStringList& output) {
    QMap<QString, QJsonObject> results;
    for (const QString& line : output)
        if (const QJsonObject event = ParseJsonLine(line); event["event"] == "device_result")
            results[event["bus_dev"].toString()] = event;
    return results;
}

QStringList Failed(const Run& run) {
    QStringList failed;
    for (const QJsonValue& device : run.Event("result")["failed"].toArray())
        failed << device.toString();
    return failed;
}

} // namespace

class TestE2eGang : public QObject {
    Q_OBJECT
private slots:
    // Every event of a device carries its address and, once known, its name; each memory holds
    // the files afterwards.
    void everyDeviceWrittenAndVerified() {
        QTemporaryDir dir;
        const QByteArray flash = RandomImage(20000), eeprom = RandomImage(1000);
        const Run run =
            RunCli({"--devices", "3", "--latency-us", "0", "--dump-flash", dir.filePath("flash{n}"),
                    "--dump-eeprom", dir.filePath("eeprom{n}")},
                   {"write", "--all", "--flash", WriteFile(dir.filePath("fw.bin"), flash),
                    "--eeprom", WriteFile(dir.filePath("data.bin"), eeprom)});
        QVERIFY2(run.ExitCode == 0, qPrintable(run.Dump()));
        for (int n = 1; n <= 3; ++n) {
            QCOMPARE(ReadFile(dir.filePath("flash%1").arg(n)).left(flash.size()), flash);
            QCOMPARE(ReadFile(dir.filePath("eeprom%1").arg(n)).left(eeprom.size()), eeprom);
        }
        const QMap<QString, QJsonObject> results = DeviceResults(run.Output);
        QCOMPARE(results.keys(), kThree);
        for (int n = 1; n <= 3; ++n) {
            QCOMPARE(results[kThree[n - 1]]["status"].toInt(), 0);
            QCOMPARE(results[kThree[n - 1]]["name"].toString(),
                     QStringLiteral("Модем КТР-17 #%1").arg(n));
        }
        QMap<QString, int> starts; // one run per device
        for (const QString& line : run.Output) {
            const QJsonObject event = ParseJsonLine(line);
            QVERIFY2(event["event"] == "result" || kThree.contains(event["bus_dev"].toString()),
                     qPrintable(line));
            if (event["text"] == "Запуск программы") ++starts[event["bus_dev"].toString()];
        }
        QCOMPARE(starts.values(), QList<int>(3, 1));
        QCOMPARE(run.Event("result")["devices"].toArray().size(), 3);
        QVERIFY(Failed(run).isEmpty());
        QVERIFY(run.Errors.isEmpty());
    }

    void oneDeviceFails_data() {
        QTest::addColumn<QStringList>("fault"); // the harness options of device 2 (1:3)
        QTest::addColumn<QStringList>("cliArgs");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("says"); // a pattern
        QTest::newRow("mismatch") << QStringList{"--mismatch-verify-at", "0x1000"} << QStringList{}
                                  << 5 << "ошибка верификации FLASH";
        QTest::newRow("unplugged mid-write")
            << QStringList{"--unplug-at", "150"} << QStringList{} << 3 << "потеряна";
        // Its watchdog ends it while a transfer hangs, or, where each hung transfer ends in a
        // fault and a reopen first, its link timeout.
        QTest::newRow("hangs") << QStringList{"--hang-at", "150", "--timeout-ms", "200"}
                               << QStringList{"--timeout",      "6", "--watchdog-ms", "300",
                                              "--link-timeout", "1"}
                               << 3 << "не отвечает|не восстановлена";
    }

    // The device that fails is named; the others are written and verified all the same.
    void oneDeviceFails() {
        QFETCH(QStringList, fault);
        QFETCH(QStringList, cliArgs);
        QFETCH(int, status);
        QFETCH(QString, says);
        QTemporaryDir dir;
        const QByteArray flash = RandomImage(20000);
        const Run run = RunCli(
            QStringList{"--devices", "3", "--latency-us", "0", "--dump-flash",
                        dir.filePath("flash{n}"), "--on-device", "2"} +
                fault,
            QStringList{"write", "--device", "1:2", "--device", "1:3", "--device", "1:4", "--flash",
                        WriteFile(dir.filePath("fw.bin"), flash), "--fault-pause-ms", "0"} +
                cliArgs);
        QVERIFY2(run.ExitCode == status, qPrintable(run.Dump()));
        const QMap<QString, QJsonObject> results = DeviceResults(run.Output);
        QCOMPARE(results.keys(), kThree);
        QCOMPARE(results["1:3"]["status"].toInt(), status);
        QVERIFY2(results["1:3"]["message"].toString().contains(QRegularExpression(says)),
                 qPrintable(run.Dump()));
        // What the write left on the device comes through as the device's own command said it.
        if (status == 5) QVERIFY(results["1:3"]["partial"].isArray());
        for (int n : {1, 3}) {
            QVERIFY2(results[kThree[n - 1]]["status"].toInt() == 0, qPrintable(run.Dump()));
            QCOMPARE(ReadFile(dir.filePath("flash%1").arg(n)).left(flash.size()), flash);
        }
        QCOMPARE(Failed(run), QStringList{"1:3"});
        // umockdev may add a line of its own for a transfer left hanging.
        QCOMPARE(run.Errors.filter("ktr-cli: не выполнено на 1 из 3 устройств: 1:3").size(), 1);
    }

    // SIGTERM to the program reaches every device: each ends its command cleanly and reports,
    // long before its image is through.
    void interruptReachesEveryDevice() {
        QTemporaryDir dir;
        QProcess harness;
        harness.start(KTR_HARNESS, {"--quiet", "--kill-after-s", "30", "--devices", "2",
                                    "--flash-size", "262144", "--answer-delay-us", "2000", "--",
                                    KTR_CLI, "write", "--all", "--json", "--flash",
                                    WriteFile(dir.filePath("fw.bin"), RandomImage(262144))});
        QStringList lines;
        QVERIFY(QTest::qWaitFor(
            [&] {
                while (harness.canReadLine())
                    lines << QString::fromUtf8(harness.readLine()).trimmed();
                QSet<QString> busy;
                for (const QString& line : lines)
                    if (const QJsonObject event = ParseJsonLine(line);
                        event["event"] == "progress" && event["done_blocks"].toInt() > 0)
                        busy << event["bus_dev"].toString();
                return busy.size() == 2;
            },
            kProcessBoundMs));
        harness.terminate();
        QVERIFY(harness.waitForFinished(kProcessBoundMs));
        lines += QString::fromUtf8(harness.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        QVERIFY2(harness.exitCode() == 128 + SIGTERM, qPrintable(lines.join('\n')));
        const QMap<QString, QJsonObject> results = DeviceResults(lines);
        QCOMPARE(results.keys(), (QStringList{"1:2", "1:3"}));
        for (const QJsonObject& result : results)
            QCOMPARE(result["status"].toInt(), 128 + SIGTERM);
    }

    // One file per device from the pattern, never outside its folder whatever the device's
    // name; a pattern that gives two devices one file reads nothing.
    void readFilesFromPattern() {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkpath("backup/twins"));
        const QString backup = dir.filePath("backup/");
        const Run run = RunCli({"--devices", "2", "--latency-us", "0", "--on-device", "1", "--name",
                                "../up", "--eeprom-size", "1024", "--on-device", "2",
                                "--eeprom-size", "2048", "--aux-size", "512"},
                               {"read", "--all", "--eeprom", backup + "{name}.eep", "--aux",
                                backup + "aux-{bus}-{dev}.bin"});
        QVERIFY2(run.ExitCode == 0, qPrintable(run.Dump()));
        QCOMPARE(ReadFile(backup + ".._up.eep"), QByteArray(1024, '\xFF'));
        QCOMPARE(ReadFile(backup + "Модем КТР-17 #2.eep"), QByteArray(2048, '\xFF'));
        QCOMPARE(ReadFile(backup + "aux-1-2.bin").size(), 8192);
        QCOMPARE(ReadFile(backup + "aux-1-3.bin").size(), 512);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{});

        const Run twins = RunCli({"--devices", "2", "--latency-us", "0", "--on-device", "1",
                                  "--name", "Близнец", "--on-device", "2", "--name", "Близнец"},
                                 {"read", "--all", "--eeprom", backup + "twins/{name}.eep"});
        QVERIFY2(twins.ExitCode == 2, qPrintable(twins.Dump()));
        QCOMPARE(twins.Errors.size(), 1);
        QVERIFY2(twins.Errors[0].contains("twins/Близнец.eep"), qPrintable(twins.Errors[0]));
        QCOMPARE(QDir(backup + "twins").entryList(QDir::Files), QStringList{});
    }
};

QTEST_GUILESS_MAIN(TestE2eGang)
#include "tst_e2e_gang.moc"
