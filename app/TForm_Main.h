#pragma once
// The utility's one window: the link zone, the " IP Config " page with the
// encoder's network configuration, and the reset instructions page. Its
// handlers carry out the operations directly, through the device library's
// five entry points, and report every result in the status line.

#include "TessalinBinding.h"
#include "ui_Form_Main.h"

#include <QMainWindow>
#include <array>
#include <string>

class QLabel;

class TForm_Main final : public QMainWindow, private Ui::Form_Main {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TForm_Main)
public:
    // `api` is the bound device library; `libraryName` is what the window's
    // own reference to the library is taken by.
    TForm_Main(const pnv::TessalinApi &api, std::string libraryName, QWidget *parent = nullptr);
    ~TForm_Main() override;

    QString statusLine() const;

    // Scales the position and size of every control but the status bar, as
    // the window does on a display that is not 96 dpi (the fonts, given in
    // points, grow by themselves). The status bar keeps its 35 px.
    void scaleContent(qreal factor);
    // The ratio of the base font's text height on this display to its
    // height at 96 dpi: 1 on a 96 dpi display.
    qreal displayScaleFactor() const;
    const std::array<char, 16> &serverAddress() const { return ServerAddress; }
    bool holdsLibraryReference() const { return m_libraryReference.isHeld(); }

    // Handlers, named after their control and event.
    void FormCreate(QObject *Sender);
    void FormClose(QObject *Sender);
    void jIPE_ServerIPChange(QObject *Sender);
    void Edit_ServerPortChange(QObject *Sender);
    void Edit_ServerPortKeyPress(QObject *Sender, QChar &Key);
    void BT_SConnectClick(QObject *Sender);
    void BT_SDisconnectClick(QObject *Sender);
    void BT_ExitClick(QObject *Sender);
    void Edit_SourcePortChange(QObject *Sender);
    void ME_Authentication1KEYKeyPress(QObject *Sender, QChar &Key);
    void BT_ConfigReadClick(QObject *Sender);
    void BT_ConfigWriteClick(QObject *Sender);

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void setStatusLine(const QString &text);
    void finishLoading();
    void nameControlsForAccessibility();
    void attachHandlers();
    void applyPortRangeRule(QLineEdit *field);

    pnv::TessalinApi m_api;
    std::string m_libraryName;
    pnv::LibraryReference m_libraryReference;
    std::array<char, 16> ServerAddress{};
    QLabel *m_statusLine = nullptr;
};
