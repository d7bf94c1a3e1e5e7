#include "DeviceKinds.h"

namespace ktr {

const std::array<DeviceKindInfo, 3> kDeviceKinds = {{
    {1, "Модем KTR-17 (изменения 01, 02)", "Конфигуратор модемов КТР-17", "ktr17cfg"},
    {2, "Монитор контроллера дорожного", "Конфигуратор монитора контроллера дорожного", "rdm05cfg"},
    {3, "Контроллер PIR-датчиков", "Конфигуратор контроллера PIR-датчиков", "pzk03cfg"},
}};

const DeviceKindInfo* FindDeviceKind(uint32_t kind) {
    for (const DeviceKindInfo& info : kDeviceKinds)
        if (uint32_t(info.Kind) == kind) return &info;
    return nullptr;
}

} // namespace ktr
