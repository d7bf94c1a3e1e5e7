// The TCP bridge with real sockets on 127.0.0.1 and the simulated device on the in-process
// bus, which acknowledges every chunk and echoes its bytes back as a reply.
#include "LinkFixture.h"
#include "TcpBridge.h"

#include <QTcpServer>
#include <QTcpSocket>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace ktr;
using Bytes = std::vector<uint8_t>;

namespace {

const QByteArray kBanner = QByteArrayLiteral("Welcome to TcpSrv\r\n");
constexpr int kNeverMs = 3'600'000; // timers the tests fire by hand

struct BridgeFixture : LinkFixture {
    explicit BridgeFixture(BridgeTimings timings = {kNeverMs, kNeverMs})
        : Bridge(Link, View, timings) {
        Bridge.TcpServerOpen(QStringLiteral("0"));
    }

    // A client whose banner has arrived (and is left unread).
    std::unique_ptr<QTcpSocket> Client() {
        auto client = std::make_unique<QTcpSocket>();
        client->connectToHost(QHostAddress::LocalHost, Bridge.ListeningPort());
        RunUntil([&] { return client->bytesAvailable() >= kBanner.size(); });
        return client;
    }
    void Send(QTcpSocket& client, const QByteArray& bytes) {
        const int32_t before = Bridge.TcpInFill();
        client.write(bytes);
        RunUntil([&] { return Bridge.TcpInFill() == before + bytes.size(); });
    }
    // Flushes by hand and waits until the device holds `total` bridge bytes.
    bool Deliver(size_t total) {
        Bridge.Timer4Timer();
        return RunUntil([&] { return Device.TcpReceived().size() >= total; }, 20000);
    }
    QByteArray Received() const {
        const Bytes& r = Device.TcpReceived();
        return QByteArray(reinterpret_cast<const char*>(r.data()), qsizetype(r.size()));
    }
    // More than the hold mark waits in the queue of a link not yet connected: clients' bytes
    // stay in their connections until the queue is cleared.
    void HoldReading() {
        const Bytes filler(kTcpChunkHeaderSize + kMaxTcpChunkData);
        while (Link.QueuedBytes(cmdTcpData) <= kBridgeQueueHoldBytes)
            Link.EnqueueCommand(cmdTcpData, filler.data(), uint16_t(filler.size()));
    }
    // The chunks waiting in the queue: Sequence, Count and entry Length of each.
    std::vector<std::array<int, 3>> QueuedChunks() const {
        std::vector<std::array<int, 3>> out;
        for (const CommandEntry& e : Link.Queue())
            if (e.Command == cmdTcpData)
                out.push_back({e.Data[0], GetU16(e.Data.data() + 1), e.Length});
        return out;
    }

    TcpBridge Bridge;
};

// A plain socket that never reads; a small receive window keeps the kernel from holding
// much for it, so that what it does not take piles up in the bridge.
struct RawClient {
    explicit RawClient(uint16_t port, int window = 0) : Fd(::socket(AF_INET, SOCK_STREAM, 0)) {
        if (window > 0) ::setsockopt(Fd, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        Connected = ::connect(Fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~RawClient() { ::close(Fd); }
    // Takes what has arrived, without waiting; false once the bridge has closed the
    // connection (Closed) or reset it (Reset).
    bool Take(QByteArray& into) {
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::recv(Fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0) {
                into.append(buffer, n);
                continue;
            }
            Closed = n == 0;
            Reset = n < 0 && errno == ECONNRESET;
            return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        }
    }
    int Fd;
    bool Connected = false;
    bool Closed = false;
    bool Reset = false;
};

QByteArray Pattern(int size, int seed) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + seed * 31 + (i >> 8)) & 0xFF);
    return bytes;
}

QByteArray ReadAll(LinkFixture& f, QTcpSocket& client, qsizetype size) {
    QByteArray got;
    f.RunUntil(
        [&] {
            got += client.readAll();
            return got.size() >= size;
        },
        20000);
    return got;
}

} // namespace

