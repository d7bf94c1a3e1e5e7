/* ktrcfg.h: the interface between the service tool and a configurator library.

   A configurator library is a dynamic library, one per device kind, exporting CfgExec:
     kind 1 (modem)                      ktr17cfg  (libktr17cfg.so, ktr17cfg.dll)
     kind 2 (road-controller monitor)    rdm05cfg  (librdm05cfg.so, rdm05cfg.dll)
     kind 3 (PIR-sensor controller)      pzk03cfg  (libpzk03cfg.so, pzk03cfg.dll)
   The tool looks for it beside its own program first, then on the system's library path.

   Threading: everything runs on the tool's user-interface thread. CfgExec is called there;
   the library calls the four callbacks from there (from inside CfgExec or from a completion,
   never from another thread); completions are called there, from the tool's receive handling,
   which runs only while the thread dispatches messages. A library that waits for its
   completions must keep messages flowing (a modal window, a nested event loop); blocking the
   thread stops every answer.

   Plain C, self-contained; every function type carries KTRCFG_CALL. */
#ifndef KTRCFG_H
#define KTRCFG_H

#include <stdint.h>

/* The platform's calling convention for library interfaces: __stdcall on 32-bit Windows,
   the default everywhere else.
   The tool looks CfgExec up by that plain name on every platform. On 32-bit Windows the
   compilers export a __stdcall function under a decorated name (CfgExec@16, _CfgExec@16),
   so a library there exports the plain name as well: MinGW links with
   -Wl,--add-stdcall-alias (CfgExec beside CfgExec@16), MSVC lists "EXPORTS CfgExec" in a
   .def file. */
#if defined(_WIN32) && !defined(_WIN64)
#define KTRCFG_CALL __stdcall
#else
#define KTRCFG_CALL
#endif

#if defined(_WIN32)
#define KTRCFG_EXPORT __declspec(dllexport)
#elif defined(__GNUC__)
#define KTRCFG_EXPORT __attribute__((visibility("default")))
#else
#define KTRCFG_EXPORT
#endif

#define KTRCFG_REFUSED (-7)         /* a callback's result when the request is refused */
#define KTRCFG_VERIFY_MISMATCH (-2) /* a completion value the tool may pass: block differs */
#define KTRCFG_BLOCK_BYTES 256      /* requests travel in blocks of this size */

#ifdef __cplusplus
extern "C" {
#endif

/* Supplied by the library. Called once for every block of an accepted request whose answer
   arrives, in request order, with the block's end address: the last call for a request of
   N bytes carries N. For a read, the block's bytes are copied into the target right AFTER
   the call returns. Never called for requests dropped by the tool (a disconnect, a
   verification error elsewhere) or still queued when the library is released. Whatever it
   throws is caught and ignored.
   Inside a completion the library may call the four callbacks (their requests queue behind
   what is already queued) and may wait for their answers in a nested event loop, such as a
   modal window: the block that is being completed counts as answered from then on and the
   link goes on, so the completions of later blocks and of the new requests arrive, in
   order, while it waits (nested inside this call). A read block's bytes still land in the
   target only when this call returns. Blocking the thread without an event loop stops all
   answers. */
typedef void(KTRCFG_CALL* KtrCfgCompletion)(int32_t endAddress);

/* Reads the first count bytes of the area (device address 0 on) into target, in blocks.
   Returns count when accepted, KTRCFG_REFUSED when target is null, count exceeds the
   area's size as the device reported it (every count above 0 is refused until the device
   has reported its sizes) or 64 MiB whatever the device reports, or the tool cannot hold the
   request; a refused request queues nothing. A count of 0 or below queues nothing and
   returns count. target must stay valid until the last block's answer has arrived; a later
   read of the same area takes over as the target of answers still due (never written past
   the later read's count). completion may be null. */
typedef int32_t(KTRCFG_CALL* KtrCfgRead)(uint8_t* target, int32_t count,
                                         KtrCfgCompletion completion);

/* Writes count bytes from source to the area from device address 0 on. Same results and
   bounds as KtrCfgRead. The bytes are copied before the call returns: source may be
   reused at once. */
typedef int32_t(KTRCFG_CALL* KtrCfgWrite)(const uint8_t* source, int32_t count,
                                          KtrCfgCompletion completion);

/* The library's entry point, called when the operator starts the configurator. The
   callbacks stay valid while the library is loaded, also after CfgExec has returned. The
   tool releases the library when the device kind changes and when it closes: it calls
   nothing of the library afterwards, and the next start loads it anew. Leave nothing behind
   that would call into it (pending timers, registrations): the tool keeps the library's code
   mapped so that such a call does not crash the program, but the library's state after a
   release is not defined. */
typedef void(KTRCFG_CALL* KtrCfgExecProc)(KtrCfgRead readAux, KtrCfgWrite writeAux,
                                          KtrCfgRead readEeprom, KtrCfgWrite writeEeprom);

KTRCFG_EXPORT void KTRCFG_CALL CfgExec(KtrCfgRead readAux, KtrCfgWrite writeAux,
                                       KtrCfgRead readEeprom, KtrCfgWrite writeEeprom);

#ifdef __cplusplus
}
#endif

#endif /* KTRCFG_H */
