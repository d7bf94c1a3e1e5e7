// ktr-cli end to end on the real libusb against the simulated device, for a production line
// that acts on the exit status: the device holds what the file says or the command says
// what it left, a device that cannot be served ends the command with 3, and a signal ends it
// even while a transfer hangs.
#include "HexText.h"
#include "e2e/HarnessRun.h"

#include <QStandardPaths>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

using Bytes = std::vector<uint8_t>;

namespace {

// Intel HEX of image without the data records that start inside [from, to) of each hole.
QByteArray HexWithHoles(const Bytes& image, const QList<std::pair<int, int>>& holes) {
    QByteArray text;
    for (const QByteArray& line : ToHex(image).split('\n')) {
        const int address = line.mid(3, 4).toInt(nullptr, 16);
        const bool inHole = std::any_of(holes.begin(), holes.end(), [&](const auto& hole) {
            return address >= hole.first && address < hole.second;
        });
        if (line.isEmpty() || (line.mid(7, 2) == "00" && inHole)) continue;
        text += line + '\n';
    }
    return text;
}

// ktr-cli --json under the harness, left running so that it can be signalled meanwhile.
class Running {
public:
    Running(const QStringList& harnessArgs, const QStringList& cliArgs,
            const QString& program = KTR_CLI) {
        process_.start(KTR_HARNESS, QStringList{"--quiet", "--kill-after-s", "30", "--stats",
                                                dir_.filePath("stats.txt")} +
                                        harnessArgs + QStringList{"--", program} + cliArgs +
                                        QStringList{"--json"});
    }
    ~Running() {
        if (process_.state() == QProcess::NotRunning) return;
        process_.kill();
        process_.waitForFinished();
    }
    // Waits for a progress event with at least doneBlocks done.
    bool WaitForProgress(int64_t doneBlocks) {
        return QTest::qWaitFor(
            [&] {
                Read();
                return std::any_of(lines_.begin(), lines_.end(), [&](const QString& line) {
                    const QJsonObject event = ParseJsonLine(line);
                    return event["event"] == "progress" &&
                           event["done_blocks"].toInteger() >= doneBlocks;
                });
            },
            kProcessBoundMs);
    }
    // Waits until the program has printed nothing for quietMs: its transfers stand still.
    bool WaitForSilence(int quietMs) {
        QElapsedTimer quiet;
        quiet.start();
        return QTest::qWaitFor(
            [&] {
                if (Read()) quiet.restart();
                return quiet.elapsed() >= quietMs;
            },
            kProcessBoundMs);
    }
    // The harness hands the signal on to the program.
    void Signal(int signal) { ::kill(pid_t(process_.processId()), signal); }
    // The exit status (124: the harness had to kill it), or -1 if it did not end.
    int Finish() {
        if (!process_.waitForFinished(kProcessBoundMs)) return -1;
        Read();
        return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
    }
    QJsonObject Result() const {
        return lines_.isEmpty() ? QJsonObject() : ParseJsonLine(lines_.last());
    }
    // A count from the harness's --stats, written when the program has ended.
    int64_t Stat(const QString& key) const {
        QFile file(dir_.filePath("stats.txt"));
        if (!file.open(QIODevice::ReadOnly)) return -1;
        for (const QString& line : QString::fromLatin1(file.readAll()).split('\n'))
            if (line.startsWith(key + ' ')) return line.mid(key.size() + 1).toLongLong();
        return -1;
    }
    QString Dump() const { return lines_.join('\n') + '\n' + errors_; }

private:
    bool Read() {
        bool any = false;
        while (process_.canReadLine()) {
            lines_ << QString::fromUtf8(process_.readLine()).trimmed();
            any = true;
        }
        errors_ += QString::fromUtf8(process_.readAllStandardError());
        return any;
    }

    QTemporaryDir dir_;
    QProcess process_;
    QStringList lines_;
    QString errors_;
};

// What a failed write left, from the result: {memory, written, write blocks, verified, verify
// blocks} of each memory.
QList<QList<QVariant>> Partial(const QJsonObject& result) {
    QList<QList<QVariant>> memories;
    for (const QJsonValue& value : result["partial"].toArray()) {
        const QJsonObject memory = value.toObject();
        memories << QList<QVariant>{
            memory["memory"].toString(), memory["blocks_written"].toInteger(),
            memory["write_blocks"].toInteger(), memory["blocks_verified"].toInteger(),
            memory["verify_blocks"].toInteger()};
    }
    return memories;
}

} // namespace

