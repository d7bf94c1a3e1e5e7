// The command line ktr-cli accepts and refuses, what it prints, and the command logic
// in-process on the simulated bus with several devices told apart by --device.
#include "CliCommands.h"
#include "SimUsbBus.h"

#include <QBuffer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <deque>

using namespace ktr;
using namespace ktr::cli;

namespace {

QList<QJsonObject> JsonEvents(const QByteArray& out, const QString& kind) {
    QList<QJsonObject> events;
    for (const QByteArray& line : out.split('\n'))
        if (const QJsonObject event = QJsonDocument::fromJson(line).object();
            event["event"].toString() == kind)
            events << event;
    return events;
}

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
        std::function<void(int)> interrupt;
        return RunCommand(Bus, options, output, interrupt);
    }

    // The JSON events of one kind printed by the last run.
    QList<QJsonObject> Events(const QString& kind) const { return JsonEvents(Out, kind); }
};

// What a CliOutput of one style printed.
struct Printed {
    QByteArray Out, Err;
    QBuffer OutBuffer{&Out}, ErrBuffer{&Err};
    CliOutput Output;

    explicit Printed(CliOutput::Style style) : Output(OutBuffer, ErrBuffer, style) {
        OutBuffer.open(QIODevice::WriteOnly);
        ErrBuffer.open(QIODevice::WriteOnly);
    }
    QStringList OutLines() const { return QString::fromUtf8(Out).split('\n', Qt::SkipEmptyParts); }
    QList<QJsonObject> Events(const QString& kind) const { return JsonEvents(Out, kind); }
};

const char kFirstName[] = "\xCF\xE5\xF0\xE2\xFB\xE9";  // "Первый" in code page 1251
const char kSecondName[] = "\xC2\xF2\xEE\xF0\xEE\xE9"; // "Второй"

} // namespace

