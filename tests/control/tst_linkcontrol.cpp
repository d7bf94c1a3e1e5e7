// The queue, the transmit and receive steps, the link commands, the watchdog and recovery,
// driven end to end through the in-process simulated device.
#include "LinkFixture.h"
#include "LogLines.h"

using namespace ktr;
using Bytes = std::vector<uint8_t>;

namespace {
// A full 256-byte FLASH block request at address.
Bytes Block(uint32_t address) {
    Bytes b(kBlockHeaderSize + kMaxBlockData, 0xA5);
    PutU32(b.data(), address);
    PutU16(b.data() + kBlockCountOffset, kMaxBlockData);
    return b;
}
} // namespace

class TestLinkControl : public QObject {
    Q_OBJECT
private slots:
    void queueDisplayFollowsEveryChange() {
        LinkFixture f;
        QCOMPARE(f.View.QueueCaption, QStringLiteral("Очередь команд: "));
        QVERIFY(f.Link.EnqueueCommand(cmdFlashWrite, (const uint8_t*)"\0\0\0\0\0\0", 6));
        QCOMPARE(f.View.ProgressMax, 1);
        QCOMPARE(f.View.ProgressPosition, 1);
        QCOMPARE(f.View.QueueCaption, QStringLiteral("Очередь команд: 1."));
        f.Link.RequestStatus();
        QCOMPARE(f.View.ProgressMax, 5);
        f.Link.DequeueCommand();
        QCOMPARE(f.View.ProgressMax, 5); // only enqueues move the maximum
        QCOMPARE(f.View.ProgressPosition, 4);
        QCOMPARE(f.Link.Queue().front().Command, uint8_t(cmdIdent));
        QVERIFY(f.View.Log.isEmpty());
        f.Link.ClearQueue();
        QCOMPARE(f.View.Log, QStringList{kCleared});
        QCOMPARE(f.View.ProgressPosition, 0);
        QCOMPARE(f.View.QueueCaption, QStringLiteral("Очередь команд: 0."));
        f.Link.ClearQueue(); // an empty queue logs nothing
        QCOMPARE(f.View.Log, QStringList{kCleared});

        f.Link.EnqueueCommand(cmdIdent, nullptr, 0);
        f.Link.DequeueCommand();
        QCOMPARE(f.View.Log.last(), kDone);
        QCOMPARE(f.View.QueueCaption, QStringLiteral("Очередь команд: 0."));

        // An entry holds at most 1546 bytes: a longer enqueue is refused whole.
        std::vector<uint8_t> big(kMaxEntryData + 1);
        QVERIFY(f.Link.EnqueueCommand(cmdTcpData, big.data(), kMaxEntryData));
        QVERIFY(!f.Link.EnqueueCommandEx(cmdTcpData, big.data(), uint16_t(big.size()), nullptr));
        QVERIFY(!f.Link.EnqueueCommand(cmdTcpData, nullptr, 4));
        QCOMPARE(int(f.Link.Queue().size()), 1);
    }