class TestE2eTrust : public QObject {
    Q_OBJECT
private slots:
    // --- Data on the device ---

    // A backup read from the device restores it over whatever was written since: read,
    // write and verify of the same file pass, and the EEPROM equals the file.
    void eepromBackupRestores() {
        Files f;
        const Run run = RunScript(
            // More than one window of the read, so the backup is streamed in two pieces.
            {"--eeprom-size", "70000", "--dump-eeprom", f.Path("eeprom.dump")},
            "for c in \"write --eeprom $1\" \"read --eeprom $2\" \"write --eeprom $3\" "
            "\"write --eeprom $2\" \"verify --eeprom $2\"; do \"$0\" $c -q; echo status $?; done",
            {f.Write("data.bin", AsBytes(RandomBytes(1500))), f.Path("backup.bin"),
             f.Write("other.bin", AsBytes(RandomBytes(2000)))});
        QCOMPARE(Statuses(run), QStringList(5, "status 0"));
        QCOMPARE(f.Read("backup.bin").size(), 70000);
        QCOMPARE(f.Read("eeprom.dump"), f.Read("backup.bin"));
    }

    // The write fills a HEX file's holes from a state that depends on what the process read
    // before; a verify in a process of its own compares the bytes the file defines alone, so
    // it passes, and a byte changed in a block shorter than 256 is named.
    void hexHolesVerifyInAnyProcess() {
        Files f;
        const Bytes flash = RandomBytes(0x800);
        const Bytes eeprom = RandomBytes(0x300);
        Bytes changed = eeprom;
        changed[0x2A5] ^= 0x5A; // in the block of 80h bytes that ends the run from 180h
        const Run run = RunScript(
            {"--dump-eeprom", f.Path("eeprom.dump")},
            "\"$0\" write --flash $1 --eeprom $2 -q; echo status $?; "
            "for c in \"verify --eeprom $2\" \"verify --flash $1\" \"verify --eeprom $3\"; "
            "do \"$0\" $c -q; echo status $?; done",
            {f.Write("gap.hex", HexWithHoles(flash, {{0x200, 0x600}})),
             f.Write("gapee.eep", HexWithHoles(eeprom, {{0x100, 0x180}})),
             f.Write("changed.eep", HexWithHoles(changed, {{0x100, 0x180}}))});
        QCOMPARE(Statuses(run), (QStringList{"status 0", "status 0", "status 0", "status 5"}));
        QCOMPARE(run.Errors, QStringList{"ktr-cli: ошибка верификации EEPROM по адресу 2A5h"});
        const QByteArray dump = f.Read("eeprom.dump");
        QCOMPARE(dump.left(0x100), AsBytes(eeprom, 0, 0x100));
        QCOMPARE(dump.mid(0x180, 0x180), AsBytes(eeprom, 0x180));
    }

    void imagesRefusedBeforeWriting_data() {
        QTest::addColumn<QStringList>("cliArgs");
        QTest::addColumn<QString>("says");
        const QString hexText = files_.Write("data.hex", ToHex(RandomBytes(300)));
        const QString binaryHex = files_.Write("fw.hex", AsBytes(RandomBytes(4096)));
        const QString empty = files_.Write("empty.bin", QByteArray());
        const QString endOnly = files_.Write("end.hex", ":00000001FF\r\n");
        const QString endOnlyEep = files_.Write("end.eep", ":00000001FF\r\n");
        const QString emptyText = QStringLiteral("не принят: образ пуст: в файле нет данных");

        QTest::newRow("HEX text named raw")
            << QStringList{"write", "--eeprom", hexText} << "укажите --format hex";
        QTest::newRow("binary named HEX")
            << QStringList{"write", "--flash", binaryHex} << "укажите --format raw";
        QTest::newRow("empty FLASH write") << QStringList{"write", "--flash", empty} << emptyText;
        QTest::newRow("empty EEPROM write") << QStringList{"write", "--eeprom", empty} << emptyText;
        QTest::newRow("end record alone, FLASH verify")
            << QStringList{"verify", "--flash", endOnly} << emptyText;
        QTest::newRow("end record alone, EEPROM verify")
            << QStringList{"verify", "--eeprom", endOnlyEep} << emptyText;
    }

