#pragma once
// The utility's one window: the link zone, the " IP Config " page with the
// encoder's network configuration, and the reset instructions page. Its
// handlers carry out the operations directly, through the device library's
// five entry points, and report every result in the status line.

#include "EncoderLink.h"
#include "WriteChecks.h"
#include "TessalinBinding.h"

#include <QMainWindow>

#include <functional>
#include <array>
#include <memory>
#include <string>

class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QStatusBar;
class QTabWidget;
class TImage;
class jIPEdit;
namespace Ui {
class Form_Main;
}

// The 40 controls of the window definition, in definition order: X(class, name).
#define PNV_FORM_MAIN_CONTROLS(X) \
    X(QStatusBar, SB_Main)\
    X(QTabWidget, PC_Main)\
    X(QWidget, TabSheet2)\
    X(QGroupBox, GroupBox2)\
    X(jIPEdit, jIPE_SourceIP)\
    X(QGroupBox, GroupBox5)\
    X(jIPEdit, jIPE_Gateway)\
    X(QGroupBox, GroupBox4)\
    X(jIPEdit, jIPE_SubnetMask)\
    X(QGroupBox, GroupBox3)\
    X(QLineEdit, Edit_SourcePort)\
    X(QPushButton, BT_ConfigRead)\
    X(QPushButton, BT_ConfigWrite)\
    X(QGroupBox, GroupBox1)\
    X(QLineEdit, ME_SourceMAC)\
    X(QWidget, TabSheet1)\
    X(QFrame, Panel1)\
    X(TImage, Image1)\
    X(QLabel, Label1)\
    X(QFrame, Panel2)\
    X(QLabel, Label2)\
    X(QLabel, Label3)\
    X(QLabel, Label4)\
    X(QLabel, Label6)\
    X(QLabel, Label7)\
    X(TImage, Image2)\
    X(QFrame, Panel3)\
    X(TImage, Image4)\
    X(QLabel, Label8)\
    X(QFrame, Panel4)\
    X(TImage, Image3)\
    X(QLabel, Label9)\
    X(QGroupBox, GroupBox21)\
    X(QLabel, Label24)\
    X(QLabel, Label5)\
    X(QLineEdit, Edit_ServerPort)\
    X(jIPEdit, jIPE_ServerIP)\
    X(QPushButton, BT_SConnect)\
    X(QPushButton, BT_Exit)\
    X(QPushButton, BT_SDisconnect)

class TForm_Main final : public QMainWindow {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TForm_Main)
public:
    // `api` is the bound device library; `libraryName` is what the window's
    // own reference to the library is taken by.
    TForm_Main(const pnv::TessalinApi &api, std::string libraryName, QWidget *parent = nullptr);
    ~TForm_Main() override;

    QString statusLine() const;
    // What the status line cannot say, told beside it by the status bar's
    // tool tip and accessible description: why the last Connect failed, as
    // far as this computer can tell, or what the last Configuration Write
    // leaves open: that it may have reached the encoder though its answer
    // was lost, and where the encoder answers after its restart (the name is
    // the older of its two jobs). Empty when nothing is left to explain.
    QString connectDiagnosis() const;

    // Asked before each Connect: whether the library first has to prepare
    // itself for some seconds (the Wine bridge making a new prefix for the
    // maker's DLL). While that Connect runs, a progress dialog says why.
    void setPreparationProbe(std::function<bool()> preparing) { m_preparing = std::move(preparing); }
    // Asked before Configuration Write gives the encoder a new Encoder IP:
    // whether something answers there already (by default the probe that
    // pnv3400ctl makes; a test hands its own).
    void setAddressInUseCheck(pnv::AddressInUse check) { m_addressInUse = std::move(check); }

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
    void showEvent(QShowEvent *event) override;

private:
    void setStatusLine(const QString &text);
    void finishLoading();
    void nameControlsForAccessibility();
    void attachHandlers();
    void applyPortRangeRule(QLineEdit *field);
    void fitToScreen(const QMargins &frame);
    void setConnectDiagnosis(const QString &text);

    std::unique_ptr<Ui::Form_Main> m_ui;

    // The controls, named as in the definition.
#define PNV_DECLARE_CONTROL(Class, name) Class *name = nullptr;
    PNV_FORM_MAIN_CONTROLS(PNV_DECLARE_CONTROL)
#undef PNV_DECLARE_CONTROL

    pnv::TessalinApi m_api;
    pnv::EncoderLink m_link{m_api};
    std::function<bool()> m_preparing;
    pnv::AddressInUse m_addressInUse = pnv::probeAddressInUse();
    // The address and port the last Configuration Read showed the encoder holding.
    std::optional<std::pair<std::uint32_t, std::uint16_t>> m_heldAddress;
    std::string m_libraryName;
    pnv::LibraryReference m_libraryReference;
    std::array<char, 16> ServerAddress{};
    QLabel *m_statusLine = nullptr;
    bool m_fittedWithRealFrame = false;
};
