#include "UmockdevDevice.h"

#include "UsbDevice.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>

namespace ktr::sim {

namespace {

constexpr size_t kSocketPathMax = sizeof(sockaddr_un::sun_path) - 1;

// A full-speed vendor device, 1000:6666: one configuration with one interface and no
// endpoints beyond the default one, which is all the link uses.
constexpr uint8_t kDescriptors[] = {
    // device: USB 1.10, class per interface, EP0 64 bytes, no strings, one configuration
    0x12, 0x01, 0x10, 0x01, 0x00, 0x00, 0x00, 0x40, uint8_t(kVendorId), uint8_t(kVendorId >> 8),
    uint8_t(kProductId), uint8_t(kProductId >> 8), 0x00, 0x01, 0x00, 0x00, 0x00, 0x01,
    // configuration 1: total 18 bytes, one interface, bus powered, 100 mA
    0x09, 0x02, 0x12, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32,
    // interface 0: no endpoints, vendor class
    0x09, 0x04, 0x00, 0x00, 0x00, 0xFF, 0x00, 0x00, 0x00};

std::string HexBytes(const uint8_t* bytes, size_t size, const char* separator) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(size * 3);
    for (size_t i = 0; i < size; ++i) {
        if (i > 0) text += separator;
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0x0F];
    }
    return text;
}

bool IsSocket(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

bool WriteMemoryDump(const std::string& path, const std::vector<uint8_t>& memory,
                     uint32_t reportedSize) {
    const size_t size = std::min<size_t>(reportedSize, DeviceModel::kMaxMemoryBytes);
    std::vector<uint8_t> image(size, DeviceModel::kErasedByte);
    std::copy_n(memory.begin(), std::min(size, memory.size()), image.begin());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
    return bool(out.flush());
}

std::string NodeOf(int deviceNumber) {
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/001/%03d", deviceNumber);
    return node;
}

// A unit as it leaves the factory, with the faults its options give it.
DeviceModel NewUnit(const DeviceOptions& options) {
    DeviceModel model(options.Device);
    model.SetRecording(!options.RecordPath.empty());
    for (uint32_t address : options.VerifyMismatches)
        model.MismatchVerifyAt(address);
    model.InjectBytes(options.Noise);
    return model;
}

bool ComesLater(const DeviceOptions& options) {
    return std::any_of(options.Schedule.begin(), options.Schedule.end(),
                       [](const PlugChange& change) { return change.Plug; });
}

std::string WithArrival(std::string path, uint64_t arrival) {
    for (size_t at = path.find("{a}"); at != std::string::npos; at = path.find("{a}", at))
        path.replace(at, 3, std::to_string(arrival));
    return path;
}

template <class T> std::shared_ptr<T> Owned(T* object) {
    return std::shared_ptr<T>(object, [](T* owned) {
        if (owned) g_object_unref(owned);
    });
}

// Ends the ioctl with a byte count, or with -errno as its failure.
void Complete(UMockdevIoctlClient* client, int result) {
    if (result < 0)
        umockdev_ioctl_client_complete(client, -1, -result);
    else
        umockdev_ioctl_client_complete(client, result, 0);
}

} // namespace

UmockdevBed::~UmockdevBed() {
    Close();
}

void UmockdevBed::Close() {
    for (UMockdevTestbed* server : servers_)
        g_object_unref(server);
    servers_.clear();
    if (testbed_) g_object_unref(testbed_); // detaches the handlers and removes the bed's files
    testbed_ = nullptr;
    if (!privateTmpDir_.empty()) rmdir(privateTmpDir_.c_str());
    privateTmpDir_.clear();
}

