#include "SimUsbBus.h"

#include "UsbDevice.h"

#include <algorithm>
#include <cerrno>
#include <utility>

namespace ktr::sim {

class SimUsbBus::Handle final : public UsbHandle {
public:
    Handle(SimUsbBus& bus, DeviceModel& model) : Bus(bus), Model(model) { ++Bus.openHandles_; }
    ~Handle() override { --Bus.openHandles_; }
    SimUsbBus& Bus;
    DeviceModel& Model;
};

SimUsbBus::SimUsbBus() {
    heldTimer_.setSingleShot(true);
    heldTimer_.callOnTimeout([this] { TimeOutHeldTransfer(); });
}

void SimUsbBus::Attach(DeviceModel& model, int bus, uint16_t vendor, uint16_t product) {
    const auto onBus = std::count_if(slots_.begin(), slots_.end(),
                                     [bus](const Slot& slot) { return slot.Info.Bus == bus; });
    UsbDeviceInfo info;
    info.Bus = bus;
    info.Device = int(onBus) + 2;
    info.PortPath = std::to_string(bus) + "-" + std::to_string(onBus + 1);
    info.VendorId = vendor;
    info.ProductId = product;
    info.Accessible = true;
    slots_.push_back({&model, std::move(info)});
}

void SimUsbBus::SetOpenable(const DeviceModel& model, bool openable) {
    for (Slot& slot : slots_)
        if (slot.Model == &model) slot.Info.Accessible = openable;
}

void SimUsbBus::SetPortPath(const DeviceModel& model, std::string portPath) {
    for (Slot& slot : slots_)
        if (slot.Model == &model) slot.Info.PortPath = portPath;
}

void SimUsbBus::Init() {
    ++initCalls_;
}

std::vector<UsbDeviceInfo> SimUsbBus::ListAllDevices() {
    std::vector<UsbDeviceInfo> found;
    for (const Slot& slot : slots_)
        if (slot.Model->Present()) found.push_back(slot.Info);
    return found;
}

UsbHandlePtr SimUsbBus::Open(const UsbDeviceInfo& device) {
    ++openCalls_;
    for (Slot& slot : slots_) {
        if (slot.Info.Bus != device.Bus || slot.Info.Device != device.Device) continue;
        lastOpened_ = slot.Model;
        if (!slot.Info.Accessible || !slot.Model->Present()) return nullptr;
        slot.Model->Opened();
        return std::make_shared<Handle>(*this, *slot.Model);
    }
    return nullptr;
}

int SimUsbBus::Close(UsbHandlePtr& handle) {
    if (!handle) return -EBADF;
    handle.reset();
    if (failClose_ == 0) return 0;
    --failClose_;
    return -EIO;
}

int SimUsbBus::ControlMsg(UsbHandle& handle, int requestType, int request, int value, int index,
                          char* bytes, int size, int timeoutMs) {
    DeviceModel& model = static_cast<Handle&>(handle).Model;
    if (model.Present() && model.Hanging()) {
        if (hangWait_) hangWait_(timeoutMs);
        return -ETIMEDOUT;
    }
    if (request != 0 || value != 0 || index != 0) return -EPIPE; // a real device stalls
    auto* data = reinterpret_cast<uint8_t*>(bytes);
    if (requestType == kRequestTypeOut) return model.Out(data, size);
    if (requestType == kRequestTypeIn) return model.In(data, size);
    return -EPIPE;
}

void SimUsbBus::HoldHungTransfers(bool hold, int heldTimeoutMs) {
    holdHangs_ = hold;
    heldTimeoutMs_ = heldTimeoutMs;
}

void SimUsbBus::SubmitControl(const UsbHandlePtr& handle, int requestType, int request, int value,
                              int index, char* bytes, int size, int timeoutMs,
                              std::function<void(int result)> done) {
    if (held_) return done(-EBUSY);
    if (!handle) return done(-EBADF);
    const DeviceModel& model = static_cast<Handle&>(*handle).Model;
    if (!holdHangs_ || !model.Present() || !model.Hanging())
        return done(
            ControlMsg(*handle, requestType, request, value, index, bytes, size, timeoutMs));
    held_ = std::move(done);
    heldHandle_ = handle;
    heldTimer_.start(heldTimeoutMs_ >= 0 ? heldTimeoutMs_ : timeoutMs);
}

void SimUsbBus::TimeOutHeldTransfer() {
    heldTimer_.stop();
    heldHandle_.reset();
    if (const std::function<void(int)> done = std::exchange(held_, nullptr)) done(-ETIMEDOUT);
}

void SimUsbBus::CancelControl() {
    heldTimer_.stop();
    heldHandle_.reset();
    if (const std::function<void(int)> done = std::exchange(held_, nullptr)) done(-ECANCELED);
}

} // namespace ktr::sim
