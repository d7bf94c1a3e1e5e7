#include "com_cfg.h"

#include "HostView.h"
#include "ui_com_cfg.h"

#include <QSerialPortInfo>
#include <QSettings>

namespace ktr {

namespace {
const QColor kDialogColour(128, 0, 0);
constexpr QPoint kDialogPosition(464, 385); // on the screen, as designed
const QString kPortSettingsLine = QStringLiteral("  настройки порта;");

QStringList SystemPorts() {
    QStringList names;
    for (const QSerialPortInfo& port : QSerialPortInfo::availablePorts())
        names << port.portName();
    return names;
}
} // namespace

TComCFGForm::TComCFGForm(HostView& view, QString settingsFile, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint), ui_(new Ui::TComCFGForm),
      view_(view), settingsFile_(std::move(settingsFile)), ports_(SystemPorts) {
    ui_->setupUi(this);
    setModal(true);
    QPalette colours = palette();
    colours.setColor(QPalette::Window, kDialogColour);
    setPalette(colours);
    QPalette label = ui_->Label1->palette();
    label.setColor(QPalette::WindowText, Qt::white);
    ui_->Label1->setPalette(label);
    setFixedSize(size());
    move(kDialogPosition);
}

TComCFGForm::~TComCFGForm() = default;

QComboBox* TComCFGForm::PortBox() const {
    return ui_->ComboBox1;
}

std::unique_ptr<QSettings> TComCFGForm::OpenSettings() const {
    if (!settingsFile_.isEmpty())
        return std::make_unique<QSettings>(settingsFile_, QSettings::IniFormat);
    return std::make_unique<QSettings>(kSettingsOrganisation, kSettingsApplication);
}

void TComCFGForm::FindPorts() {
    ui_->ComboBox1->addItems(ports_());
    view_.AddLog(QStringLiteral("Поиск портов завершен."));
}

void TComCFGForm::LoadSettings() {
    view_.AddLog(QStringLiteral("Загрузка конфигурации..."));
    const auto settings = OpenSettings();
    if (settings->contains(kComPortKey)) {
        // An INI value with an unquoted comma reads back as a list: not a port name.
        const QVariant value = settings->value(kComPortKey);
        if (value.typeId() != QMetaType::QString) {
            view_.ShowError(QStringLiteral("Invalid data type for '%1'").arg(kComPortKey));
            return;
        }
        ui_->ComboBox1->setEditText(value.toString());
        view_.AddLog(kPortSettingsLine);
    }
    view_.AddLog(QStringLiteral("Загрузка конфигурации завершена."));
}

void TComCFGForm::SaveSettings() {
    view_.AddLog(QStringLiteral("Сохранение конфигурации..."));
    const auto settings = OpenSettings();
    settings->setValue(kComPortKey, ui_->ComboBox1->currentText());
    settings->sync();
    if (settings->status() != QSettings::NoError) {
        view_.ShowError(QStringLiteral("Failed to set data for '%1'").arg(kComPortKey));
        return;
    }
    view_.AddLog(kPortSettingsLine);
    view_.AddLog(QStringLiteral("Сохранение конфигурации завершено."));
}

} // namespace ktr
