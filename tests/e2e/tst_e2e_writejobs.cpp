// Whole write jobs through the real libusb and the virtual USB device: what the device's
// memories hold afterwards is what the files said, even across a verify error or an unplug.
#include "HarnessRun.h"
#include "HexText.h"

using Bytes = std::vector<uint8_t>;

namespace {
const QString kFlashStart = QStringLiteral("Запуск прошивки основной программы...");
const QString kEepromStart = QStringLiteral("Запуск прошивки EEPROM...");

struct JobRun {
    QTemporaryDir Dir;
    QString Path(const char* name) const { return Dir.filePath(QString::fromLatin1(name)); }
    QString Write(const char* name, const QByteArray& content) const {
        QFile f(Path(name));
        f.open(QIODevice::WriteOnly);
        f.write(content);
        return Path(name);
    }
    Bytes Dump(const char* name) const {
        QFile f(Path(name));
        f.open(QIODevice::ReadOnly);
        const QByteArray bytes = f.readAll();
        return Bytes(bytes.begin(), bytes.end());
    }
    // Runs both jobs (either may be absent) once the device is identified.
    Run Start(const QStringList& harnessArgs, const QString& flash, const QString& eeprom = {},
              const QStringList& programArgs = {}) {
        QStringList program = QStringList{"write"} + programArgs;
        if (!flash.isEmpty()) program << "--flash" << flash;
        if (!eeprom.isEmpty()) program << "--eeprom" << eeprom;
        return RunCli(QStringList{"--latency-us", "0", "--flash-size", "262144", "--eeprom-size",
                                  "8192", "--dump-flash", Path("flash.bin"), "--dump-eeprom",
                                  Path("eeprom.bin")} +
                          harnessArgs,
                      program);
    }
};

bool StartsWith(const Bytes& memory, const Bytes& image) {
    return memory.size() >= image.size() && std::equal(image.begin(), image.end(), memory.begin());
}
} // namespace

class TestE2eWriteJobs : public QObject {
    Q_OBJECT
private slots:
    void bothImagesWrittenAndVerified() {
        JobRun j;
        const Bytes firmware = RandomBytes(100000); // HEX above 64 KiB
        const Bytes data = RandomBytes(3000);
        const Run run =
            j.Start({}, j.Write("fw.hex", ToHex(firmware)),
                    j.Write("data.bin", QByteArray(reinterpret_cast<const char*>(data.data()),
                                                   qsizetype(data.size()))));
        QVERIFY2(run.ExitCode == 0, qPrintable(run.Dump()));
        const QStringList after = run.LogAfterConnect();
        QCOMPARE(after.mid(0, 3), (QStringList{kFlashStart, kEepromStart, kDone}));
        QVERIFY(StartsWith(j.Dump("flash.bin"), firmware));
        QVERIFY(StartsWith(j.Dump("eeprom.bin"), data));
    }

    void verifyMismatchDropsTheQueue() {
        JobRun j;
        const Bytes firmware = RandomBytes(0x2000);
        const Run run =
            j.Start({"--mismatch-verify-at", "0x1000"}, j.Write("fw.hex", ToHex(firmware)));
        QCOMPARE(run.LogAfterConnect().mid(0, 3),
                 (QStringList{kFlashStart, QStringLiteral("Ошибка верификации по адресу 1000h!"),
                              kCleared}));
        QVERIFY(StartsWith(j.Dump("flash.bin"), firmware)); // the writes themselves all landed
    }

    void longAndSlowJobsComplete() {
        const auto completes = [](const QStringList& harnessArgs, size_t size,
                                  const QStringList& programArgs) {
            JobRun j;
            const Bytes firmware = RandomBytes(size);
            const Run run =
                j.Start(harnessArgs, j.Write("fw.hex", ToHex(firmware)), {}, programArgs);
            QVERIFY2(run.ExitCode == 0, qPrintable(run.Dump()));
            // No watchdog line before the close at the end of the run.
            QCOMPARE(run.LogAfterConnect().mid(0, 3), (QStringList{kFlashStart, kDone, kClosing}));
            QVERIFY(StartsWith(j.Dump("flash.bin"), firmware));
        };
        // Seconds of blocks and not one poll between them: the block answers alone must keep
        // a half-second watchdog from closing the link.
        completes({}, 256 * 1024, {"--watchdog-ms", "500"});
        if (QTest::currentTestFailed()) return;
        // 2 ms per answer: 512 blocks take about a second at the device's pace, but would
        // outlast the run at one block per poll tick.
        completes({"--answer-delay-us", "2000"}, 64 * 1024, {});
    }

    void unplugMidWriteCompletesAfterReconnection() {
        JobRun j;
        const Bytes firmware = RandomBytes(64 * 1024);
        // Back within the pause before the reopen, so the link recovers by itself.
        const Run run = j.Start({"--unplug-at", "400", "--replug-after-ms", "300"},
                                j.Write("fw.hex", ToHex(firmware)));
        QVERIFY2(run.ExitCode == 0, qPrintable(run.Dump()));
        const QStringList after = run.LogAfterConnect();
        const qsizetype closed = after.indexOf(kClosed);
        QVERIFY(closed > 0);
        QCOMPARE(after.at(closed + 1), kOpened);
        QCOMPARE(after.count(kDone), 1);
        QVERIFY(StartsWith(j.Dump("flash.bin"), firmware));
    }
};

QTEST_GUILESS_MAIN(TestE2eWriteJobs)
#include "tst_e2e_writejobs.moc"