    void firstConnectOfTheRun() {
        LinkFixture f;
        f.View.Log << QStringLiteral("Запуск программы");
        QVERIFY(f.Connect());
        QCOMPARE(f.View.Log, (QStringList{QStringLiteral("Запуск программы"), kOpened, kRequesting,
                                          kEstablished, kOpened, kRequesting, kDone}));
        QVERIFY(f.Link.LinkEstablished());
        // Eight status queries: the four of each connect.
        for (uint8_t type : {cmdIdent, cmdFlashSize, cmdEepromSize, cmdAuxSize})
            QCOMPARE(f.Device.FramesReceivedOfType(type), 2u);
        QCOMPARE(f.View.StatusPanel, QStringLiteral("Подключено устройство: Модем КТР-17"));
        QCOMPARE(f.View.FlashSizeText, QStringLiteral("Размер 131072 байт"));
        QCOMPARE(f.View.EepromSizeText, QStringLiteral("Размер 4096 байт"));
        QCOMPARE(f.Link.AuxSize(), 8192u);
        QCOMPARE(f.View.ConnectImage, 19);
        QCOMPARE(f.View.DisconnectImage, 20);
        QCOMPARE(f.Bus.OpenHandles(), 1); // the reconnect at the first poll leaked nothing

        // The exact bytes and sizes on the wire: an 8-byte poll, command frames + 2 bytes.
        const auto ident = f.Sent(cmdIdent);
        QVERIFY(!ident.empty());
        QCOMPARE(Bytes(ident[0].begin(), ident[0].begin() + 8),
                 (Bytes{0x53, 0x52, 0x51, 0x01, 0x01, 0x00, 0x01, 0xF9}));
        QCOMPARE(int(ident[0].size()), 10);
        QVERIFY(f.RunUntil([&] { return !f.Sent(cmdPoll).empty(); }));
        QCOMPARE(f.Sent(cmdPoll).front(), (Bytes{0x53, 0x52, 0x51, 0x01, 0x01, 0x00, 0x00, 0xF8}));

        // Later connects, after a disconnect, log nothing at their first poll.
        f.View.Log.clear();
        f.Link.ToolButton4Click();
        QCOMPARE(f.View.StatusPanel, QString());
        QCOMPARE(f.View.Log, (QStringList{kClosing, kClosed}));
        QCOMPARE(f.View.ConnectImage, 18);
        QVERIFY(f.Connect());
        QCOMPARE(f.View.Log, (QStringList{kClosing, kClosed, kOpened, kRequesting, kDone}));
        QCOMPARE(f.Bus.OpenHandles(), 1);
    }

    void connectWithNoDevice() {
        LinkFixture f;
        f.Device.SetPresent(false);
        f.Link.N7Click();
        QCOMPARE(f.View.Log, (QStringList{kCannotOpen, kRequesting}));
        QCOMPARE(int(f.Link.Queue().size()), 4);
        QVERIFY(!f.Link.IsOpen());
        QCOMPARE(f.View.ConnectImage, 18);
    }

    void sendNextWithoutSignatureTransmitsNothing() {
        LinkFixture f({}, {60000, 60000, 0}); // no ticks: every read comes from a post
        f.Link.ToolButton1Click();
        QCOMPARE(f.Link.LinkSignature(), 0u);
        const uint64_t reads = f.Device.InTransfers();
        const_cast<QTimer&>(f.Link.Timer2()).stop(); // behind the link's back
        f.Link.SendNext();
        QVERIFY(f.Link.Timer2().isActive()); // restarted
        QVERIFY(f.Device.OutTransfers().empty());
        QCoreApplication::processEvents();
        QVERIFY(f.Device.InTransfers() > reads); // the posted receive step ran
    }

    void zeroByteReadResetsFailuresAndStops() {
        LinkFixture f({}, {60000, 60000, 0});
        f.Link.ToolButton1Click();
        f.Device.FailIn(7, -EIO);
        for (int i = 0; i < 7; ++i)
            f.Link.ReceiveData(); // each fault reopens at once
        QCOMPARE(f.Link.LinkFailureCount(), 7);
        f.Device.ZeroByteReads(1);
        const uint64_t reads = f.Device.InTransfers();
        f.Link.ReceiveData();
        QCOMPARE(f.Link.LinkFailureCount(), 0);
        QCOMPARE(f.Link.Rx().Filled(), 0);
        QCoreApplication::processEvents();
        QCOMPARE(f.Device.InTransfers(), reads + 1); // nothing was posted after it
    }

    void pingPongKeepsOneReceiveStepPending() {
        // Every read with data and every transmission ask for a read; were each request its
        // own posted step, a device that always answers would double them every round.
        LinkFixture f({}, {60000, 50, 0});
        QVERIFY(f.Connect());
        const uint64_t polls = f.Device.FramesReceivedOfType(cmdPoll);
        QVERIFY(f.RunUntil([&] { return f.Device.FramesReceivedOfType(cmdPoll) > polls + 20000; }));
        f.Device.SetAnswering(false);
        const uint64_t reads = f.Device.InTransfers();
        for (int i = 0; i < 50; ++i)
            QCoreApplication::processEvents();
        QVERIFY2(f.Device.InTransfers() - reads <= 3, "receive steps piled up while polling");
    }