    // Nothing reaches the device from a file that is not what its name says or holds nothing.
    void imagesRefusedBeforeWriting() {
        QFETCH(QStringList, cliArgs);
        QFETCH(QString, says);
        const Run run = RunFast({}, cliArgs);
        QVERIFY2(run.ExitCode == 4, qPrintable(run.Dump()));
        QCOMPARE(run.Errors.size(), 1);
        QVERIFY2(run.Errors[0].contains(says), qPrintable(run.Errors[0]));
        QCOMPARE(run.FramesOfType("11") + run.FramesOfType("21"), 0);
    }

    // Told that a ".hex" EEPROM file is Intel HEX, the command writes its bytes, not its text.
    void hexTextWrittenWhenToldSo() {
        Files f;
        const Bytes data = RandomBytes(300);
        const Run run =
            RunFast({"--dump-eeprom", f.Path("eeprom.dump")},
                    {"write", "--eeprom", f.Write("data.hex", ToHex(data)), "--format", "hex"});
        QVERIFY2(run.ExitCode == 0, qPrintable(run.Dump()));
        QCOMPARE(f.Read("eeprom.dump").left(300), AsBytes(data));
    }

    void failedWriteSaysWhatItLeft_data() {
        QTest::addColumn<QStringList>("harnessArgs");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("says");
        QTest::addColumn<bool>("writeDone"); // the write pass ended before the failure

        // The device reports one verify of 1000h as differing, and no verify of a half of
        // that block differs: the block's address, said to be one.
        QTest::newRow("mismatch that does not repeat")
            << QStringList{"--mismatch-verify-at", "0x1000"} << 5
            << "ошибка верификации FLASH по адресу 1000h (адрес блока; при повторной проверке "
               "отличие не повторилось)"
            << true;
        QTest::newRow("unplugged mid-write")
            << QStringList{"--unplug-at", "60"} << 3 << "потеряна и не восстановлена" << false;
    }

    // The text and the result's "partial" tell the same counts: for a mismatch at block 16 of
    // 32, every block written and the first 16 verified; for an unplug, part of the write.
    void failedWriteSaysWhatItLeft() {
        QFETCH(QStringList, harnessArgs);
        QFETCH(int, status);
        QFETCH(QString, says);
        QFETCH(bool, writeDone);
        Files f;
        const Run run = RunFast(
            harnessArgs, {"write", "--flash", f.Write("fw.bin", AsBytes(RandomBytes(0x2000)))});
        QVERIFY2(run.ExitCode == status, qPrintable(run.Dump()));
        const QList<QList<QVariant>> partial = Partial(run.Event("result"));
        QCOMPARE(partial.size(), 1);
        const QList<QVariant>& flash = partial[0];
        QCOMPARE(flash[0].toString(), "FLASH");
        QCOMPARE(flash[2].toInt(), 32);
        QCOMPARE(flash[4].toInt(), 32);
        if (writeDone) {
            QCOMPARE(flash[1].toInt(), 32);
            QCOMPARE(flash[3].toInt(), 16);
        } else {
            QVERIFY2(flash[1].toInt() > 0 && flash[1].toInt() < 32, qPrintable(run.Dump()));
            QCOMPARE(flash[3].toInt(), 0);
        }
        QCOMPARE(run.Errors.size(), 1);
        const QString left = QStringLiteral("устройство может быть записано частично: FLASH "
                                            "записано %1 из 32 блоков, проверено %2 из 32")
                                 .arg(flash[1].toInt())
                                 .arg(flash[3].toInt());
        QVERIFY2(run.Errors[0].contains(says) && run.Errors[0].endsWith(left),
                 qPrintable(run.Errors[0]));
    }

    // --- Exit status ---

