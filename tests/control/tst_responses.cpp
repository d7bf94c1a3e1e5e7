// What each answer of the device does, with faults and odd answers injected.
#include "Cp1251.h"
#include "LinkFixture.h"
#include "LogLines.h"

#include <QStringDecoder>

using namespace ktr;
using Bytes = std::vector<uint8_t>;

namespace {

// Completions are plain procedures of a library: they reach the test through these.
struct CompletionLog {
    std::vector<int32_t> Values;
    std::vector<int> LogSizeAtCall;
    LinkFixture* Fixture = nullptr;
    uint8_t* Target = nullptr;
    std::vector<uint8_t> TargetAtCall;
} completions;

void Record(int32_t value) {
    completions.Values.push_back(value);
    if (completions.Fixture)
        completions.LogSizeAtCall.push_back(completions.Fixture->View.Log.size());
    if (completions.Target)
        completions.TargetAtCall.assign(completions.Target, completions.Target + 4);
}
void Throw(int32_t value) {
    Record(value);
    throw std::runtime_error("configurator failure");
}
void EnqueueMore(int32_t value) {
    Record(value);
    completions.Fixture->Link.EnqueueCommand(cmdAuxSize, nullptr, 0);
}
// The library goes while its completion runs (its window let the operator pick another
// kind), or it accepts a second read of the area there.
void ReleaseLibrary(int32_t value) {
    Record(value);
    completions.Fixture->Link.ForgetPluginRequests();
}
uint8_t secondTarget[4];
void ReadAgain(int32_t value) {
    Record(value);
    completions.Fixture->Link.SetReadTarget(Memory::Eeprom, secondTarget,
                                            int32_t(sizeof secondTarget));
}

Bytes Block(uint32_t address, uint16_t count, const Bytes& data = {}) {
    Bytes b(kBlockHeaderSize + data.size());
    PutU32(b.data(), address);
    PutU16(b.data() + kBlockCountOffset, count);
    std::copy(data.begin(), data.end(), b.begin() + kBlockHeaderSize);
    return b;
}

void Enqueue(LinkFixture& f, uint8_t type, const Bytes& data, PluginCompletion c = nullptr) {
    f.Link.EnqueueCommandEx(type, data.data(), uint16_t(data.size()), c);
}

struct BridgeRecorder : TcpReplySink {
    std::vector<Bytes> Sent;
    void SendToClients(const uint8_t* data, int size) override {
        Sent.emplace_back(data, data + size);
    }
};

LinkTimings NoReask() {
    LinkTimings timings{60000, 5, 0};
    timings.AnswerReaskMs = 600000;
    return timings;
}

// A connected link whose device stays quiet unless a test makes it speak: every answer
// below is one the test put there.
struct QuietLink : LinkFixture {
    explicit QuietLink(sim::DeviceConfig config = {}) : LinkFixture(config, NoReask()) {
        completions = {};
        completions.Fixture = this;
        Connected = Connect();
        Device.SetAnswering(false);
        Settle();
    }
    void Answer(uint8_t type, const Bytes& payload) {
        Device.SendFrame(Device.Signature(), type, payload);
        Settle();
    }
    // Until what the device had to say is read and handled.
    void Settle() {
        const uint64_t reads = Device.InTransfers();
        RunUntil([&] { return Device.InTransfers() > reads + 1 && Device.Pending() == 0; });
    }
    bool Connected = false;
};
} // namespace

class TestResponses : public QObject {
    Q_OBJECT
private slots:
    void verifyMismatchDropsTheQueue() {
        LinkFixture f;
        completions = {};
        completions.Fixture = &f;
        QVERIFY(f.Connect());
        // The completion hears -2 before the message is logged (FLASH jobs: tst_jobs).
        for (uint8_t type : {cmdEepromWrite, cmdEepromVerify})
            Enqueue(f, type, Block(0xABC0, 4, {1, 2, 3, 4}), Record);
        f.Device.MismatchVerifyAt(0xABC0);
        f.View.Log.clear();
        QVERIFY(f.RunUntil([&] { return f.Link.Queue().empty(); }));
        QCOMPARE(f.View.Log,
                 (QStringList{QStringLiteral("Ошибка верификации по адресу ABC0h!"), kCleared}));
        QCOMPARE(completions.Values, (std::vector<int32_t>{0xABC4, -2}));
        QCOMPARE(completions.LogSizeAtCall.back(), 0);
    }