    void nestedLoopStartedFromAQueuedCallKeepsTheLinkGoing() {
        // A configurator waits for its answers in its own event loop. Started from a call
        // queued inside a receive step, that loop is never handed the receive step already
        // pending outside it: the link must not hang on that step.
        LinkFixture f;
        QVERIFY(f.Connect());
        static int ends;
        ends = 0;
        bool done = false;
        QEventLoop outer;
        const auto nested = [&] {
            const uint8_t request[kBlockHeaderSize] = {0, 0, 0, 0, 16, 0};
            f.Link.EnqueueCommandEx(cmdEepromRead, request, kBlockHeaderSize,
                                    [](int32_t end) { ends = end; });
            QEventLoop loop;
            QTimer::singleShot(5000, &loop, &QEventLoop::quit);
            QObject::connect(&f.Link, &LinkControl::QueueChanged, &loop, [&] {
                if (f.Link.Queue().empty()) loop.quit();
            });
            loop.exec();
            done = true;
            outer.quit();
        };
        bool started = false;
        QObject::connect(&f.Link, &LinkControl::QueueChanged, &outer, [&] {
            if (started || !f.Link.Queue().empty()) return;
            started = true; // the answer that drained the queue is still being handled
            QTimer::singleShot(0, &f.Link, nested);
        });
        f.Link.EnqueueCommand(cmdIdent, nullptr, 0);
        outer.exec(); // the program's own loop, as the window and the command line run it
        QVERIFY(done);
        QCOMPARE(ends, 16);
    }

    void unansweredHeadIsSentAgain() {
        LinkFixture f;
        QVERIFY(f.Connect());
        f.Device.SetAnswering(false);
        f.Link.EnqueueCommand(cmdIdent, nullptr, 0);
        f.Link.SendNext();
        f.Link.SendNext();
        const auto ident = f.Sent(cmdIdent);
        QCOMPARE(ident[ident.size() - 1], ident[ident.size() - 2]);
        QCOMPARE(int(f.Link.Queue().size()), 1);
    }

    void watchdogExpiry() {
        // At start with nothing opened: one message, the watchdog stops, nothing to close.
        LinkFixture idle({}, {30, 5, 0});
        QVERIFY(idle.RunUntil([&] { return !idle.Link.Timer1().isActive(); }));
        QCOMPARE(idle.View.Log, QStringList{kWatchdog});

        // After the last poll answer: the link closes, the queue stays.
        LinkFixture f({}, {300, 5, 0});
        QVERIFY(f.Connect());
        f.Device.SetAnswering(false);
        f.Link.EnqueueCommand(cmdIdent, nullptr, 0);
        f.View.Log.clear();
        QVERIFY(f.RunUntil([&] { return !f.Link.IsOpen(); }));
        QCOMPARE(f.View.Log, (QStringList{kWatchdog, kClosing, kClosed}));
        QCOMPARE(int(f.Link.Queue().size()), 1);
        QVERIFY(!f.Link.Timer1().isActive());

        // The next connect queues its status queries behind the old entry and sends them all.
        f.Device.SetAnswering(true);
        QVERIFY(f.Connect());
        QCOMPARE(f.Device.FramesReceivedOfType(cmdIdent) >= 3, true);
    }

    void watchdogDuringALongJob() {
        // Each block answered 1 ms late: the job spans several watchdog intervals, with no
        // poll answered in between, yet every block answer keeps the link.
        sim::DeviceConfig slow;
        slow.AnswerDelayUs = 1000;
        LinkFixture f(slow, {150, 5, 0});
        QVERIFY(f.Connect());
        const int blocks = 600;
        for (int i = 0; i < blocks; ++i)
            f.Link.EnqueueCommand(cmdFlashWrite, Block(uint32_t(i) * 256).data(), 262);
        f.View.Log.clear();
        QVERIFY(f.RunUntil([&] { return f.Link.Queue().empty() || !f.Link.IsOpen(); }, 30000));
        QCOMPARE(f.View.Log, QStringList{kDone});
        QVERIFY(f.Link.Timer1().isActive());

        // A device falling silent mid-job still trips it; the rest of the job stays queued.
        for (int i = 0; i < blocks; ++i)
            f.Link.EnqueueCommand(cmdFlashWrite, Block(uint32_t(i) * 256).data(), 262);
        QVERIFY(f.RunUntil([&] { return f.Link.Queue().size() < size_t(blocks) - 20; }));
        f.Device.SetAnswering(false);
        QVERIFY(f.RunUntil([&] { return !f.Link.IsOpen(); }));
        QCOMPARE(f.View.Log.mid(1), (QStringList{kWatchdog, kClosing, kClosed}));
        QVERIFY(!f.Link.Queue().empty());
    }

