// The simulated devices themselves, through the real libusb: several at once, each apart
// from the others, coming and going on a schedule, and the URB ioctls that libusb 1.0 uses.
#include "HarnessRun.h"

namespace {

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray Erased(QByteArray data, qsizetype size) {
    return data + QByteArray(size - data.size(), char(0xFF));
}

} // namespace

class TestE2eSim : public QObject {
    Q_OBJECT
private slots:
    // Three devices: one hangs for good, one mismatches, one behaves. The two that answer
    // finish while the first still hangs, and each memory holds only its own writer's file.
    void severalDevicesStayApart() {
        QTemporaryDir dir;
        const QString a = dir.filePath("a.bin"), b = dir.filePath("b.bin");
        for (const auto& [path, fill] : {std::pair{a, 'a'}, std::pair{b, 'b'}}) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(QByteArray(700, fill));
        }
        const QString script = QStringLiteral(
            "\"$0\" info --device 1:2 --timeout 600 -q & hung=$!; "
            "\"$0\" write --eeprom \"$1\" --device 1:3 -q; echo status $?; "
            "\"$0\" write --eeprom \"$2\" --device 1:4 -q; echo status $?; "
            "\"$0\" info --device 1:4 --json | grep -c 'event\":\"info.*#3'; kill -9 $hung");
        const Run run = RunUnderHarness({"--devices", "3", "--latency-us", "0", "--dump-eeprom",
                                         dir.filePath("ee{n}.bin"), "--on-device", "1", "--hang-at",
                                         "1", "--timeout-ms", "600000", "--on-device", "2",
                                         "--mismatch-verify-at", "0"},
                                        {"sh", "-c", script, KTR_CLI, a, b});
        QVERIFY2(run.ExitCode == 0, qPrintable(run.Dump()));
        QCOMPARE(run.Output, (QStringList{"status 5", "status 0", "1"}));
        QCOMPARE(run.Records.size(), 3);
        QVERIFY(run.Records[0].isEmpty()); // the hung device took nothing
        QCOMPARE(ReadAll(dir.filePath("ee1.bin")), QByteArray(4096, char(0xFF)));
        QCOMPARE(ReadAll(dir.filePath("ee2.bin")), Erased(QByteArray(700, 'a'), 4096));
        QCOMPARE(ReadAll(dir.filePath("ee3.bin")), Erased(QByteArray(700, 'b'), 4096));
    }

    // A device on a schedule, as programs started one after another see it: absent, listed,
    // gone, and back as a new arrival, under another number in the same port.
    void scheduledDeviceComesAndGoes() {
        const QString script = QStringLiteral(
            "for i in $(seq 300); do d=$(\"$0\" list --json | grep '\"event\":\"device\"'); "
            "p=; [ -n \"$d\" ] && p=$(\"$1\" list); echo \"$d $p\"; "
            "case $d in *'\"device\":3'*) exit 0;; esac; done; exit 1");
        const Run run =
            RunUnderHarness({"--plug-at", "0.3", "--unplug-at", "1.0", "--plug-at", "1.5"},
                            {"sh", "-c", script, KTR_CLI, KTR_USB_PROBE});
        QVERIFY2(run.ExitCode == 0, qPrintable(run.Dump()));
        static const QRegularExpression sample(
            QStringLiteral(R"(^(\{[^}]*\})?\s*(?:list (\S+) (\S*) \S+|no device)?\s*$)"));
        QStringList seen;
        for (const QString& line : run.Output) {
            const QRegularExpressionMatch match = sample.match(line);
            QVERIFY2(match.hasMatch(), qPrintable(line));
            QString state = QStringLiteral("absent");
            if (match.hasCaptured(1)) {
                const QJsonObject device = ParseJsonLine(match.captured(1));
                state = QStringLiteral("%1:%2")
                            .arg(device["bus"].toInt())
                            .arg(device["device"].toInt());
                // It changed between the two looks, or between the probe's nodes and ports.
                if (match.captured(2) != state || match.captured(3).isEmpty()) continue;
                state += ' ' + match.captured(3);
            }
            if (seen.value(seen.size() - 1) != state) seen << state;
        }
        QCOMPARE(seen, (QStringList{"absent", "1:2 1-1", "absent", "1:3 1-1"}));
    }

    // libusb 1.0 submits and reaps URBs where libusb 0.1 makes one ioctl: the same device,
    // faults and hangs answer them, and a hung URB ends when the program discards it.
    void urbsAnswerAsControlTransfers_data() {
        QTest::addColumn<QStringList>("harnessArgs");
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QStringList>("says");
        const QString pollAnswer = QStringLiteral("in 8 53525101010000F8");
        QTest::newRow("answers, stall, hang, timeout")
            << QStringList{"--hang-at", "3"} << QStringList{"out", "in", "stall", "hang", "in:100"}
            << QStringList{"out 8", pollAnswer, "stall LIBUSB_ERROR_PIPE", "hang cancelled",
                           "in:100 LIBUSB_ERROR_TIMEOUT"};
        QTest::newRow("hang ends") << QStringList{"--hang-at", "2", "--hang-for-ms", "0"}
                                   << QStringList{"out", "hang", "in"}
                                   << QStringList{"out 8", "hang cancelled", pollAnswer};
        QTest::newRow("failure, unplug")
            << QStringList{"--fail-out", "1:1:EPIPE", "--unplug-at", "3"}
            << QStringList{"out", "out", "in", "out"}
            << QStringList{"out LIBUSB_ERROR_PIPE", "out 8", "in LIBUSB_ERROR_NO_DEVICE",
                           "out LIBUSB_ERROR_NO_DEVICE"};
    }
    void urbsAnswerAsControlTransfers() {
#ifndef KTR_URB_CLIENT
        QSKIP("built without libusb-1.0 (libusb-1.0-0-dev)");
#else
        QFETCH(QStringList, harnessArgs);
        QFETCH(QStringList, steps);
        QFETCH(QStringList, says);
        const Run run = RunUnderHarness(harnessArgs, QStringList{KTR_URB_CLIENT} + steps);
        QVERIFY2(run.ExitCode == 0, qPrintable(run.Dump()));
        QCOMPARE(run.Output, says);
        QCOMPARE(run.Record, QStringList{kPoll}); // the one OUT that reached the device
#endif
    }
};

QTEST_GUILESS_MAIN(TestE2eSim)
#include "tst_e2e_sim.moc"
