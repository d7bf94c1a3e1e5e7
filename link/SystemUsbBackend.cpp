#include "LibUsbBackend.h"

#ifdef KTR_WITH_LIBUSB1
#include "LibUsb1Backend.h"
#endif

namespace ktr {

std::unique_ptr<UsbBackend> NewSystemUsbBackend(std::string_view name) {
    if (name.empty()) name = KTR_DEFAULT_USB_BACKEND;
#ifdef KTR_WITH_LIBUSB1
    if (name == "libusb1") return std::make_unique<LibUsb1Backend>();
#endif
    if (name == "libusb0") return std::make_unique<LibUsbBackend>();
    return nullptr;
}

} // namespace ktr
