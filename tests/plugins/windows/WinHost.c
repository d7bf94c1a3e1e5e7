/* The host of the Windows header check, in plain C: calls CfgExec through its declaration
   (linked against the library) and by its plain name (as the tool finds it), and checks that
   each callback received its arguments and that completions come back. Exit 0 on success. */
#include "ktrcfg.h"

#include <stdio.h>
#include <windows.h>

static int32_t seen[8];
static int calls = 0;

static int32_t Record(int which, const void* buffer, int32_t count, KtrCfgCompletion done) {
    if (calls < 8) seen[calls] = buffer && done ? which * 100 + count : -1;
    ++calls;
    done(0); /* the completions add nothing: each count stays its callback's own */
    return count;
}

static int32_t KTRCFG_CALL ReadAux(uint8_t* target, int32_t count, KtrCfgCompletion done) {
    return Record(1, target, count, done);
}
static int32_t KTRCFG_CALL WriteAux(const uint8_t* source, int32_t count, KtrCfgCompletion done) {
    return Record(2, source, count, done);
}
static int32_t KTRCFG_CALL ReadEeprom(uint8_t* target, int32_t count, KtrCfgCompletion done) {
    return Record(3, target, count, done);
}
static int32_t KTRCFG_CALL WriteEeprom(const uint8_t* source, int32_t count,
                                       KtrCfgCompletion done) {
    return Record(4, source, count, done);
}

int main(void) {
    static const int32_t expected[8] = {101, 202, 303, 404, 101, 202, 303, 404};
    HMODULE library = LoadLibraryA("ktr17cfg.dll");
    KtrCfgExecProc exec =
        library ? (KtrCfgExecProc)(void (*)(void))GetProcAddress(library, "CfgExec") : NULL;
    int i;
    if (!exec) {
        printf("CfgExec not found by its plain name\n");
        return 2;
    }
    CfgExec(ReadAux, WriteAux, ReadEeprom, WriteEeprom);
    exec(ReadAux, WriteAux, ReadEeprom, WriteEeprom);
    for (i = 0; i < 8; ++i) {
        if (calls != 8 || seen[i] != expected[i]) {
            printf("call %d: %d, expected %d (%d calls)\n", i, (int)seen[i], (int)expected[i],
                   calls);
            return 1;
        }
    }
    printf("CfgExec called twice, every argument in place\n");
    return 0;
}