    void lateAnswersAreReadAtTheDevicesPace() {
        // With the tick out of the way, only the quick rereads after an empty read can find
        // the answers of a device that needs a moment per block.
        sim::DeviceConfig slow;
        slow.AnswerDelayUs = 500;
        LinkFixture f(slow, {60000, 8, 0, 250, 1000});
        QVERIFY(f.Connect());
        const_cast<QTimer&>(f.Link.Timer2()).setInterval(60000); // no more ticks from here
        for (int i = 0; i < 50; ++i)
            f.Link.EnqueueCommand(cmdFlashWrite, Block(uint32_t(i) * 256).data(), 262);
        f.Link.SendNext();
        QVERIFY(f.RunUntil([&] { return f.Link.Queue().empty(); }, 20000));

        // A device that stays silent is reread ever less often, then only by the tick: a
        // handful of reads, then none.
        f.Device.SetAnswering(false);
        f.Link.EnqueueCommand(cmdIdent, nullptr, 0);
        const uint64_t reads = f.Device.InTransfers();
        f.Link.SendNext();
        QTest::qWait(300);
        const uint64_t retries = f.Device.InTransfers() - reads;
        QVERIFY2(retries >= 4 && retries <= 40, qPrintable(QString::number(retries)));
        QTest::qWait(100);
        QCOMPARE(f.Device.InTransfers() - reads, retries);

        // Polls keep the tick's pace: an idle link reads no more often than before.
        f.Link.ClearQueue();
        f.Link.SendNext();
        QTest::qWait(100);
        QCOMPARE(f.Device.InTransfers() - reads, retries + 1); // the read right after the send
    }

    void refusedFrameBuildSendsNothing() {
        LinkFixture f;
        QVERIFY(f.Connect());
        f.Device.SetAnswering(false);
        f.Link.EnqueueCommand(cmdFlashWrite, Block(0).data(), 262);
        // Only a corrupt entry can get this far: the enqueues refuse such a Length.
        CommandEntry& head = const_cast<CommandQueue&>(f.Link.Queue()).front();
        head.Length = kMaxEntryData + 1;
        head.Data.resize(kMaxEntryData + 1);
        const size_t sent = f.Device.OutTransfers().size();
        f.Link.SendNext();
        QCOMPARE(f.Device.OutTransfers().size(), sent);
        QVERIFY(f.Link.IsOpen());
    }

    void deviceThatNeverSpeaksIsClosedByTheWatchdog() {
        sim::DeviceConfig silent;
        silent.SendsFirstFrame = false;
        LinkFixture f(silent, {200, 5, 0});
        f.Link.ToolButton1Click();
        QVERIFY(f.RunUntil([&] { return !f.Link.IsOpen(); }));
        QVERIFY(f.Device.OutTransfers().empty());
        QVERIFY(f.View.Log.contains(kWatchdog));
    }

    // A mismatch drops the queue but not the link: the strict device speaks only when spoken
    // to, so the host polls at once and the ping-pong outlives the watchdog's interval.
    void linkOutlivesAMismatch() {
        LinkFixture f({}, {300, 5, 0});
        QVERIFY(f.Connect());
        f.Link.EnqueueCommand(cmdFlashVerify, Block(0).data(), uint16_t(Block(0).size()));
        f.Device.MismatchVerifyAt(0);
        QVERIFY(f.RunUntil([&] { return f.Link.Queue().empty(); }));
        const size_t polls = f.Sent(cmdPoll).size();
        QTest::qWait(900);
        QVERIFY(f.Link.IsOpen());
        QVERIFY(!f.View.Log.contains(kWatchdog));
        QVERIFY(f.Sent(cmdPoll).size() > polls + 10);
    }