    void deviceNotServedEndsWithThree_data() {
        QTest::addColumn<QString>("library");
        QTest::addColumn<QStringList>("harnessArgs");
        QTest::addColumn<QStringList>("cliArgs");
        QTest::addColumn<QString>("says");
        const QString flash = files_.Write("fw64k.bin", AsBytes(RandomBytes(0x10000)));

        // Said as soon as the kind is known, not as a silent device after the watchdog.
        QTest::newRow("unknown kind")
            << "" << QStringList{"--kind", "4"} << QStringList{"info"}
            << "устройство 1000:6666 ответило как тип 4, который эта программа не обслуживает";
        QTest::newRow("answers, never identifies")
            << "" << QStringList{"--ignore-type", "0x01"}
            << QStringList{"info", "--link-timeout", "1"} << "не опознано за 1 с";
        // From about block 38 of the write on, every transfer times out. libusb 1.0 URBs hang
        // for the program's own 5 s whatever the harness says.
        for (const QString library : {"libusb0", "libusb1"})
            QTest::addRow("transfers time out, %s", qPrintable(library))
                << library << QStringList{"--hang-at", "100", "--timeout-ms", "300"}
                << QStringList{"write", "--flash", flash, "--link-timeout", "1"}
                << "связь с устройством 1000:6666 не восстановлена за 1 с";
        QTest::newRow("read of a claimed 4 GiB EEPROM")
            << "" << QStringList{"--claim-eeprom-size", "4294967295"}
            << QStringList{"read", "--eeprom", files_.Path("huge.bin")}
            << "чтение EEPROM отклонено: устройство сообщило размер 4294967295 байт, больше "
               "предела 67108864 байт";
    }

    void deviceNotServedEndsWithThree() {
        QFETCH(QString, library);
        QFETCH(QStringList, harnessArgs);
        QFETCH(QStringList, cliArgs);
        QFETCH(QString, says);
        const Library use(library);
        const Run run = RunFast(harnessArgs, cliArgs);
        QVERIFY2(run.ExitCode == 3, qPrintable(run.Dump()));
        QCOMPARE(run.Errors.size(), 1);
        QVERIFY2(run.Errors[0].startsWith("ktr-cli: ") && run.Errors[0].contains(says),
                 qPrintable(run.Errors[0]));
        QVERIFY(!QFileInfo::exists(files_.Path("huge.bin")));
    }

