// One simulated device on a umockdev test bed: its descriptors on the emulated bus, and an
// ioctl handler that plays the device model to libusb's control transfers. The handler runs
// on the test bed's worker thread; everything that touches the model holds one mutex.
#pragma once

#include "DeviceModel.h"
#include "HarnessOptions.h"

#include <umockdev.h>

#include <mutex>
#include <string>

namespace ktr::sim {

class UmockdevDevice {
public:
    struct Counts {
        uint64_t InTransfers = 0, OutTransfers = 0, Frames = 0, PollFrames = 0;
        bool Unplugged = false;
    };

    explicit UmockdevDevice(const HarnessOptions& options);
    ~UmockdevDevice();
    UmockdevDevice(const UmockdevDevice&) = delete; // owns the test bed
    UmockdevDevice& operator=(const UmockdevDevice&) = delete;

    // Creates the test bed (it puts UMOCKDEV_DIR into this process's environment, for the
    // program to inherit), plugs the device in and attaches the handler. On failure: false
    // and the reason.
    bool Start(std::string& error);

    Counts GetCounts();
    // The record and memory dumps that the options ask for; call once the program ended.
    bool WriteResults(std::string& error);

private:
    static gboolean OnIoctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, gpointer self);
    static gboolean OnReplug(gpointer self);
    gboolean HandleControl(UMockdevIoctlClient* client);
    int Transfer(Direction dir, uint8_t* bytes, int size, int requestedTimeoutMs);
    void Unplug();
    const TransferFault* FaultFor(Direction dir, uint64_t number) const;

    const HarnessOptions& options_;
    UMockdevTestbed* testbed_ = nullptr;
    UMockdevIoctlBase* handler_ = nullptr;
    std::string privateTmpDir_; // only when TMPDIR is too long for the ioctl socket path
    std::mutex mutex_;
    DeviceModel model_;
    uint64_t transfers_ = 0, inTransfers_ = 0, outTransfers_ = 0;
    bool unplugged_ = false;
    guint replugSource_ = 0;
};

} // namespace ktr::sim
