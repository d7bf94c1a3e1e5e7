// A device whose transfers hang, through the real libusb: the program goes on meanwhile,
// the operator's disconnect ends the hung transfer, and the link recovers when the device
// comes back. The libusb 1.0 backend is checked alone first, then ktr-cli on either library.
#include "HarnessRun.h"

#include <cerrno>

class TestE2eHang : public QObject {
    Q_OBJECT
private slots:
    // Transfers are waited for in the event loop: a 1 ms timer ticks while one hangs, a
    // cancel ends it at once, libusb's own timeout ends it as -ETIMEDOUT, and the results
    // are libusb 0.1's (-errno).
    void backendAloneWaitsInTheEventLoop_data() {
        QTest::addColumn<QStringList>("harnessArgs");
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QStringList>("says");
        QTest::newRow("answers, hang cancelled, timeout")
            << QStringList{"--hang-at", "4"} << QStringList{"out", "in", "sync", "hang", "in:100"}
            << QStringList{"out 8", "in 8 53525101010000F8", "sync 0",
                           QString("hang ticked busy %1 cancelled %2").arg(-EBUSY).arg(-ECANCELED),
                           QString("in:100 ticked %1").arg(-ETIMEDOUT)};
        QTest::newRow("unplugged") << QStringList{"--unplug-at", "2"} << QStringList{"out", "in"}
                                   << QStringList{"out 8", QString("in %1 ").arg(-ENODEV)};
    }
    void backendAloneWaitsInTheEventLoop() {
#ifndef KTR_USB1_PROBE
        QSKIP("built without libusb-1.0 (libusb-1.0-0-dev)");
#else
        QFETCH(QStringList, harnessArgs);
        QFETCH(QStringList, steps);
        QFETCH(QStringList, says);
        const Run run =
            RunUnderHarness(QStringList{"--latency-us", "0", "--timeout-ms", "60000"} + harnessArgs,
                            QStringList{KTR_USB1_PROBE} + steps);
        QVERIFY2(run.ExitCode == 0, qPrintable(run.Dump()));
        QCOMPARE(run.Output, says);
#endif
    }
};

QTEST_GUILESS_MAIN(TestE2eHang)
#include "tst_e2e_hang.moc"
