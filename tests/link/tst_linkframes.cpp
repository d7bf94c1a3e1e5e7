// Frames, reassembly and the USB search rules, below the link control.
#include "LinkFrame.h"
#include "RxAccumulator.h"
#include "SimUsbBus.h"
#include "UsbDevice.h"

#include <QtTest>

using namespace ktr;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes Frame(uint32_t signature, uint8_t type, const Bytes& payload = {}) {
    Bytes out(payload.size() + 8);
    WriteFrame(out.data(), signature, type, payload.data(), uint16_t(payload.size()));
    return out;
}

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

struct RecordingSink : FrameSink {
    uint32_t Signature = 0;
    std::vector<Bytes> Frames;
    int Adoptions = 0;
    void HandleResponse(const uint8_t* frame) override {
        Frames.emplace_back(frame, frame + GetU16(frame + 4) + kFrameOverhead);
    }
    void DeviceKindChanged() override {
        ++Adoptions;
        const uint32_t kind = KindOfSignature(Signature);
        if (kind < 1 || kind > 3) Signature = 0;
    }
};

struct Receiver {
    RecordingSink Sink;
    RxAccumulator Rx{Sink.Signature, Sink};
    int MaxFilled = 0;
    void Feed(const Bytes& bytes, size_t piece = kReceiveTransferSize) {
        for (size_t at = 0; at < bytes.size(); at += piece) {
            Rx.AppendReceived(bytes.data() + at, int32_t(std::min(piece, bytes.size() - at)));
            MaxFilled = std::max(MaxFilled, int(Rx.Filled()));
        }
    }
};

const uint32_t kKind1 = SignatureOfKind(1);
const uint32_t kKind2 = SignatureOfKind(2);

} // namespace

class TestLinkFrames : public QObject {
    Q_OBJECT
private slots:
    void hostFramesAreByteExact() {
        uint8_t tx[kTransmitBufferSize] = {};
        QCOMPARE(BuildPollFrame(tx, kKind1), 8);
        QCOMPARE(Bytes(tx, tx + 8), (Bytes{0x53, 0x52, 0x51, 0x01, 0x01, 0x00, 0x00, 0xF8}));

        QCOMPARE(BuildCommandFrame(tx, kKind1, cmdIdent, nullptr, 0), 8);
        QCOMPARE(Bytes(tx, tx + 8), (Bytes{0x53, 0x52, 0x51, 0x01, 0x01, 0x00, 0x01, 0xF9}));

        const uint8_t block[6] = {0, 0, 0, 0, 0x00, 0x01}; // Address 0, Count 256
        QCOMPARE(BuildCommandFrame(tx, kKind2, cmdEepromRead, block, 6), 14);
        QCOMPARE(Bytes(tx, tx + 14), (Bytes{0x53, 0x52, 0x51, 0x02, 0x07, 0x00, 0x23, 0x00, 0x00,
                                            0x00, 0x00, 0x00, 0x01, 0x23}));
        QVERIFY(CheckFrame(tx));
        tx[13] ^= 1;
        QVERIFY(!CheckFrame(tx));

        // An entry beyond its capacity writes nothing at all.
        std::vector<uint8_t> big(kMaxEntryData + 1, 0xAA);
        std::fill(std::begin(tx), std::end(tx), 0);
        QCOMPARE(BuildCommandFrame(tx, kKind1, cmdTcpData, big.data(), uint16_t(big.size())), 0);
        QCOMPARE(tx[0], uint8_t(0));
    }

    void zeroLengthFrameChecksumsSixBytes() {
        // Length 0: the checksum stands where the Type would be.
        Bytes frame{0x53, 0x52, 0x51, 0x01, 0x00, 0x00, 0xF7};
        QVERIFY(CheckFrame(frame.data()));
    }

