#include "SimUsbBus.h"

#include "UsbDevice.h"

#include <cerrno>
#include <cstring>
#include <set>
#include <utility>

namespace ktr::sim {

SimUsbBus::SimUsbBus() {
    heldTimer_.setSingleShot(true);
    heldTimer_.callOnTimeout([this] { TimeOutHeldTransfer(); });
}

void SimUsbBus::Attach(DeviceModel& model, int bus, uint16_t vendor, uint16_t product) {
    slots_.push_back({&model, bus, vendor, product});
}

void SimUsbBus::SetOpenable(const DeviceModel& model, bool openable) {
    for (Slot& slot : slots_)
        if (slot.Model == &model) slot.Openable = openable;
}

void SimUsbBus::Init() {
    ++initCalls_;
}

int SimUsbBus::FindBusses() {
    return 0;
}

int SimUsbBus::FindDevices() {
    // Lists from an earlier search stay valid as long as libusb's would: until a search finds
    // the devices changed.
    std::vector<bool> presence;
    for (const Slot& slot : slots_)
        presence.push_back(slot.Model->Present());
    if (presence == listedPresence_) return int(devices_.size());
    listedPresence_ = std::move(presence);
    buses_.clear();
    devices_.clear();
    deviceSlots_.clear();
    std::set<int> busNumbers;
    for (const Slot& slot : slots_)
        if (slot.Model->Present()) busNumbers.insert(slot.Bus);
    usb_bus* previousBus = nullptr;
    for (int number : busNumbers) {
        usb_bus& bus = buses_.emplace_back();
        std::memset(&bus, 0, sizeof bus);
        std::snprintf(bus.dirname, sizeof bus.dirname, "%03d", number);
        if (previousBus) previousBus->next = &bus;
        bus.prev = previousBus;
        previousBus = &bus;
        struct usb_device* previousDevice = nullptr;
        int address = 1;
        for (Slot& slot : slots_) {
            if (slot.Bus != number || !slot.Model->Present()) continue;
            struct usb_device& device = devices_.emplace_back();
            std::memset(&device, 0, sizeof device);
            std::snprintf(device.filename, sizeof device.filename, "%03d", ++address);
            device.bus = &bus;
            device.descriptor.idVendor = slot.Vendor;
            device.descriptor.idProduct = slot.Product;
            if (previousDevice)
                previousDevice->next = &device;
            else
                bus.devices = &device;
            device.prev = previousDevice;
            previousDevice = &device;
            deviceSlots_[&device] = &slot;
        }
    }
    return int(devices_.size());
}

usb_bus* SimUsbBus::GetBusses() {
    return buses_.empty() ? nullptr : &buses_.front();
}

usb_dev_handle* SimUsbBus::Open(struct usb_device* device) {
    ++openCalls_;
    auto it = deviceSlots_.find(device);
    if (it == deviceSlots_.end()) return nullptr;
    Slot& slot = *it->second;
    lastOpened_ = slot.Model;
    if (!slot.Openable || !slot.Model->Present()) return nullptr;
    auto handle = std::make_unique<Handle>(Handle{slot.Model});
    // The handle type is opaque to its users; our own record stands behind it.
    auto* key = reinterpret_cast<usb_dev_handle*>(handle.get());
    handles_.emplace(key, std::move(handle));
    slot.Model->Opened();
    return key;
}

int SimUsbBus::Close(usb_dev_handle* handle) {
    if (failClose_ > 0) {
        --failClose_;
        return -EIO;
    }
    return handles_.erase(handle) == 1 ? 0 : -EBADF;
}

int SimUsbBus::ControlMsg(usb_dev_handle* handle, int requestType, int request, int value,
                          int index, char* bytes, int size, int timeoutMs) {
    auto it = handles_.find(handle);
    if (it == handles_.end()) return -EBADF;
    DeviceModel& model = *it->second->Model;
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

void SimUsbBus::SubmitControl(usb_dev_handle* handle, int requestType, int request, int value,
                              int index, char* bytes, int size, int timeoutMs,
                              std::function<void(int result)> done) {
    if (held_) return done(-EBUSY);
    const auto it = handles_.find(handle);
    const DeviceModel* model = it == handles_.end() ? nullptr : it->second->Model;
    if (!holdHangs_ || !model || !model->Present() || !model->Hanging())
        return done(ControlMsg(handle, requestType, request, value, index, bytes, size, timeoutMs));
    held_ = std::move(done);
    heldTimer_.start(heldTimeoutMs_ >= 0 ? heldTimeoutMs_ : timeoutMs);
}

void SimUsbBus::TimeOutHeldTransfer() {
    heldTimer_.stop();
    if (const std::function<void(int)> done = std::exchange(held_, nullptr)) done(-ETIMEDOUT);
}

void SimUsbBus::CancelControl() {
    heldTimer_.stop();
    if (const std::function<void(int)> done = std::exchange(held_, nullptr)) done(-ECANCELED);
}

} // namespace ktr::sim
