#include "LinkEvents.h"

namespace ktr {

QString MemoryName(Memory memory) {
    switch (memory) {
    case Memory::Flash:
        return QStringLiteral("FLASH");
    case Memory::Eeprom:
        return QStringLiteral("EEPROM");
    case Memory::Aux:
        break;
    }
    return QStringLiteral("AUX");
}

} // namespace ktr