class TestTcpBridge : public QObject {
    Q_OBJECT
private slots:
    void bannerAndConnectionCount();
    void flushCutsChunksWithConsecutiveSequences();
    void burstsBeforeTheFlushMakeOneChunk();
    void twoClientsMergeInputAndBothGetEveryReply();
    void slowClientIsClosedAloneAndClosedClientIsSkipped();
    void portChangeClosesClientsWithoutLosingBytesEitherWay();
    void clientAskedToCloseThatTakesNoRepliesIsResetInTime();
    void portFieldRules_data();
    void portFieldRules();
    void openFailures_data();
    void openFailures();
    void fullBufferPausesReadingWithoutLosingBytes();
    void queueStaysBoundedAndStreamArrivesIntact();
    void bytesOfALeavingClientStillReachTheDevice();
    void errorsOfItsHandlersAreReportedAndItGoesOn();
};

void TestTcpBridge::bannerAndConnectionCount() {
    BridgeFixture f;
    QCOMPARE(f.View.TcpStatus, QStringLiteral("Подключение"));
    auto a = f.Client();
    QCOMPARE(a->readAll(), kBanner); // exactly the banner, and already counted by then
    QCOMPARE(f.View.TcpStatus, QStringLiteral("Подключений: 1"));
    auto b = f.Client();
    QCOMPARE(f.View.TcpStatus, QStringLiteral("Подключений: 2"));

    // A leaving client is still counted until the next Timer3 tick.
    a->disconnectFromHost();
    QVERIFY(f.RunUntil([&] { return f.Bridge.ClientCount() == 1; }));
    QCOMPARE(f.View.TcpStatus, QStringLiteral("Подключений: 2"));
    f.Bridge.Timer3Timer();
    QCOMPARE(f.View.TcpStatus, QStringLiteral("Подключений: 1"));
    b->disconnectFromHost();
    QVERIFY(f.RunUntil([&] { return f.Bridge.ClientCount() == 0; }));
    f.Bridge.Timer3Timer();
    QCOMPARE(f.View.TcpStatus, QStringLiteral("Подключение"));
}

void TestTcpBridge::flushCutsChunksWithConsecutiveSequences() {
    BridgeFixture f;
    QVERIFY(f.Connect());
    auto client = f.Client();
    f.Bridge.BridgeSequence = 254;
    const QByteArray data = Pattern(600, 1);
    f.Send(*client, data.left(5)); // the caption shows the fill as it was before each read
    f.Send(*client, data.mid(5));
    QCOMPARE(f.View.Captions.mid(0, 2), (QStringList{"0", "5"}));
    QVERIFY(f.Bridge.Timer4.isActive());

    const size_t sentBefore = f.Sent(cmdTcpData).size();
    f.Bridge.Timer4Timer();
    // All three queued with consecutive sequences across the wrap, then one transmission.
    using Chunk = std::array<int, 3>;
    QCOMPARE(f.QueuedChunks(), (std::vector<Chunk>{{254, 256, 259}, {255, 256, 259}, {0, 88, 91}}));
    QCOMPARE(f.Sent(cmdTcpData).size(), sentBefore + 1);
    QVERIFY(!f.Bridge.Timer4.isActive());
    QCOMPARE(f.Bridge.TcpInFill(), 0);

    QVERIFY(f.RunUntil([&] { return f.Device.TcpReceived().size() >= 600; }));
    QCOMPARE(f.Received(), data);
    QCOMPARE(ReadAll(f, *client, kBanner.size() + 600), kBanner + data); // echoed back
    QCOMPARE(f.Bridge.BridgeSequence, 1);
}

void TestTcpBridge::burstsBeforeTheFlushMakeOneChunk() {
    BridgeFixture f;
    auto client = f.Client();
    f.Send(*client, "first ");
    f.Send(*client, "second");
    f.Bridge.Timer4Timer();
    using Chunk = std::array<int, 3>;
    QCOMPARE(f.QueuedChunks(), (std::vector<Chunk>{{0, 12, 15}}));
    // A flush with nothing buffered queues nothing and leaves the sequence alone.
    f.Bridge.Timer4Timer();
    QCOMPARE(f.QueuedChunks().size(), size_t(1));
    QCOMPARE(f.Bridge.BridgeSequence, 1);
}

void TestTcpBridge::twoClientsMergeInputAndBothGetEveryReply() {
    BridgeFixture f;
    QVERIFY(f.Connect());
    auto a = f.Client();
    auto b = f.Client();
    a->readAll();
    b->readAll();
    f.Send(*a, "from a;");
    f.Send(*b, "from b;");
    f.Send(*a, "a again");
    QVERIFY(f.Deliver(21));
    QCOMPARE(f.Received(), QByteArray("from a;from b;a again"));
    f.Device.SendReply({'!', '\0', '\n'});
    const QByteArray expected = QByteArray("from a;from b;a again") + QByteArray("!\0\n", 3);
    QCOMPARE(ReadAll(f, *a, expected.size()), expected);
    QCOMPARE(ReadAll(f, *b, expected.size()), expected);
}