class TestCli : public QObject {
    Q_OBJECT
private slots:
    // Each refusal names what is wrong, so that a script's author can mend the line.
    void refusedCommandLines_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("says");
        QTest::newRow("nothing") << QStringList{} << "не указана команда";
        QTest::newRow("unknown command") << QStringList{"flash"} << "«flash»";
        QTest::newRow("help on unknown command") << QStringList{"help", "flash"} << "«flash»";
        QTest::newRow("two commands") << QStringList{"info", "list"} << "«list»";
        QTest::newRow("unknown option") << QStringList{"info", "--verbos"} << "--verbos";
        QTest::newRow("switch with a value") << QStringList{"info", "--json=1"} << "--json";
        QTest::newRow("write without file") << QStringList{"write"} << "нужен файл";
        QTest::newRow("read without file") << QStringList{"read"} << "нужен файл";
        QTest::newRow("no FLASH read") << QStringList{"read", "--flash", "a.bin"} << "--flash";
        QTest::newRow("AUX is not written") << QStringList{"write", "--aux", "a.bin"} << "--aux";
        QTest::newRow("value missing") << QStringList{"write", "--flash"} << "--flash";
        QTest::newRow("value is the next option")
            << QStringList{"read", "--eeprom", "--quiet"} << "ключу --eeprom нужно значение";
        QTest::newRow("value is the next short option")
            << QStringList{"read", "--eeprom", "-q"} << "нужно значение, а не «-q»";
        QTest::newRow("empty value") << QStringList{"read", "--eeprom="} << "--eeprom";
        QTest::newRow("empty next argument") << QStringList{"read", "--eeprom", ""} << "--eeprom";
        QTest::newRow("short options run together") << QStringList{"info", "-qq"} << "-qq";
        QTest::newRow("end of options") << QStringList{"info", "--", "-q"} << "ключ --";
        QTest::newRow("repeated file")
            << QStringList{"write", "--flash", "a", "--flash", "b"} << "--flash указан дважды";
        QTest::newRow("repeated switch by both names")
            << QStringList{"info", "-q", "--quiet"} << "--quiet указан дважды";
        QTest::newRow("device without number") << QStringList{"info", "--device", "1"} << "1:2";
        QTest::newRow("device zero") << QStringList{"info", "--device", "0:2"} << "«0:2»";
        QTest::newRow("device on list") << QStringList{"list", "--device", "1:2"} << "list";
        QTest::newRow("same device twice")
            << QStringList{"info", "--device", "1:2", "--device", "1:2"} << "1:2 указано дважды";
        QTest::newRow("all and device")
            << QStringList{"info", "--all", "--device", "1:2"} << "исключают";
        QTest::newRow("bridge on two devices")
            << QStringList{"bridge", "--device", "1:2", "--device", "1:3"} << "одним устройством";
        QTest::newRow("all on configure") << QStringList{"configure", "--all"} << "--all";
        QTest::newRow("unknown format")
            << QStringList{"write", "--flash", "a", "--format", "bin"} << "auto, hex или raw";
        QTest::newRow("quiet and verbose") << QStringList{"info", "-q", "--verbose"} << "--verbose";
        QTest::newRow("port too high")
            << QStringList{"bridge", "--port", "65536"} << "от 0 до 65535";
        QTest::newRow("watchdog zero") << QStringList{"info", "--watchdog-ms", "0"} << "от 1 до";
        QTest::newRow("fault pause negative")
            << QStringList{"info", "--fault-pause-ms=-1"} << "от 0 до";
        QTest::newRow("port on info") << QStringList{"info", "--port", "1"} << "--port";
        QTest::newRow("link timeout on bridge")
            << QStringList{"bridge", "--link-timeout", "5"} << "--link-timeout";
        QTest::newRow("zero timeout") << QStringList{"info", "--timeout", "0"} << "от 1 до 604800";
        QTest::newRow("negative timeout") << QStringList{"info", "--timeout=-5"} << "от 1 до";
        QTest::newRow("timeout not a number") << QStringList{"info", "--timeout", "5s"} << "«5s»";
        QTest::newRow("link timeout too long")
            << QStringList{"info", "--link-timeout", "604801"} << "от 1 до 604800";
    }
    void refusedCommandLines() {
        QFETCH(QStringList, args);
        QFETCH(QString, says);
        CliOptions options;
        const QString problem = ParseCliOptions(args << "--json", options);
        QVERIFY2(problem.contains(says), qPrintable(problem));
        QVERIFY(options.Json); // the refusal is reported as a result object, of its command
        for (Command command : {Command::List, Command::Info, Command::Write, Command::Verify,
                                Command::Read, Command::Bridge, Command::Configure})
            if (args[0] == CommandName(command)) QCOMPARE(options.Cmd, command);
    }

    void acceptedCommandLines() {
        CliOptions options;
        QCOMPARE(ParseCliOptions({"--json", "write", "--eeprom=-e.eep", "--flash", "f.hex",
                                  "--device", "2:13", "-q", "--timeout", "90", "--watchdog-ms",
                                  "250", "--format", "raw", "--link-timeout", "7"},
                                 options),
                 QString());
        QCOMPARE(options.Cmd, Command::Write);
        QCOMPARE(options.FlashFile, "f.hex");
        QCOMPARE(options.EepromFile, "-e.eep");
        QCOMPARE(options.OneDevice(), (DeviceAddress{2, 13}));
        QVERIFY(options.Json && options.Quiet && !options.SeveralDevices());
        QCOMPARE(options.TimeoutS, 90);
        QCOMPARE(options.LinkTimeoutS, 7);
        QCOMPARE(options.Timings.WatchdogMs, 250);
        QCOMPARE(options.Format, JobRules::Format::Raw);

        QCOMPARE(ParseCliOptions({"read", "--device", "1:2", "--device", "1:3", "--eeprom",
                                  "{bus}-{dev}.bin", "--verbose"},
                                 options),
                 QString());
        QCOMPARE(options.Devices, (QList<DeviceAddress>{{1, 2}, {1, 3}}));
        QVERIFY(options.SeveralDevices() && options.Verbose);
        QCOMPARE(ParseCliOptions({"verify", "--all", "--flash", "f.hex"}, options), QString());
        QVERIFY(options.AllDevices && options.Devices.isEmpty());
        QCOMPARE(options.LinkTimeoutS, kDefaultLinkTimeoutS);
        QCOMPARE(options.Format, JobRules::Format::ByExtension);
        // What every command is said to take, list takes too.
        QCOMPARE(ParseCliOptions({"list", "--json", "--timeout", "5", "-q"}, options), QString());
    }

    // Help wins over anything else on the line, and is about the command named there.
    void helpAndVersion_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<Command>("cmd");
        QTest::addColumn<Command>("topic");
        QTest::newRow("--help") << QStringList{"--help"} << Command::Help << Command::None;
        QTest::newRow("help") << QStringList{"help"} << Command::Help << Command::None;
        QTest::newRow("help write")
            << QStringList{"help", "write"} << Command::Help << Command::Write;
        QTest::newRow("read --help with a missing value")
            << QStringList{"read", "--eeprom", "-h"} << Command::Help << Command::Read;
        QTest::newRow("--version")
            << QStringList{"info", "--version"} << Command::Version << Command::None;
    }
    void helpAndVersion() {
        QFETCH(QStringList, args);
        QFETCH(Command, cmd);
        QFETCH(Command, topic);
        CliOptions options;
        QCOMPARE(ParseCliOptions(args, options), QString());
        QCOMPARE(options.Cmd, cmd);
        QCOMPARE(options.HelpTopic, topic);
    }

    // The help lists every option a command takes, in its own help and in the whole one.
    void helpListsEverything() {
        const QString all = CliHelp();
        for (const char* word : {"list",           "info",          "write",
                                 "verify",         "read",          "bridge",
                                 "configure",      "--device",      "--all",
                                 "--flash",        "--eeprom",      "--aux",
                                 "--format",       "--port",        "--json",
                                 "--quiet",        "--verbose",     "--timeout",
                                 "--link-timeout", "--watchdog-ms", "--fault-pause-ms",
                                 "--poll-ms",      "--version"})
            QVERIFY2(all.contains(QLatin1String(word)), word);
        for (int status : ExitStatuses())
            QVERIFY2(all.contains(QStringLiteral("\n  %1 ").arg(status)), qPrintable(all));
        // The defaults are the constants', every placeholder filled.
        for (int value :
             {LinkTimings{}.WatchdogMs, LinkTimings{}.FaultPauseMs, LinkTimings{}.PollTickMs,
              int(kDefaultTcpPort), kDefaultTimeoutS, kDefaultLinkTimeoutS, kMaxTimeoutS})
            QVERIFY2(all.contains(QString::number(value)), qPrintable(QString::number(value)));
        QVERIFY(!all.contains('%'));
        const QString write = CliHelp(Command::Write);
        QVERIFY(write.contains("--format") && write.contains("--link-timeout"));
        QVERIFY(!write.contains("--port") && !write.contains("--aux"));
    }

    // The README's table of exit statuses has every status the program defines, and no other.
    void readmeTellsEveryStatus() {
        QFile readme(KTR_SOURCE_DIR "/README.md");
        QVERIFY(readme.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(readme.readAll());
        const QString table = text.mid(text.indexOf("| status | meaning |"));
        QList<int> told;
        static const QRegularExpression row(QStringLiteral("^\\| ([\\d, ]+) \\|"),
                                            QRegularExpression::MultilineOption);
        for (const auto& match : row.globalMatch(table.left(table.indexOf("\n\n"))))
            for (const QString& status : match.captured(1).split(", "))
                told << status.toInt();
        std::sort(told.begin(), told.end());
        QList<int> defined = ExitStatuses();
        std::sort(defined.begin(), defined.end());
        QCOMPARE(told, defined);
    }

    // Nothing a device sends acts on a terminal: its name shows escaped in every text line,
    // and whole in JSON.
    void deviceTextEscaped_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("shown");
        QTest::newRow("retitle") << "\x1b]0;evil\x07Имя"
                                 << "\\e]0;evil\\x07Имя";
        QTest::newRow("carriage return") << "a\rb\tc"
                                         << "a\\rb\\tc";
        QTest::newRow("C1 introducer") << "x\u009b2Jy"
                                       << "x\\x9b2Jy";
        QTest::newRow("direction override") << "ok\u202Egnp.exe"
                                            << "ok\\u202egnp.exe";
        QTest::newRow("plain") << "Контроллер №7"
                               << "Контроллер №7";
    }
    void deviceTextEscaped() {
        QFETCH(QString, name);
        QFETCH(QString, shown);
        std::vector<CommandDevice> devices{{{1, 2}, name}};
        Printed text({});
        text.Output.SetDevices(&devices);
        text.Output.Step("Запись", 0);
        devices[0].Result = Verdict{kExitMismatch, name, {}};
        text.Output.DeviceResult("write", 0);
        text.Output.Result("write", {kExitMismatch, "не выполнено", {}});
        QCOMPARE(text.OutLines().value(0), "[1:2 " + shown + "] Запись");
        QVERIFY2(text.Out.contains(shown.toUtf8()), text.Out); // the table's row
        QVERIFY2(text.Err.startsWith("ktr-cli: "), text.Err);
        for (const QByteArray& printed : {text.Out, text.Err})
            QVERIFY2(std::none_of(printed.begin(), printed.end(),
                                  [](char c) { return uint8_t(c) < 0x20 && c != '\n'; }),
                     printed);

        Printed json({.Json = true});
        json.Output.SetDevices(&devices);
        json.Output.Step("Запись", 0);
        QCOMPARE(json.Events("step").value(0)["name"].toString(), name);
    }

    // The bar redraws on one line however narrow the terminal: it drops figures, not wraps.
    void progressBarFitsTheWidth_data() {
        QTest::addColumn<int>("columns");
        QTest::addColumn<bool>("severalDevices");
        for (int columns : {120, 40, 24, 6})
            for (bool several : {false, true})
                QTest::addRow("%d columns, %s", columns, several ? "three devices" : "one device")
                    << columns << several;
    }
    void progressBarFitsTheWidth() {
        QFETCH(int, columns);
        QFETCH(bool, severalDevices);
        Printed text({.Terminal = true, .Columns = columns});
        std::vector<CommandDevice> devices{{{1, 2}}, {{1, 13}}, {{3, 104}}};
        if (severalDevices) text.Output.SetDevices(&devices);
        // The first and the last are drawn at once; others at most ten times a second.
        for (uint64_t done : {0, 1000, 123456}) {
            const JobProgress progress{done, 123456, done * 256, 123456 * 256, 81920.5, 3725};
            devices[1].Percent = progress.Percent(); // as the run keeps it
            text.Output.ShowProgress(progress, severalDevices ? 1 : -1);
        }
        const QList<QByteArray> redraws = text.Out.split('\r');
        QCOMPARE(redraws.size(), 3); // nothing before the first
        for (const QByteArray& redraw : redraws.mid(1)) {
            QVERIFY2(redraw.startsWith("\x1b[K") && !redraw.contains('\n'), redraw);
            QVERIFY2(QString::fromUtf8(redraw.mid(3)).size() < columns, redraw);
        }
        if (columns >= 40) QVERIFY2(redraws.last().contains("100%"), redraws.last());
    }

    // By default the steps, not the window's log; the log with --verbose and in JSON.
    void logOnlyWhenAsked() {
        for (const CliOutput::Style& style :
             {CliOutput::Style{}, CliOutput::Style{.Verbose = true}, CliOutput::Style{.Json = true},
              CliOutput::Style{.Json = true, .Quiet = true}}) {
            Printed printed(style);
            printed.Output.Log("Порт связи открыт. (USB)");
            printed.Output.Step("Запись FLASH");
            const bool log = printed.Out.contains("Порт связи");
            const bool step = printed.Out.contains("Запись FLASH");
            QCOMPARE(log, (style.Verbose || style.Json) && !style.Quiet);
            QCOMPARE(step, !style.Quiet);
        }
    }

    // Several devices: every event says whose it is, and the result which failed.
    void severalDevicesReported() {
        std::vector<CommandDevice> devices{{{1, 2}, "Первый"}, {{1, 3}}};
        Printed json({.Json = true});
        json.Output.SetDevices(&devices);
        json.Output.Step("Запись FLASH", 0);
        json.Output.ShowProgress({1, 2, 256, 512, 0, -1}, 1);
        devices[0].Result = Verdict{kExitDone, "записано и проверено", {}};
        devices[1].Result = Verdict{kExitMismatch, "ошибка верификации FLASH по адресу 100h", {}};
        json.Output.DeviceResult("write", 0);
        json.Output.DeviceResult("write", 1);
        json.Output.Result("write", {kExitMismatch, "не выполнено на 1 из 2 устройств: 1:3", {}});
        QCOMPARE(json.Events("step").value(0)["bus_dev"].toString(), "1:2");
        QCOMPARE(json.Events("step").value(0)["name"].toString(), "Первый");
        QCOMPARE(json.Events("progress").value(0)["bus_dev"].toString(), "1:3");
        QCOMPARE(json.Events("device_result").size(), 2);
        const QJsonObject result = json.Events("result").value(0);
        QCOMPARE(result["status"].toInt(), kExitMismatch);
        QCOMPARE(result["failed"].toArray(), QJsonArray{"1:3"});
        QCOMPARE(result["devices"].toArray().size(), 2);
        QCOMPARE(json.Err, "ktr-cli: не выполнено на 1 из 2 устройств: 1:3\n");

        devices = {{{1, 2}, "Первый", 0, Verdict{kExitDone, "проверено", {}}}};
        Printed text({});
        text.Output.SetDevices(&devices);
        text.Output.DeviceResult("verify", 0);
        text.Output.Result("verify", {kExitDone, "выполнено на всех устройствах (1)", {}});
        const QStringList lines = text.OutLines();
        QCOMPARE(lines.value(0), "[1:2 Первый] проверено");
        QVERIFY2(lines.value(2).startsWith("1:2         Первый  verify   проверено  "),
                 qPrintable(lines.join('\n')));
        QCOMPARE(lines.last(), "выполнено на всех устройствах (1)");
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

    // Refused before any device is asked: nothing would be left of one area's backup.
    void readIntoOneFileRefused() {
        Bench b;
        b.Plug(kFirstName, 1, 1);
        QTemporaryDir dir;
        const QString file = dir.filePath("b.bin");
        for (const auto& [args, says] :
             {std::pair{QStringList{"read", "--eeprom", file, "--aux", dir.filePath("./b.bin")},
                        "в один файл"},
              std::pair{QStringList{"read", "--all", "--eeprom", dir.filePath("{bus}.bin")},
                        "{bus} и {dev}"}}) {
            QCOMPARE(b.Run(args), kExitUsage);
            QVERIFY2(QString::fromUtf8(b.Err).contains(says), b.Err);
            QCOMPARE(b.Devices.front().FramesReceivedOfType(cmdEepromRead), 0u);
        }
        QVERIFY(!QFile::exists(file));
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