bool UmockdevBed::Start(std::string& error) {
    // The ioctl sockets live under $TMPDIR; a path too long for a Unix socket only draws a
    // warning from umockdev and then silently answers every ioctl with ENOTTY.
    const char* tmp = std::getenv("TMPDIR");
    const std::string tmpDir = tmp && *tmp ? tmp : "/tmp";
    const std::string socketTail = "/umockdev.XXXXXX/ioctl/dev/bus/usb/001/002";
    const std::optional<std::string> callerTmp =
        tmp ? std::optional<std::string>(tmp) : std::nullopt;
    if (tmpDir.size() + socketTail.size() > kSocketPathMax) {
        char shortDir[] = "/tmp/ktrXXXXXX";
        if (!mkdtemp(shortDir)) {
            error =
                std::string("cannot create a short temporary directory: ") + std::strerror(errno);
            return false;
        }
        privateTmpDir_ = shortDir;
        setenv("TMPDIR", shortDir, 1);
    }
    testbed_ = umockdev_testbed_new();
    // libusb 0.1 looks for its device folder once, at its start: a bus with no device in
    // it yet must have it, or devices plugged in later are never seen.
    gchar* root = umockdev_testbed_get_root_dir(testbed_);
    const std::string folder = std::string(root) + "/dev/bus/usb/001";
    g_free(root);
    g_mkdir_with_parents(folder.c_str(), 0755);
    // glib keeps the directory it saw; the program gets the caller's TMPDIR back.
    if (!privateTmpDir_.empty()) {
        if (callerTmp)
            setenv("TMPDIR", callerTmp->c_str(), 1);
        else
            unsetenv("TMPDIR");
    }
    return true;
}

std::string UmockdevBed::Root() const {
    gchar* root = umockdev_testbed_get_root_dir(testbed_);
    std::string path = root;
    g_free(root);
    return path;
}

UMockdevTestbed* UmockdevBed::NewServer() {
    UMockdevTestbed* server = umockdev_testbed_new();
    setenv("UMOCKDEV_DIR", Root().c_str(), 1); // the program's bed stays this one
    servers_.push_back(server);
    return server;
}

UmockdevDevice::UmockdevDevice(UmockdevBed& bed, DelayedCalls& later, int number,
                               const DeviceOptions& options)
    : bed_(bed), later_(later), number_(number), options_(options),
      sysPath_("/sys/devices/usb1/1-" + std::to_string(number)),
      presentAtStart_(!ComesLater(options)), deviceNumber_(number + 1),
      devNode_(NodeOf(deviceNumber_)), model_(NewUnit(options)), arrived_(presentAtStart_) {
    model_.SetPresent(presentAtStart_);
}

UmockdevDevice::~UmockdevDevice() {
    {
        std::lock_guard handling(handling_);
        serving_ = false;
    }
    {
        std::lock_guard lock(talkingMutex_);
        for (UMockdevIoctlClient* client : talking_)
            g_object_weak_unref(G_OBJECT(client), ClientFinalized, this);
    }
    for (auto& [client, urbs] : urbs_)
        DropUrbs(client);
    if (handler_) g_object_unref(handler_);
}

// Paths are relative to /sys and /dev; umockdev takes contents in upper-case hex only.
// libusb 0.1 reads the node alone; libusb 1.0 finds the device through udev's properties
// and reads its sysfs attributes, whose values end in a newline as the kernel's do.
std::string UmockdevDevice::Description() const {
    const std::string descriptors = HexBytes(kDescriptors, sizeof kDescriptors, "");
    const std::string devnum = std::to_string(deviceNumber_);
    return "P: " + sysPath_.substr(4) + "\nN: " + devNode_.substr(5) + "=" + descriptors +
           "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=" + devNode_ +
           "\nE: BUSNUM=001\nE: DEVNUM=" + devNode_.substr(devNode_.size() - 3) +
           "\nA: busnum=1\\n\nA: devnum=" + devnum +
           "\\n\nA: speed=12\\n\nA: bConfigurationValue=1\\n\nH: descriptors=" + descriptors + "\n";
}

// One socket per node path, made before the program starts: the handler is attached to the
// node of every number the device will have.
bool UmockdevDevice::Start(std::string& error) {
    std::unique_lock lock(bed_.Mutex());
    UMockdevTestbed* testbed = bed_.Testbed();
    GError* gerror = nullptr;
    if (presentAtStart_ &&
        !umockdev_testbed_add_from_string(testbed, Description().c_str(), &gerror)) {
        error = std::string("cannot add the device to the test bed: ") + gerror->message;
        g_error_free(gerror);
        return false;
    }
    handler_ = umockdev_ioctl_base_new();
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(OnIoctl), this);
    g_signal_connect(handler_, "client-vanished", G_CALLBACK(OnClientVanished), this);
    std::set<int> numbers{deviceNumber_};
    if (options_.ReplugDeviceNumber > 0) numbers.insert(options_.ReplugDeviceNumber);
    for (const PlugChange& change : options_.Schedule)
        if (change.Plug) numbers.insert(change.DeviceNumber);
    UMockdevTestbed* server = bed_.NewServer();
    gchar* serverRoot = umockdev_testbed_get_root_dir(server);
    const std::string serverDir = std::string(serverRoot) + "/ioctl";
    g_free(serverRoot);
    const std::string socketDir = bed_.Root() + "/ioctl";
    for (int number : numbers) {
        const std::string node = NodeOf(number);
        if (!umockdev_testbed_attach_ioctl(server, node.c_str(), handler_, &gerror)) {
            error = std::string("cannot attach the ioctl handler: ") + gerror->message;
            g_error_free(gerror);
            return false;
        }
        const std::string link = socketDir + node;
        g_mkdir_with_parents(link.substr(0, link.rfind('/')).c_str(), 0755);
        if (symlink((serverDir + node).c_str(), link.c_str()) != 0 || !IsSocket(link)) {
            error = "the ioctl socket " + link + " was not created (path too long?)";
            return false;
        }
    }
    lock.unlock(); // a handler takes the bed's mutex inside handling_ (an unplug)
    std::lock_guard serving(handling_);
    serving_ = true;
    return true;
}

