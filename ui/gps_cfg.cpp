#include "gps_cfg.h"

#include "ToolbarIcons.h"
#include "UsbBackend.h"
#include "WriteJobs.h"
#include "com_cfg.h"
#include "ui_gps_cfg.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileDialog>
#include <QMessageBox>
#include <QScreen>

namespace ktr {

namespace {
constexpr QSize kClientSize(754, 390); // the design's 412 less the status bar
constexpr int kStatusBarHeight = 22;
constexpr int kStatusPanelMinWidth = 50;
constexpr int kQueueLabelMinWidth = 107;
constexpr int kFontPixels = 11; // 8 pt at 96 dpi
const QColor kFormColour(232, 255, 210);
const QColor kToolBarColour(164, 209, 255);
const QString kPortKeys = QStringLiteral("0123456789+-");

constexpr Qt::WindowFlags kFormFlags = Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                       Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                                       Qt::MSWindowsFixedSizeDialogHint;

void Paint(QWidget* widget, QPalette::ColorRole role, const QColor& colour) {
    QPalette colours = widget->palette();
    colours.setColor(role, colour);
    widget->setPalette(colours);
}

bool IsControlKey(QChar c) {
    return c.unicode() < 0x20 || c.unicode() == 0x7f;
}
} // namespace

TForm1::TForm1(FormOptions options, QWidget* parent)
    : QMainWindow(parent, kFormFlags), ui_(new Ui::TForm1) {
    ui_->setupUi(this);
    OpenDialog1 = new QFileDialog(this);
    OpenDialog1->setObjectName(QStringLiteral("OpenDialog1"));
    OpenDialog1->setOption(QFileDialog::DontUseNativeDialog);
    OpenDialog1->setFileMode(QFileDialog::ExistingFile);
    SetUpLook();

    AddLog(QStringLiteral("Запуск программы"));
    if (!options.Usb) ownUsb_ = NewSystemUsbBackend();
    UsbBackend& usb = options.Usb ? *options.Usb : *ownUsb_;
    link_ = std::make_unique<LinkControl>(usb, *this, options.Link); // initialises USB, closed
    jobs_ = std::make_unique<WriteJobs>(*link_);
    host_ = std::make_unique<ConfiguratorHost>(*link_, *this);
    if (!options.ConfiguratorDirs.isEmpty()) host_->SetLibraryDirs(options.ConfiguratorDirs);
    link_->SetDeviceKindHook(host_.get());
    bridge_ = std::make_unique<TcpBridge>(*link_, *this, options.Bridge);
    SetPortText(options.TcpPortText);
    bridge_->TcpServerOpen(ui_->ysIntEdit1->text());

    ConnectControls();
    FormResize();
}

TForm1::~TForm1() {
    BeforeDestruction();
}

void TForm1::SetUpLook() {
    QFont face = font();
    face.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("DejaVu Sans")});
    face.setPixelSize(kFontPixels);
    setFont(face);
    Paint(this, QPalette::Window, kFormColour);
    Paint(ui_->ToolBar1, QPalette::Window, kToolBarColour);

    // Wide enough for the longest queue the label will show, so the bar beside it stays put.
    ui_->Label4->setFixedWidth(std::max(
        kQueueLabelMinWidth,
        ui_->Label4->fontMetrics().horizontalAdvance(QStringLiteral("Очередь команд: 000000.")) +
            4));
    for (const DeviceKindInfo& kind : kDeviceKinds)
        ui_->ComboBox1->addItem(QString::fromUtf8(kind.Item));
    ui_->ComboBox1->setCurrentIndex(-1); // no kind chosen at start
    ui_->ProgressBar1->setRange(0, 1);
    ui_->ProgressBar1->setValue(0);
    SetLinkButtons(kImageConnectClosed, kImageDisconnectClosed);

    statusPanel_ = new QLabel(ui_->StatusBar1);
    statusPanel_->setObjectName(QStringLiteral("StatusPanel"));
    statusPanel_->setMinimumWidth(kStatusPanelMinWidth);
    ui_->StatusBar1->addWidget(statusPanel_);
    ui_->StatusBar1->setFixedHeight(kStatusBarHeight);

    centralWidget()->setFixedSize(kClientSize);
    adjustSize();
    setFixedSize(size());
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