    void mismatchIsReportedAtTheAnswersAddress() {
        QuietLink f;
        QVERIFY(f.Connected);
        Enqueue(f, cmdFlashVerify, Block(0, 4, {1, 2, 3, 4}));
        Enqueue(f, cmdFlashVerify, Block(4, 4, {1, 2, 3, 4}));
        f.View.Log.clear();
        f.Answer(cmdFlashVerify, Block(0xFFFF0, 4, {1}));
        QCOMPARE(f.View.Log,
                 (QStringList{QStringLiteral("Ошибка верификации по адресу FFFF0h!"), kCleared}));
        QVERIFY(f.Link.Queue().empty());
    }

    void answersMustEchoTheHead() {
        LinkFixture f;
        completions = {};
        QVERIFY(f.Connect());
        // Another address leaves the head queued; it goes out again and then retires.
        f.Device.WrongEchoes(1);
        Enqueue(f, cmdFlashWrite, Block(0x100, 2, {7, 8}));
        QVERIFY(f.RunUntil([&] { return f.Link.Queue().empty(); }));
        QCOMPARE(f.Device.FramesReceivedOfType(cmdFlashWrite), 2u);
        QCOMPARE(f.Device.Flash()[0x101], uint8_t(8));

        // TCP data: a beep for every answer, retirement only on the same sequence byte.
        f.Device.WrongEchoes(1);
        const int beeps = f.View.Beeps;
        const uint64_t tcpFrames = f.Device.FramesReceivedOfType(cmdTcpData);
        Enqueue(f, cmdTcpData, {0x05, 0x01, 0x00, 0x61});
        QVERIFY(f.RunUntil([&] { return f.Link.Queue().empty(); }));
        QCOMPARE(f.View.Beeps - beeps, 2);
        QCOMPARE(f.Device.FramesReceivedOfType(cmdTcpData) - tcpFrames, 2u); // sent again
        QCOMPARE(f.Device.TcpReceived(), (Bytes{0x61})); // the device takes a repeat once

        // A repeated answer for a retired block is dropped; completions come once per block.
        f.Device.RepeatAnswers(1);
        Enqueue(f, cmdEepromWrite, Block(0, 2, {1, 2}), Record);
        Enqueue(f, cmdEepromWrite, Block(2, 2, {3, 4}), Record);
        QVERIFY(f.RunUntil([&] { return f.Link.Queue().empty(); }));
        QCOMPARE(completions.Values, (std::vector<int32_t>{2, 4}));
    }

    // Unknown Types do nothing. An answer that retires nothing is still the device's answer:
    // it speaks only when spoken to, so the head goes out again, once per answer.
    void unknownAndUnmatchedAnswersTransmitOnce() {
        QuietLink f;
        QVERIFY(f.Connected);
        Enqueue(f, cmdFlashWrite, Block(0, 1, {9}));
        const QStringList log = f.View.Log;
        const size_t sent = f.Device.OutTransfers().size();
        for (uint8_t type : {uint8_t(0x02), uint8_t(0x13), uint8_t(0x42)})
            f.Answer(type, {0, 0, 0, 0, 0, 0, 0});
        QCOMPARE(f.Device.OutTransfers().size(), sent);
        f.Answer(cmdIdent, {0, 0, 0, 0, 0, 0, 0}); // answers the poll in flight
        f.Answer(cmdFlashWrite, Block(1, 1));      // another address
        QCOMPARE(f.View.Log, log);
        QCOMPARE(f.Sent(cmdFlashWrite).size(), size_t(2));
        QCOMPARE(f.Device.OutTransfers().size(), sent + 2);
        QCOMPARE(int(f.Link.Queue().size()), 1);

        const int beeps = f.View.Beeps;
        f.Link.ClearQueue();
        f.Answer(cmdTcpData, {0x00}); // with an empty queue: a beep, and a poll
        QCOMPARE(f.View.Beeps, beeps + 1);
        QCOMPARE(f.Device.OutTransfers().size(), sent + 3);
        QCOMPARE(f.Device.OutTransfers().back()[kFrameTypeOffset], uint8_t(cmdPoll));
    }