void UmockdevDevice::RunSchedule(DelayedCalls::Clock::time_point ready) {
    {
        std::lock_guard lock(mutex_);
        ready_ = ready;
    }
    for (const PlugChange& change : options_.Schedule)
        later_.At(ready + change.At,
                  [this, change] { change.Plug ? Arrive(change.DeviceNumber) : Leave(); });
}

gboolean UmockdevDevice::OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    auto* device = static_cast<UmockdevDevice*>(self);
    std::lock_guard handling(device->handling_);
    if (!device->serving_) return FALSE;
    switch (umockdev_ioctl_client_get_request(client)) {
    case USBDEVFS_CONTROL:
        return device->HandleControl(client);
    case USBDEVFS_SUBMITURB:
        return device->HandleSubmitUrb(client);
    case USBDEVFS_REAPURBNDELAY:
        return device->HandleReapUrb(client, false);
    case USBDEVFS_REAPURB:
        return device->HandleReapUrb(client, true);
    case USBDEVFS_DISCARDURB:
        return device->HandleDiscardUrb(client);
    default:
        return FALSE; // ENOTTY, which both libusb versions tolerate
    }
}

void UmockdevDevice::OnClientVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client,
                                      gpointer self) {
    auto* device = static_cast<UmockdevDevice*>(self);
    std::lock_guard handling(device->handling_);
    if (!device->serving_) return;
    std::lock_guard lock(device->mutex_);
    device->DropUrbs(client);
    device->urbs_.erase(client);
}

// umockdev tells of a closed node only sometimes, and a new client may take the address of
// one that is gone: a weak reference sees each client's end for certain.
bool UmockdevDevice::NewTalker(UMockdevIoctlClient* client) {
    std::lock_guard lock(talkingMutex_);
    if (!talking_.insert(client).second) return false;
    g_object_weak_ref(G_OBJECT(client), ClientFinalized, this);
    return true;
}

void UmockdevDevice::ClientFinalized(gpointer self, GObject* client) {
    auto* device = static_cast<UmockdevDevice*>(self);
    std::lock_guard lock(device->talkingMutex_);
    device->talking_.erase(reinterpret_cast<UMockdevIoctlClient*>(client));
}

gboolean UmockdevDevice::HandleControl(UMockdevIoctlClient* client) {
    GError* error = nullptr;
    UMockdevIoctlData* setupData = umockdev_ioctl_data_resolve(
        umockdev_ioctl_client_get_arg(client), 0, sizeof(usbdevfs_ctrltransfer), &error);
    if (!setupData) {
        g_clear_error(&error);
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return TRUE;
    }
    usbdevfs_ctrltransfer setup;
    std::memcpy(&setup, setupData->data, sizeof setup);
    UMockdevIoctlData* buffer = nullptr;
    if (setup.wLength > 0) {
        buffer = umockdev_ioctl_data_resolve(setupData, offsetof(usbdevfs_ctrltransfer, data),
                                             setup.wLength, &error);
        if (!buffer) {
            g_clear_error(&error);
            g_object_unref(setupData);
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return TRUE;
        }
    }

    Outcome outcome{-EPIPE}; // the device stalls what it does not understand
    if (setup.bRequest == 0 && setup.wValue == 0 && setup.wIndex == 0 &&
        (setup.bRequestType == kRequestTypeOut || setup.bRequestType == kRequestTypeIn))
        outcome =
            Transfer(client, setup.bRequestType == kRequestTypeIn ? Direction::In : Direction::Out,
                     buffer ? buffer->data : nullptr, setup.wLength, int(setup.timeout));
    // The emulation has no timeout of its own: a hang ends the way the kernel ends it.
    const int result = outcome.Hangs ? -ETIMEDOUT : outcome.Result;
    const auto delay = outcome.Hangs ? std::chrono::microseconds(outcome.HangMs * 1000LL)
                                     : std::chrono::microseconds(options_.LatencyUs);
    // The data is synced back by the completion, so it lives until then; a completion still
    // due when the run ends is dropped, and its references with it.
    auto finish = [client = Owned(UMOCKDEV_IOCTL_CLIENT(g_object_ref(client))),
                   setupData = Owned(setupData), buffer = Owned(buffer),
                   result] { Complete(client.get(), result); };
    if (delay.count() == 0)
        finish();
    else
        later_.After(delay, finish);
    return TRUE;
}

