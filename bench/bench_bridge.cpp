// The TCP bridge under load, with real sockets on 127.0.0.1 and the in-process device, which
// echoes every chunk: a client that never reads, many clients at once, and one stream over a
// link that turns each frame round in half a millisecond, as a full-speed USB device does.
#include "BenchSupport.h"
#include "TcpBridge.h"

#include <QFile>
#include <QTcpSocket>

#include <chrono>
#include <memory>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace ktr;

namespace {

const QByteArray kBanner = QByteArrayLiteral("Welcome to TcpSrv\r\n");
constexpr int kBoundMs = 50000; // no run may take longer
constexpr auto kTurnaround = std::chrono::microseconds(500);

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "bench_bridge: %s\n", what);
    std::exit(1);
}

template <class Pred> void RunUntil(Pred pred, const char* what) {
    QElapsedTimer clock;
    clock.start();
    while (!pred()) {
        if (clock.elapsed() > kBoundMs) Fail(what);
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
}

TcpBridge& OpenBridge(std::unique_ptr<TcpBridge>& bridge, LinkControl& link, HostView& view) {
    bridge = std::make_unique<TcpBridge>(link, view);
    bridge->TcpServerOpen(QStringLiteral("0"));
    return *bridge;
}

std::unique_ptr<QTcpSocket> Connect(const TcpBridge& bridge) {
    auto client = std::make_unique<QTcpSocket>();
    client->connectToHost(QHostAddress::LocalHost, bridge.ListeningPort());
    return client;
}

double PeakRssMb() {
    QFile status(QStringLiteral("/proc/self/status"));
    status.open(QIODevice::ReadOnly);
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:")) return line.mid(6).trimmed().split(' ')[0].toDouble() / 1024;
    return 0;
}

// One client that connects and never reads, with a small window so that the kernel holds
// little for it, while 64 MiB of device replies flow. Run first: the peak is the process's.
double SlowClientPeakRssMb() {
    BenchLink b;
    std::unique_ptr<TcpBridge> owner;
    TcpBridge& bridge = OpenBridge(owner, b.Link, b.View);
    b.Connect();
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int window = 4096;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(bridge.ListeningPort());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        Fail("cannot connect");
    RunUntil([&] { return bridge.ClientCount() == 1; }, "the client was not accepted");
    const std::vector<uint8_t> reply(3072, 0x5A);
    uint64_t fed = 0;
    RunUntil(
        [&] {
            // Fed only once the device's output is down to a poll answer: the model keeps
            // its output until a read has taken all of it.
            if (fed < (64u << 20) && b.Device.Pending() <= kPollTransferSize) {
                for (int i = 0; i < 16; ++i)
                    b.Device.SendReply(reply);
                fed += 16 * reply.size();
            }
            return fed >= (64u << 20) && b.Device.Pending() < reply.size(); // polls only
        },
        "the replies did not flow");
    ::close(fd);
    return PeakRssMb();
}

// Byte i of client c: the client's number in the top five bits and a mix of both below, so
// that the merged stream at the device can be split by client and checked in order.
char ClientByte(int client, uint32_t i) {
    return char((client << 3) | ((i * 2654435761u + uint32_t(client) * 40503u) >> 29));
}

struct ManyClientsFigures {
    double BytesLost;
    double QueuePeakKiB;
};

// Every client sends its own data and checks, as they come, that its replies are the
// device's whole stream after the banner.
ManyClientsFigures ManyClients(int clients, uint32_t bytesEach) {
    BenchLink b;
    std::unique_ptr<TcpBridge> owner;
    TcpBridge& bridge = OpenBridge(owner, b.Link, b.View);
    b.Connect();
    uint64_t peak = 0;
    QObject::connect(&b.Link, &LinkControl::QueueChanged,
                     [&] { peak = std::max(peak, b.Link.QueuedBytes(cmdTcpData)); });
    const std::vector<uint8_t>& device = b.Device.TcpReceived();
    std::vector<std::unique_ptr<QTcpSocket>> sockets;
    std::vector<uint64_t> received(size_t(clients), 0), wrong(size_t(clients), 0);
    for (int c = 0; c < clients; ++c) {
        // One at a time: the backlog is 5, and a burst beyond it would wait for the
        // clients' first data before the kernel completes their connections.
        sockets.push_back(Connect(bridge));
        RunUntil([&] { return bridge.ClientCount() == c + 1; }, "a client was not accepted");
        QTcpSocket* socket = sockets.back().get();
        QObject::connect(socket, &QIODevice::readyRead, [&, socket, c] {
            const QByteArray got = socket->readAll();
            for (qsizetype i = 0; i < got.size(); ++i, ++received[size_t(c)]) {
                const uint64_t at = received[size_t(c)];
                const char expected = at < uint64_t(kBanner.size())
                                          ? kBanner[qsizetype(at)]
                                          : char(device[at - uint64_t(kBanner.size())]);
                wrong[size_t(c)] += got[i] != expected;
            }
        });
    }
    for (int c = 0; c < clients; ++c) {
        QByteArray data(qsizetype(bytesEach), Qt::Uninitialized);
        for (uint32_t i = 0; i < bytesEach; ++i)
            data[qsizetype(i)] = ClientByte(c, i);
        sockets[size_t(c)]->write(data);
    }
    const uint64_t total = uint64_t(clients) * bytesEach;
    const uint64_t replyTotal = uint64_t(kBanner.size()) + total;
    RunUntil(
        [&] {
            return std::all_of(received.begin(), received.end(),
                               [&](uint64_t r) { return r >= replyTotal; });
        },
        "the replies did not all arrive");

    // At the device: each client's bytes, in its order, none missing and none extra.
    std::vector<uint32_t> next(size_t(clients), 0);
    uint64_t lost = 0;
    for (const uint8_t byte : device) {
        const int c = byte >> 3;
        if (c < clients && next[size_t(c)] < bytesEach &&
            char(byte) == ClientByte(c, next[size_t(c)]))
            ++next[size_t(c)];
        else
            ++lost;
    }
    for (int c = 0; c < clients; ++c) {
        lost += bytesEach - next[size_t(c)];
        lost += wrong[size_t(c)] + (replyTotal - std::min(received[size_t(c)], replyTotal));
    }
    return {double(lost), double(peak) / 1024};
}

// A bus whose device takes kTurnaround to turn each frame round: every OUT transfer takes
// that long, and the reads that follow find the answer ready.
class TurnaroundBus final : public UsbBackend {
public:
    sim::SimUsbBus Inner;
    void Init() override { Inner.Init(); }
    std::vector<UsbDeviceInfo> ListAllDevices() override { return Inner.ListAllDevices(); }
    UsbHandlePtr Open(const UsbDeviceInfo& device) override { return Inner.Open(device); }
    int Close(UsbHandlePtr& handle) override { return Inner.Close(handle); }
    int ControlMsg(UsbHandle& handle, int requestType, int request, int value, int index,
                   char* bytes, int size, int timeoutMs) override {
        if (requestType == kRequestTypeOut) {
            const auto until = std::chrono::steady_clock::now() + kTurnaround;
            while (std::chrono::steady_clock::now() < until) {
            }
        }
        return Inner.ControlMsg(handle, requestType, request, value, index, bytes, size, timeoutMs);
    }

private:
    static constexpr int kRequestTypeOut = 0x40;
};

struct StreamFigures {
    double BridgeMBps;
    double LinkLimitMBps;
};

// One client streams `bytes` and takes the echo; the link's limit is 256 bytes per poll
// round trip of the same link, measured first.
StreamFigures Stream(int bytes) {
    TurnaroundBus bus;
    sim::DeviceModel device;
    device.SetRecording(false);
    bus.Inner.Attach(device);
    NullView view;
    LinkControl link(bus, view);
    link.Connect();
    RunUntil([&] { return link.LinkEstablished() && link.Queue().empty() && link.FlashSize(); },
             "the link did not connect");

    const uint64_t pollsBefore = device.FramesReceivedOfType(cmdPoll);
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 1000)
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    const double roundTripsPerS =
        double(device.FramesReceivedOfType(cmdPoll) - pollsBefore) / (clock.nsecsElapsed() / 1e9);

    std::unique_ptr<TcpBridge> owner;
    TcpBridge& bridge = OpenBridge(owner, link, view);
    auto client = Connect(bridge);
    RunUntil([&] { return client->bytesAvailable() >= kBanner.size(); }, "no banner");
    client->readAll();
    QByteArray data(bytes, Qt::Uninitialized);
    for (int i = 0; i < bytes; ++i)
        data[i] = char(i * 7 + (i >> 12));
    qint64 echoed = 0;
    bool intact = true;
    clock.start();
    client->write(data);
    RunUntil(
        [&] {
            const QByteArray got = client->readAll();
            intact = intact && got == data.mid(echoed, got.size());
            echoed += got.size();
            return echoed >= bytes;
        },
        "the echo did not come back");
    if (!intact) Fail("the echo came back altered");
    return {bytes / (clock.nsecsElapsed() / 1e9) / 1e6, kMaxTcpChunkData * roundTripsPerS / 1e6};
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    PrintFigure("bridge_rss_mb_slow_client", SlowClientPeakRssMb(), "MB");
    const ManyClientsFigures many = ManyClients(32, 1u << 20);
    PrintFigure("bridge_clients_bytes_lost", many.BytesLost, "B");
    PrintFigure("bridge_queue_peak_kib", many.QueuePeakKiB, "KiB");
    // 4 MiB: a steady rate within a bounded run (16 MiB would take over half a minute).
    const StreamFigures stream = Stream(4 << 20);
    // Three decimals: a link of this pace carries well under 1 MB/s.
    std::printf("bridge_mb_per_s: %.3f MB/s\nlink_limit_mb_per_s: %.3f MB/s\n", stream.BridgeMBps,
                stream.LinkLimitMBps);
    return 0;
}