void TestTcpBridge::slowClientIsClosedAloneAndClosedClientIsSkipped() {
    BridgeFixture f;
    auto good = f.Client();
    good->readAll();
    RawClient stuck(f.Bridge.ListeningPort(), 4096);
    QVERIFY(stuck.Connected);
    QVERIFY(f.RunUntil([&] { return f.Bridge.ClientCount() == 2; }));
    const QByteArray piece = Pattern(64 * 1024, 2);
    const int pieces = 3 * int(kClientBacklogBytes / piece.size()); // beyond any kernel buffers
    QByteArray got;
    for (int i = 0; i < pieces; ++i) {
        f.Bridge.SendToClients(reinterpret_cast<const uint8_t*>(piece.constData()), piece.size());
        QCoreApplication::processEvents();
        got += good->readAll();
    }
    got += ReadAll(f, *good, qsizetype(pieces) * piece.size() - got.size());
    QCOMPARE(f.View.Log, QStringList{"TCP-клиент не принимает данные, соединение закрыто."});
    QCOMPARE(f.Bridge.ClientCount(), 1);
    QCOMPARE(got.size(), qsizetype(pieces) * piece.size());
    QVERIFY(got == piece.repeated(pieces));

    // A client closed by a port change stays listed until its disconnect is handled; a
    // reply meanwhile skips it and still reaches the client accepted after it.
    auto next = f.Client();
    next->readAll();
    const uint16_t port = f.Bridge.ListeningPort();
    f.Bridge.TcpServerOpen(QString::number(port));
    f.Bridge.SendToClients(reinterpret_cast<const uint8_t*>("late"), 4);
    QCOMPARE(f.Bridge.ClientCount(), 2);
    QVERIFY(f.RunUntil([&] { return f.Bridge.ClientCount() == 0; }));
    QCOMPARE(f.View.Log.size(), 1);
}

void TestTcpBridge::portChangeClosesClientsWithoutLosingBytesEitherWay() {
    BridgeFixture f;
    f.HoldReading();
    RawClient client(f.Bridge.ListeningPort(), 4096);
    QVERIFY(client.Connected);
    QVERIFY(f.RunUntil([&] { return f.Bridge.ClientCount() == 1; }));
    // Its bytes wait in the connection, more than Qt takes in ahead; replies wait for it in
    // the bridge, as it reads nothing yet through a small window.
    const QByteArray sent = Pattern(100000, 5);
    qsizetype at = 0;
    QVERIFY(f.RunUntil([&] {
        const ssize_t n =
            ::send(client.Fd, sent.constData() + at, size_t(sent.size() - at), MSG_DONTWAIT);
        at += std::max<ssize_t>(n, 0);
        return at == sent.size();
    }));
    const QByteArray replies = Pattern(1 << 20, 6);
    f.Bridge.SendToClients(reinterpret_cast<const uint8_t*>(replies.constData()), replies.size());

    const uint16_t oldPort = f.Bridge.ListeningPort();
    QCOMPARE(f.Bridge.ysIntEdit1Change(QStringLiteral("0")), QStringLiteral("0"));
    QVERIFY(f.Bridge.ListeningPort() != 0 && f.Bridge.ListeningPort() != oldPort);
    f.Bridge.SendToClients(reinterpret_cast<const uint8_t*>("late"), 4); // asked to close

    // Reading resumes: what it had sent reaches the device, it gets its replies, then an
    // orderly close.
    f.Link.ClearQueue();
    f.Bridge.Timer4.setInterval(1);
    QVERIFY(f.Connect());
    QByteArray got;
    QVERIFY(f.RunUntil([&] { return !client.Take(got) && f.Bridge.ClientCount() == 0; }, 20000));
    QVERIFY(client.Closed);
    QVERIFY(got == kBanner + replies);
    QVERIFY(f.RunUntil([&] { return f.Device.TcpReceived().size() >= size_t(sent.size()); }));
    QVERIFY(f.Received() == sent);

    // The sequence runs on across the reopening.
    const uint8_t sequence = f.Bridge.BridgeSequence;
    auto again = f.Client();
    f.Send(*again, "after");
    QVERIFY(f.Deliver(size_t(sent.size()) + 5));
    QCOMPARE(f.Bridge.BridgeSequence, uint8_t(sequence + 1));
}

