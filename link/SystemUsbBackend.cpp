#include "LibUsbBackend.h"

#ifdef KTR_WITH_LIBUSB1
#include "LibUsb1Backend.h"
#endif

#include <unistd.h>

#include <algorithm>
#include <cstdio>

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

bool UsbNodeAccessible(int bus, int device) {
    char node[40];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", bus, device);
    return access(node, R_OK | W_OK) == 0 || access(node, F_OK) != 0;
}

std::unique_ptr<UsbBackend> NewSystemUsbBackend(std::string_view name) {
    if (name.empty()) name = KTR_DEFAULT_USB_BACKEND;
#ifdef KTR_WITH_LIBUSB1
    if (name == "libusb1") return std::make_unique<LibUsb1Backend>();
#endif
    if (name == "libusb0") return std::make_unique<LibUsbBackend>();
    return nullptr;
}

} // namespace ktr
