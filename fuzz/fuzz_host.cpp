// The whole host against a device that says anything. The input is a script: a header that
// shapes the device and the images, then steps that queue work (FLASH and EEPROM jobs,
// configurator reads and writes, bridge chunks), make the device misbehave (faults, garbage,
// forged frames and answers, unsolicited replies) and drive the timers and posted receive
// steps by hand. Every step is checked, not only for crashes: targets are fenced by guard
// zones and change only where an answer may copy; completions come in queue order with ends
// inside their block; the queue shrinks only by retiring its head or by the clear; a job that
// completes against an honest device leaves the image in the device; the log holds only the
// system's own texts. Any violation traps.
#include "ConfiguratorHost.h"
#include "LinkControl.h"
#include "NullView.h"
#include "SimUsbBus.h"
#include "TcpBridge.h"
#include "WriteJobs.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QTcpSocket>
#include <QTimer>

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <memory>
#include <optional>
#include <utility>

namespace {

using namespace ktr;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "fuzz_host: invariant broken: %s\n", what);
    __builtin_trap();
}
// The checks are no part of what is fuzzed: their branches would only dilute the coverage.
#define NO_COVERAGE __attribute__((no_sanitize("coverage")))

#define CHECK(cond)                                                                                \
    do {                                                                                           \
        if (!(cond)) Fail(#cond);                                                                  \
    } while (0)

// Reads the script; past its end every value is 0.
class Script {
public:
    Script(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Done() const { return at_ >= size_; }
    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint16_t U16() { return uint16_t(Byte() | (Byte() << 8)); }
    std::vector<uint8_t> Bytes(size_t count) {
        std::vector<uint8_t> out(count);
        for (uint8_t& b : out)
            b = Byte();
        return out;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// ---- The system's own log texts ----

bool IsUpperHexWithoutLeadingZero(const QString& digits) {
    if (digits.isEmpty() || (digits.size() > 1 && digits[0] == u'0')) return false;
    for (QChar c : digits)
        if (!((c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F'))) return false;
    return true;
}

bool IsDecimal(const QString& digits) {
    bool ok = false;
    digits.toLongLong(&ok);
    return ok && !digits.startsWith(u'+');
}

NO_COVERAGE bool IsOwnLogText(const QString& line) {
    static const QStringList kExact = {
        QStringLiteral("Операция успешно завершена."),
        QStringLiteral("Очередь команд очищена!"),
        QStringLiteral("Порт связи не может быть открыт."),
        QStringLiteral("Порт связи открыт. (USB)"),
        QStringLiteral("Закрытие порта связи"),
        QStringLiteral("Порт связи закрыт"),
        QStringLiteral("Запрос текущего состояния..."),
        QStringLiteral("Модем не подключен!"),
        QStringLiteral("Установлена связь с устройством."),
        QStringLiteral("Запуск прошивки основной программы..."),
        QStringLiteral("Запуск прошивки EEPROM..."),
        QStringLiteral("Файл слишком большой!"),
        QStringLiteral("TCP-клиент не принимает данные, соединение закрыто."),
    };
    if (kExact.contains(line)) return true;
    const auto between = [&](const QString& prefix, const QString& suffix, auto digitsOk) {
        return line.startsWith(prefix) && line.endsWith(suffix) &&
               line.size() > prefix.size() + suffix.size() &&
               digitsOk(line.mid(prefix.size(), line.size() - prefix.size() - suffix.size()));
    };
    return between(QStringLiteral("Ошибка верификации по адресу "), QStringLiteral("h!"),
                   IsUpperHexWithoutLeadingZero) ||
           between(QStringLiteral("Ошибка формата файла в строке "), QStringLiteral("!"),
                   IsDecimal);
}

class CheckingView final : public NullView {
public:
    void AddLog(const QString& line) override {
        if (!IsOwnLogText(line)) {
            std::fprintf(stderr, "fuzz_host: log line \"%s\"\n", qPrintable(line));
            Fail("the log holds only the system's own texts");
        }
    }
    void SetQueueCaption(const QString& text) override {
        static const QString prefix = QStringLiteral("Очередь команд: ");
        CHECK(text.startsWith(prefix) && text.endsWith(u'.'));
        bool ok = false;
        QueueCount =
            QStringView(text).mid(prefix.size(), text.size() - prefix.size() - 1).toInt(&ok);
        CHECK(ok && QueueCount >= 0);
    }
    void SetProgressMax(int max) override { ProgressMax = max; }
    void SetProgressPosition(int position) override { ProgressPosition = position; }
    void SetStatusPanel(const QString& text) override {
        CHECK(text.isEmpty() || text.startsWith(QStringLiteral("Подключено устройство: ")));
    }
    void SetFlashSizeText(const QString& text) override { CheckSizeText(text); }
    void SetEepromSizeText(const QString& text) override { CheckSizeText(text); }
    void Beep(int frequencyHz, int durationMs) override {
        CHECK(frequencyHz == 1000 && durationMs == 10);
    }
    void ShowError(const QString&) override { Fail("no error report: the image files exist"); }
    void SetCaption(const QString& text) override {
        bool decimal = false;
        text.toUInt(&decimal); // the bridge's fill count, or a kind's caption
        bool kind = false;
        for (const DeviceKindInfo& info : kDeviceKinds)
            kind |= text == QString::fromUtf8(info.Caption);
        CHECK(decimal || kind);
    }
    void SetTcpStatus(const QString& text) override {
        const QString prefix = QStringLiteral("Подключений: ");
        CHECK(text == QStringLiteral("Подключение") ||
              (text.startsWith(prefix) && text.mid(prefix.size()).toInt() > 0));
    }
    void SetKindSelection(int itemIndex) override { CHECK(itemIndex >= -1 && itemIndex <= 2); }

    int QueueCount = -1; // as Label4 shows it
    int ProgressMax = 0, ProgressPosition = 0;

private:
    static void CheckSizeText(const QString& text) {
        const QString prefix = QStringLiteral("Размер "), suffix = QStringLiteral(" байт");
        CHECK(text.startsWith(prefix) && text.endsWith(suffix));
        CHECK(IsDecimal(text.mid(prefix.size(), text.size() - prefix.size() - suffix.size())));
    }
};

// ---- Configurator requests, their targets and completions ----

constexpr int kMaxRequests = 8;               // one completion routine per request of an input
constexpr int kNeverMs = 24 * 60 * 60 * 1000; // timers that only the script fires
constexpr int kSocketPatienceMs = 500;        // for bytes to cross the loopback
constexpr int kSocketWakeMs = 1;
const QByteArray kBanner = QByteArrayLiteral("Welcome to TcpSrv\r\n");
constexpr int kGuardBytes = 32;
constexpr uint8_t kGuardByte = 0xA5, kFreshByte = 0x5A;
constexpr int32_t kRefused = -7;

// What a completion does the first time it is called: a library's routine may re-enter the
// host, or run a window in which the operator does anything.
enum class CompletionAction : uint8_t {
    None,
    Throw,
    RedirectRead, // a second read of the same area
    Disconnect,
    Connect,
    OpenLink,
    ReleaseLibrary,
    Count
};

// A read buffer of the library with guard zones on both sides; freed when the library goes.
struct Target {
    std::unique_ptr<uint8_t[]> Memory; // guard, Count bytes, guard
    int32_t Count = 0;
    std::vector<uint8_t> Shadow; // the content at the last check
    uint8_t* Bytes() const { return Memory.get() + kGuardBytes; }
};

struct Request {
    uint8_t Command = 0; // the block Type
    int32_t Count = 0;
    int TargetIndex = -1;      // reads
    std::vector<uint8_t> Data; // writes
    CompletionAction Action = CompletionAction::None;
    bool Acted = false;
    bool Released = false;
    int32_t LastEnd = -1;
};

// A range of a target that the copy following a read's completion may (or must) fill.
struct AllowedCopy {
    int TargetIndex;
    uint32_t Begin, End;
    std::vector<uint8_t> Expected; // empty: any bytes
};

struct QueuedEntry {
    uint64_t Serial;
    uint8_t Command;
    uint32_t Address;
    uint16_t BlockCount;
    int RequestIndex; // -1 without completion
    int JobIndex;     // -1 unless the last entry of a job
};

// ---- Images ----

std::vector<uint8_t> MakeImage(size_t size, uint8_t seed) {
    std::vector<uint8_t> image(size);
    uint32_t state = 0x9E3779B9u ^ seed;
    for (uint8_t& b : image) {
        state = state * 1664525u + 1013904223u;
        b = uint8_t(state >> 24);
    }
    return image;
}

// Sizes around the block edges; with a few contents each, every image file is written once.
constexpr size_t kImageSizes[] = {0, 1, 6, 255, 256, 257, 511, 512, 513, 600, 767, 1024};
constexpr size_t kSizeChoices = std::size(kImageSizes);
constexpr int kImageContents = 4;

// A folder of the process's own, gone when it ends.
struct ImageFolder {
    ImageFolder() {
        Path = QDir::tempPath() + QStringLiteral("/ktr-fuzz-host-%1").arg(getpid());
        QDir().mkpath(Path);
    }
    ~ImageFolder() { std::filesystem::remove_all(Path.toStdString()); }
    QString Path;
};

struct ImageFile {
    std::vector<uint8_t> Image;
    QString Path;
};

// Made and written on first use, then kept for the process's life.
const ImageFile& ImageFileOf(bool flash, size_t sizeIndex, uint8_t content) {
    static const ImageFolder folder;
    static std::array<std::optional<ImageFile>, 2 * kSizeChoices * kImageContents> files;
    std::optional<ImageFile>& file =
        files[(size_t(flash) * kSizeChoices + sizeIndex) * kImageContents + content];
    if (file) return *file;
    file.emplace();
    file->Image = MakeImage(kImageSizes[sizeIndex], uint8_t(content + (flash ? 0 : 1)));
    file->Path = QStringLiteral("%1/%2-%3-%4.bin")
                     .arg(folder.Path, QLatin1String(flash ? "flash" : "eeprom"))
                     .arg(file->Image.size())
                     .arg(content);
    FILE* out = std::fopen(qPrintable(file->Path), "wb");
    CHECK(out);
    const std::vector<uint8_t>& image = file->Image;
    if (!image.empty()) CHECK(std::fwrite(image.data(), 1, image.size(), out) == image.size());
    std::fclose(out);
    return *file;
}

struct Job {
    const std::vector<uint8_t>* Image;
    bool Flash;
};

class Host;
Host* gHost = nullptr; // the completions are plain function pointers, like a library's

template <int Slot> void CompletionOf(int32_t value);
template <int... Slots>
constexpr std::array<PluginCompletion, sizeof...(Slots)>
MakeCompletions(std::integer_sequence<int, Slots...>) {
    return {&CompletionOf<Slots>...};
}
constexpr auto kCompletions = MakeCompletions(std::make_integer_sequence<int, kMaxRequests>{});

uint32_t SignatureOf(uint32_t kind) {
    return SignatureOfKind(kind & 0xFF);
}

// The device's memory as it reads: bytes never written are erased.
uint8_t MemoryByte(const std::vector<uint8_t>& memory, uint64_t address) {
    return address < memory.size() ? memory[address] : sim::DeviceModel::kErasedByte;
}

class Host {
public:
    Host(const sim::DeviceConfig& config, LinkTimings timings)
        : Device(config), Link(Bus, View, timings), Jobs(Link), Plugins(Link, View),
          Bridge(Link, View, BridgeTimings{kNeverMs, kNeverMs}) {
        Bus.Attach(Device);
        // No library is ever found; its release is played through ReleaseLibrary below.
        Plugins.SetLibraryDirs({}, false);
        Device.SetRecording(false);
        Link.SetBridge(&replies_); // which hands every reply on to the bridge
        replies_.Owner = this;
        QObject::connect(&Link, &LinkControl::QueueChanged, [this] { QueueChanged(); });
        QObject::connect(&Link, &LinkControl::QueueCleared, [this] { cleared_ = true; });
        requests_.reserve(kMaxRequests); // a completion holds on to its request
        gHost = this;
    }
    ~Host() { gHost = nullptr; }

    sim::DeviceModel Device;
    sim::SimUsbBus Bus;
    CheckingView View;
    LinkControl Link;
    WriteJobs Jobs;
    ConfiguratorHost Plugins;
    TcpBridge Bridge;
    std::unique_ptr<QTcpSocket> Client; // a client of the bridge, when the script wants one
    QByteArray ClientReceived;

    // Anything the script made up may echo a head it was never sent: the device's memory
    // and the replies are then no longer the host's to answer for.
    bool Forged = false;
    // Duplicated answers (repeats, wrong echoes, a head sent twice) may retire a later head
    // of the same Type and echo that the device never received, as the protocol allows.
    bool Ambiguous = false;
    // Replies the device never echoed (unsolicited ones), or echoes passed over while the
    // operator's pick named another kind: the clients' stream is no longer the echo.
    bool ExtraReplies = false, LostReplies = false;
    // What a run reached, for reading a seed's effect (FUZZ_HOST_TRACE=1).
    int JobsChecked = 0, Notifications = 0;
    uint64_t QueueChanges() const { return changes_; }

    // Signature adoptions go through the configurator host, as in the window, rather than
    // the link's own rule.
    void ChooseKindsByPlugins() { Link.SetDeviceKindHook(&Plugins); }

    // No answer so far can have retired a head it was not for.
    bool Trusted() const { return !Forged && !Ambiguous && Device.RepeatedFrames() == 0; }

    void Trace() const {
        std::fprintf(stderr,
                     "fuzz_host: queue %zu, jobs %zu (%d checked), requests %zu, "
                     "notifications %d, client bytes %zu, forged %d, ambiguous %d, "
                     "in %llu, frames %llu\n",
                     Link.Queue().size(), jobs_.size(), JobsChecked, requests_.size(),
                     Notifications, clientStream_.size(), Forged, Ambiguous,
                     (unsigned long long)Device.InTransfers(),
                     (unsigned long long)Device.FramesReceived());
    }

    // ---- Work ----

    void QueueJob(bool flash, const ImageFile& file) {
        const size_t before = Link.Queue().size();
        if (flash)
            Jobs.WriteFlashFile(file.Path);
        else
            Jobs.WriteEepromFile(file.Path);
        if (Link.Queue().size() == before) return;
        jobs_.push_back({&file.Image, flash});
        CHECK(!mirror_.empty());
        mirror_.back().JobIndex = int(jobs_.size()) - 1;
    }

    // The configurator's read and write callbacks, as the host offers them to a library; true
    // when the call was accepted. The result cannot tell: an accepted Count of -7 returns -7.
    bool Read(bool eeprom, int32_t count, int32_t targetCount, bool nullTarget,
              CompletionAction action) {
        if (requests_.size() >= kMaxRequests) return false;
        const uint8_t command = eeprom ? cmdEepromRead : cmdAuxRead;
        const int32_t areaSize = int32_t(eeprom ? Link.EepromSize() : Link.AuxSize());
        Target target;
        target.Count = std::max(targetCount, 0);
        target.Memory.reset(new uint8_t[size_t(target.Count) + 2 * kGuardBytes]);
        std::memset(target.Memory.get(), kGuardByte, size_t(target.Count) + 2 * kGuardBytes);
        std::memset(target.Bytes(), kFreshByte, size_t(target.Count));
        target.Shadow.assign(target.Bytes(), target.Bytes() + target.Count);
        uint8_t* buffer = nullTarget ? nullptr : target.Bytes();
        const int requestIndex = int(requests_.size());
        const PluginCompletion completion = kCompletions[requestIndex];
        const int32_t result = eeprom ? Plugins.PluginReadEeprom(buffer, count, completion)
                                      : Plugins.PluginReadAux(buffer, count, completion);
        const bool refused = count > areaSize || !buffer;
        CHECK(result == (refused ? kRefused : count));
        if (refused) return false;
        targets_.push_back(std::move(target));
        Request& request = requests_.emplace_back();
        request.Command = command;
        request.Count = count;
        request.TargetIndex = int(targets_.size()) - 1;
        request.Action = action;
        (eeprom ? eepromTarget_ : auxTarget_) = request.TargetIndex;
        TagRequestEntries(requestIndex, count);
        return true;
    }

    bool Write(bool eeprom, int32_t count, const std::vector<uint8_t>& data, bool nullSource,
               CompletionAction action) {
        if (requests_.size() >= kMaxRequests) return false;
        const uint8_t command = eeprom ? cmdEepromWrite : cmdAuxWrite;
        const int32_t areaSize = int32_t(eeprom ? Link.EepromSize() : Link.AuxSize());
        const int requestIndex = int(requests_.size());
        const PluginCompletion completion = kCompletions[requestIndex];
        const uint8_t* source = nullSource ? nullptr : data.data();
        const int32_t result = eeprom ? Plugins.PluginWriteEeprom(source, count, completion)
                                      : Plugins.PluginWriteAux(source, count, completion);
        const bool refused = count > areaSize || !source;
        CHECK(result == (refused ? kRefused : count));
        if (refused) return false;
        Request& request = requests_.emplace_back();
        request.Command = command;
        request.Count = count;
        request.Data = data;
        request.Action = action;
        TagRequestEntries(requestIndex, count);
        return true;
    }

    // The library goes away: its buffers are freed, so a copy into one is a use after free.
    void ReleaseLibrary() {
        Link.ForgetPluginRequests();
        for (Request& request : requests_)
            request.Released = true;
        for (QueuedEntry& entry : mirror_)
            entry.RequestIndex = -1;
        for (Target& target : targets_)
            target.Memory.reset();
        eepromTarget_ = auxTarget_ = -1;
        allowed_.clear();
    }

    // A bridge flush: the bytes cut into chunks of at most 256, then one SendNext.
    // A client on 127.0.0.1: the server on a port of the system's choice, the banner first.
    void ConnectClient() {
        Bridge.TcpServerOpen(QStringLiteral("0"));
        Client = std::make_unique<QTcpSocket>();
        Client->connectToHost(QHostAddress::LocalHost, Bridge.ListeningPort());
        PumpSockets([&] { return ClientReceived.size() >= kBanner.size(); });
        CHECK(ClientReceived.startsWith(kBanner));
        ClientReceived.remove(0, kBanner.size());
        CHECK(Bridge.ClientCount() == 1);
    }

    // Socket events run until done() holds or the patience is spent. Each round waits for an
    // event: processEvents() alone returns as soon as nothing is pending, before a socket's
    // queued bytes have made their trip through the kernel. The timer bounds each wait.
    template <class Done> void PumpSockets(Done done) {
        const QDeadlineTimer patience(kSocketPatienceMs);
        QTimer wake;
        wake.start(kSocketWakeMs);
        while (!done() && !patience.hasExpired()) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            if (Client) ClientReceived += Client->readAll();
        }
    }

    // Bytes from the client, then the bridge's flush: chunks of at most 256, then SendNext.
    void ClientSends(const std::vector<uint8_t>& bytes) {
        Ambiguous = true; // the flush sends the head even while it waits for its answer
        const int32_t fill = Bridge.TcpInFill();
        Client->write(reinterpret_cast<const char*>(bytes.data()), qint64(bytes.size()));
        Client->flush();
        PumpSockets([&] { return Bridge.TcpInFill() >= fill + int32_t(bytes.size()); });
        Bridge.Timer4Timer();
        CHECK(Bridge.TcpInFill() == 0);
    }

    // Without a client the flush itself is played: the same chunks, one SendNext.
    void BridgeChunks(const std::vector<uint8_t>& bytes) {
        // Beyond its hold the bridge leaves the bytes in the connection: not a case to wait for.
        if (Client && Link.QueuedBytes(cmdTcpData) + bytes.size() < kBridgeQueueHoldBytes)
            return ClientSends(bytes);
        uint8_t chunk[kTcpChunkHeaderSize + kMaxBlockData];
        for (size_t at = 0; at < bytes.size(); at += kMaxBlockData) {
            const size_t count = std::min<size_t>(bytes.size() - at, kMaxBlockData);
            chunk[0] = bridgeSequence_++;
            PutU16(chunk + 1, uint16_t(count));
            std::memcpy(chunk + kTcpChunkHeaderSize, bytes.data() + at, count);
            CHECK(Link.EnqueueCommand(cmdTcpData, chunk, uint16_t(count + kTcpChunkHeaderSize)));
        }
        Ambiguous = true;
        Link.SendNext();
    }

    // What the device sent as replies reaches the client, whole and in order.
    void CheckClientReplies() {
        if (!Client) return;
        PumpSockets([&] { return size_t(ClientReceived.size()) >= clientStream_.size(); });
        CHECK(size_t(ClientReceived.size()) == clientStream_.size());
        CHECK(ClientReceived.isEmpty() ||
              std::memcmp(clientStream_.data(), ClientReceived.constData(),
                          size_t(ClientReceived.size())) == 0);
    }

    // ---- The device's side ----

    // A frame that answers the head (or a poll), with fields the script may bend.
    void ForgeAnswer(Script& script) {
        Forged = true;
        const uint8_t bend = script.Byte();
        std::vector<uint8_t> payload;
        uint8_t type = cmdPoll;
        if (!Link.Queue().empty()) {
            const CommandEntry& head = Link.Queue().front();
            type = head.Command;
            payload = head.Data;
            if (type == cmdTcpData) {
                payload.resize(1);
            } else if ((type & 0x0F) >= 1 && (type & 0x0F) <= 3 && payload.size() >= 6) {
                uint32_t address = GetU32(payload.data());
                uint16_t count = GetU16(payload.data() + kBlockCountOffset);
                if (bend & 0x01) address += script.Byte();
                if (bend & 0x02) count = script.U16();
                payload.resize(kBlockHeaderSize);
                PutU32(payload.data(), address);
                PutU16(payload.data() + kBlockCountOffset, count);
                if ((type & 0x0F) == 2) payload.push_back((bend & 0x04) ? script.Byte() : 0);
                if ((type & 0x0F) == 3) {
                    const std::vector<uint8_t> data = script.Bytes(script.Byte());
                    for (size_t i = 0; i < std::min<size_t>(count, kMaxReceivableLength); ++i)
                        payload.push_back(data.empty() ? uint8_t(i) : data[i % data.size()]);
                }
            } else {
                payload = script.Bytes(script.Byte() % 16);
            }
        }
        if (bend & 0x08) payload.resize(script.Byte() % (payload.size() + 1)); // cut short
        if (bend & 0x10) type = script.Byte();
        const uint32_t signature = Link.LinkSignature() ? Link.LinkSignature() : Device.Signature();
        Device.SendFrame(signature, type, payload);
    }

    // ---- Completions ----

    NO_COVERAGE void Completed(int slot, int32_t value) {
        CheckTargets(); // the copy after the previous completion, if any, is done
        CHECK(!Link.Queue().empty());
        const CommandEntry& head = Link.Queue().front();
        CHECK(slot < int(requests_.size()));
        Request& request = requests_[slot];
        CHECK(!request.Released);
        CHECK(head.Completion == kCompletions[slot]);
        CHECK(head.Command == request.Command);
        CHECK(head.Serial > lastNotified_); // queue order, once per block
        lastNotified_ = head.Serial;
        ++Notifications;
        // Plugin requests queue no verifies, so only ends: inside this very block.
        const uint32_t begin = head.Address();
        const uint32_t end = begin + head.BlockCount();
        if (value == -2 || uint32_t(value) < begin || uint32_t(value) > end) {
            std::fprintf(stderr, "fuzz_host: completion %d for Type %02X block [%u, %u)\n", value,
                         head.Command, begin, end);
            Fail("a completion's end lies inside its block");
        }
        CHECK(value >= request.LastEnd);
        request.LastEnd = value;
        const bool trusted = Trusted();

        if (request.Command == cmdEepromWrite || request.Command == cmdAuxWrite) {
            // The device has already written the block whose answer this is.
            const std::vector<uint8_t>& memory =
                request.Command == cmdEepromWrite ? Device.Eeprom() : Device.Aux();
            for (uint32_t a = begin; trusted && a < end; ++a)
                CHECK(MemoryByte(memory, a) == request.Data[a]);
        } else {
            // The block's bytes follow this call into whichever target is then current.
            AllowCopy(request.Command, begin, uint32_t(value), trusted);
        }

        if (request.Acted) return;
        request.Acted = true;
        Act(request);
    }

    // ---- Checks ----

    // After every step; whole also walks the queue and the replies.
    NO_COVERAGE void CheckStep(bool whole) {
        CheckTargets();
        const CommandQueue& queue = Link.Queue();
        CHECK(queue.size() == mirror_.size());
        CHECK(queue.empty() || (queue.front().Serial == mirror_.front().Serial &&
                                queue.back().Serial == mirror_.back().Serial));
        if (changes_ > 0) {
            CHECK(View.QueueCount == int(queue.size()));
            CHECK(View.ProgressPosition == int(queue.size()));
            CHECK(View.ProgressMax >= View.ProgressPosition);
        }
        CHECK(Link.Rx().Filled() >= 0 && Link.Rx().Filled() <= kAccumulatorSize);
        CHECK(Link.Rx().Consumed() == 0);
        if (!whole) return;
        uint64_t bytes[256] = {};
        for (size_t i = 0; i < queue.size(); ++i) {
            CHECK(queue[i].Serial == mirror_[i].Serial);
            CHECK(queue[i].Data.size() == queue[i].Length);
            bytes[queue[i].Command] += queue[i].Length;
        }
        for (int type = 0; type < 256; ++type)
            CHECK(Link.QueuedBytes(uint8_t(type)) == bytes[type]);
        if (!Forged && !ExtraReplies && !LostReplies) {
            // The device echoes what it receives: the clients get exactly that, in order.
            const std::vector<uint8_t>& echoed = Device.TcpReceived();
            CHECK(clientStream_.size() <= echoed.size());
            CHECK(std::equal(clientStream_.begin(), clientStream_.end(), echoed.begin()));
        }
    }

private:
    struct ReplySink final : TcpReplySink {
        Host* Owner = nullptr;
        void SendToClients(const uint8_t* data, int size) override {
            CHECK(size > 0);
            Owner->clientStream_.insert(Owner->clientStream_.end(), data, data + size);
            Owner->Bridge.SendToClients(data, size);
        }
    };

    // The entries just queued for a request carry its completion.
    void TagRequestEntries(int requestIndex, int32_t count) {
        const size_t blocks = count > 0 ? size_t(count + kMaxBlockData - 1) / kMaxBlockData : 0;
        CHECK(mirror_.size() >= blocks);
        for (size_t i = mirror_.size() - blocks; i < mirror_.size(); ++i) {
            CHECK(Link.Queue()[i].Completion == kCompletions[requestIndex]);
            mirror_[i].RequestIndex = requestIndex;
        }
    }

    void AllowCopy(uint8_t command, uint32_t begin, uint32_t end, bool trusted) {
        const int current = command == cmdEepromRead ? eepromTarget_ : auxTarget_;
        if (current < 0) return;
        AllowedCopy copy{current, begin, end, {}};
        if (trusted) {
            const std::vector<uint8_t>& memory =
                command == cmdEepromRead ? Device.Eeprom() : Device.Aux();
            for (uint32_t a = begin; a < end; ++a)
                copy.Expected.push_back(MemoryByte(memory, a));
        }
        allowed_.push_back(std::move(copy));
    }

    void Act(Request& request) {
        switch (request.Action) {
        case CompletionAction::None:
        case CompletionAction::Count:
            return;
        case CompletionAction::Throw:
            throw 7;
        case CompletionAction::RedirectRead: {
            const bool eeprom =
                request.Command == cmdEepromRead || request.Command == cmdEepromWrite;
            // The block answered now may land in either buffer; none of it must be required.
            for (AllowedCopy& copy : allowed_)
                copy.Expected.clear();
            const std::vector<AllowedCopy> before = allowed_;
            const int32_t count = std::max(request.Count / 2, 1);
            if (Read(eeprom, count, count, false, CompletionAction::None)) {
                for (AllowedCopy copy : before) {
                    copy.TargetIndex = eeprom ? eepromTarget_ : auxTarget_;
                    allowed_.push_back(copy);
                }
            }
            return;
        }
        case CompletionAction::Disconnect:
            allowed_.clear(); // the head is gone: nothing may be copied for it
            Link.ToolButton4Click();
            return;
        case CompletionAction::Connect:
            Link.ToolButton1Click();
            return;
        case CompletionAction::OpenLink:
            Link.OpenLink();
            return;
        case CompletionAction::ReleaseLibrary:
            ReleaseLibrary();
            return;
        }
    }

    // Guards intact; a target changed only inside the copies allowed since the last check,
    // and to the device's bytes where those are known.
    NO_COVERAGE void CheckTargets() {
        for (size_t t = 0; t < targets_.size(); ++t) {
            Target& target = targets_[t];
            if (!target.Memory) continue;
            const uint8_t* memory = target.Memory.get();
            for (int i = 0; i < kGuardBytes; ++i) {
                CHECK(memory[i] == kGuardByte);
                CHECK(memory[kGuardBytes + target.Count + i] == kGuardByte);
            }
            const uint8_t* bytes = target.Bytes();
            if (allowed_.empty() && target.Count > 0 &&
                std::memcmp(bytes, target.Shadow.data(), size_t(target.Count)) == 0)
                continue;
            for (int32_t i = 0; i < target.Count; ++i) {
                if (bytes[i] == target.Shadow[i]) continue;
                bool inside = false;
                for (const AllowedCopy& copy : allowed_)
                    inside |= copy.TargetIndex == int(t) && uint32_t(i) >= copy.Begin &&
                              uint32_t(i) < copy.End;
                CHECK(inside); // nothing copied outside an answered block
            }
            for (const AllowedCopy& copy : allowed_) {
                if (copy.TargetIndex != int(t) || copy.Expected.empty()) continue;
                for (uint32_t a = copy.Begin; a < copy.End && a < uint32_t(target.Count); ++a)
                    CHECK(bytes[a] == copy.Expected[a - copy.Begin]);
            }
            if (target.Count > 0) std::memcpy(target.Shadow.data(), bytes, size_t(target.Count));
        }
        allowed_.clear();
    }

    // Every change of the queue: one entry appended, the head retired, or all cleared.
    // Serials only grow, so the ends tell the whole; CheckStep compares everything at times.
    NO_COVERAGE void QueueChanged() {
        ++changes_;
        const CommandQueue& queue = Link.Queue();
        if (queue.size() == mirror_.size() + 1) {
            const CommandEntry& added = queue.back();
            CHECK(mirror_.empty() || added.Serial > mirror_.back().Serial);
            CHECK(mirror_.empty() || queue.front().Serial == mirror_.front().Serial);
            mirror_.push_back(
                {added.Serial, added.Command, added.Address(), added.BlockCount(), -1, -1});
            return;
        }
        if (queue.empty() && !mirror_.empty()) {
            // The clear's own event tells it from the retirement of a last entry.
            const bool cleared = std::exchange(cleared_, false);
            CHECK(cleared || mirror_.size() == 1);
            if (!cleared) Retired(mirror_.front());
            mirror_.clear();
            return;
        }
        if (queue.empty()) return; // clearing or dequeuing an empty queue
        CHECK(queue.size() + 1 == mirror_.size());
        CHECK(queue.front().Serial == mirror_[1].Serial);
        CHECK(queue.back().Serial == mirror_.back().Serial);
        const QueuedEntry head = mirror_.front();
        mirror_.pop_front();
        Retired(head);
    }

    NO_COVERAGE void Retired(const QueuedEntry& entry) {
        // A retired plugin block was notified first, unless its library went away; then a
        // read block may still have gone to whichever buffer the area's latest read named.
        if (entry.RequestIndex >= 0)
            CHECK(lastNotified_ == entry.Serial);
        else if (entry.Command == cmdEepromRead || entry.Command == cmdAuxRead)
            AllowCopy(entry.Command, entry.Address, entry.Address + entry.BlockCount, false);
        if (entry.JobIndex < 0 || !Trusted()) return;
        const Job& job = jobs_[entry.JobIndex];
        ++JobsChecked;
        const std::vector<uint8_t>& memory = job.Flash ? Device.Flash() : Device.Eeprom();
        const std::vector<uint8_t>& image = *job.Image;
        for (size_t a = 0; a < image.size(); ++a)
            CHECK(MemoryByte(memory, a) == image[a]);
    }

    ReplySink replies_;
    std::deque<QueuedEntry> mirror_;
    std::vector<Job> jobs_;
    std::vector<Request> requests_;
    std::vector<Target> targets_;
    std::vector<AllowedCopy> allowed_;
    std::vector<uint8_t> clientStream_;
    int eepromTarget_ = -1, auxTarget_ = -1;
    uint64_t lastNotified_ = 0;
    uint64_t changes_ = 0;
    bool cleared_ = false; // the queue was cleared: its next change is that clear
    uint8_t bridgeSequence_ = 0;
};

template <int Slot> void CompletionOf(int32_t value) {
    CHECK(gHost);
    gHost->Completed(Slot, value);
}

// ---- The script ----

constexpr int kMaxSteps = 64;
constexpr int kMaxRoundsPerStep = 4;
constexpr int kWholeCheckEvery = 16;
constexpr int kMaxDrainRounds = 96;
constexpr int kMaxIdleRounds = 8;
constexpr uint32_t kMaxRequestBytes = 2048;

// One round: every receive step posted so far runs, and nothing posted meanwhile. All
// receivers: Qt compacts its list of posted events only then.
void RunPostedSteps() {
    QCoreApplication::sendPostedEvents();
}

// Mostly within the area, sometimes just beyond it; bounded so that a forged size stays cheap.
int32_t RequestCount(Script& script, uint32_t areaSize) {
    return int32_t(
        script.U16() %
        (std::min<uint32_t>(int32_t(areaSize) < 0 ? 0 : areaSize, kMaxRequestBytes) + 64));
}

void DeviceFault(Host& host, Script& script) {
    sim::DeviceModel& device = host.Device;
    const uint8_t kind = script.Byte();
    const uint8_t arg = script.Byte();
    switch (kind % 12) {
    case 0:
        device.FailIn(arg % 4, arg & 0x80 ? -ETIMEDOUT : -EIO);
        break;
    case 1:
        device.FailOut(arg % 4, arg & 0x80 ? -ETIMEDOUT : -EPIPE);
        break;
    case 2:
        device.ZeroByteReads(arg % 8);
        break;
    case 3:
        device.SetMaxReadChunk(arg % 3 == 0 ? 0 : arg % 64 + 1); // split transfers
        break;
    case 4:
        host.Ambiguous = true;
        device.WrongEchoes(arg % 4);
        break;
    case 5:
        host.Ambiguous = true;
        device.RepeatAnswers(arg % 4);
        break;
    case 6:
        device.CorruptChecksums(arg % 4);
        break;
    case 7: {
        // A mismatch at the head's block, or anywhere.
        const CommandQueue& queue = host.Link.Queue();
        device.MismatchVerifyAt(!queue.empty() && (arg & 1) ? queue.front().Address()
                                                            : uint32_t(arg) * kMaxBlockData);
        break;
    }
    case 8:
        device.SetAnswering(arg & 1);
        break;
    case 9:
        device.SetPresent(arg & 1); // unplug and replug
        break;
    case 10:
        host.Bus.SetOpenable(device, arg & 1);
        break;
    case 11:
        host.Bus.FailClose(arg % 3);
        break;
    }
}

void Step(Host& host, Script& script, const ImageFile& flashFile, const ImageFile& eepromFile) {
    LinkControl& link = host.Link;
    const uint8_t op = script.Byte();
    switch (op % 20) {
    case 0:
    case 1:
    case 2: {
        const int rounds = script.Byte() % kMaxRoundsPerStep + 1;
        for (int i = 0; i < rounds; ++i)
            RunPostedSteps();
        break;
    }
    case 3:
    case 4:
        link.Timer2Timer();
        RunPostedSteps();
        break;
    case 5:
        link.Timer1Timer();
        break;
    case 6:
        link.ToolButton1Click();
        break;
    case 7:
        // An answer still on its way to a dropped head outlives the drop (the accumulator and
        // the device keep their bytes) and may retire a later head of the same address.
        if (!link.Queue().empty()) host.Ambiguous = true;
        link.ToolButton4Click();
        break;
    case 8:
        DeviceFault(host, script);
        break;
    case 9: {
        std::vector<uint8_t> garbage = script.Bytes(script.Byte() % 64 + 1);
        host.Forged |=
            std::find(garbage.begin(), garbage.end(), uint8_t(SignatureBase)) != garbage.end();
        host.Device.InjectBytes(garbage);
        break;
    }
    case 10: {
        // A frame of any Type, any length; mostly of the device's kind.
        host.Forged = true;
        const uint8_t type = script.Byte();
        const uint8_t shape = script.Byte();
        size_t length = script.Byte();
        if (shape & 0x80) length = script.U16() % (kMaxReceivableLength + 16);
        const uint32_t kind = (shape & 0x40) ? script.Byte() : host.Device.Config().Kind;
        host.Device.SendFrame(SignatureOf(kind), type, script.Bytes(length));
        break;
    }
    case 11:
        host.ForgeAnswer(script);
        break;
    case 12:
        host.ExtraReplies = true;
        host.Device.SendReply(script.Bytes(script.Byte()));
        break;
    case 13:
        host.QueueJob(true, flashFile);
        break;
    case 14:
        host.QueueJob(false, eepromFile);
        break;
    case 15: {
        const uint8_t shape = script.Byte();
        const bool eeprom = shape & 1;
        int32_t count = RequestCount(script, eeprom ? link.EepromSize() : link.AuxSize());
        if (shape & 0x02) count = -count;
        // The library's buffer holds the Count it asks for; a null one is refused.
        host.Read(eeprom, count, count, shape & 0x04,
                  CompletionAction((shape >> 3) % uint8_t(CompletionAction::Count)));
        break;
    }
    case 16: {
        const uint8_t shape = script.Byte();
        const bool eeprom = shape & 1;
        const int32_t count = RequestCount(script, eeprom ? link.EepromSize() : link.AuxSize());
        // At least one byte, so that only a null source is ever a null pointer.
        host.Write(eeprom, count, MakeImage(size_t(std::max(count, 1)), script.Byte()),
                   shape & 0x04, CompletionAction((shape >> 3) % uint8_t(CompletionAction::Count)));
        break;
    }
    case 17: {
        const uint16_t count = script.U16() % 700;
        if (count == 0) {
            host.Ambiguous = true;
            host.Bridge.Timer4Timer(); // a flush with nothing buffered still sends
        } else {
            host.BridgeChunks(script.Bytes(count));
        }
        break;
    }
    case 18:
        switch (script.Byte() % 3) {
        case 0:
            link.OpenLink();
            break;
        case 1:
            host.Ambiguous = true; // the head again, while its answer may be on the way
            link.SendNext();
            break;
        case 2:
            host.Bridge.Timer3Timer(); // the clients counted
            break;
        }
        break;
    case 19: {
        const uint8_t choice = script.Byte();
        if (choice & 1)
            host.ReleaseLibrary();
        else
            host.Plugins.ComboBox1Change(int(choice >> 1) % 5 - 1); // the operator's pick
        // Frames of the device's kind are passed over now, and a reply with them.
        host.LostReplies |= link.LinkSignature() && link.LinkSignature() != host.Device.Signature();
        break;
    }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    // Every posted receive step wakes the glib loop with a write to its wakeup descriptor;
    // Qt's own loop writes once until it runs, and this harness runs posted events itself.
    qputenv("QT_NO_GLIB", "1");
    static QCoreApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The last input's closed sockets: outside any event loop nothing else deletes them.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    Script script(data, size);

    // Header: the device, the capacities the host knows, the images.
    static constexpr uint8_t kKinds[16] = {1, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 0, 4, 0xFF};
    const uint8_t kindByte = script.Byte();
    const uint8_t flags = script.Byte();
    sim::DeviceConfig config;
    config.Kind = kKinds[kindByte % 16];
    config.SendsFirstFrame = !(flags & 0x04);
    config.HelloAfterEmptyReads = (flags >> 3) % 5; // 0: the strict device
    config.FlashSize = 32 * 1024;
    config.EepromSize = 64 + script.U16() % 2048;
    config.AuxSize = 64 + script.U16() % 2048;
    const size_t flashIndex = script.Byte() % kSizeChoices;
    size_t eepromIndex = script.Byte() % kSizeChoices;
    while (kImageSizes[eepromIndex] >= config.EepromSize) // the job refuses those anyway
        --eepromIndex;
    const uint8_t content = script.Byte() % kImageContents;
    const ImageFile& flashFile = ImageFileOf(true, flashIndex, content);
    const ImageFile& eepromFile = ImageFileOf(false, eepromIndex, content);

    // The timers fire only when the script says, and nothing waits on the clock: no fault
    // pause, and no early re-reads while an answer is awaited (they pause in real time).
    LinkTimings timings;
    timings.WatchdogMs = timings.PollTickMs = kNeverMs; // socket events may run the loop
    timings.FaultPauseMs = 0;
    timings.AnswerRetryUs = 0;
    Host host(config, timings);
    LinkControl& link = host.Link;
    if (!(flags & 0x01)) {
        // A host that has already seen the device's sizes.
        link.SetCapacity(Memory::Flash, config.FlashSize);
        link.SetCapacity(Memory::Eeprom, config.EepromSize);
        link.SetCapacity(Memory::Aux, config.AuxSize);
    }
    if (flags & 0x02) link.AssumeEstablished();
    if (flags & 0x40) host.ChooseKindsByPlugins();
    // Real sockets cost many times the rest of a run: only a few scripts have a client, so
    // that the others keep the run fast.
    if (false) host.ConnectClient();
    if (flags & 0x20) link.ToolButton1Click();

    for (int step = 0; step < kMaxSteps && !script.Done(); ++step) {
        Step(host, script, flashFile, eepromFile);
        host.CheckStep(step % kWholeCheckEvery == 0);
    }

    // Then an honest device and a running link, until the queue drains or the rounds run out.
    sim::DeviceModel& device = host.Device;
    device.FailIn(0, 0);
    device.FailOut(0, 0);
    device.ZeroByteReads(0);
    device.WrongEchoes(0);
    device.RepeatAnswers(0);
    device.CorruptChecksums(0);
    device.SetMaxReadChunk(0);
    device.SetAnswering(true);
    device.SetPresent(true);
    host.Bus.SetOpenable(device, true);
    if (!link.IsOpen()) link.ToolButton1Click();
    // A link that gets nowhere (a device of another kind, say) is given up after a while.
    const int rounds = std::min(16 + 2 * int(link.Queue().size()), kMaxDrainRounds);
    for (int i = 0, idle = 0; i < rounds && !link.Queue().empty() && idle < kMaxIdleRounds; ++i) {
        const uint64_t changes = host.QueueChanges();
        link.Timer2Timer();
        RunPostedSteps();
        host.CheckStep(false);
        idle = host.QueueChanges() == changes ? idle + 1 : 0;
    }
    host.CheckStep(true);
    host.CheckClientReplies();
    static const bool trace = qEnvironmentVariableIsSet("FUZZ_HOST_TRACE");
    if (trace) host.Trace();
    return 0;
}
