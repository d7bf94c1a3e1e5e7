// The configurator library of the Windows header check, in C++ as the example is: CfgExec
// calls each callback once with its own count, so that a host sees every argument arrive.
#include "ktrcfg.h"

namespace {
uint8_t buffer[4] = {1, 2, 3, 4};
int32_t lastEnd = 0;

void KTRCFG_CALL Done(int32_t endAddress) {
    lastEnd = endAddress;
}
} // namespace

KTRCFG_EXPORT void KTRCFG_CALL CfgExec(KtrCfgRead readAux, KtrCfgWrite writeAux,
                                       KtrCfgRead readEeprom, KtrCfgWrite writeEeprom) {
    readAux(buffer, 1, Done);
    writeAux(buffer, 2 + lastEnd, Done);
    readEeprom(buffer, 3 + lastEnd, Done);
    writeEeprom(buffer, 4 + lastEnd, Done);
}
