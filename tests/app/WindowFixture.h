#pragma once
// A window built as the program builds it, against a scripted library, with
// typed access to the controls the tests drive.

#include "AppSetup.h"
#include "PictureClasses.h"
#include "ScriptedLibrary.h"
#include "TForm_Main.h"
#include "jIPByteEdit.h"
#include "jIPEdit.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <memory>

namespace pnv::test {

struct WindowFixture {
    std::unique_ptr<TForm_Main> window;

    // The window's own reference is taken by name; by default on our
    // library as built beside the tests.
    static std::string builtLibrary() { return qEnvironmentVariable("PNV_BIN_DIR").toStdString() + "/libtessalin.so"; }

    explicit WindowFixture(const pnv::TessalinApi &api = ScriptedLibrary::api(),
                           const std::string &libraryName = builtLibrary())
        : window(std::make_unique<TForm_Main>(api, libraryName))
    {
        // Nothing answers anywhere unless a test says so: no probe leaves the test.
        window->setAddressInUseCheck(
            [this](std::uint32_t address, std::uint16_t port) -> std::optional<QString> {
                return inUse.contains(address) ? std::optional<QString>(QStringLiteral("it accepts connections on port %1").arg(port))
                                               : std::nullopt;
            });
    }
    QList<std::uint32_t> inUse;   // addresses where something answers

    template <typename T = QWidget>
    T *control(const char *name) const
    {
        auto *found = window->findChild<T *>(QString::fromLatin1(name));
        Q_ASSERT_X(found, "WindowFixture::control", name);
        return found;
    }
    QLineEdit *edit(const char *name) const { return control<QLineEdit>(name); }
    jIPEdit *address(const char *name) const { return control<jIPEdit>(name); }
    QPushButton *button(const char *name) const { return control<QPushButton>(name); }
    QTabWidget *pages() const { return control<QTabWidget>("PC_Main"); }
};

} // namespace pnv::test

// main() of a window test: the program's own start-up around the test object.
#define PNV_WINDOW_TEST_MAIN(TestClass)                  \
    int main(int argc, char **argv)                      \
    {                                                    \
        pnv::registerPictureClasses();                   \
        QApplication app(argc, argv);                    \
        app.setQuitOnLastWindowClosed(false);            \
        pnv::setUpApplication(app);                      \
        TestClass test;                                  \
        return QTest::qExec(&test, argc, argv);          \
    }
