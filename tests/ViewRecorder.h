// A HostView that records what the operator would see, for assertions.
#pragma once

#include "HostView.h"

#include <QStringList>

class ViewRecorder : public ktr::HostView {
public:
    QStringList Log;
    QString QueueCaption = QStringLiteral("Очередь команд: ");
    int ProgressMax = 0, ProgressPosition = 0;
    QString StatusPanel, FlashSizeText, EepromSizeText;
    int ConnectImage = 18, DisconnectImage = 21;
    int Beeps = 0;
    QStringList Errors;
    QStringList Captions; // every caption set, in order
    QString TcpStatus = QStringLiteral("Подключение");
    int KindSelection = -1;
    bool ConfiguratorEnabled = false;

    void AddLog(const QString& line) override { Log << line; }
    void SetQueueCaption(const QString& text) override { QueueCaption = text; }
    void SetProgressMax(int max) override { ProgressMax = max; }
    void SetProgressPosition(int position) override { ProgressPosition = position; }
    void SetStatusPanel(const QString& text) override { StatusPanel = text; }
    void SetFlashSizeText(const QString& text) override { FlashSizeText = text; }
    void SetEepromSizeText(const QString& text) override { EepromSizeText = text; }
    void SetLinkButtons(int connectImage, int disconnectImage) override {
        ConnectImage = connectImage;
        DisconnectImage = disconnectImage;
    }
    void Beep(int, int) override { ++Beeps; }
    void ShowError(const QString& text) override { Errors << text; }
    void SetCaption(const QString& text) override { Captions << text; }
    void SetTcpStatus(const QString& text) override { TcpStatus = text; }
    void SetKindSelection(int itemIndex) override { KindSelection = itemIndex; }
    void SetConfiguratorEnabled(bool enabled) override { ConfiguratorEnabled = enabled; }
};
