#include "com_cfg.h"

#include "HostView.h"
#include "ui_com_cfg.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSerialPortInfo>
#include <QSettings>

namespace ktr {

namespace {
const QColor kDialogColour(128, 0, 0);
constexpr QPoint kDialogPosition(464, 385); // on the screen, as designed
const QString kPortSettingsLine = QStringLiteral("  настройки порта;");

// A load creates the key when it is missing. Where the store is a file, that is an empty
// file; the registry's key comes with the first save. Whether it could be created is not
// checked, as no load checks the key.
void CreateStore(const QSettings& settings) {
#ifdef Q_OS_WIN
    if (settings.format() == QSettings::NativeFormat) return;
#endif
    const QFileInfo file(settings.fileName());
    if (file.exists()) return;
    QDir().mkpath(file.absolutePath());
    QFile(file.filePath()).open(QIODevice::WriteOnly);
}

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
    CreateStore(*settings);
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

bool TComCFGForm::SaveSettings() {
    view_.AddLog(QStringLiteral("Сохранение конфигурации..."));
    const auto settings = OpenSettings();
    settings->setValue(kComPortKey, ui_->ComboBox1->currentText());
    settings->sync();
    if (settings->status() != QSettings::NoError) {
        view_.ShowError(QStringLiteral("Failed to set data for '%1'").arg(kComPortKey));
        return false;
    }
    view_.AddLog(kPortSettingsLine);
    view_.AddLog(QStringLiteral("Сохранение конфигурации завершено."));
    return true;
}

} // namespace ktr
