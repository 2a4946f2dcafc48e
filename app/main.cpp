// The set-up utility: binds the device library, then opens the one window.

#include "AppSetup.h"
#include "ApplicationTitle.h"
#include "CommandLine.h"
#include "PictureClasses.h"
#include "StandardStreams.h"
#include "TForm_Main.h"
#include "TessalinBinding.h"

#include <QApplication>
#include <QLoggingCategory>
#include <QMessageBox>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// What a Windows DLL run through the bridge prints (and Wine with it):
// QT_LOGGING_RULES="pnv3400.library.info=true" shows it.
Q_LOGGING_CATEGORY(lcLibrary, "pnv3400.library", QtWarningMsg)

void logLibraryLine(void *, const char *line) { qCInfo(lcLibrary).noquote() << line; }

// A display someone looks at; the offscreen and minimal platforms have none,
// and a box there would wait for a click that never comes.
bool displayAvailable()
{
    const char *platform = std::getenv("QT_QPA_PLATFORM");
    if (platform && (std::strncmp(platform, "offscreen", 9) == 0 || std::strncmp(platform, "minimal", 7) == 0))
        return false;
    return std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY");
}

// The program does not run without its device library.
int refuseToStart(int argc, char **argv, const std::string &error)
{
    std::fprintf(stderr, "%s: cannot bind the device library: %s\n", argv[0], error.c_str());
    if (displayAvailable()) {
        QApplication app(argc, argv);
        const QString title = pnv::applicationTitleFor(QCoreApplication::applicationFilePath());
        QMessageBox::critical(nullptr, title,
                              QStringLiteral("Cannot bind the device library:\n%1").arg(QString::fromStdString(error)));
    }
    return EXIT_FAILURE;
}

} // namespace

int main(int argc, char **argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    const pnv::CommandLineVerdict verdict = pnv::judgeCommandLine(arguments);
    if (verdict.action == pnv::CommandLineVerdict::Action::Exit) {
        // --help or --version into a full disk or a closed pipe is a failure.
        pnv::ensureStandardDescriptors();
        pnv::writeStream(stdout, verdict.out.toLocal8Bit().constData());
        pnv::writeStream(stderr, verdict.err.toLocal8Bit().constData());
        return pnv::closeStandardStreams("pnv3400-setup", verdict.exitCode);
    }

    pnv::registerPictureClasses();

    auto bound = pnv::TessalinLibrary::load();
    if (!bound.library)
        return refuseToStart(argc, argv, bound.error);

    QApplication app(argc, argv);
    pnv::setUpApplication(app, verdict.styleChosen);

    bound.library->setBridgeLog(logLibraryLine, nullptr);
    TForm_Main form(bound.library->api(), bound.library->path());
    const pnv::TessalinLibrary *library = bound.library.get();
    form.setPreparationProbe([library] { return library->preparingWinePrefix(); });
    form.show();
    return app.exec();
}
