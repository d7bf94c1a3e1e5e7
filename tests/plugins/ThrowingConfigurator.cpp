// A configurator library that queues a request and then fails the C++ way.
#include "ktrcfg.h"

#include <stdexcept>

namespace {
const uint8_t kTag = 9;
}

extern "C" KTRCFG_EXPORT void KTRCFG_CALL CfgExec(KtrCfgRead, KtrCfgWrite, KtrCfgRead,
                                                  KtrCfgWrite writeEeprom) {
    writeEeprom(&kTag, 1, nullptr);
    throw std::runtime_error("configurator failure");
}
