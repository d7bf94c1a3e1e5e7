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
#include <optional>
#include <thread>

namespace ktr::sim {

namespace {

constexpr const char* kSysPath = "/sys/devices/usb1/1-1";
constexpr const char* kDevNode = "/dev/bus/usb/001/002";
constexpr size_t kSocketPathMax = sizeof(sockaddr_un::sun_path) - 1;

// A full-speed vendor device, 1000:6666: one configuration with one interface and no
// endpoints beyond the default one, which is all the link uses.
constexpr uint8_t kDescriptors[] = {
    // device: USB 1.10, class per interface, EP0 64 bytes, no strings, one configuration
    0x12, 0x01, 0x10, 0x01, 0x00, 0x00, 0x00, 0x40, 0x00, 0x10, 0x66, 0x66, 0x00, 0x01, 0x00, 0x00,
    0x00, 0x01,
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

// Paths in the description are relative to /sys and /dev; umockdev takes the node's
// content in upper-case hex only.
std::string DeviceDescription() {
    return std::string("P: ") + (kSysPath + 4) + "\nN: " + (kDevNode + 5) + "=" +
           HexBytes(kDescriptors, sizeof kDescriptors, "") + "\nE: SUBSYSTEM=usb\n";
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

} // namespace

UmockdevDevice::UmockdevDevice(const HarnessOptions& options)
    : options_(options), model_(options.Device) {
    model_.SetRecording(!options.RecordPath.empty());
    for (uint32_t address : options.VerifyMismatches)
        model_.MismatchVerifyAt(address);
}

UmockdevDevice::~UmockdevDevice() {
    {
        std::lock_guard lock(mutex_);
        if (replugSource_ != 0) g_source_remove(replugSource_);
        replugSource_ = 0;
    }
    if (testbed_) g_object_unref(testbed_); // detaches the handler and removes the bed's files
    if (handler_) g_object_unref(handler_);
    if (!privateTmpDir_.empty()) rmdir(privateTmpDir_.c_str());
}

bool UmockdevDevice::Start(std::string& error) {
    // The ioctl socket lives under $TMPDIR; a path too long for a Unix socket only draws a
    // warning from umockdev and then silently answers every ioctl with ENOTTY.
    const char* tmp = std::getenv("TMPDIR");
    const std::string tmpDir = tmp && *tmp ? tmp : "/tmp";
    const std::string socketTail = std::string("/umockdev.XXXXXX/ioctl") + kDevNode;
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
    // glib keeps the directory it saw; the program gets the caller's TMPDIR back.
    if (!privateTmpDir_.empty()) {
        if (callerTmp)
            setenv("TMPDIR", callerTmp->c_str(), 1);
        else
            unsetenv("TMPDIR");
    }

    GError* gerror = nullptr;
    if (!umockdev_testbed_add_from_string(testbed_, DeviceDescription().c_str(), &gerror)) {
        error = std::string("cannot add the device to the test bed: ") + gerror->message;
        g_error_free(gerror);
        return false;
    }
    handler_ = umockdev_ioctl_base_new();
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(OnIoctl), this);
    if (!umockdev_testbed_attach_ioctl(testbed_, kDevNode, handler_, &gerror)) {
        error = std::string("cannot attach the ioctl handler: ") + gerror->message;
        g_error_free(gerror);
        return false;
    }
    gchar* root = umockdev_testbed_get_root_dir(testbed_);
    const std::string socketPath = std::string(root) + "/ioctl" + kDevNode;
    g_free(root);
    if (!IsSocket(socketPath)) {
        error = "the ioctl socket " + socketPath + " was not created (path too long?)";
        return false;
    }
    return true;
}

gboolean UmockdevDevice::OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    if (umockdev_ioctl_client_get_request(client) != USBDEVFS_CONTROL) return FALSE; // ENOTTY
    return static_cast<UmockdevDevice*>(self)->HandleControl(client);
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

    int result;
    const bool known =
        setup.bRequest == 0 && setup.wValue == 0 && setup.wIndex == 0 &&
        (setup.bRequestType == kRequestTypeOut || setup.bRequestType == kRequestTypeIn);
    if (!known) {
        result = -EPIPE; // the device stalls what it does not understand
    } else {
        result = Transfer(setup.bRequestType == kRequestTypeIn ? Direction::In : Direction::Out,
                          buffer ? buffer->data : nullptr, setup.wLength, int(setup.timeout));
    }
    if (options_.LatencyUs > 0)
        std::this_thread::sleep_for(std::chrono::microseconds(options_.LatencyUs));

