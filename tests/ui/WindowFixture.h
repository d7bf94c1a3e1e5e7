// The main window and its settings dialog over one simulated device on the in-process bus,
// with fast timers, a settings file of its own and a TCP port the system chooses.
#pragma once

#include "LogPane.h"
#include "SimUsbBus.h"
#include "com_cfg.h"
#include "gps_cfg.h"

#include <QApplication>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QToolButton>
#include <QtTest>

struct WindowFixture {
    explicit WindowFixture(QString settingsFile = {}) : SettingsFile(std::move(settingsFile)) {
        if (SettingsFile.isEmpty()) SettingsFile = Dir.filePath(QStringLiteral("KTR_17.conf"));
        Bus.Attach(Device);
        ktr::FormOptions options;
        options.Usb = &Bus;
        options.Link = {60000, 5, 0};
        options.Bridge = {1000, 5};
        options.SettingsFile = SettingsFile;
        options.TcpPortText = QStringLiteral("0");
        Form = std::make_unique<ktr::TForm1>(options);
        Settings = new ktr::TComCFGForm(*Form, SettingsFile, Form.get());
        Settings->setObjectName(QStringLiteral("ComCFGForm"));
        Form->SetSettingsDialog(Settings);
        QObject::connect(&Form->Link(), &ktr::LinkControl::QueueDrained, [this] { ++Drained; });
    }

    template <class T> T* Get(const char* name) const {
        T* widget = Form->findChild<T*>(QString::fromLatin1(name));
        if (!widget) qFatal("no control %s", name);
        return widget;
    }
    QStringList Log() const { return Get<ktr::LogPane>("Memo1")->Lines(); }

    // Runs the event loop until pred holds (true) or timeoutMs passes (false).
    template <class Pred> bool RunUntil(Pred pred, int timeoutMs = 10000) {
        QElapsedTimer clock;
        clock.start();
        while (!pred()) {
            if (clock.elapsed() > timeoutMs) return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents,
                                            20);
        }
        return true;
    }

    // Presses the connect button and waits until the status answers have drained.
    bool Connect() {
        const int before = Drained;
        Get<QToolButton>("ToolButton1")->click();
        return RunUntil([&] {
            return Form->Link().LinkEstablished() && Form->Link().FlashSize() > 0 &&
                   Form->Link().Queue().empty() && Drained > before;
        });
    }

    QTemporaryDir Dir;
    QString SettingsFile;
    ktr::sim::SimUsbBus Bus;
    ktr::sim::DeviceModel Device;
    std::unique_ptr<ktr::TForm1> Form;
    ktr::TComCFGForm* Settings;
    int Drained = 0; // queues drained so far
};

// Answers the modal boxes and dialogs that come up while it is armed: records each one's
// text (a box's, or a dialog's title) and lets the callback close it. Never asserts inside.
class ModalAnswerer : public QObject {
public:
    explicit ModalAnswerer(std::function<void(QWidget*)> answer) : answer_(std::move(answer)) {
        connect(&timer_, &QTimer::timeout, this, [this] {
            QWidget* modal = QApplication::activeModalWidget();
            if (!modal) return;
            auto* box = qobject_cast<QMessageBox*>(modal);
            Seen << (box ? box->text() : modal->windowTitle());
            answer_(modal);
        });
        timer_.start(10);
    }
    // Clicks the given standard button of each box.
    static std::function<void(QWidget*)> Click(QMessageBox::StandardButton which) {
        return [which](QWidget* modal) {
            if (auto* box = qobject_cast<QMessageBox*>(modal)) box->button(which)->click();
        };
    }
    QStringList Seen;

private:
    std::function<void(QWidget*)> answer_;
    QTimer timer_;
};
