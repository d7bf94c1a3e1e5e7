// The device session: ready only once the device is identified and its sizes are in, and
// otherwise the one reason it gave up, from the link's events.
#include "DeviceSession.h"
#include "LinkFixture.h"

using namespace ktr;

Q_DECLARE_METATYPE(ktr::SessionLoss)

namespace {
enum class Outcome { Ready, Lost, NotServed };
} // namespace
Q_DECLARE_METATYPE(Outcome)

class TestDeviceSession : public QObject {
    Q_OBJECT
private slots:
    void outcomes_data() {
        QTest::addColumn<int>("kind");
        QTest::addColumn<bool>("attached");
        QTest::addColumn<bool>("sendsFirstFrame");
        QTest::addColumn<bool>("identifies");
        QTest::addColumn<int>("failAfterReady"); // reads fail once ready
        QTest::addColumn<Outcome>("outcome");
        QTest::addColumn<SessionLoss>("why");
        QTest::newRow("ready") << 2 << true << true << true << 0 << Outcome::Ready
                               << SessionLoss::NotFound;
        QTest::newRow("kind not served")
            << 4 << true << true << true << 0 << Outcome::NotServed << SessionLoss::NotFound;
        QTest::newRow("no device")
            << 1 << false << true << true << 0 << Outcome::Lost << SessionLoss::NotFound;
        QTest::newRow("silent device")
            << 1 << true << false << true << 0 << Outcome::Lost << SessionLoss::Watchdog;
        QTest::newRow("answers, never identifies")
            << 1 << true << true << false << 0 << Outcome::Lost << SessionLoss::NotIdentified;
        QTest::newRow("failures after ready")
            << 1 << true << true << true << 1 << Outcome::Lost << SessionLoss::FaultLimit;
    }
    void outcomes() {
        QFETCH(int, kind);
        QFETCH(bool, attached);
        QFETCH(bool, sendsFirstFrame);
        QFETCH(bool, identifies);
        QFETCH(int, failAfterReady);
        QFETCH(Outcome, outcome);
        QFETCH(SessionLoss, why);
        sim::DeviceConfig config;
        config.Kind = uint32_t(kind);
        config.SendsFirstFrame = sendsFirstFrame;
        if (!identifies) config.IgnoredTypes.set(cmdIdent);
        // The watchdog ends a silent device long before the link timeout of 1 s, except
        // where the link timeout is what the row is about.
        LinkTimings timings{identifies ? 300 : 3000, 5, 0};
        timings.UnservedKindSettleMs = 100;
        LinkFixture f(config, timings);
        if (!attached) f.Device.SetPresent(false);
        DeviceSession session(f.Link, 1);
        std::optional<DeviceInfo> ready;
        std::vector<SessionLoss> lost;
        std::vector<uint32_t> notServed;
        connect(&session, &DeviceSession::Ready, [&](const DeviceInfo& d) {
            ready = d;
            if (failAfterReady) f.Device.FailIn(1000, -EIO);
        });
        connect(&session, &DeviceSession::Lost, [&](SessionLoss w) { lost.push_back(w); });
        connect(&session, &DeviceSession::NotServed, [&](uint32_t k) { notServed.push_back(k); });
        session.Connect();
        const bool ended = f.RunUntil(
            [&] {
                return !lost.empty() || !notServed.empty() ||
                       (ready && !failAfterReady && outcome == Outcome::Ready);
            },
            5000);
        QVERIFY(ended);
        QTest::qWait(50); // nothing more follows
        QCOMPARE(lost.size(), size_t(outcome == Outcome::Lost));
        if (outcome == Outcome::Lost) QCOMPARE(lost[0], why);
        if (outcome == Outcome::NotServed) QCOMPARE(notServed, std::vector<uint32_t>{4});
        QCOMPARE(ready.has_value(), outcome == Outcome::Ready || failAfterReady > 0);
        if (outcome == Outcome::Ready) {
            QCOMPARE(ready->Kind, 2u);
            QCOMPARE(ready->FlashSize, config.FlashSize);
            QCOMPARE(ready->EepromSize, config.EepromSize);
            QCOMPARE(ready->AuxSize, config.AuxSize);
            QCOMPARE(ready->Device, 2);
            QVERIFY(f.Link.Queue().empty() && session.IsReady());
        }
    }
};

QTEST_GUILESS_MAIN(TestDeviceSession)
#include "tst_devicesession.moc"