    void framesAreFoundInAnyPacking() {
        const Bytes poll = Frame(kKind1, cmdPoll);
        const Bytes size = Frame(kKind1, cmdFlashSize, {0x00, 0x00, 0x02, 0x00});

        Receiver two; // two frames in one transfer, handled in order in one pass
        two.Sink.Signature = kKind1;
        two.Feed(Join({poll, size}));
        QCOMPARE(two.Sink.Frames, (std::vector<Bytes>{poll, size}));
        QCOMPARE(two.Rx.Filled(), 0);

        Receiver split; // handled when the last of three pieces arrives
        split.Sink.Signature = kKind1;
        split.Feed(Bytes(size.begin(), size.begin() + 3));
        split.Feed(Bytes(size.begin() + 3, size.begin() + 9));
        QVERIFY(split.Sink.Frames.empty());
        split.Feed(Bytes(size.begin() + 9, size.end()));
        QCOMPARE(split.Sink.Frames, std::vector<Bytes>{size});

        Receiver noisy; // garbage, then a frame with a bad checksum, then a good one
        noisy.Sink.Signature = kKind1;
        Bytes bad = size;
        bad.back() ^= 0xFF;
        noisy.Feed(Join({{0x00, 0x53, 0x52, 0xFF, 0x53}, bad, poll}));
        QCOMPARE(noisy.Sink.Frames, std::vector<Bytes>{poll});
        QCOMPARE(noisy.Rx.Filled(), 0);

        Receiver other; // after adoption, a frame of another kind is garbage
        other.Sink.Signature = kKind1;
        other.Feed(Join({Frame(kKind2, cmdPoll), poll}));
        QCOMPARE(other.Sink.Frames, std::vector<Bytes>{poll});

        Receiver empty;
        empty.Feed({});
        empty.Rx.AppendReceived(poll.data(), 0);
        QCOMPARE(empty.Rx.Filled(), 0);
        QCOMPARE(empty.Sink.Adoptions, 0);
    }

    void signatureIsAdoptedBeforeTheChecksumIsLookedAt() {
        Receiver r;
        Bytes bad = Frame(kKind2, cmdPoll);
        bad.back() ^= 0x01;
        r.Feed(bad);
        QCOMPARE(r.Sink.Signature, kKind2);
        QCOMPARE(r.Sink.Adoptions, 1);
        QVERIFY(r.Sink.Frames.empty());
        QVERIFY(r.Rx.Filled() < kFrameOverhead); // slid past byte by byte
    }

    void unknownKindIsNeverAccepted() {
        Receiver r;
        const uint32_t kind4 = SignatureOfKind(4);
        r.Feed(Join({Frame(kind4, cmdPoll), Frame(kind4, cmdPoll)}));
        QCOMPARE(r.Sink.Signature, 0u);
        QVERIFY(r.Sink.Frames.empty());
        QCOMPARE(r.Sink.Adoptions, 2); // every frame start of that kind adopts again
        r.Feed(Frame(kKind1, cmdPoll));
        QCOMPARE(r.Sink.Signature, kKind1);
        QCOMPARE(int(r.Sink.Frames.size()), 1);
    }

    void largestFrameFitsAndOversizedHeadersAreSkipped() {
        Receiver big; // 3841 bytes in 256-byte pieces
        big.Sink.Signature = kKind1;
        const Bytes largest = Frame(kKind1, cmdTcpReply, Bytes(kMaxReceivableLength - 1, 0x5A));
        QCOMPARE(int(largest.size()), 3841);
        big.Feed(Join({{1, 2, 3}, largest}));
        QCOMPARE(big.Sink.Frames, std::vector<Bytes>{largest});
        QVERIFY(big.MaxFilled <= kAccumulatorSize);

        // A header announcing one byte more can never complete: it must not stall the stream.
        Receiver over;
        over.Sink.Signature = kKind1;
        Bytes header{0x53, 0x52, 0x51, 0x01, 0x00, 0x00, 0x41};
        PutU16(header.data() + 4, uint16_t(kMaxReceivableLength + 1));
        const Bytes poll = Frame(kKind1, cmdPoll);
        over.Feed(Join({header, poll}));
        QCOMPARE(over.Sink.Frames, std::vector<Bytes>{poll});

        // Nor can any stream of them make the accumulator overflow.
        PutU16(header.data() + 4, 0xFFFF);
        Bytes flood;
        for (int i = 0; i < 2000; ++i)
            flood.insert(flood.end(), header.begin(), header.end());
        over.Feed(flood);
        QVERIFY(over.MaxFilled <= kAccumulatorSize);
        over.Feed(poll);
        QCOMPARE(int(over.Sink.Frames.size()), 2);
    }

