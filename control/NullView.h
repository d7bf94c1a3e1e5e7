// A HostView that shows nothing: the base of views that show only part of what the core
// reports (ktr-cli prints the log, the benchmarks nothing at all).
#pragma once

#include "HostView.h"

namespace ktr {

class NullView : public HostView {
public:
    void AddLog(const QString&) override {}
    void SetQueueCaption(const QString&) override {}
    void SetProgressMax(int) override {}
    void SetProgressPosition(int) override {}
    void SetStatusPanel(const QString&) override {}
    void SetFlashSizeText(const QString&) override {}
    void SetEepromSizeText(const QString&) override {}
    void SetLinkButtons(int, int) override {}
    void Beep(int, int) override {}
    void ShowError(const QString&) override {}
    void SetCaption(const QString&) override {}
    void SetTcpStatus(const QString&) override {}
    void SetKindSelection(int) override {}
    void SetConfiguratorEnabled(bool) override {}
};

} // namespace ktr