    // A bogus candidate of a kind not served, right before a served device's first frame, is
    // noise; a device whose frames are all of such a kind is not served, said once.
    void unservedKindNeedsMoreThanOneCandidate() {
        for (const bool noise : {true, false}) {
            sim::DeviceConfig config;
            if (!noise) config.Kind = 7;
            LinkTimings timings{60000, 5, 0};
            timings.UnservedKindSettleMs = 100;
            LinkFixture f(config, timings);
            if (noise) f.Device.InjectBytes({0x53, 0x52, 0x51, 0x07});
            std::vector<uint32_t> notServed;
            connect(&f.Link, &LinkControl::KindNotServed,
                    [&](uint32_t kind) { notServed.push_back(kind); });
            f.Link.ToolButton1Click();
            QTest::qWait(400);
            QCOMPARE(notServed, noise ? std::vector<uint32_t>{} : std::vector<uint32_t>{7});
            QCOMPARE(f.Link.Queue().empty(), noise); // identified and sized, or never signed
        }
    }

    void twentyFailuresLeaveTheLinkClosed() {
        LinkFixture f;
        QVERIFY(f.Connect());
        f.View.Log.clear();
        f.Device.FailIn(1000, -EIO);
        QVERIFY(f.RunUntil([&] { return f.Link.LinkFailureCount() >= kLinkFailureLimit; }));
        QVERIFY(!f.Link.IsOpen());
        QCOMPARE(f.View.Log.count(kOpened), kLinkFailureLimit - 1);
        QCOMPARE(f.View.Log.count(kClosed), kLinkFailureLimit);
        QCOMPARE(f.Bus.OpenHandles(), 0);
        for (int i = 0; i < 20; ++i)
            QCoreApplication::processEvents(); // stays closed
        QCOMPARE(f.Link.LinkFailureCount(), kLinkFailureLimit);

        // A manual connect opens it; only a successful read resets the count.
        f.Device.FailIn(0, 0);
        f.Link.ToolButton1Click();
        QVERIFY(f.Link.IsOpen());
        QCOMPARE(f.Link.LinkFailureCount(), kLinkFailureLimit);
        QVERIFY(f.RunUntil([&] { return f.Link.LinkFailureCount() == 0; }));
    }

    void failedSendReopensWithTheSameSignature() {
        LinkFixture f;
        QVERIFY(f.Connect());
        const uint32_t signature = f.Link.LinkSignature();
        f.Link.ToolButton4Click(); // closed, signature known
        f.View.Log.clear();
        f.Link.EnqueueCommand(cmdIdent, nullptr, 0);
        f.Link.SendNext(); // no handle: the transfer fails, LinkFault reopens
        QCOMPARE(f.View.Log, QStringList{kOpened});
        QCOMPARE(f.Link.LinkFailureCount(), 1);
        QCOMPARE(f.Link.LinkSignature(), signature);
        QVERIFY(f.RunUntil([&] { return f.Link.Queue().empty(); })); // the head went out
    }

    void recoversFromTransientFaults() {
        LinkFixture f;
        f.Device.SetMaxReadChunk(3); // every frame split across reads
        QVERIFY(f.Connect());
        f.Device.SetMaxReadChunk(0);
        // A bogus header hides the frames behind it, and corrupted answers are lost: the
        // strict device says nothing more until asked, so the host asks again.
        f.Device.InjectBytes({0x53, 0x52, 0x51, 0x01, 0x10, 0x00, 0x12, 0x00});
        f.Device.CorruptChecksums(2);
        f.Device.FailOut(2, -EPIPE);
        f.Link.RequestStatus();
        QVERIFY(f.RunUntil([&] { return f.Link.Queue().empty(); }));
        QVERIFY(f.Link.IsOpen());
    }

