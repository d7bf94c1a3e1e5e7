// The main window and the link settings dialog: start-up, tabs and panels, the exit
// question, the toolbar's look, the file fields, and the stored port name.
#include "LogLines.h"
#include "TabControl.h"
#include "ToolbarIcons.h"
#include "WindowFixture.h"

#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QTcpServer>
#include <QToolButton>

using namespace ktr;

namespace {
const QString kStart = QStringLiteral("Запуск программы");
const QString kLoading = QStringLiteral("Загрузка конфигурации...");
const QString kLoaded = QStringLiteral("Загрузка конфигурации завершена.");
const QString kPortLine = QStringLiteral("  настройки порта;");
const QString kSaving = QStringLiteral("Сохранение конфигурации...");
const QString kSaved = QStringLiteral("Сохранение конфигурации завершено.");
const QString kPortsFound = QStringLiteral("Поиск портов завершен.");
const QString kQuestion = QStringLiteral("Вы правда хотите выйти?");

QAction* MenuItem(WindowFixture& f, const QString& text) {
    for (QAction* a : f.Form->findChildren<QAction*>())
        if (a->text() == text) return a;
    qFatal("no menu item");
}

// Answers the settings dialog: puts text into its list's edit field, then presses a button.
std::function<void(QWidget*)> PortDialog(WindowFixture& f, std::optional<QString> text,
                                         const char* button) {
    return [&f, text, button](QWidget* modal) {
        if (modal != f.Settings) return;
        if (text) f.Settings->PortBox()->setEditText(*text);
        f.Settings->findChild<QPushButton*>(QString::fromLatin1(button))->click();
    };
}
} // namespace