template <class Handler> void TForm1::Guarded(Handler handler) {
    try {
        handler();
    } catch (const TcpServerError& error) {
        ShowError(error.Text);
    } catch (const std::exception& error) {
        ShowError(QString::fromLocal8Bit(error.what()));
    }
}

void TForm1::ConnectControls() {
    auto on = [this](auto* sender, auto signal, auto handler) {
        connect(sender, signal, this, [this, handler] { Guarded(handler); });
    };
    on(ui_->ToolButton1, &QToolButton::clicked, [this] { link_->ToolButton1Click(); });
    on(ui_->N7, &QAction::triggered, [this] { link_->N7Click(); });
    on(ui_->ToolButton4, &QToolButton::clicked, [this] { link_->ToolButton4Click(); });
    on(ui_->N2, &QAction::triggered, [this] { link_->N2Click(); });
    on(ui_->Button1, &QPushButton::clicked, [this] { jobs_->Button1Click(ui_->Edit1->text()); });
    on(ui_->Button2, &QPushButton::clicked, [this] { jobs_->Button2Click(ui_->Edit2->text()); });
    on(ui_->N5, &QAction::triggered, [this] { N5Click(); });
    on(ui_->N6, &QAction::triggered, [this] { N6Click(); });
    on(ui_->TabControl1, &TabControl::Change, [this] { TabControl1Change(); });
    QComboBox* kinds = ui_->ComboBox1;
    connect(kinds, &QComboBox::activated, this,
            [this](int index) { Guarded([&] { host_->ComboBox1Change(index); }); });
    // Typing into the list's field selects the item it names exactly, or none.
    connect(kinds->lineEdit(), &QLineEdit::textEdited, this, [this, kinds](const QString& text) {
        Guarded([&] { host_->ComboBox1Change(kinds->findText(text, Qt::MatchExactly)); });
    });
    on(ui_->Button3, &QPushButton::clicked, [this] { host_->Button3Click(); });
    on(ui_->ysIntEdit1, &QLineEdit::textChanged, [this] { ysIntEdit1Change(); });
    ui_->Edit1->installEventFilter(this);
    ui_->Edit2->installEventFilter(this);
    ui_->ysIntEdit1->installEventFilter(this);
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonDblClick &&
        (watched == ui_->Edit1 || watched == ui_->Edit2)) {
        Guarded([&] { watched == ui_->Edit1 ? Edit1DblClick() : Edit2DblClick(); });
        return true;
    }
    if (event->type() == QEvent::KeyPress && watched == ui_->ysIntEdit1) {
        const QString text = static_cast<QKeyEvent*>(event)->text();
        if (!text.isEmpty() && !IsControlKey(text[0]) && !kPortKeys.contains(text[0])) {
            QApplication::beep();
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

// ---- HostView ----

void TForm1::AddLog(const QString& line) {
    ui_->Memo1->AddLine(line);
}

void TForm1::SetQueueCaption(const QString& text) {
    ui_->Label4->setText(text);
}

// A bar whose maximum is 0 would turn into a busy indicator; an empty queue shows empty.
void TForm1::SetProgressMax(int max) {
    ui_->ProgressBar1->setMaximum(std::max(max, 1));
}

void TForm1::SetProgressPosition(int position) {
    ui_->ProgressBar1->setValue(std::min(position, ui_->ProgressBar1->maximum()));
}

void TForm1::SetStatusPanel(const QString& text) {
    statusPanel_->setText(text);
}

void TForm1::SetFlashSizeText(const QString& text) {
    ui_->Label1->setText(text);
}

void TForm1::SetEepromSizeText(const QString& text) {
    ui_->Label2->setText(text);
}

void TForm1::SetLinkButtons(int connectImage, int disconnectImage) {
    connectImage_ = connectImage;
    disconnectImage_ = disconnectImage;
    ui_->ToolButton1->setIcon(ToolbarIcon(connectImage));
    ui_->ToolButton4->setIcon(ToolbarIcon(disconnectImage));
}

// The platform offers one beep; its pitch and length are the system's.
void TForm1::Beep(int, int) {
    QApplication::beep();
}

void TForm1::ShowError(const QString& text) {
    QMessageBox box(QMessageBox::Critical, QString::fromLatin1(kApplicationTitle), text,
                    QMessageBox::Ok, this);
    box.exec();
}

void TForm1::SetCaption(const QString& text) {
    setWindowTitle(text);
}

void TForm1::SetTcpStatus(const QString& text) {
    ui_->Label9->setText(text);
}

void TForm1::SetKindSelection(int itemIndex) {
    const QSignalBlocker quiet(ui_->ComboBox1);
    ui_->ComboBox1->setCurrentIndex(itemIndex);
}

void TForm1::SetConfiguratorEnabled(bool enabled) {
    ui_->Button3->setEnabled(enabled);
}

// ---- The window's own handlers ----

void TForm1::FormShow() {
    if (ComCFGForm) ComCFGForm->LoadSettings();
}

void TForm1::FormResize() {
    const QRect area = ui_->TabControl1->DisplayRect();
    ui_->Panel1->move(ui_->Panel1->x(), area.top());
    ui_->Panel2->move(ui_->Panel2->x(), ui_->Panel1->y() + ui_->Panel1->height() + 1);
    ui_->Panel3->setGeometry(area);
    ui_->Panel4->setGeometry(area);
    TabControl1Change();
}

void TForm1::TabControl1Change() {
    const int tab = ui_->TabControl1->TabIndex();
    ui_->Panel1->setVisible(tab == 0);
    ui_->Panel2->setVisible(tab == 0);
    ui_->Panel3->setVisible(tab == 1);
    ui_->Panel4->setVisible(tab == 2);
}

void TForm1::N5Click() {
    if (!ComCFGForm) return;
    ComCFGForm->FindPorts();
    // A failed save ends here, at its error report: no load replaces the operator's text.
    if (ComCFGForm->exec() == QDialog::Accepted && !ComCFGForm->SaveSettings()) return;
    FormShow();
}

void TForm1::Edit1DblClick() {
    ChooseFile(ui_->Edit1, QStringLiteral("Прошивки (*.mts)"), QStringLiteral("mts"));
}

void TForm1::Edit2DblClick() {
    ChooseFile(ui_->Edit2, QStringLiteral("Данные EEPROM (*.eep)"), QStringLiteral("eep"));
}

void TForm1::ChooseFile(QLineEdit* field, const QString& filter, const QString& defaultSuffix) {
    OpenDialog1->setNameFilter(filter);
    OpenDialog1->setDefaultSuffix(defaultSuffix);
    if (OpenDialog1->exec() != QDialog::Accepted || OpenDialog1->selectedFiles().isEmpty()) return;
    field->setText(QDir::toNativeSeparators(OpenDialog1->selectedFiles().first()));
}

void TForm1::SetPortText(const QString& text) {
    rewritingPort_ = true;
    ui_->ysIntEdit1->setText(text);
    rewritingPort_ = false;
}

// The field shows its value before the server opens on it, so that a port that cannot be
// opened is still the one shown. Rewriting the text changes it again; that change would
// only repeat the open, so it is not handled.
void TForm1::ysIntEdit1Change() {
    if (rewritingPort_) return;
    const QString shown = TcpBridge::PortFieldText(ui_->ysIntEdit1->text());
    if (shown != ui_->ysIntEdit1->text()) SetPortText(shown);
    bridge_->ysIntEdit1Change(shown);
}

void TForm1::BeforeDestruction() {
    if (host_) host_->BeforeDestruction();
}

void TForm1::closeEvent(QCloseEvent* event) {
    const auto answer = QMessageBox::question(this, QString::fromLatin1(kApplicationTitle),
                                              QStringLiteral("Вы правда хотите выйти?"),
                                              QMessageBox::Yes | QMessageBox::No);
    if (answer != QMessageBox::Yes) {
        event->ignore();
        return;
    }
    link_->CloseLink();
    event->accept();
}

void TForm1::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (!event->spontaneous()) FormShow();
}

void TForm1::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    FormResize();
}

} // namespace ktr