    void shortAnswersAreDropped() {
        QuietLink f;
        QVERIFY(f.Connected);
        const QString panel = f.View.StatusPanel;
        f.Link.EnqueueCommand(cmdIdent, nullptr, 0);
        f.Answer(cmdIdent, {10, 'a', 'b'}); // name shorter than its length byte
        f.Answer(cmdIdent, {});
        QCOMPARE(f.View.StatusPanel, panel);
        QCOMPARE(int(f.Link.Queue().size()), 1);
        f.Answer(cmdIdent, {2, 0xC0, 0xFF}); // code page 1251
        QCOMPARE(f.View.StatusPanel, QStringLiteral("Подключено устройство: Ая"));

        f.Link.EnqueueCommand(cmdFlashSize, nullptr, 0);
        f.Answer(cmdFlashSize, {1, 2});
        QCOMPARE(int(f.Link.Queue().size()), 1);
        f.Link.ClearQueue();

        Enqueue(f, cmdFlashVerify, Block(0, 1, {1}));
        f.Answer(cmdFlashVerify, Block(0, 1)); // no flag byte
        Enqueue(f, cmdEepromWrite, Block(0, 1, {1}));
        f.Link.DequeueCommand();
        f.Answer(cmdEepromWrite, {0, 0, 0, 0}); // no Count to compute the end from
        QCOMPARE(int(f.Link.Queue().size()), 1);
        QCOMPARE(f.Link.Queue().front().Command, uint8_t(cmdEepromWrite));
    }

    void readAnswersStayInsideTheirBlock() {
        QuietLink f;
        QVERIFY(f.Connected);
        uint8_t target[24];
        std::fill(std::begin(target), std::end(target), 0xEE);
        f.Link.SetReadTarget(Memory::Eeprom, target, int32_t(sizeof target));
        completions.Target = target + 8;
        Enqueue(f, cmdEepromRead, Block(8, 4), Record);

        f.Answer(cmdEepromRead, Block(8, 8, Bytes(8, 0x77))); // more than was asked for
        f.Answer(cmdEepromRead, Block(8, 4, {1, 2}));         // fewer bytes than its Count
        QCOMPARE(int(f.Link.Queue().size()), 1);
        QVERIFY(
            std::all_of(std::begin(target), std::end(target), [](uint8_t b) { return b == 0xEE; }));

        f.Answer(cmdEepromRead, Block(8, 4, {1, 2, 3, 4}));
        QVERIFY(f.Link.Queue().empty());
        QCOMPARE(completions.Values, std::vector<int32_t>{12});
        QCOMPARE(completions.TargetAtCall, Bytes(4, 0xEE)); // copied after the notification
        QCOMPARE(Bytes(target + 8, target + 12), (Bytes{1, 2, 3, 4}));
        QCOMPARE(target[7], uint8_t(0xEE));
        QCOMPARE(target[12], uint8_t(0xEE));
    }

    void readAnswerGoesWhereTheCompletionLeftTheTarget() {
        QuietLink f;
        QVERIFY(f.Connected);
        Bytes target(8, 0xEE);
        f.Link.SetReadTarget(Memory::Eeprom, target.data(), int32_t(target.size()));
        std::fill(std::begin(secondTarget), std::end(secondTarget), 0xEE);
        Enqueue(f, cmdEepromRead, Block(0, 4), ReleaseLibrary);
        f.Answer(cmdEepromRead, Block(0, 4, {1, 2, 3, 4}));
        QVERIFY(f.Link.Queue().empty());
        QCOMPARE(target, Bytes(8, 0xEE)); // the buffer is no longer the library's

        f.Link.SetReadTarget(Memory::Eeprom, target.data(), int32_t(target.size()));
        Enqueue(f, cmdEepromRead, Block(0, 4), ReadAgain);
        f.Answer(cmdEepromRead, Block(0, 4, {5, 6, 7, 8}));
        QCOMPARE(completions.Values, (std::vector<int32_t>{4, 4}));
        QCOMPARE(target, Bytes(8, 0xEE));
        QCOMPARE(Bytes(std::begin(secondTarget), std::end(secondTarget)), (Bytes{5, 6, 7, 8}));
    }

