// ktr-service: the program a field engineer runs. It takes no command-line arguments.
#include "com_cfg.h"
#include "gps_cfg.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QTranslator>

#include <cstdio>

namespace {
constexpr int kExitStartFailed = 1;
}

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    app.setApplicationName(QString::fromLatin1(ktr::kApplicationTitle));
    app.setDesktopFileName(QStringLiteral("ktr-service"));
    // The standard buttons of the boxes ("Да", "Нет") in the operator's language.
    QTranslator qtTexts;
    if (qtTexts.load(QLocale(QLocale::Russian), QStringLiteral("qtbase"), QStringLiteral("_"),
                     QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        app.installTranslator(&qtTexts);

    std::unique_ptr<ktr::TForm1> form;
    try {
        form = std::make_unique<ktr::TForm1>();
    } catch (const ktr::TcpServerError& error) {
        // Without its server the program does not start; say why, as the error report would.
        std::fprintf(stderr, "ktr-service: %s\n", error.what());
        QMessageBox::critical(nullptr, QString::fromLatin1(ktr::kApplicationTitle), error.Text);
        return kExitStartFailed;
    }
    auto* settings = new ktr::TComCFGForm(*form, {}, form.get());
    settings->setObjectName(QStringLiteral("ComCFGForm"));
    form->SetSettingsDialog(settings);
    form->show();
    return app.exec();
}