    void fileErrorsSayWhatIsWrong_data() {
        QTest::addColumn<QStringList>("command");
        QTest::addColumn<QString>("says");
        const QString folder = files_.Path("folder");
        const QString fifo = files_.Path("fifo");
        QDir().mkpath(folder);
        QVERIFY(mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
        // Root passes permission checks: the program runs without that capability.
        QDir().mkpath(files_.Path("locked"));
        QVERIFY(QFile::setPermissions(files_.Path("locked"), QFile::ReadOwner | QFile::ExeOwner |
                                                                 QFile::ReadOther |
                                                                 QFile::ExeOther));
        const QStringList unprivileged =
            geteuid() == 0
                ? QStringList{"setpriv", "--bounding-set=-dac_override,-dac_read_search", "--"}
                : QStringList{};

        QTest::newRow("FLASH a directory") << QStringList{KTR_CLI, "write", "--flash", folder}
                                           << "«" + folder + "» является каталогом";
        QTest::newRow("EEPROM a FIFO") << QStringList{KTR_CLI, "verify", "--eeprom", fifo}
                                       << "«" + fifo + "» не является обычным файлом";
        QTest::newRow("read into a FIFO") << QStringList{KTR_CLI, "read", "--eeprom", fifo}
                                          << "«" + fifo + "» не является обычным файлом";
        QTest::newRow("read into a folder not writable")
            << unprivileged + QStringList{KTR_CLI, "read", "--eeprom", files_.Path("locked/b.bin")}
            << "не может быть записан: " + QString::fromLocal8Bit(std::strerror(EACCES));
    }

    // Files are checked before the device is looked for: no harness needed.
    void fileErrorsSayWhatIsWrong() {
        QFETCH(QStringList, command);
        QFETCH(QString, says);
        if (command[0] == "setpriv" && QStandardPaths::findExecutable("setpriv").isEmpty())
            QSKIP("no setpriv to run the program without root's permissions");
        QProcess cli;
        cli.start(command[0], command.mid(1));
        QVERIFY(cli.waitForFinished(kProcessBoundMs));
        const QString errors = QString::fromUtf8(cli.readAllStandardError()).trimmed();
        QVERIFY2(cli.exitCode() == 4, qPrintable(errors));
        QVERIFY2(errors.startsWith("ktr-cli: ") && errors.contains(says) && !errors.contains('\n'),
                 qPrintable(errors));
    }

    // --- Time to exit ---

    void signalEndsTheCommand_data() {
        QTest::addColumn<QString>("library");
        QTest::addColumn<bool>("hung");
        QTest::addColumn<int>("signal"); // 0: --timeout
        QTest::addColumn<int>("status");
        QTest::newRow("SIGINT mid-write") << "" << false << SIGINT << 130;
        QTest::newRow("SIGTERM mid-write") << "" << false << SIGTERM << 143;
        for (const QString library : {"libusb0", "libusb1"}) {
            QTest::addRow("SIGINT in a hung transfer, %s", qPrintable(library))
                << library << true << SIGINT << 130;
            QTest::addRow("timeout in a hung transfer, %s", qPrintable(library))
                << library << true << 0 << 3;
        }
        QTest::newRow("SIGHUP in a hung transfer") << "" << true << SIGHUP << 129;
    }

    // The status tells the signal or the timeout, and the result what the write left. A
    // transfer that hangs for a minute from about block 38 on does not hold the program: its
    // event loop ends the command within a second, while the hang still stands.
    void signalEndsTheCommand() {
        QFETCH(QString, library);
        QFETCH(bool, hung);
        QFETCH(int, signal);
        QFETCH(int, status);
        Files f;
        const Library use(library);
        const QStringList harnessArgs =
            hung ? QStringList{"--latency-us", "0", "--hang-at", "100", "--timeout-ms", "60000"}
                 : QStringList{"--latency-us", "2000"};
        QStringList cliArgs{"write", "--flash", f.Write("fw.bin", AsBytes(RandomBytes(0x10000)))};
        if (signal == 0)
            cliArgs << "--timeout"
                    << "2";
        QElapsedTimer clock;
        clock.start();
        Running cli(harnessArgs, cliArgs);
        QVERIFY2(cli.WaitForProgress(hung ? 0 : 1), qPrintable(cli.Dump()));
        if (hung) QVERIFY(cli.WaitForSilence(signal == 0 ? 500 : 1000));
        if (signal != 0) {
            cli.Signal(signal);
            clock.restart();
        }
        QCOMPARE(cli.Finish(), status);
        // From the signal, or from the start to the deadline and beyond it.
        QVERIFY2(clock.elapsed() < (signal == 0 ? 3000 : 1000), qPrintable(cli.Dump()));
        const QJsonObject result = cli.Result();
        QCOMPARE(result["event"].toString(), "result");
        QCOMPARE(result["status"].toInt(), status);
        if (hung) // the program never got past the hung transfer
            QVERIFY(cli.Stat("in_transfers") + cli.Stat("out_transfers") >= 100);
        QVERIFY2(result["message"].toString().startsWith(
                     signal == 0 ? "истекло время ожидания (2 с); " : "прервано; ") &&
                     result["message"].toString().contains("может быть записано частично") &&
                     Partial(result).size() == 1,
                 qPrintable(cli.Dump()));
    }

    void configuratorThatNeverReturns_data() {
        QTest::addColumn<int>("signal"); // 0: --timeout
        QTest::addColumn<int>("status");
        QTest::newRow("SIGTERM") << SIGTERM << 143;
        QTest::newRow("timeout") << 0 << 3;
    }

    // A configurator's CfgExec that never returns holds the event loop; the command ends all
    // the same, soon after the signal or its deadline, and says why.
    void configuratorThatNeverReturns() {
        QFETCH(int, signal);
        QFETCH(int, status);
        QTemporaryDir dir; // the library is looked for beside the program first
        const QString program = dir.filePath("ktr-cli");
        QVERIFY(QFile::copy(KTR_CLI, program));
        QVERIFY(QFile::copy(KTR_SPINNING_CONFIGURATOR, dir.filePath("libktr17cfg.so")));
        QElapsedTimer clock;
        clock.start();
        Running cli({"--kind", "1"},
                    signal == 0 ? QStringList{"configure", "--timeout", "1"}
                                : QStringList{"configure"},
                    program);
        if (signal != 0) {
            QVERIFY(cli.WaitForSilence(500));
            cli.Signal(signal);
            clock.restart();
        }
        QCOMPARE(cli.Finish(), status);
        QVERIFY2(clock.elapsed() < (signal == 0 ? 2500 : 1500), qPrintable(cli.Dump()));
        const QJsonObject result = cli.Result();
        QCOMPARE(result["status"].toInt(), status);
        QCOMPARE(result["message"].toString(),
                 (signal == 0 ? QStringLiteral("истекло время ожидания (1 с)")
                              : QStringLiteral("прервано")) +
                     " (конфигуратор не вернул управление)");
    }

private:
    Files files_; // the data rows' files
};

QTEST_GUILESS_MAIN(TestE2eTrust)
#include "tst_e2e_trust.moc"