    void blockAnswersCountingMoreAreDropped() {
        // The completion is told the answer's end, which must stay inside the block.
        QuietLink f;
        QVERIFY(f.Connected);
        for (uint8_t type : {cmdEepromWrite, cmdAuxVerify}) {
            completions.Values.clear();
            Enqueue(f, type, Block(0, 2, {1, 2}), Record);
            const Bytes tail = type == cmdAuxVerify ? Bytes{0} : Bytes{};
            f.Answer(type, Block(0, 400, tail));
            QCOMPARE(int(f.Link.Queue().size()), 1);
            QVERIFY(completions.Values.empty());
            f.Answer(type, Block(0, 2, tail));
            QVERIFY(f.Link.Queue().empty());
            QCOMPARE(completions.Values, std::vector<int32_t>{2});
        }
    }

    void completionsAreGuardedAndMayEnqueue() {
        QuietLink f;
        QVERIFY(f.Connected);
        Enqueue(f, cmdAuxWrite, Block(0, 1, {1}), Throw);
        Enqueue(f, cmdAuxWrite, Block(1, 1, {2}), EnqueueMore);
        Enqueue(f, cmdAuxWrite, Block(2, 1, {3}));
        f.Answer(cmdAuxWrite, Block(0, 1)); // the throw is swallowed, the head retired
        QCOMPARE(int(f.Link.Queue().size()), 2);
        f.Answer(cmdAuxWrite, Block(1, 1)); // the new entry lands behind the head
        QCOMPARE(int(f.Link.Queue().size()), 2);
        QCOMPARE(f.Link.Queue().front().Address(), 2u);
        QCOMPARE(f.Link.Queue().back().Command, uint8_t(cmdAuxSize));
        QCOMPARE(completions.Values, (std::vector<int32_t>{1, 2}));
    }

    // The table agrees with the system's decoder on every byte but 0x98, which code page
    // 1251 leaves unassigned: the system makes it the C1 control U+0098, the table the
    // replacement character, so that no device name carries a control into the window.
    void identificationTextIsCodePage1251() {
        QStringDecoder system("windows-1251");
        QVERIFY(system.isValid());
        for (int b = 0; b < 256; ++b) {
            const uint8_t byte = uint8_t(b);
            const QString expected =
                b == 0x98 ? QString(QChar(0xFFFD)) : system(QByteArray(1, char(byte)));
            QCOMPARE(FromCp1251(&byte, 1), expected);
        }
    }

    void sizesShowAsSigned() {
        sim::DeviceConfig big;
        big.FlashSize = 0x80000000u;
        big.EepromSize = 0xFFFFFFFFu;
        LinkFixture f(big);
        QVERIFY(f.Connect());
        QCOMPARE(f.View.FlashSizeText, QStringLiteral("Размер -2147483648 байт"));
        QCOMPARE(f.View.EepromSizeText, QStringLiteral("Размер -1 байт"));
        QCOMPARE(f.Link.FlashSize(), 0x80000000u);
    }

    void tcpRepliesGoToTheBridge() {
        QuietLink f;
        QVERIFY(f.Connected);
        f.Answer(cmdTcpReply, {1, 2, 3}); // no bridge yet: nothing happens
        BridgeRecorder bridge;
        f.Link.SetBridge(&bridge);
        f.Device.SendReply({4, 5});
        f.Answer(cmdTcpReply, {6});
        QCOMPARE(bridge.Sent, (std::vector<Bytes>{{4, 5}, {6}}));
        QVERIFY(f.Link.Queue().empty());
    }
};

QTEST_GUILESS_MAIN(TestResponses)
#include "tst_responses.moc"
