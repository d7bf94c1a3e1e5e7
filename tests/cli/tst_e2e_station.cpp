// ktr-cli station end to end on the real libusb, devices plugged in and out by the harness:
// one record per arrival, memory as the images, serial numbers used once, and a journal that
// cannot be written stopping the station before the next device.
#include "HexText.h"
#include "e2e/HarnessRun.h"

using Bytes = std::vector<uint8_t>;

namespace {

QList<QJsonObject> JournalRecords(const QByteArray& text, QStringList* other = nullptr) {
    QList<QJsonObject> records;
    for (const QByteArray& line : text.split('\n'))
        if (const QJsonObject record = ParseJsonLine(QString::fromUtf8(line)); !record.isEmpty())
            records << record;
        else if (other && !line.isEmpty())
            *other << QString::fromUtf8(line);
    return records;
}

} // namespace

class TestE2eStation : public QObject {
    Q_OBJECT
private slots:
    // Socket 1-1 sees two devices one after the other; 1-2 holds one device, which fails its
    // verify and stays in its socket until the end without being served again.
    void devicesPassingThroughSocketsAreRecordedOnce() {
        Files f;
        const Bytes flash = RandomBytes(4096), eeprom = RandomBytes(64);
        f.Write("fw.bin", flash);
        f.Write("ee.bin", eeprom);
        f.Write("serial.txt", QByteArray("500\n"));
        f.Write("line.jsonl", QByteArray("{\"number\":1,\"sta")); // torn by a power cut
        const Run run = RunCli({"--devices",
                                "2",
                                "--latency-us",
                                "0",
                                "--dump-flash",
                                f.Path("flash{n}-{a}"),
                                "--dump-eeprom",
                                f.Path("eeprom{n}-{a}"),
                                "--on-device",
                                "1",
                                "--plug-at",
                                "0.2",
                                "--unplug-at",
                                "1.5",
                                "--plug-at",
                                "1.8",
                                "--on-device",
                                "2",
                                "--plug-at",
                                "0.2",
                                "--mismatch-verify-at",
                                "0x100"},
                               {"station", "--flash", f.Path("fw.bin"), "--eeprom",
                                f.Path("ee.bin"), "--count", "3", "--journal", f.Path("line.jsonl"),
                                "--serial-eeprom", "0x10", "--serial-file", f.Path("serial.txt")});
        QVERIFY2(run.ExitCode == 5, qPrintable(run.Dump()));
        QStringList torn;
        const QList<QJsonObject> records = JournalRecords(f.Read("line.jsonl"), &torn);
        QCOMPARE(torn, QStringList{"{\"number\":1,\"sta"});
        QCOMPARE(records.size(), 3);
        QSet<qint64> serials;
        for (const QJsonObject& record : records) {
            const bool passed = record["port"].toString() == "1-1";
            QCOMPARE(record["status"].toInt(), passed ? 0 : 5);
            QCOMPARE(record["phase"].toString(), passed ? "" : "verify");
            QCOMPARE(record["images"].toArray().size(), 2);
            serials << record["serial"].toInteger();
        }
        QCOMPARE(serials, (QSet<qint64>{500, 501, 502}));
        QCOMPARE(f.Read("serial.txt").trimmed(), QByteArray("503"));
        for (const char* unit : {"1-1", "1-2"}) {
            QCOMPARE(f.Read(QStringLiteral("flash") + unit).left(4096), AsBytes(flash));
            const QByteArray memory = f.Read(QStringLiteral("eeprom") + unit);
            const qint64 serial = qFromLittleEndian<quint32>(memory.constData() + 0x10);
            QVERIFY(serials.contains(serial));
            QCOMPARE(memory.left(0x10), AsBytes(eeprom, 0, 0x10));
        }
        QVERIFY(!QFile::exists(f.Path("flash2-2"))); // device 2 arrived once

        QProcess summary;
        summary.start(KTR_CLI, {"journal", f.Path("line.jsonl"), "--json"});
        QVERIFY(summary.waitForFinished());
        const QJsonObject figures =
            ParseJsonLine(QString::fromUtf8(summary.readAllStandardOutput().split('\n')[0]));
        QCOMPARE(figures["devices"].toInt(), 3);
        QCOMPARE(figures["passed"].toInt(), 2);
        QCOMPARE(figures["skipped"].toArray().size(), 1);
    }

    // A journal that cannot be opened stops the station before any device, one that cannot
    // take a record before the next device: no device is programmed that leaves no record.
    void unwritableJournalStopsTheStation_data() {
        QTest::addColumn<QString>("shell");
        QTest::newRow("a folder") << "exec \"$0\" station --flash \"$1\" --journal \"$2\" --json";
        // 4096 bytes at most, of which the journal holds 4000 already: a record does not fit.
        QTest::newRow("full") << "ulimit -f 8; exec \"$0\" station --flash \"$1\" --journal "
                                 "\"$2/line.jsonl\" --count 2 --json";
    }
    void unwritableJournalStopsTheStation() {
        QFETCH(QString, shell);
        Files f;
        f.Write("fw.bin", RandomBytes(2048));
        QDir(f.Path("journal")).mkpath(".");
        f.Write("journal/line.jsonl", "{\"earlier\":\"" + QByteArray(3980, 'x') + "\"}\n");
        const Run run = RunScript({"--devices", "2", "--on-device", "1", "--plug-at", "0.2",
                                   "--on-device", "2", "--plug-at", "1.5"},
                                  shell, {f.Path("fw.bin"), f.Path("journal")});
        QVERIFY2(run.ExitCode == 6, qPrintable(run.Dump()));
        // The device plugged in after the failure was never written.
        const QStringList second = run.Records.value(1);
        QVERIFY(std::none_of(second.begin(), second.end(), [](const QString& frame) {
            return frame.split(' ').value(6) == "11";
        }));
    }
};

QTEST_MAIN(TestE2eStation)
#include "tst_e2e_station.moc"
