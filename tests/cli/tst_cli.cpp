// The command logic in-process on the simulated bus: the command line it accepts and
// refuses, and several devices told apart by --device.
#include "CliSession.h"
#include "SimUsbBus.h"

#include <QBuffer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <deque>

using namespace ktr;
using namespace ktr::cli;

namespace {

struct Bench {
    sim::SimUsbBus Bus;
    std::deque<sim::DeviceModel> Devices;
    QByteArray Out, Err;

    sim::DeviceModel& Plug(const char* nameCp1251, uint32_t kind, int bus) {
        sim::DeviceConfig config;
        config.Name = nameCp1251;
        config.Kind = kind;
        Devices.emplace_back(config);
        Bus.Attach(Devices.back(), bus);
        return Devices.back();
    }

    int Run(QStringList args) {
        Out.clear();
        Err.clear();
        CliOptions options;
        const QString problem = ParseCliOptions(args << "--fault-pause-ms"
                                                     << "0"
                                                     << "--poll-ms"
                                                     << "5"
                                                     << "--json",
                                                options);
        if (!problem.isEmpty()) return kExitUsage;
        QBuffer out(&Out), err(&Err);
        out.open(QIODevice::WriteOnly);
        err.open(QIODevice::WriteOnly);
        CliOutput output(out, err, {options.Json, options.Quiet, false});
        CliSession session(Bus, options, output);
        return session.Run();
    }

    // The JSON events of one kind printed by the last run.
    QList<QJsonObject> Events(const QString& kind) const {
        QList<QJsonObject> events;
        for (const QByteArray& line : Out.split('\n')) {
            const QJsonObject event = QJsonDocument::fromJson(line).object();
            if (event["event"].toString() == kind) events << event;
        }
        return events;
    }
};

const char kFirstName[] = "\xCF\xE5\xF0\xE2\xFB\xE9";  // "Первый" in code page 1251
const char kSecondName[] = "\xC2\xF2\xEE\xF0\xEE\xE9"; // "Второй"

} // namespace

class TestCli : public QObject {
    Q_OBJECT
private slots:
    void refusedCommandLines_data() {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("nothing") << QStringList{};
        QTest::newRow("unknown command") << QStringList{"flash"};
        QTest::newRow("two commands") << QStringList{"info", "list"};
        QTest::newRow("unknown option") << QStringList{"info", "--verbose"};
        QTest::newRow("write without file") << QStringList{"write"};
        QTest::newRow("verify without file") << QStringList{"verify", "--json"};
        QTest::newRow("read without file") << QStringList{"read"};
        QTest::newRow("no FLASH read") << QStringList{"read", "--flash", "a.bin"};
        QTest::newRow("AUX is not written") << QStringList{"write", "--aux", "a.bin"};
        QTest::newRow("value missing") << QStringList{"write", "--flash"};
        QTest::newRow("device without number") << QStringList{"info", "--device", "1"};
        QTest::newRow("device zero") << QStringList{"info", "--device", "0:2"};
        QTest::newRow("device on list") << QStringList{"list", "--device", "1:2"};
        QTest::newRow("port too high") << QStringList{"bridge", "--port", "65536"};
        QTest::newRow("port on info") << QStringList{"info", "--port", "1"};
        QTest::newRow("zero timeout") << QStringList{"info", "--timeout", "0"};
        QTest::newRow("negative timeout") << QStringList{"info", "--timeout=-5"};
        QTest::newRow("timeout not a number") << QStringList{"info", "--timeout", "5s"};
    }
    void refusedCommandLines() {
        QFETCH(QStringList, args);
        CliOptions options;
        QVERIFY(!ParseCliOptions(args, options).isEmpty());
    }

    void acceptedCommandLine() {
        CliOptions options;
        QCOMPARE(
            ParseCliOptions({"--json", "write", "--eeprom=e.eep", "--flash", "f.hex", "--device",
                             "2:13", "-q", "--timeout", "90", "--watchdog-ms", "250"},
                            options),
            QString());
        QCOMPARE(options.Cmd, Command::Write);
        QCOMPARE(options.FlashFile, "f.hex");
        QCOMPARE(options.EepromFile, "e.eep");
        QCOMPARE(options.Bus, 2);
        QCOMPARE(options.Device, 13);
        QVERIFY(options.Json && options.Quiet);
        QCOMPARE(options.TimeoutS, 90);
        QCOMPARE(options.Timings.WatchdogMs, 250);
        QCOMPARE(ParseCliOptions({"info", "--help"}, options), QString());
        QCOMPARE(options.Cmd, Command::Help);
    }

    void devicesToldApartByDevice() {
        Bench b;
        sim::DeviceModel& first = b.Plug(kFirstName, 1, 1);
        sim::DeviceModel& second = b.Plug(kSecondName, 3, 1);
        b.Plug(kSecondName, 2, 4);

        QCOMPARE(b.Run({"list"}), kExitDone);
        QStringList listed;
        for (const QJsonObject& device : b.Events("device"))
            listed
                << QStringLiteral("%1:%2").arg(device["bus"].toInt()).arg(device["device"].toInt());
        QCOMPARE(listed, (QStringList{"1:2", "1:3", "4:2"}));

        QCOMPARE(b.Run({"info"}), kExitDone);
        QCOMPARE(b.Events("info").value(0)["name"].toString(), "Первый");
        QCOMPARE(b.Run({"info", "--device", "1:3"}), kExitDone);
        const QJsonObject info = b.Events("info").value(0);
        QCOMPARE(info["name"].toString(), "Второй");
        QCOMPARE(info["kind"].toInt(), 3);
        QCOMPARE(info["device"].toInt(), 3);
        QCOMPARE(b.Run({"info", "--device", "4:2"}), kExitDone);
        QCOMPARE(b.Events("info").value(0)["kind"].toInt(), 2);

        QCOMPARE(b.Run({"info", "--device", "1:4"}), kExitLink);
        QVERIFY2(b.Err.startsWith("ktr-cli: устройство 1000:6666 на 1:4 не найдено"), b.Err);

        // A write reaches the chosen device only.
        QTemporaryDir dir;
        QFile file(dir.filePath("data.bin"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(700, '\x5A'));
        file.close();
        QCOMPARE(b.Run({"write", "--eeprom", file.fileName(), "--device", "1:3"}), kExitDone);
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(second.Eeprom().data()), 700),
                 QByteArray(700, '\x5A'));
        QCOMPARE(first.FramesReceivedOfType(cmdEepromWrite), 0u);
    }

    void noDeviceListed() {
        Bench b;
        QCOMPARE(b.Run({"list"}), kExitLink);
        QVERIFY(b.Events("device").isEmpty());
        QCOMPARE(b.Events("result").value(0)["status"].toInt(), kExitLink);
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