    // A transfer the device leaves hanging no longer holds the thread: ticks keep coming,
    // and every step that would transfer waits for it instead of starting a second one. Its
    // timeout is an ordinary fault; the send that waited goes out after the reopen.
    void hungTransferLeavesTheThreadFree() {
        LinkFixture f;
        f.Bus.HoldHungTransfers(true);
        QVERIFY(f.Connect());
        f.Device.SetHanging(true);
        QVERIFY(f.RunUntil([&] { return f.Bus.HoldsTransfer(); }));
        const uint64_t reads = f.Device.InTransfers();
        const size_t sent = f.Device.OutTransfers().size();
        f.View.Log.clear();
        f.Link.EnqueueCommand(cmdIdent, nullptr, 0);
        f.Link.SendNext();
        int ticks = 0;
        QObject::connect(&f.Link.Timer2(), &QTimer::timeout, [&] { ++ticks; });
        QVERIFY(f.RunUntil([&] { return ticks >= 5; }));
        QVERIFY(f.Bus.HoldsTransfer());
        QCOMPARE(f.Device.InTransfers(), reads);
        QCOMPARE(f.Device.OutTransfers().size(), sent);
        QVERIFY(f.View.Log.isEmpty());

        f.Device.SetHanging(false);
        f.Bus.TimeOutHeldTransfer();
        QCOMPARE(f.View.Log, (QStringList{kClosing, kClosed, kOpened}));
        QCOMPARE(f.Link.LinkFailureCount(), 1);
        QVERIFY(f.RunUntil([&] { return f.Link.Queue().empty(); }));
        QCOMPARE(f.Bus.OpenHandles(), 1);
    }

    // The operator's disconnect ends a hung transfer at once: no fault, no reopen.
    void disconnectEndsAHungTransfer() {
        LinkFixture f;
        f.Bus.HoldHungTransfers(true);
        QVERIFY(f.Connect());
        f.Device.SetHanging(true);
        QVERIFY(f.RunUntil([&] { return f.Bus.HoldsTransfer(); }));
        f.View.Log.clear();
        f.Link.ToolButton4Click();
        QVERIFY(!f.Bus.HoldsTransfer());
        QVERIFY(!f.Link.IsOpen());
        QCOMPARE(f.Bus.OpenHandles(), 0);
        for (int i = 0; i < 20; ++i)
            QCoreApplication::processEvents();
        QCOMPARE(f.View.Log, (QStringList{kClosing, kClosed}));
        QCOMPARE(f.Link.LinkFailureCount(), 0);
    }

    // A fault's pause is a timer, not a sleep: nothing is sent during it (a send waits for
    // the reopen), and a disconnect during it cancels the reopen.
    void faultPauseWaitsWithoutHoldingTheThread() {
        LinkFixture f({}, {60000, 5, 30});
        QVERIFY(f.Connect());
        f.View.Log.clear();
        f.Device.FailIn(1, -EIO);
        QVERIFY(f.RunUntil([&] { return f.Link.LinkFailureCount() == 1; }));
        QVERIFY(f.Link.ReopenPending());
        QCOMPARE(f.View.Log, (QStringList{kClosing, kClosed}));
        const size_t sent = f.Device.OutTransfers().size();
        f.Link.EnqueueCommand(cmdIdent, nullptr, 0);
        f.Link.SendNext();
        QCOMPARE(f.Device.OutTransfers().size(), sent);
        QCOMPARE(f.Link.LinkFailureCount(), 1); // no second fault for the closed link
        QVERIFY(f.RunUntil([&] { return f.Link.Queue().empty(); }));
        QCOMPARE(f.View.Log, (QStringList{kClosing, kClosed, kOpened, kDone}));

        f.Device.FailIn(1, -EIO);
        QVERIFY(f.RunUntil([&] { return f.Link.ReopenPending(); }));
        f.Link.ToolButton4Click();
        QVERIFY(!f.Link.ReopenPending());
        QVERIFY(!f.Link.IsOpen());
    }
};

QTEST_GUILESS_MAIN(TestLinkControl)
#include "tst_linkcontrol.moc"
