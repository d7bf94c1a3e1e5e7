#include "LibUsbBackend.h"

#ifdef KTR_WITH_LIBUSB1
#include "LibUsb1Backend.h"
#endif

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace ktr {

std::vector<UsbDeviceInfo> UsbBackend::ListDevices(uint16_t vendorId, uint16_t productId) {
    std::vector<UsbDeviceInfo> found = ListAllDevices();
    std::erase_if(found, [&](const UsbDeviceInfo& device) {
        return device.VendorId != vendorId || device.ProductId != productId;
    });
    std::sort(found.begin(), found.end(), [](const UsbDeviceInfo& a, const UsbDeviceInfo& b) {
        return std::pair(a.Bus, a.Device) < std::pair(b.Bus, b.Device);
    });
    return found;
}

namespace {

class SharedBackend final : public UsbBackend {
public:
    explicit SharedBackend(UsbBackend& base) : base_(base) {}
    void Init() override { base_.Init(); }
    std::vector<UsbDeviceInfo> ListAllDevices() override { return base_.ListAllDevices(); }
    UsbHandlePtr Open(const UsbDeviceInfo& device) override { return base_.Open(device); }
    int Close(UsbHandlePtr& handle) override { return base_.Close(handle); }
    int ControlMsg(UsbHandle& handle, int requestType, int request, int value, int index,
                   char* bytes, int size, int timeoutMs) override {
        return base_.ControlMsg(handle, requestType, request, value, index, bytes, size, timeoutMs);
    }
    void SubmitControl(const UsbHandlePtr& handle, int requestType, int request, int value,
                       int index, char* bytes, int size, int timeoutMs,
                       std::function<void(int)> done) override {
        base_.SubmitControl(handle, requestType, request, value, index, bytes, size, timeoutMs,
                            std::move(done));
    }
    void CancelControl() override { base_.CancelControl(); }

private:
    UsbBackend& base_;
};

} // namespace

std::unique_ptr<UsbBackend> UsbBackend::ForAnotherLink() {
    return std::make_unique<SharedBackend>(*this);
}

bool UsbNodeAccessible(int bus, int device) {
    char node[40];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", bus, device);
    return access(node, R_OK | W_OK) == 0 || access(node, F_OK) != 0;
}

std::unique_ptr<UsbBackend> NewSystemUsbBackend(std::string_view name) {
    if (const char* chosen = std::getenv("KTR_USB_BACKEND"); name.empty() && chosen) name = chosen;
    if (name.empty()) name = KTR_DEFAULT_USB_BACKEND;
#ifdef KTR_WITH_LIBUSB1
    if (name == "libusb1") return std::make_unique<LibUsb1Backend>();
#endif
    if (name == "libusb0") return std::make_unique<LibUsbBackend>();
    return nullptr;
}

} // namespace ktr
