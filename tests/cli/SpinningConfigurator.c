/* A configurator whose CfgExec never returns, as one waiting for something that never comes:
   ktr-cli configure must still end on a signal or its deadline. */
#include "ktrcfg.h"

#include <unistd.h>

KTRCFG_EXPORT void KTRCFG_CALL CfgExec(KtrCfgRead readAux, KtrCfgWrite writeAux,
                                       KtrCfgRead readEeprom, KtrCfgWrite writeEeprom) {
    (void)readAux;
    (void)writeAux;
    (void)readEeprom;
    (void)writeEeprom;
    for (;;)
        pause();
}