    void usbOpenTakesTheFirstMatchOnly() {
        sim::DeviceModel first, second, stranger;
        sim::SimUsbBus bus;
        bus.Attach(stranger, 1, 0x1234, 0x6666);
        bus.Attach(second, 2);
        bus.Attach(first, 1);
        UsbDevice dev(bus);
        UsbInit(dev);
        dev.VendorId = kVendorId;
        dev.ProductId = kProductId;
        QVERIFY(UsbOpen(dev));
        QCOMPARE(bus.LastOpened(), &first); // bus 1 is listed before bus 2
        QVERIFY(dev.Opened.Bus == 1 && dev.Opened.Device == 3 && dev.Handle);
        QVERIFY(UsbClose(dev));
        QVERIFY(!dev.Handle && dev.Opened.Bus == 0);
        QVERIFY(!UsbClose(dev)); // nothing left to close

        bus.SetOpenable(first, false); // no retry on the second
        const int opens = bus.OpenCalls();
        QVERIFY(!UsbOpen(dev));
        QCOMPARE(bus.OpenCalls(), opens + 1);
        QCOMPARE(bus.LastOpened(), &first);
        QCOMPARE(bus.OpenHandles(), 0);

        first.SetPresent(false);
        second.SetPresent(false);
        QVERIFY(!UsbOpen(dev));
        QVERIFY(dev.Opened.Bus == 0 && !dev.Handle);
    }

    void transfersNeedAHandle() {
        sim::DeviceModel model;
        sim::SimUsbBus bus;
        bus.Attach(model);
        UsbDevice dev(bus);
        dev.LastResult = 1234;
        QVERIFY(!UsbReceive(dev, 0, 0, 0, 256));
        QVERIFY(!UsbSend(dev, 0, 0, 0, 8));
        QCOMPARE(dev.LastResult, 1234);

        dev.VendorId = kVendorId;
        dev.ProductId = kProductId;
        QVERIFY(UsbOpen(dev));
        QVERIFY(UsbReceive(dev, 0, 0, 0, 256)); // the device's first frame
        QCOMPARE(dev.LastResult, 8);
        model.FailIn(1, -110);
        QVERIFY(!UsbReceive(dev, 0, 0, 0, 256));
        QCOMPARE(dev.LastResult, -110);
        QVERIFY(!UsbReceive(dev, 1, 0, 0, 256)); // a request other than 0 stalls

        bus.FailClose(1); // a failed close is told, and the handle is gone all the same
        QVERIFY(!UsbClose(dev));
        QVERIFY(!dev.Handle);
        QCOMPARE(bus.OpenHandles(), 0);
    }

    void answerDelayHoldsBackOnlyTheAnswers() {
        sim::DeviceConfig config;
        config.AnswerDelayUs = 2000;
        config.HelloAfterEmptyReads = 1;
        sim::DeviceModel model(config);
        auto now = std::chrono::steady_clock::time_point{};
        model.SetClock([&] { return now; });
        uint8_t in[256];
        QCOMPARE(model.In(in, 256), 8); // the unprompted hello is not an answer: no delay

        uint8_t poll[kTransmitBufferSize];
        const int size = BuildPollFrame(poll, model.Signature());
        QCOMPARE(model.Out(poll, size), size);
        model.SendReply({0x42});    // queued behind the answer, so held with it
        for (int i = 0; i < 3; ++i) // nor does a held answer let the device say hello again
            QCOMPARE(model.In(in, 256), 0);
        now += std::chrono::microseconds(1999);
        QCOMPARE(model.In(in, 256), 0);
        now += std::chrono::microseconds(1);
        QCOMPARE(model.In(in, 256), 8 + 9);
        QCOMPARE(in[kFrameTypeOffset], uint8_t(cmdPoll));
        QCOMPARE(in[8 + kFrameTypeOffset], uint8_t(cmdTcpReply));
    }

