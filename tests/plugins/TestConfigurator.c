/* A configurator library for the host's tests, in plain C against the public header. Its
   CfgExec writes one byte, its kind's tag, to EEPROM address 0: the test sees which library
   ran, and steps in at that request's queueing. */
#include "ktrcfg.h"

static const uint8_t tag = KTR_TEST_TAG;

#ifndef KTR_TEST_NO_ENTRY
static uint8_t readBuffer[16];

static void KTRCFG_CALL Ignore(int32_t endAddress) {
    (void)endAddress;
}

KTRCFG_EXPORT void KTRCFG_CALL CfgExec(KtrCfgRead readAux, KtrCfgWrite writeAux,
                                       KtrCfgRead readEeprom, KtrCfgWrite writeEeprom) {
    (void)readAux;
    (void)writeAux;
    readEeprom(readBuffer, 0, Ignore); /* sets the EEPROM read target, queues nothing */
    writeEeprom(&tag, 1, Ignore);
}
#else
KTRCFG_EXPORT int KTRCFG_CALL NotTheEntry(void) {
    return tag;
}
#endif
