// ComCFGForm: the link settings dialog, where the operator picks a serial port name that is
// stored per user. Nothing opens the port: the name is only listed, edited and kept.
#pragma once

#include <QDialog>
#include <QStringList>

#include <functional>
#include <memory>

class QComboBox;
class QSettings;

namespace Ui {
class TComCFGForm;
}

namespace ktr {

class HostView;

// Where the port name is kept: QSettings organisation "Brenvolt", application "KTR_17"
// (the key "Software\Brenvolt\KTR_17" on Windows), value ComPort.
constexpr const char* kSettingsOrganisation = "Brenvolt";
constexpr const char* kSettingsApplication = "KTR_17";
constexpr const char* kComPortKey = "ComPort";

class TComCFGForm : public QDialog {
    Q_OBJECT
public:
    // settingsFile: an INI file to use instead of the user's own store (empty: the store).
    TComCFGForm(HostView& view, QString settingsFile = {}, QWidget* parent = nullptr);
    ~TComCFGForm() override;

    // Appends the system's serial port names to the list, which is never cleared, and logs.
    void FindPorts();
    // The stored name, if any, becomes the edit text; list and selection stay as they are.
    // A missing store is created, empty. A stored value that is no single string is shown
    // by the error report.
    void LoadSettings();
    // Stores the edit text as it is (empty included). A store that cannot be written is
    // shown by the error report, the save's remaining lines are not logged, and the result
    // is false.
    bool SaveSettings();

    // The names FindPorts appends (default: QSerialPortInfo's ports).
    void SetPortSource(std::function<QStringList()> ports) { ports_ = std::move(ports); }
    QComboBox* PortBox() const;

private:
    std::unique_ptr<QSettings> OpenSettings() const;

    std::unique_ptr<Ui::TComCFGForm> ui_;
    HostView& view_;
    QString settingsFile_;
    std::function<QStringList()> ports_;
};

} // namespace ktr