UmockdevDevice::Outcome UmockdevDevice::Transfer(UMockdevIoctlClient* client, Direction dir,
                                                 uint8_t* bytes, int size, int requestedTimeoutMs) {
    std::lock_guard lock(mutex_);
    if (!OnCurrentNode(client)) return {-ENODEV};
    if (NewTalker(client)) model_.Opened();
    ++transfers_;
    const uint64_t number = dir == Direction::In ? ++inTransfers_ : ++outTransfers_;
    if (transfers_ == options_.UnplugAtTransfer) Unplug();
    if (transfers_ == options_.HangAtTransfer && model_.Present()) {
        model_.SetHanging(true);
        if (options_.HangForMs >= 0)
            later_.After(std::chrono::milliseconds(options_.HangForMs), [this, unit = unit_] {
                std::lock_guard lock(mutex_);
                if (unit == unit_) model_.SetHanging(false);
            });
    }
    const int hangMs = options_.TimeoutDelayMs >= 0 ? options_.TimeoutDelayMs
                       : requestedTimeoutMs > 0     ? requestedTimeoutMs
                                                    : kTransferTimeoutMs;
    if (const TransferFault* fault = FaultFor(dir, number)) {
        if (!fault->TimesOut) return {-fault->Error};
        return {0, true, hangMs};
    }
    if (model_.Present() && model_.Hanging()) return {0, true, hangMs};
    if (dir == Direction::In) return {model_.In(bytes, size)};
    const int result = model_.Out(bytes, size);
    if (options_.SilentAfterFrames != 0 && model_.FramesReceived() >= options_.SilentAfterFrames)
        model_.SetAnswering(false);
    return {result};
}

const TransferFault* UmockdevDevice::FaultFor(Direction dir, uint64_t number) const {
    for (const TransferFault& fault : options_.Faults)
        if (fault.Dir == dir && number >= fault.First && number - fault.First < fault.Count)
            return &fault;
    return nullptr;
}

bool UmockdevDevice::OnCurrentNode(UMockdevIoctlClient* client) const {
    const char* node = umockdev_ioctl_client_get_devnode(client);
    return node && devNode_ == node;
}

// Called with the mutex held, before the failing transfer completes: by the time the
// program sees the failure, the device has left the bus.
void UmockdevDevice::Unplug() {
    Remove();
    if (options_.ReplugAfterMs >= 0)
        later_.After(std::chrono::milliseconds(options_.ReplugAfterMs), [this, changes = changes_] {
            std::lock_guard lock(mutex_);
            if (changes == changes_) Replug();
        });
}

// With the mutex held: the same unit, into the same port, under a new number if asked.
void UmockdevDevice::Replug() {
    if (options_.ReplugDeviceNumber > 0) {
        deviceNumber_ = options_.ReplugDeviceNumber;
        devNode_ = NodeOf(deviceNumber_);
    }
    PlugIn();
}

// A new unit into the port, under its own number.
void UmockdevDevice::Arrive(int deviceNumber) {
    std::lock_guard lock(mutex_);
    ++changes_;
    if (arrived_) NextUnit();
    arrived_ = true;
    deviceNumber_ = deviceNumber;
    devNode_ = NodeOf(deviceNumber);
    PlugIn();
}

void UmockdevDevice::Leave() {
    std::lock_guard lock(mutex_);
    ++changes_;
    if (model_.Present()) Remove(); // else a transfer unplugged it already
}