class TestUiWindow : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { qputenv("XDG_CONFIG_HOME", configHome_.path().toUtf8()); }

    void startUpAndTheControlsAtRest() {
        WindowFixture f;
        QCOMPARE(f.Log(), QStringList{kStart}); // nothing is loaded before the first showing
        QVERIFY(!QFileInfo::exists(f.SettingsFile));
        f.Form->show();
        QCOMPARE(f.Log(), (QStringList{kStart, kLoading, kLoaded}));
        QCOMPARE(QFileInfo(f.SettingsFile).size(), 0); // the load created the store, empty
        QVERIFY(QFileInfo(f.SettingsFile).isFile());
        QCOMPARE(f.Form->windowTitle(), QStringLiteral("Конфигуратор различных устройств"));
        QVERIFY(!f.Get<QPushButton>("Button3")->isEnabled());
        QCOMPARE(f.Get<QLabel>("Label4")->text(), QStringLiteral("Очередь команд: "));
        QCOMPARE(f.Get<QLabel>("Label9")->text(), QStringLiteral("Подключение"));
        QCOMPARE(f.Get<QLabel>("Label1")->text(), QString());
        QCOMPARE(f.Form->ConnectImage(), kImageConnectClosed);
        QCOMPARE(f.Form->DisconnectImage(), kImageDisconnectClosed);
        QVERIFY(!f.Form->Link().IsOpen()); // nothing opens the link at start-up
        QCOMPARE(f.Bus.OpenCalls(), 0);
        QCOMPARE(f.Bus.InitCalls(), 1);
        // Fixed border, design client width, nothing to minimise or maximise.
        QCOMPARE(f.Form->minimumSize(), f.Form->maximumSize());
        QCOMPARE(f.Form->centralWidget()->width(), 754);
        QVERIFY(!(f.Form->windowFlags() & Qt::WindowMinMaxButtonsHint));
        QCOMPARE(f.Get<QMenuBar>("MainMenu1")->actions().size(), 3);
    }

    void configuratorButtonFollowsTheKind() {
        WindowFixture f;
        f.Form->show();
        auto* kinds = f.Get<QComboBox>("ComboBox1");
        auto* button3 = f.Get<QPushButton>("Button3");
        QCOMPARE(kinds->count(), 3);
        QCOMPARE(kinds->currentIndex(), -1);
        QVERIFY(!button3->isEnabled());
        kinds->setCurrentIndex(1);
        emit kinds->activated(1);
        QVERIFY(button3->isEnabled());
        QCOMPARE(f.Form->Link().LinkSignature(), 0x02515253u);
        QCOMPARE(f.Form->windowTitle(), QStringLiteral("Конфигуратор различных устройств"));
        // Typing a name that is no kind clears the choice.
        kinds->lineEdit()->clear();
        QTest::keyClick(kinds->lineEdit(), Qt::Key_X);
        QVERIFY(!button3->isEnabled());
        QCOMPARE(f.Form->Link().LinkSignature(), 0u);
    }

    void portFieldKeysRewritingAndErrors() {
        WindowFixture f;
        f.Form->show();
        auto* field = f.Get<QLineEdit>("ysIntEdit1");
        QCOMPARE(field->text(), QStringLiteral("0"));
        QVERIFY(f.Form->Bridge().ListeningPort() != 0); // 0: the system chose one
        QCOMPARE(f.Get<QLabel>("Label9")->text(), QStringLiteral("Подключение"));

        QStringList boxes;
        ModalAnswerer ok([&](QWidget* modal) {
            if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                boxes << box->text();
                box->button(QMessageBox::Ok)->click();
            }
        });
        field->setFocus();
        field->end(false);
        QTest::keyClick(field, Qt::Key_A); // refused
        QTest::keyClick(field, Qt::Key_Space);
        QCOMPARE(field->text(), QStringLiteral("0"));
        QVERIFY(boxes.isEmpty());
        // "0-" is no integer, so its value stays 0 and the text is not rewritten: the
        // server cannot take it as a port, and says so in a box.
        QTest::keyClick(field, Qt::Key_Minus);
        QCOMPARE(field->text(), QStringLiteral("0-"));
        QCOMPARE(f.Form->Bridge().ListeningPort(), 0);
        QCOMPARE(boxes.size(), 1);
        QVERIFY(boxes[0].contains(QStringLiteral("0-")));
        QTest::keyClick(field, Qt::Key_Backspace); // the program goes on: the next change opens
        QCOMPARE(field->text(), QStringLiteral("0"));
        QVERIFY(f.Form->Bridge().ListeningPort() != 0);

        // A value is shown in plain decimal, clamped to the port range.
        field->setText(QStringLiteral("-7"));
        QCOMPARE(field->text(), QStringLiteral("0"));
        QVERIFY(f.Form->Bridge().ListeningPort() != 0);
        QTcpServer taken;
        QVERIFY(taken.listen(QHostAddress::LocalHost, 0));
        const QString port = QString::number(taken.serverPort());
        field->setText(QStringLiteral("000") + port);
        QCOMPARE(field->text(), port);
        QCOMPARE(boxes.size(), 2); // the port is taken: the socket layer's bind failure
        QVERIFY(boxes[1].contains(QStringLiteral("Bind")));
        taken.close();
        field->setText(QStringLiteral("0"));
        field->setText(QStringLiteral("+") + port);
        QCOMPARE(field->text(), port);
        QCOMPARE(QString::number(f.Form->Bridge().ListeningPort()), port);
        // A "0" or "+" typed in front of the value leaves the value: shown plain, opened.
        for (Qt::Key key : {Qt::Key_0, Qt::Key_Plus}) {
            field->home(false);
            QTest::keyClick(field, key);
            QCOMPARE(field->text(), port);
        }
        QCOMPARE(QString::number(f.Form->Bridge().ListeningPort()), port);
        QCOMPARE(boxes.size(), 2);

        // A clamped value is shown as such also when its port cannot be opened.
        QTcpServer top;
        top.listen(QHostAddress::LocalHost, 65535); // or another program has it: the same
        field->setText(QStringLiteral("99999"));
        QCOMPARE(field->text(), QStringLiteral("65535"));
        QCOMPARE(boxes.size(), 3);
        QCOMPARE(f.Form->Bridge().ListeningPort(), 0);
    }

    void serverThatCannotOpenEndsTheStart() {
        QTcpServer taken;
        QVERIFY(taken.listen(QHostAddress::LocalHost, 0));
        sim::SimUsbBus bus;
        FormOptions options;
        options.Usb = &bus;
        options.TcpPortText = QString::number(taken.serverPort());
        QVERIFY_THROWS_EXCEPTION(TcpServerError, TForm1 form(options));
    }

    void tabsShowTheirPanels() {
        WindowFixture f;
        f.Form->show();
        auto* tabs = f.Get<TabControl>("TabControl1");
        auto* p1 = f.Get<QFrame>("Panel1");
        auto* p2 = f.Get<QFrame>("Panel2");
        auto* p3 = f.Get<QFrame>("Panel3");
        auto* p4 = f.Get<QFrame>("Panel4");
        auto shown = [&] {
            return QList<bool>{p1->isVisibleTo(f.Form.get()), p2->isVisibleTo(f.Form.get()),
                               p3->isVisibleTo(f.Form.get()), p4->isVisibleTo(f.Form.get())};
        };
        QCOMPARE(tabs->Tabs(),
                 (QStringList{QStringLiteral("Прошивка"), QStringLiteral("Конфигурация"),
                              QStringLiteral("TCP-сервер")}));
        QCOMPARE(tabs->TabIndex(), 0);
        QCOMPARE(shown(), (QList<bool>{true, true, false, false}));
        const QRect area = tabs->DisplayRect();
        QCOMPARE(p1->geometry(), QRect(8, area.top(), 522, 49));
        QCOMPARE(p2->geometry(), QRect(8, area.top() + 49 + 1, 522, 57)); // one pixel below
        QCOMPARE(p3->geometry(), area);
        QCOMPARE(p4->geometry(), area);

        tabs->SetTabIndex(2);
        QCOMPARE(shown(), (QList<bool>{false, false, false, true}));
        tabs->SetTabIndex(1);
        QCOMPARE(shown(), (QList<bool>{false, false, true, false}));
        tabs->SetTabIndex(0);
        QCOMPARE(shown(), (QList<bool>{true, true, false, false}));
        QCOMPARE(p2->y(), p1->y() + p1->height() + 1);
    }

    void exitQuestionNoThenYes() {
        WindowFixture f;
        f.Form->show();
        QVERIFY(f.Connect());
        const QStringList before = f.Log();
        {
            ModalAnswerer no(ModalAnswerer::Click(QMessageBox::No));
            f.Form->close();
            QCOMPARE(no.Seen, QStringList{kQuestion});
        }
        QVERIFY(f.Form->isVisible());
        QVERIFY(f.Form->Link().IsOpen());
        QCOMPARE(f.Log(), before); // a cancelled exit is silent

        ModalAnswerer yes(ModalAnswerer::Click(QMessageBox::Yes));
        MenuItem(f, QStringLiteral("Выход"))->trigger(); // the same question as the close box
        QCOMPARE(yes.Seen, QStringList{kQuestion});
        QVERIFY(!f.Form->isVisible());
        QVERIFY(!f.Form->Link().IsOpen());
        QCOMPARE(f.Log().mid(before.size()), (QStringList{kClosing, kClosed}));
    }

    void toolbarPicturesTellTheStates() {
        WindowFixture f;
        f.Form->show();
        auto picture = [](int index) { return ToolbarIcon(index).pixmap(16, 16).toImage(); };
        for (int index : {18, 19, 20, 21})
            QVERIFY(!ToolbarIcon(index).isNull());
        QVERIFY(picture(18) != picture(19));
        QVERIFY(picture(20) != picture(21));
        // Drawn at the screen's density, not blown up from 16 pixels.
        QCOMPARE(ToolbarIcon(18).pixmap(QSize(16, 16), 2.0).size(), QSize(32, 32));

        QVERIFY(f.Connect());
        QCOMPARE(f.Form->ConnectImage(), kImageConnectOpen);
        QCOMPARE(f.Form->DisconnectImage(), kImageDisconnectOpen);
        f.Get<QToolButton>("ToolButton4")->click();
        QCOMPARE(f.Form->ConnectImage(), kImageConnectClosed);
        QCOMPARE(f.Form->DisconnectImage(), kImageDisconnectClosed);
        QCOMPARE(f.Log().mid(f.Log().size() - 2), (QStringList{kClosing, kClosed}));
        MenuItem(f, QStringLiteral("Установить связь"))->trigger(); // N7 does what ToolButton1 does
        QVERIFY(f.RunUntil([&] { return f.Form->ConnectImage() == kImageConnectOpen; }));
    }

    void fileFieldsOfferTheirFiles() {
        WindowFixture f;
        f.Form->show();
        const QString firmware = f.Dir.filePath(QStringLiteral("fw.mts"));
        QFile(firmware).open(QIODevice::WriteOnly);
        auto* edit1 = f.Get<QLineEdit>("Edit1");
        auto* edit2 = f.Get<QLineEdit>("Edit2");
        QStringList filters, suffixes;
        auto record = [&](QWidget* modal) {
            auto* dialog = qobject_cast<QFileDialog*>(modal);
            if (!dialog) return;
            filters << dialog->nameFilters();
            suffixes << dialog->defaultSuffix();
        };
        {
            ModalAnswerer cancel([&](QWidget* modal) {
                record(modal);
                if (auto* dialog = qobject_cast<QFileDialog*>(modal)) dialog->reject();
            });
            edit1->setText(QStringLiteral("before"));
            QTest::mouseDClick(edit1, Qt::LeftButton);
            QTest::mouseDClick(edit2, Qt::LeftButton);
        }
        QCOMPARE(edit1->text(), QStringLiteral("before")); // cancelling changes nothing
        QCOMPARE(filters, (QStringList{QStringLiteral("Прошивки (*.mts)"),
                                       QStringLiteral("Данные EEPROM (*.eep)")}));
        QCOMPARE(suffixes, (QStringList{QStringLiteral("mts"), QStringLiteral("eep")}));

        ModalAnswerer choose([&](QWidget* modal) {
            auto* dialog = qobject_cast<QFileDialog*>(modal);
            if (!dialog) return;
            // Typing into the name field, as the operator would; selectFile() can leave it empty.
            dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(firmware);
            QMetaObject::invokeMethod(dialog, "accept");
        });
        QTest::mouseDClick(edit1, Qt::LeftButton);
        QCOMPARE(QFileInfo(edit1->text()).canonicalFilePath(),
                 QFileInfo(firmware).canonicalFilePath());
    }

    void portDialogAppendsItsList() {
        WindowFixture f;
        f.Form->show();
        f.Settings->SetPortSource([] { return QStringList{"COM1", "COM3"}; });
        ModalAnswerer leave(PortDialog(f, std::nullopt, "Button2"));
        f.Form->N5Click();
        MenuItem(f, QStringLiteral("Связь"))->trigger();
        QCOMPARE(leave.Seen.size(), 2);
        QStringList items;
        for (int i = 0; i < f.Settings->PortBox()->count(); ++i)
            items << f.Settings->PortBox()->itemText(i);
        QCOMPARE(items, (QStringList{"COM1", "COM3", "COM1", "COM3"}));
        // Each opening: the search, then the load that follows whatever the answer.
        QCOMPARE(f.Log().mid(3),
                 (QStringList{kPortsFound, kLoading, kLoaded, kPortsFound, kLoading, kLoaded}));
    }

    void portNameSavedCancelledAndLoaded() {
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("KTR_17.conf"));
        {
            WindowFixture f(file);
            f.Form->show();
            f.Settings->SetPortSource([] { return QStringList{"COM1"}; });
            {
                ModalAnswerer save(PortDialog(f, QStringLiteral("ttyTyped"), "Button1"));
                f.Form->N5Click();
            }
            QCOMPARE(f.Log().mid(3), (QStringList{kPortsFound, kSaving, kPortLine, kSaved, kLoading,
                                                  kPortLine, kLoaded}));
            QCOMPARE(QSettings(file, QSettings::IniFormat).value("ComPort").toString(),
                     QStringLiteral("ttyTyped"));
        }
        WindowFixture f(file); // the next start reads it back
        f.Form->show();
        QCOMPARE(f.Log(), (QStringList{kStart, kLoading, kPortLine, kLoaded}));
        QCOMPARE(f.Settings->PortBox()->currentText(), QStringLiteral("ttyTyped"));
        QCOMPARE(f.Settings->PortBox()->currentIndex(), -1); // the list is not touched

        {
            ModalAnswerer cancel(PortDialog(f, QStringLiteral("unsaved"), "Button2"));
            f.Form->N5Click();
        }
        QCOMPARE(f.Settings->PortBox()->currentText(), QStringLiteral("ttyTyped"));
        QCOMPARE(QSettings(file, QSettings::IniFormat).value("ComPort").toString(),
                 QStringLiteral("ttyTyped"));

        // An empty text is stored as an empty string.
        ModalAnswerer empty(PortDialog(f, QString(), "Button1"));
        f.Form->N5Click();
        QSettings stored(file, QSettings::IniFormat);
        QVERIFY(stored.contains("ComPort"));
        QCOMPARE(stored.value("ComPort").toString(), QString());
    }

    void unreadableOrUnwritableStoreIsReported() {
        QTemporaryDir dir;
        const QString listFile = dir.filePath(QStringLiteral("list.conf"));
        {
            QFile ini(listFile);
            QVERIFY(ini.open(QIODevice::WriteOnly));
            ini.write("[General]\nComPort=COM1, COM2\n"); // reads back as a list
        }
        {
            WindowFixture f(listFile);
            ModalAnswerer ok(ModalAnswerer::Click(QMessageBox::Ok));
            f.Form->show();
            QCOMPARE(ok.Seen, QStringList{QStringLiteral("Invalid data type for 'ComPort'")});
            QCOMPARE(f.Log(),
                     (QStringList{kStart, kLoading})); // the rest of the load is not logged
        }
        // A store inside a plain file cannot be written, whoever runs the test.
        QFile(dir.filePath(QStringLiteral("plain"))).open(QIODevice::WriteOnly);
        WindowFixture f(dir.filePath(QStringLiteral("plain/KTR_17.conf")));
        f.Form->show();
        f.Settings->SetPortSource([] { return QStringList{}; });
        QStringList seen;
        ModalAnswerer answer([&](QWidget* modal) {
            if (modal == f.Settings) {
                f.Settings->PortBox()->setEditText(QStringLiteral("ttyUnsaved"));
                f.Settings->findChild<QPushButton*>(QStringLiteral("Button1"))->click();
            } else if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                seen << box->text();
                box->button(QMessageBox::Ok)->click();
            }
        });
        f.Form->N5Click();
        QCOMPARE(seen, QStringList{QStringLiteral("Failed to set data for 'ComPort'")});
        // The failed save ends the command: no load follows to replace the operator's text.
        QCOMPARE(f.Log().mid(3), (QStringList{kPortsFound, kSaving}));
        QCOMPARE(f.Settings->PortBox()->currentText(), QStringLiteral("ttyUnsaved"));
        QVERIFY(f.Form->isVisible()); // the program goes on
    }

private:
    QTemporaryDir configHome_;
};

QTEST_MAIN(TestUiWindow)
#include "tst_ui_window.moc"
