// The example configurator, loaded by its kind's library name by ktr-cli configure on the
// real libusb: afterwards the simulated device's EEPROM and AUX hold the run record it
// wrote, and nothing else of them changed.
#include "HarnessRun.h"

namespace {
QByteArray ReadAll(const QString& path) {
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    return file.readAll();
}
} // namespace

class TestE2ePlugins : public QObject {
    Q_OBJECT
private slots:
    void exampleWritesItsRunRecord_data() {
        QTest::addColumn<int>("kind");
        for (int kind : {1, 2, 3})
            QTest::addRow("kind %d", kind) << kind;
    }
    void exampleWritesItsRunRecord() {
        QFETCH(int, kind);
        QTemporaryDir dir;
        const QString eeprom = dir.filePath("eeprom.bin"), aux = dir.filePath("aux.bin");
        const Run run = RunCli({"--kind", QString::number(kind), "--latency-us", "0",
                                "--dump-eeprom", eeprom, "--dump-aux", aux},
                               {"configure"});
        QVERIFY2(run.ExitCode == 0, qPrintable(run.Dump()));
        const QByteArray record("KCFG\x01\x00\x00\x00", 8); // first run: counter 1
        for (const QString& path : {eeprom, aux}) {
            const QByteArray memory = ReadAll(path);
            QCOMPARE(memory.left(8), record);
            QCOMPARE(memory.mid(8, 1024), QByteArray(1024, '\xFF'));
        }
        QVERIFY2(run.Errors.contains(QStringLiteral("AUX: записан счётчик запусков 1")),
                 qPrintable(run.Dump()));
    }
};

QTEST_GUILESS_MAIN(TestE2ePlugins)
#include "tst_e2e_plugins.moc"