    if (buffer) g_object_unref(buffer);
    g_object_unref(setupData);
    if (result < 0)
        umockdev_ioctl_client_complete(client, -1, -result);
    else
        umockdev_ioctl_client_complete(client, result, 0);
    return TRUE;
}

int UmockdevDevice::Transfer(Direction dir, uint8_t* bytes, int size, int requestedTimeoutMs) {
    std::unique_lock lock(mutex_);
    ++transfers_;
    const uint64_t number = dir == Direction::In ? ++inTransfers_ : ++outTransfers_;
    if (transfers_ == options_.UnplugAtTransfer) Unplug();

    if (const TransferFault* fault = FaultFor(dir, number)) {
        if (!fault->TimesOut) return -fault->Error;
        // The emulation has no timeout of its own: hang as a device that never completes
        // would, then fail the way the kernel does.
        lock.unlock();
        const int delayMs = options_.TimeoutDelayMs >= 0 ? options_.TimeoutDelayMs
                            : requestedTimeoutMs > 0     ? requestedTimeoutMs
                                                         : kTransferTimeoutMs;
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        return -ETIMEDOUT;
    }
    if (dir == Direction::In) return model_.In(bytes, size);
    const int result = model_.Out(bytes, size);
    if (options_.SilentAfterFrames != 0 && model_.FramesReceived() >= options_.SilentAfterFrames)
        model_.SetAnswering(false);
    return result;
}

const TransferFault* UmockdevDevice::FaultFor(Direction dir, uint64_t number) const {
    for (const TransferFault& fault : options_.Faults)
        if (fault.Dir == dir && number >= fault.First && number - fault.First < fault.Count)
            return &fault;
    return nullptr;
}

// Called with the mutex held, on the worker thread, before the failing transfer completes:
// by the time the program sees the failure, the device has left the bus.
void UmockdevDevice::Unplug() {
    unplugged_ = true;
    model_.SetPresent(false);
    umockdev_testbed_remove_device(testbed_, kSysPath);
    // remove_device leaves a node given by an N: line; enumeration would still find it.
    gchar* root = umockdev_testbed_get_root_dir(testbed_);
    unlink((std::string(root) + kDevNode).c_str());
    g_free(root);
    if (options_.ReplugAfterMs >= 0)
        replugSource_ = g_timeout_add(guint(options_.ReplugAfterMs), OnReplug, this);
}

// On the main thread. The socket of the attached handler outlived the unplug, so the new
// node is served at once.
gboolean UmockdevDevice::OnReplug(gpointer self) {
    auto* device = static_cast<UmockdevDevice*>(self);
    std::lock_guard lock(device->mutex_);
    device->replugSource_ = 0;
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(device->testbed_, DeviceDescription().c_str(), &error)) {
        std::fprintf(stderr, "usbsim-harness: replug failed: %s\n", error->message);
        g_error_free(error);
        return G_SOURCE_REMOVE;
    }
    device->model_.SetPresent(true);
    return G_SOURCE_REMOVE;
}

UmockdevDevice::Counts UmockdevDevice::GetCounts() {
    std::lock_guard lock(mutex_);
    return {inTransfers_, outTransfers_, model_.FramesReceived(), model_.FramesReceivedOfType(0),
            unplugged_};
}

bool UmockdevDevice::WriteResults(std::string& error) {
    std::lock_guard lock(mutex_);
    if (!options_.RecordPath.empty()) {
        std::ofstream out(options_.RecordPath, std::ios::trunc);
        for (const std::vector<uint8_t>& transfer : model_.OutTransfers())
            out << HexBytes(transfer.data(), transfer.size(), " ") << '\n';
        if (!out.flush()) error = "cannot write " + options_.RecordPath;
    }
    const struct {
        const std::string& Path;
        const std::vector<uint8_t>& Memory;
        uint32_t Size;
    } dumps[] = {{options_.FlashDumpPath, model_.Flash(), model_.Config().FlashSize},
                 {options_.EepromDumpPath, model_.Eeprom(), model_.Config().EepromSize},
                 {options_.AuxDumpPath, model_.Aux(), model_.Config().AuxSize}};
    for (const auto& dump : dumps)
        if (!dump.Path.empty() && !WriteMemoryDump(dump.Path, dump.Memory, dump.Size))
            error = "cannot write " + dump.Path;
    return error.empty();
}

} // namespace ktr::sim