    // A device that claims more than it holds, and one that hangs: what the host's tests of
    // false claims and hung transfers stand on.
    void simulatedClaimsAndHangs() {
        sim::DeviceConfig config;
        config.EepromSize = 512;
        config.ClaimedEepromSize = 0xFFFFFFFF;
        config.IgnoredTypes.set(cmdIdent);
        sim::DeviceModel model(config);
        const uint32_t signature = model.Signature();
        uint8_t in[256];
        auto ask = [&](uint8_t type, const Bytes& payload) {
            const Bytes frame = Frame(signature, type, payload);
            QCOMPARE(model.Out(frame.data(), int(frame.size())), int(frame.size()));
        };
        auto block = [](uint32_t address, Bytes data) {
            Bytes record(kBlockHeaderSize);
            PutBlockHeader(record.data(), address, uint16_t(data.empty() ? 256 : data.size()));
            record.insert(record.end(), data.begin(), data.end());
            return record;
        };
        ask(cmdIdent, {});
        ask(cmdEepromSize, {});
        QCOMPARE(model.In(in, 256), 8 + 4); // the identification goes unanswered
        QCOMPARE(GetU32(in + kFramePayloadOffset), 0xFFFFFFFFu);

        ask(cmdEepromWrite, block(384, Bytes(256, 0x11))); // straddles the memory's end
        QCOMPARE(model.In(in, 256), 8 + kBlockHeaderSize); // answered all the same
        ask(cmdEepromRead, block(384, {}));
        uint8_t read[8 + kBlockHeaderSize + 256];
        QCOMPARE(model.In(read, 256) + model.In(read + 256, 256), int(sizeof read));
        QCOMPARE(model.Eeprom().size(), size_t(512)); // nothing kept beyond the memory
        const uint8_t* data = read + kFramePayloadOffset + kBlockHeaderSize;
        QVERIFY(std::all_of(data, data + 128, [](uint8_t b) { return b == 0x11; }));
        QVERIFY(std::all_of(data + 128, data + 256, [](uint8_t b) { return b == 0xFF; }));

        // A hang: every transfer waits for its timeout, without sleeping here, until a replug.
        sim::SimUsbBus bus;
        bus.Attach(model);
        std::vector<int> waits;
        bus.SetHangWait([&](int timeoutMs) { waits.push_back(timeoutMs); });
        UsbDevice dev(bus);
        dev.VendorId = kVendorId;
        dev.ProductId = kProductId;
        QVERIFY(UsbOpen(dev));
        model.SetHanging(true);
        const uint64_t frames = model.FramesReceived(), reads = model.InTransfers();
        QVERIFY(!UsbSend(dev, 0, 0, 0, BuildPollFrame(dev.TransmitBuffer, signature)));
        QVERIFY(!UsbReceive(dev, 0, 0, 0, 256));
        QCOMPARE(dev.LastResult, -ETIMEDOUT);
        QCOMPARE(waits, (std::vector<int>{kTransferTimeoutMs, kTransferTimeoutMs}));
        QCOMPARE(model.FramesReceived(), frames); // the device took nothing
        QCOMPARE(model.InTransfers(), reads);
        model.SetPresent(false);
        QVERIFY(!UsbReceive(dev, 0, 0, 0, 256));
        QCOMPARE(dev.LastResult, -ENODEV);
        model.SetPresent(true);
        QVERIFY(UsbReceive(dev, 0, 0, 0, 256));
        QCOMPARE(waits.size(), size_t(2));
    }
};

QTEST_APPLESS_MAIN(TestLinkFrames)
#include "tst_linkframes.moc"
