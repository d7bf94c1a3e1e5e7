// Device kinds and the configurator plug-in host: the kind decides the signature, the
// caption, the list selection and which configurator library is loaded; the library's
// CfgExec gets four callbacks that read and write the device's EEPROM and AUX areas
// through the command queue. Core only; the window binds ComboBox1 and Button3 to it.
#pragma once

#include "CommandQueue.h"
#include "HostView.h"

#include <QLibrary>
#include <QString>
#include <QStringList>

#include <array>
#include <memory>

namespace ktr {

class LinkControl;

struct DeviceKindInfo {
    int Kind;            // 1..3, the top byte of the signature
    const char* Item;    // ComboBox1 item (UTF-8)
    const char* Caption; // window caption set by DeviceKindChanged (UTF-8)
    const char* Library; // base name: ktr17cfg -> libktr17cfg.so / ktr17cfg.dll
};
extern const std::array<DeviceKindInfo, 3> kDeviceKinds;

class ConfiguratorHost : public DeviceKindHook {
public:
    ConfiguratorHost(LinkControl& link, HostView& view);
    ~ConfiguratorHost() override; // runs BeforeDestruction

    // itemIndex 0..2, or -1 for no selection.
    void ComboBox1Change(int itemIndex);
    void DeviceKindChanged() override;
    void Button3Click();
    void BeforeDestruction();

    // The four host callbacks: Count when accepted, -7 when refused.
    int32_t PluginReadEeprom(uint8_t* target, int32_t count, PluginCompletion completion);
    int32_t PluginReadAux(uint8_t* target, int32_t count, PluginCompletion completion);
    int32_t PluginWriteEeprom(const uint8_t* source, int32_t count, PluginCompletion completion);
    int32_t PluginWriteAux(const uint8_t* source, int32_t count, PluginCompletion completion);

    // Where libraries are looked for before the normal search path (default: the program's
    // own folder).
    void SetLibraryDirs(const QStringList& dirs);
    // The platform's file name of a library base name (libktr17cfg.so, ktr17cfg.dll).
    static QString LibraryFileName(const QString& baseName);

    bool LibraryLoaded() const;
    bool EntryFound() const;
    bool Running() const; // inside CfgExec
};

} // namespace ktr