void TestTcpBridge::clientAskedToCloseThatTakesNoRepliesIsResetInTime() {
    BridgeFixture f({kNeverMs, kNeverMs, 1});
    RawClient stuck(f.Bridge.ListeningPort(), 4096);
    QVERIFY(stuck.Connected);
    QVERIFY(f.RunUntil([&] { return f.Bridge.ClientCount() == 1; }));
    const QByteArray replies = Pattern(6 << 20, 8); // more than the system takes for it
    f.Bridge.SendToClients(reinterpret_cast<const uint8_t*>(replies.constData()), replies.size());
    f.Bridge.TcpServerOpen(QString::number(f.Bridge.ListeningPort()));
    QVERIFY(f.RunUntil([&] { return f.Bridge.ClientCount() == 0; }));
    QCOMPARE(f.View.Log, QStringList{"TCP-клиент не принимает данные, соединение закрыто."});
}

void TestTcpBridge::portFieldRules_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("error"); // empty: the server listens
    QTest::newRow("clamped down") << "65536"
                                  << "65535"
                                  << "";
    QTest::newRow("far beyond") << "99999999"
                                << "65535"
                                << "";
    QTest::newRow("negative") << "-7"
                              << "0"
                              << "";
    QTest::newRow("leading zeros") << "000"
                                   << "0"
                                   << "";
    QTest::newRow("plus sign") << "+0"
                               << "0"
                               << "";
    QTest::newRow("lone plus") << "+"
                               << "+"
                               << "listen: +";
    QTest::newRow("lone minus") << "-"
                                << "-"
                                << "listen: -";
    QTest::newRow("empty") << ""
                           << ""
                           << QStringLiteral("Error %1 in function listen: port not assigned\r\n"
                                             "Invalid argument")
                                  .arg(EINVAL);
}

void TestTcpBridge::portFieldRules() {
    QFETCH(QString, typed);
    QFETCH(QString, shown);
    QFETCH(QString, error);
    BridgeFixture f;
    auto client = f.Client();
    QCOMPARE(f.View.TcpStatus, QStringLiteral("Подключений: 1"));
    if (error.isEmpty()) {
        QCOMPARE(f.Bridge.ysIntEdit1Change(typed), shown);
        if (shown != QLatin1String("0")) QCOMPARE(QString::number(f.Bridge.ListeningPort()), shown);
        QVERIFY(f.Bridge.ListeningPort() != 0);
        return;
    }
    try {
        f.Bridge.ysIntEdit1Change(typed);
        QFAIL("no error");
    } catch (const TcpServerError& e) {
        QCOMPARE(e.Text, error);
    }
    // Closed, clients gone, and the status left as it was.
    QCOMPARE(f.Bridge.ListeningPort(), 0);
    QVERIFY(f.RunUntil([&] { return client->state() == QAbstractSocket::UnconnectedState; }));
    QCOMPARE(f.View.TcpStatus, QStringLiteral("Подключений: 1"));
}

void TestTcpBridge::openFailures_data() {
    QTest::addColumn<QString>("portText");
    QTest::addColumn<QString>("error");
    QTest::newRow("in use")
        << "taken"
        << QStringLiteral("Error %1 in function Bind\r\nAddress already in use").arg(EADDRINUSE);
    QTest::newRow("not a number") << "http"
                                  << "listen: http";
    QTest::newRow("too large") << "70000"
                               << "listen: 70000";
}

void TestTcpBridge::openFailures() {
    QFETCH(QString, portText);
    QFETCH(QString, error);
    QTcpServer other;
    QVERIFY(other.listen(QHostAddress::LocalHost, 0));
    if (portText == QLatin1String("taken")) portText = QString::number(other.serverPort());
    BridgeFixture f;
    try {
        f.Bridge.TcpServerOpen(portText);
        QFAIL("no error");
    } catch (const TcpServerError& e) {
        QCOMPARE(e.Text, error);
    }
    QCOMPARE(f.Bridge.ListeningPort(), 0);
    // A later change of the field tries again.
    f.Bridge.ysIntEdit1Change(QStringLiteral("0"));
    QVERIFY(f.Bridge.ListeningPort() != 0);
}

