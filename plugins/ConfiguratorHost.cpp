#include "ConfiguratorHost.h"

#include "HexImage.h"
#include "LinkControl.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTimer>

#include <algorithm>
#include <cstring>
#include <new>
#include <type_traits>

namespace ktr {

// The queue stores completions as plain procedures; on 32-bit Windows the library's
// convention would differ and the queue's type must carry it first.
static_assert(std::is_same_v<KtrCfgCompletion, PluginCompletion>,
              "PluginCompletion must carry the configurator calling convention");

namespace {

constexpr int32_t kRefused = KTRCFG_REFUSED;
constexpr int32_t kBlockBytes = KTRCFG_BLOCK_BYTES;
static_assert(kBlockBytes == kMaxBlockData);
static_assert(kVerifyMismatchNotice == KTRCFG_VERIFY_MISMATCH);

// The one global the plug-in interface forces: CfgExec gets plain C procedures, which have
// no other way back to the host.
ConfiguratorHost* callbackHost = nullptr;

// The library's code must never see a C++ exception unwind through its frames.
template <class Call> int32_t Guarded(Call call) {
    if (!callbackHost) return kRefused;
    try {
        return call(*callbackHost);
    } catch (...) {
        return kRefused;
    }
}

int32_t KTRCFG_CALL ReadAuxCallback(uint8_t* target, int32_t count, KtrCfgCompletion done) {
    return Guarded([&](ConfiguratorHost& h) { return h.PluginReadAux(target, count, done); });
}
int32_t KTRCFG_CALL WriteAuxCallback(const uint8_t* source, int32_t count, KtrCfgCompletion done) {
    return Guarded([&](ConfiguratorHost& h) { return h.PluginWriteAux(source, count, done); });
}
int32_t KTRCFG_CALL ReadEepromCallback(uint8_t* target, int32_t count, KtrCfgCompletion done) {
    return Guarded([&](ConfiguratorHost& h) { return h.PluginReadEeprom(target, count, done); });
}
int32_t KTRCFG_CALL WriteEepromCallback(const uint8_t* source, int32_t count,
                                        KtrCfgCompletion done) {
    return Guarded([&](ConfiguratorHost& h) { return h.PluginWriteEeprom(source, count, done); });
}

} // namespace

ConfiguratorHost::ConfiguratorHost(LinkControl& link, HostView& view) : link_(link), view_(view) {
    if (QCoreApplication::instance()) libraryDirs_ << QCoreApplication::applicationDirPath();
#ifdef KTR_CONFIGURATOR_DIR
    // Where the package installs them; one beside the program (a build tree) still wins.
    libraryDirs_ << QStringLiteral(KTR_CONFIGURATOR_DIR);
#endif
    callbackHost = this;
}

ConfiguratorHost::~ConfiguratorHost() {
    if (callbackHost == this) callbackHost = nullptr;
    BeforeDestruction();
}

QString ConfiguratorHost::LibraryFileName(const QString& baseName) {
#if defined(Q_OS_WIN)
    return baseName + QStringLiteral(".dll");
#elif defined(Q_OS_MACOS)
    return QStringLiteral("lib") + baseName + QStringLiteral(".dylib");
#else
    return QStringLiteral("lib") + baseName + QStringLiteral(".so");
#endif
}

void ConfiguratorHost::SetLibraryDirs(const QStringList& dirs, bool thenSearchPath) {
    libraryDirs_ = dirs;
    searchPathUsed_ = thenSearchPath;
}

bool ConfiguratorHost::LibraryLoaded() const {
    return configuratorHandle_ != nullptr;
}

bool ConfiguratorHost::EntryFound() const {
    return configuratorEntry_ != nullptr;
}

bool ConfiguratorHost::Running() const {
    return running_;
}

QString ConfiguratorHost::LibraryPath() const {
    return configuratorHandle_ ? configuratorHandle_->fileName() : QString();
}

// ---- Kinds ----

void ConfiguratorHost::ComboBox1Change(int itemIndex) {
    if (itemIndex < 0 || itemIndex >= int(kDeviceKinds.size())) itemIndex = -1;
    view_.SetConfiguratorEnabled(itemIndex >= 0);
    // The signature decides which frames the parser accepts from now on, so it cannot wait.
    link_.SetLinkSignature(itemIndex >= 0 ? SignatureOfKind(uint32_t(kDeviceKinds[itemIndex].Kind))
                                          : 0);
    if (running_) {
        changePending_ = true;
        pendingItem_ = itemIndex;
        return;
    }
    ReleaseLibrary();
    if (itemIndex >= 0) LoadLibrary(itemIndex);
}

void ConfiguratorHost::DeviceKindChanged() {
    int itemIndex = -1;
    if (const DeviceKindInfo* info = FindDeviceKind(KindOfSignature(link_.LinkSignature()))) {
        itemIndex = int(info - kDeviceKinds.data());
        view_.SetCaption(QString::fromUtf8(info->Caption));
    }
    view_.SetKindSelection(itemIndex);
    ComboBox1Change(itemIndex);
}

void ConfiguratorHost::RunConfigurator() {
    // A second press from inside the library's own window would re-enter code that is
    // still waiting for its first run's answers.
    if (!configuratorEntry_ || running_) return;
    running_ = true;
    try {
        configuratorEntry_(ReadAuxCallback, WriteAuxCallback, ReadEepromCallback,
                           WriteEepromCallback);
    } catch (...) {
        // Configurator code is not ours to fail on.
    }
    running_ = false;
    if (changePending_) {
        changePending_ = false;
        ReleaseLibrary();
        if (pendingItem_ >= 0) LoadLibrary(pendingItem_);
    }
}

void ConfiguratorHost::RunConfiguratorToEnd(std::function<void()> done) {
    auto drained = std::make_shared<QMetaObject::Connection>();
    *drained = QObject::connect(&link_, &LinkControl::QueueDrained, &link_, [this, done, drained] {
        QTimer::singleShot(0, &link_, [this, done, drained] {
            if (running_ || !*drained) return;
            QObject::disconnect(*drained);
            *drained = {};
            done();
        });
    });
    RunConfigurator();
    if (link_.Queue().empty() && *drained) {
        QObject::disconnect(*drained);
        *drained = {};
        done();
    }
}

// From inside CfgExec (the window closed through the library's own message loop) the
// release waits like a kind change; should the host go first, the library stays mapped.
void ConfiguratorHost::BeforeDestruction() {
    if (running_) {
        changePending_ = true;
        pendingItem_ = -1;
        return;
    }
    ReleaseLibrary();
}

void ConfiguratorHost::ReleaseLibrary() {
    configuratorEntry_ = nullptr;
    if (!configuratorHandle_) return;
    // Its completions and buffers go with it: the queue must never call or copy into them.
    link_.ForgetPluginRequests();
    configuratorHandle_->unload();
    configuratorHandle_.reset();
}

void ConfiguratorHost::LoadLibrary(int itemIndex) {
    const QString baseName = QString::fromLatin1(kDeviceKinds[itemIndex].Library);
    auto library = std::make_unique<QLibrary>();
    // A library may leave something behind (a timer, a thread) that calls into its code
    // after the release: its code stays mapped for the program's run, so such a call finds
    // it. The release still ends every call from the host.
    library->setLoadHints(QLibrary::PreventUnloadHint);
    // QLibrary's own search skips the program's folder, where the libraries are installed.
    bool loaded = false;
    for (const QString& dir : libraryDirs_) {
        const QString path = QDir(dir).filePath(LibraryFileName(baseName));
        if (!QFileInfo::exists(path)) continue;
        library->setFileName(path);
        if ((loaded = library->load())) break;
    }
    if (!loaded) {
        if (!searchPathUsed_) return;
        library->setFileName(baseName);
        if (!library->load()) return;
    }
    configuratorEntry_ = reinterpret_cast<KtrCfgExecProc>(library->resolve("CfgExec"));
    configuratorHandle_ = std::move(library);
}

// ---- Callbacks ----

bool ConfiguratorHost::Accepts(Memory memory, const void* buffer, int32_t count) const {
    return buffer && count <= int32_t(link_.Capacity(memory)) && count <= int64_t(kMaxImageBytes);
}

// All of a request's blocks, or none: a request refused half-way must not leave blocks
// queued that the library was told were refused.
bool ConfiguratorHost::QueueRequest(uint8_t command, const uint8_t* source, int32_t count,
                                    PluginCompletion completion) {
    const size_t queued = link_.Queue().size();
    try {
        if (count > 0) link_.EnqueueBlocks(command, 0, source, uint64_t(count), completion);
        return true;
    } catch (const std::bad_alloc&) {
        link_.DropQueuedAfter(queued);
        return false;
    }
}

int32_t ConfiguratorHost::Read(Memory memory, uint8_t command, uint8_t* target, int32_t count,
                               PluginCompletion completion) {
    if (!Accepts(memory, target, count) || !QueueRequest(command, nullptr, count, completion))
        return kRefused;
    link_.SetReadTarget(memory, target, count);
    link_.OpenLink();
    return count;
}

int32_t ConfiguratorHost::Write(Memory memory, uint8_t command, const uint8_t* source,
                                int32_t count, PluginCompletion completion) {
    if (!Accepts(memory, source, count) || !QueueRequest(command, source, count, completion))
        return kRefused;
    link_.OpenLink();
    return count;
}

int32_t ConfiguratorHost::PluginReadEeprom(uint8_t* target, int32_t count,
                                           PluginCompletion completion) {
    return Read(Memory::Eeprom, cmdEepromRead, target, count, completion);
}

int32_t ConfiguratorHost::PluginReadAux(uint8_t* target, int32_t count,
                                        PluginCompletion completion) {
    return Read(Memory::Aux, cmdAuxRead, target, count, completion);
}

int32_t ConfiguratorHost::PluginWriteEeprom(const uint8_t* source, int32_t count,
                                            PluginCompletion completion) {
    return Write(Memory::Eeprom, cmdEepromWrite, source, count, completion);
}

int32_t ConfiguratorHost::PluginWriteAux(const uint8_t* source, int32_t count,
                                         PluginCompletion completion) {
    return Write(Memory::Aux, cmdAuxWrite, source, count, completion);
}

} // namespace ktr