// The socket of the attached handler outlived the unplug, so the node is served at once.
void UmockdevDevice::PlugIn() {
    {
        std::lock_guard bedLock(bed_.Mutex());
        GError* error = nullptr;
        if (!umockdev_testbed_add_from_string(bed_.Testbed(), Description().c_str(), &error)) {
            std::fprintf(stderr, "usbsim-harness: plugging in device %d failed: %s\n", number_,
                         error->message);
            g_error_free(error);
            return;
        }
    }
    model_.SetPresent(true);
    unplugged_ = false;
    TellChange("plugged in at port " + PortPath() + " as " + devNode_.substr(13));
}

// URBs in flight end as the kernel ends them when their device goes.
void UmockdevDevice::Remove() {
    unplugged_ = true;
    model_.SetPresent(false);
    for (auto& [client, urbs] : urbs_)
        while (!urbs.InFlight.empty())
            FinishUrb(urbs.InFlight.front(), -ENODEV, 0);
    {
        std::lock_guard bedLock(bed_.Mutex());
        // remove_device leaves a node given by an N: line; enumeration would still find it.
        // The node goes first: a scan meanwhile must not list a device without its port.
        gchar* root = umockdev_testbed_get_root_dir(bed_.Testbed());
        unlink((std::string(root) + devNode_).c_str());
        g_free(root);
        umockdev_testbed_remove_device(bed_.Testbed(), sysPath_.c_str());
    }
    TellChange("unplugged from port " + PortPath() + " (" + devNode_.substr(13) + ")");
}

std::string UmockdevDevice::PortPath() const {
    return sysPath_.substr(sysPath_.rfind('/') + 1);
}

void UmockdevDevice::TellChange(const std::string& what) const {
    char when[48];
    std::snprintf(when, sizeof when, "%.3f s: device %d ",
                  std::chrono::duration<double>(DelayedCalls::Clock::now() - ready_).count(),
                  number_);
    bed_.Tell(when + what);
}

// With the mutex held: the unit that was in the port makes way for a new one, as configured
// at start. Its results are kept when the paths tell the units apart.
void UmockdevDevice::NextUnit() {
    const std::string* paths[] = {&options_.RecordPath, &options_.FlashDumpPath,
                                  &options_.EepromDumpPath, &options_.AuxDumpPath};
    if (std::any_of(std::begin(paths), std::end(paths),
                    [](const std::string* path) { return path->find("{a}") != std::string::npos; }))
        WriteUnitResults(resultError_);
    earlier_.InTransfers += inTransfers_;
    earlier_.OutTransfers += outTransfers_;
    earlier_.Frames += model_.FramesReceived();
    earlier_.PollFrames += model_.FramesReceivedOfType(0);
    ++unit_;
    model_ = NewUnit(options_);
    transfers_ = inTransfers_ = outTransfers_ = 0;
}

UmockdevDevice::Counts UmockdevDevice::GetCounts() {
    std::lock_guard lock(mutex_);
    return {earlier_.InTransfers + inTransfers_, earlier_.OutTransfers + outTransfers_,
            earlier_.Frames + model_.FramesReceived(),
            earlier_.PollFrames + model_.FramesReceivedOfType(0), unplugged_};
}

bool UmockdevDevice::WriteResults(std::string& error) {
    std::lock_guard lock(mutex_);
    error = resultError_;
    return WriteUnitResults(error) && error.empty();
}

// With the mutex held.
bool UmockdevDevice::WriteUnitResults(std::string& error) {
    bool written = true;
    if (!options_.RecordPath.empty()) {
        const std::string path = WithArrival(options_.RecordPath, unit_);
        std::ofstream out(path, std::ios::trunc);
        for (const std::vector<uint8_t>& transfer : model_.OutTransfers())
            out << HexBytes(transfer.data(), transfer.size(), " ") << '\n';
        if (!out.flush()) {
            error = "cannot write " + path;
            written = false;
        }
    }
    const struct {
        const std::string& Path;
        const std::vector<uint8_t>& Memory;
        uint32_t Size;
    } dumps[] = {{options_.FlashDumpPath, model_.Flash(), model_.Config().FlashSize},
                 {options_.EepromDumpPath, model_.Eeprom(), model_.Config().EepromSize},
                 {options_.AuxDumpPath, model_.Aux(), model_.Config().AuxSize}};
    for (const auto& dump : dumps) {
        if (dump.Path.empty()) continue;
        const std::string path = WithArrival(dump.Path, unit_);
        if (!WriteMemoryDump(path, dump.Memory, dump.Size)) {
            error = "cannot write " + path;
            written = false;
        }
    }
    return written;
}

} // namespace ktr::sim