void TestTcpBridge::fullBufferPausesReadingWithoutLosingBytes() {
    BridgeFixture f;
    QVERIFY(f.Connect());
    auto client = f.Client();
    const QByteArray data = Pattern(3 * kTcpInBufferSize + 1000, 3);
    client->write(data);
    QVERIFY(f.RunUntil([&] { return f.Bridge.TcpInFill() == kTcpInBufferSize; }));
    // Full: no more reads (each read shows a caption) while the rest waits in the connection.
    const qsizetype reads = f.View.Captions.size();
    for (int i = 0; i < 50; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QCOMPARE(f.View.Captions.size(), reads);
    QCOMPARE(f.Bridge.TcpInFill(), kTcpInBufferSize);

    f.Bridge.Timer4.setInterval(1); // from here the flushes come by themselves
    QVERIFY(f.Deliver(size_t(data.size())));
    QVERIFY(f.Received() == data);
}

void TestTcpBridge::queueStaysBoundedAndStreamArrivesIntact() {
    BridgeFixture f({kNeverMs, 1});
    QVERIFY(f.Connect());
    uint64_t peak = 0;
    QObject::connect(&f.Link, &LinkControl::QueueChanged,
                     [&] { peak = std::max(peak, f.Link.QueuedBytes(cmdTcpData)); });
    auto client = f.Client();
    const QByteArray data = Pattern(1 << 20, 4);
    client->write(data);
    QVERIFY(
        f.RunUntil([&] { return f.Device.TcpReceived().size() >= size_t(data.size()); }, 60000));
    QVERIFY(f.Received() == data);
    // At most one flush beyond the hold mark, with its 3-byte chunk headers.
    QVERIFY2(peak <= kBridgeQueueHoldBytes + (kTcpInBufferSize / 256 + 1) * 259,
             qPrintable(QString::number(peak)));
    QVERIFY(ReadAll(f, *client, kBanner.size() + data.size()) == kBanner + data);
}

void TestTcpBridge::bytesOfALeavingClientStillReachTheDevice() {
    BridgeFixture f;
    f.HoldReading();
    RawClient client(f.Bridge.ListeningPort());
    QVERIFY(client.Connected);
    QVERIFY(f.RunUntil([&] { return f.Bridge.ClientCount() == 1; }));
    QCOMPARE(::send(client.Fd, "last words", 10, MSG_NOSIGNAL), 10);
    ::shutdown(client.Fd, SHUT_WR);
    QVERIFY(f.RunUntil([&] { return f.Bridge.ClientCount() == 0; }));
    QCOMPARE(f.Bridge.TcpInFill(), 0); // gone, with its bytes still unread

    f.Link.ClearQueue();
    QVERIFY(f.RunUntil([&] { return f.Bridge.TcpInFill() == 10; }));
    QVERIFY(f.Connect());
    QVERIFY(f.Deliver(10));
    QCOMPARE(f.Received(), QByteArray("last words"));
}

void TestTcpBridge::errorsOfItsHandlersAreReportedAndItGoesOn() {
    // A view whose caption fails once: raised in the client's data handler.
    struct FailingView : ViewRecorder {
        bool FailCaption = true;
        void SetCaption(const QString& text) override {
            ViewRecorder::SetCaption(text);
            if (std::exchange(FailCaption, false)) throw std::runtime_error("caption");
        }
    };
    LinkFixture f;
    FailingView view;
    TcpBridge bridge(f.Link, view, {kNeverMs, 1});
    bridge.TcpServerOpen(QStringLiteral("0"));
    // The second chunk's queueing fails in the flush timer's handler, after it was queued.
    int changes = 0;
    QObject::connect(&f.Link, &LinkControl::QueueChanged, [&] {
        if (++changes == 2) throw std::runtime_error("queue");
    });
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, bridge.ListeningPort());
    const QByteArray data = Pattern(300, 7);
    client.write(data);
    QVERIFY(f.RunUntil([&] { return view.Errors.size() == 2 && bridge.TcpInFill() == 0; }));
    QCOMPARE(view.Errors, (QStringList{"caption", "queue"}));
    QCOMPARE(f.Link.QueuedBytes(cmdTcpData), uint64_t(300 + 2 * kTcpChunkHeaderSize));

    // Nothing lost, nothing twice.
    QVERIFY(f.Connect());
    QVERIFY(f.RunUntil([&] { return f.Device.TcpReceived().size() >= 300; }));
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(f.Device.TcpReceived().data()),
                        qsizetype(f.Device.TcpReceived().size())),
             data);
}

QTEST_GUILESS_MAIN(TestTcpBridge)
#include "tst_tcpbridge.moc"
