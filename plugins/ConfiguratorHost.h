// Device kinds and the configurator plug-in host: the kind decides the signature, the
// caption, the list selection and which configurator library is loaded; the library's
// CfgExec gets four callbacks that read and write the device's EEPROM and AUX areas
// through the command queue. Core only; the window binds ComboBox1 and Button3 to it.
#pragma once

#include "CommandQueue.h"
#include "DeviceKinds.h"
#include "HostView.h"
#include "LinkEvents.h"
#include "ktrcfg.h"

#include <QLibrary>
#include <QString>
#include <QStringList>

#include <array>
#include <functional>
#include <memory>

namespace ktr {

class LinkControl;

// One per program run: the C callbacks handed to CfgExec reach the most recently
// constructed host. Releasing a library (a kind change, BeforeDestruction) keeps its queued
// requests, which are still sent, but without their completions and read targets.
class ConfiguratorHost : public DeviceKindHook {
public:
    ConfiguratorHost(LinkControl& link, HostView& view);
    ~ConfiguratorHost() override; // runs BeforeDestruction

    // itemIndex 0..2, or -1 (any other value too) for no selection. Sets LinkSignature and
    // Button3 at once; while CfgExec runs, the release of the old library and the loading of
    // the new one wait until it returns. Loading failures are silent.
    void ComboBox1Change(int itemIndex);
    void DeviceKindChanged() override;
    // Calls CfgExec when an entry is loaded; does nothing while CfgExec already runs.
    // Whatever CfgExec throws is caught and ignored.
    void RunConfigurator();
    // ktr-cli's configure: runs the configurator, then calls done once what it left queued
    // has drained (at once when it left nothing), after the answer that drained it has been
    // handled. done must outlive the link's events or the host.
    void RunConfiguratorToEnd(std::function<void()> done);
    void Button3Click() { RunConfigurator(); }
    void BeforeDestruction();

    // The four host callbacks: Count when accepted, -7 when refused (a null buffer, a Count
    // above the area's reported size or above kMaxImageBytes, or memory for its blocks not to
    // be had: a refusal queues nothing and leaves the read target as it was). Blocks of 256 from
    // address 0, each with completion; Count 0 or below queues nothing; both then run OpenLink. A
    // read makes target the area's read target, bounded by Count.
    int32_t PluginReadEeprom(uint8_t* target, int32_t count, PluginCompletion completion);
    int32_t PluginReadAux(uint8_t* target, int32_t count, PluginCompletion completion);
    int32_t PluginWriteEeprom(const uint8_t* source, int32_t count, PluginCompletion completion);
    int32_t PluginWriteAux(const uint8_t* source, int32_t count, PluginCompletion completion);

    // Where libraries are looked for before the normal search path (default: the program's
    // own folder, then the installed configurator folder); without thenSearchPath, only there.
    void SetLibraryDirs(const QStringList& dirs, bool thenSearchPath = true);
    // The platform's file name of a library base name (libktr17cfg.so, ktr17cfg.dll).
    static QString LibraryFileName(const QString& baseName);

    bool LibraryLoaded() const;
    bool EntryFound() const;
    bool Running() const;        // inside CfgExec
    QString LibraryPath() const; // the loaded library's file, empty when none

private:
    void ReleaseLibrary();
    void LoadLibrary(int itemIndex);
    bool Accepts(Memory memory, const void* buffer, int32_t count) const;
    bool QueueRequest(uint8_t command, const uint8_t* source, int32_t count,
                      PluginCompletion completion);
    int32_t Read(Memory memory, uint8_t command, uint8_t* target, int32_t count,
                 PluginCompletion completion);
    int32_t Write(Memory memory, uint8_t command, const uint8_t* source, int32_t count,
                  PluginCompletion completion);

    LinkControl& link_;
    HostView& view_;
    QStringList libraryDirs_;
    bool searchPathUsed_ = true;
    std::unique_ptr<QLibrary> configuratorHandle_;
    KtrCfgExecProc configuratorEntry_ = nullptr;
    bool running_ = false;
    // A kind chosen while CfgExec runs: its release and loading wait until CfgExec returns.
    bool changePending_ = false;
    int pendingItem_ = -1;
};

} // namespace ktr
