#include "TForm_Main.h"

#include "ConfigRecords.h"
#include "ConnectDiagnosis.h"
#include "ErrorBox.h"
#include "IntConversion.h"
#include "KeyPressHook.h"
#include "PreparationNotice.h"
#include "SelectAllOnFocus.h"
#include "StatusTexts.h"
#include "WaitCursor.h"
#include "AddressRules.h"
#include "WriteChecks.h"
#include "EncoderResult.h"
#include "jIPByteEdit.h"
#include "jIPEdit.h"
#include "ui_Form_Main.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QLoggingCategory>
#include <QScreen>
#include <QScrollArea>
#include <QStackedWidget>
#include <QStyle>
#include <QTabBar>
#include <QWindow>

#include <algorithm>

// Off unless asked for (QT_LOGGING_RULES="pnv3400.statusline.info=true"):
// every status line as it is set, quoted so that its blanks show. Demos and
// tests under a real X server read the window's outcome from it.
Q_LOGGING_CATEGORY(lcStatusLine, "pnv3400.statusline", QtWarningMsg)

namespace {

constexpr QPoint kStoredPosition{226, 114};
constexpr QSize kClientSize{785, 836};
constexpr int kPortLimit = 65536;

// The buttons answer Enter themselves; outside a dialog Qt's push buttons
// would ignore it.
bool isPlainEnter(const QKeyEvent &event)
{
    const bool enter = event.key() == Qt::Key_Return || event.key() == Qt::Key_Enter;
    const auto held = event.modifiers() & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier);
    return enter && !held;
}

// "Label" and a number: the labels of the definition, not the ones the
// address controls and the status bar make for themselves. Matched by hand:
// a regular expression would load and compile PCRE2 at start for this alone.
bool isDefinitionLabel(const QString &name)
{
    const QLatin1String prefix("Label");
    if (name.size() <= prefix.size() || !name.startsWith(prefix))
        return false;
    return std::all_of(name.begin() + prefix.size(), name.end(), [](QChar c) { return pnv::isDecimalDigit(c); });
}

// Sizes the definition's labels under `parent` to their text, but for those
// that would stay hidden with `window` shown.
void sizeShownLabelsToText(const QWidget *parent, const QWidget *window)
{
    for (QLabel *label : parent->findChildren<QLabel *>())
        if (isDefinitionLabel(label->objectName()) && label->isVisibleTo(window))
            label->adjustSize();
}

} // namespace

TForm_Main::TForm_Main(const pnv::TessalinApi &api, std::string libraryName, QWidget *parent)
    : QMainWindow(parent), m_ui(std::make_unique<Ui::Form_Main>()), m_api(api), m_libraryName(std::move(libraryName))
{
    m_ui->setupUi(this);
#define PNV_TAKE_CONTROL(Class, name) name = m_ui->name;
    PNV_FORM_MAIN_CONTROLS(PNV_TAKE_CONTROL)
#undef PNV_TAKE_CONTROL
    finishLoading();
    attachHandlers();
    pnv::runHandler([this] { FormCreate(this); });
}

TForm_Main::~TForm_Main() = default;

// Everything the stored definition cannot say by itself, done once the
// controls carry their stored values and before any handler is attached.
void TForm_Main::finishLoading()
{
    nameControlsForAccessibility();
    // Each address control lays itself out, puts its octet fields right
    // behind itself in the stored tab order and names them after itself.
    for (jIPEdit *address : {jIPE_SourceIP, jIPE_Gateway, jIPE_SubnetMask, jIPE_ServerIP})
        address->Loaded();

    // The status bar shows one left-aligned text in the system's own font.
    SB_Main->setFont(QFont());
    m_statusLine = new QLabel(SB_Main);
    m_statusLine->setObjectName(QStringLiteral("StatusLine"));
    m_statusLine->setTextFormat(Qt::PlainText);
    SB_Main->addWidget(m_statusLine, 1);

    // The content keeps its place when the window shrinks: scroll bars appear
    // and only the status bar follows the frame.
    auto *scroll = new QScrollArea;
    scroll->setObjectName(QStringLiteral("ClientScroll"));
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(false);
    scroll->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    scroll->setFocusPolicy(Qt::NoFocus);
    scroll->setWidget(takeCentralWidget());
    setCentralWidget(scroll);

    // The tabs are reached by click and Ctrl+Tab, never by Tab. A click on a
    // page's background, a group box or a dot between two octets takes no
    // focus: Qt hands a click that lands on a widget without click focus to
    // the nearest parent that has it, so the page control itself takes none
    // and only a click on its tabs focuses it.
    PC_Main->tabBar()->setFocusPolicy(Qt::ClickFocus);
    PC_Main->setFocusPolicy(Qt::NoFocus);

    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                   | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    if (const qreal factor = displayScaleFactor(); !qFuzzyCompare(factor, 1.0))
        scaleContent(factor);
    // The definition's labels size themselves to their text. Those on a page
    // behind the front one do so as their page is first shown: the reset
    // page's lines are the window's longest texts, and most runs of the
    // program never show them.
    sizeShownLabelsToText(this, this);
    for (int i = 0; i < PC_Main->count(); ++i)
        if (i != PC_Main->currentIndex())
            PC_Main->widget(i)->installEventFilter(this);
    resize(kClientSize);
    move(kStoredPosition);
    // Until the window manager has framed the window its frame is unknown;
    // the style's title bar and border stand in for it.
    const int border = style()->pixelMetric(QStyle::PM_MdiSubWindowFrameWidth, nullptr, this);
    const int titleBar = style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, this);
    fitToScreen(QMargins(border, titleBar + border, border, border));
    jIPE_ServerIP->field(0)->setFocus();
}

// The stored place and size where they fit the available area (task bars
// excluded) of the screen the window opens on; else moved and shrunk until
// they do, the scroll bars reaching the rest. Sizes are in the screen's
// device-independent pixels, so a scale factor is taken into account.
void TForm_Main::fitToScreen(const QMargins &frame)
{
    const QRect outer(pos(), size().grownBy(frame));
    QScreen *screen = QGuiApplication::screenAt(outer.center());
    if (!screen)
        screen = windowHandle() ? windowHandle()->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->availableGeometry();
    if (area.contains(outer))
        return;
    const QSize room = area.size().shrunkBy(frame);
    QSize client = size().boundedTo(room);
    // A shortened window shows a vertical scroll bar; widened by it where the
    // screen has room, the content needs no horizontal one as well.
    if (client.height() < height())
        client.setWidth(std::min(width() + style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, this), room.width()));
    const QSize framed = client.grownBy(frame);
    const QPoint at(std::clamp(outer.left(), area.left(), area.right() + 1 - framed.width()),
                    std::clamp(outer.top(), area.top(), area.bottom() + 1 - framed.height()));
    resize(client);
    move(at);
}

void TForm_Main::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    // Once a window manager has told the real frame, the window is fitted by
    // it, once: later moves are the user's.
    if (m_fittedWithRealFrame || !windowHandle())
        return;
    if (const QMargins frame = windowHandle()->frameMargins(); !frame.isNull()) {
        m_fittedWithRealFrame = true;
        fitToScreen(frame);
    }
}

// What a screen reader says of each control: its caption, without the
// blanks that pad it on screen. Two fields are captioned "Encoder IP"; their
// descriptions tell them apart.
void TForm_Main::nameControlsForAccessibility()
{
    // The configuration's own fields take their captions from its one definition.
    const auto caption = [](pnv::ConfigField field) { return pnv::fieldDefinition(field).caption; };
    const struct {
        QWidget *control;
        const char *name;
        const char *description;
    } names[] = {
        {jIPE_ServerIP, "Encoder IP", "Address of the encoder to connect to"},
        {Edit_ServerPort, "Port", "Port of the encoder to connect to"},
        {ME_SourceMAC, caption(pnv::ConfigField::Mac), "The encoder's MAC address, as read"},
        {jIPE_SourceIP, caption(pnv::ConfigField::Ip), "The encoder's own address, as read and written"},
        {Edit_SourcePort, caption(pnv::ConfigField::Port), "The encoder's own port, as read and written"},
        {jIPE_SubnetMask, caption(pnv::ConfigField::Mask), "The encoder's subnet mask, as read and written"},
        {jIPE_Gateway, caption(pnv::ConfigField::Gateway), "The encoder's default gateway, as read and written"},
        {BT_Exit, "Exit", "Disconnect, close the device library and quit"},
    };
    for (const auto &[control, name, description] : names) {
        control->setAccessibleName(QString::fromLatin1(name));
        control->setAccessibleDescription(QString::fromLatin1(description));
    }
}

qreal TForm_Main::displayScaleFactor() const
{
    const QFont base = font();
    QFont at96 = base;
    at96.setPixelSize(qRound(base.pointSizeF() * 96.0 / 72.0));
    const qreal designHeight = QFontMetricsF(at96).height();
    const qreal here = QFontMetricsF(base, this).height();
    return designHeight > 0 ? here / designHeight : 1.0;
}

namespace {

// Controls of the definition carry names; Qt's own inner widgets are named
// "qt_..." and the address controls lay out their own parts.
void scaleChildren(QWidget *parent, qreal factor)
{
    const auto scaled = [factor](int v) { return qRound(v * factor); };
    for (QWidget *child : parent->findChildren<QWidget *>(Qt::FindDirectChildrenOnly)) {
        const QString name = child->objectName();
        if (name.isEmpty() || (name.startsWith(QLatin1String("qt_")) && !qobject_cast<QStackedWidget *>(child)))
            continue;
        if (!qobject_cast<QStackedWidget *>(parent) && !qobject_cast<QStackedWidget *>(child)) {
            const QRect g = child->geometry();
            child->setGeometry(scaled(g.x()), scaled(g.y()), scaled(g.width()), scaled(g.height()));
        }
        if (!qobject_cast<jIPEdit *>(child))
            scaleChildren(child, factor);
    }
}

} // namespace

void TForm_Main::scaleContent(qreal factor)
{
    QWidget *client = findChild<QWidget *>(QStringLiteral("ClientArea"));
    const QSize size(qRound(client->width() * factor), qRound(client->height() * factor));
    client->setFixedSize(size);
    scaleChildren(client, factor);
}

void TForm_Main::attachHandlers()
{
    using Handler = void (TForm_Main::*)(QObject *);
    const auto wire = [this](auto *control, auto signal, Handler handler) {
        connect(control, signal, this, [this, control, handler] {
            pnv::runHandler([&] { (this->*handler)(control); });
        });
    };
    wire(jIPE_ServerIP, &jIPEdit::OnChange, &TForm_Main::jIPE_ServerIPChange);
    wire(Edit_ServerPort, &QLineEdit::textChanged, &TForm_Main::Edit_ServerPortChange);
    wire(BT_SConnect, &QPushButton::clicked, &TForm_Main::BT_SConnectClick);
    wire(BT_SDisconnect, &QPushButton::clicked, &TForm_Main::BT_SDisconnectClick);
    wire(BT_Exit, &QPushButton::clicked, &TForm_Main::BT_ExitClick);
    wire(Edit_SourcePort, &QLineEdit::textChanged, &TForm_Main::Edit_SourcePortChange);
    wire(BT_ConfigRead, &QPushButton::clicked, &TForm_Main::BT_ConfigReadClick);
    wire(BT_ConfigWrite, &QPushButton::clicked, &TForm_Main::BT_ConfigWriteClick);

    const auto portFilter = [this](QObject *sender, QChar &key) {
        pnv::runHandler([&] { Edit_ServerPortKeyPress(sender, key); });
    };
    new pnv::KeyPressHook(Edit_ServerPort, portFilter);
    new pnv::KeyPressHook(Edit_SourcePort, portFilter);
    new pnv::KeyPressHook(ME_SourceMAC, [this](QObject *sender, QChar &key) {
        pnv::runHandler([&] { ME_Authentication1KEYKeyPress(sender, key); });
    });

    for (QLineEdit *field : {Edit_ServerPort, Edit_SourcePort, ME_SourceMAC})
        new pnv::SelectAllOnFocus(field);
    for (QPushButton *button : {BT_SConnect, BT_SDisconnect, BT_Exit, BT_ConfigRead, BT_ConfigWrite})
        button->installEventFilter(this);
}

bool TForm_Main::eventFilter(QObject *watched, QEvent *event)
{
    // A page behind the front one, shown for the first time.
    if (auto *page = qobject_cast<QWidget *>(watched); event->type() == QEvent::Show && PC_Main->indexOf(page) >= 0) {
        page->removeEventFilter(this);
        sizeShownLabelsToText(page, this);
        return false;
    }
    // One of the buttons.
    if (auto *button = qobject_cast<QPushButton *>(watched); button && event->type() == QEvent::KeyPress) {
        const auto &key = *static_cast<QKeyEvent *>(event);
        if (key.key() == Qt::Key_Return || key.key() == Qt::Key_Enter) {
            if (isPlainEnter(key))
                button->click();
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void TForm_Main::closeEvent(QCloseEvent *event)
{
    pnv::runHandler([this] { FormClose(this); });
    event->accept();
}

QString TForm_Main::statusLine() const { return m_statusLine->text(); }

QString TForm_Main::connectDiagnosis() const { return SB_Main->toolTip(); }

void TForm_Main::setConnectDiagnosis(const QString &text)
{
    // What the Wine bridge knows of the last call's failure (a crash, the
    // DLL's end, the hang guard) comes first: the status texts cannot say it.
    const QString bridge = QString::fromStdString(pnv::TessalinLibrary::lastFailure().text);
    const QString shown = bridge.isEmpty() ? text : text.isEmpty() ? bridge : bridge + u'\n' + text;
    for (QWidget *holder : {static_cast<QWidget *>(SB_Main), static_cast<QWidget *>(m_statusLine)}) {
        holder->setToolTip(shown);
        holder->setAccessibleDescription(shown);
    }
}

void TForm_Main::setStatusLine(const QString &text)
{
    if (!text.isEmpty() && !pnv::TessalinLibrary::lastFailure().text.empty())
        setConnectDiagnosis(QString());
    m_statusLine->setText(text);
    qCInfo(lcStatusLine).noquote() << '"' + text + '"';
}

// --- Link ---------------------------------------------------------------

void TForm_Main::FormCreate(QObject *)
{
    m_libraryReference.acquire(m_libraryName);
    jIPE_ServerIPChange(jIPE_ServerIP);
    ME_SourceMAC->setText(QStringLiteral("00 - 00 - 00 - 00 - 00 - 00"));
    jIPE_SourceIP->setText(QStringLiteral("0.0.0.0"));
    Edit_SourcePort->setText(QStringLiteral("0"));
    jIPE_SubnetMask->setText(QStringLiteral("0.0.0.0"));
    jIPE_Gateway->setText(QStringLiteral("0.0.0.0"));
}

void TForm_Main::FormClose(QObject *)
{
    m_libraryReference.release();
}

// The address text is at most 15 characters when typed; the copy is cut at
// 15 bytes all the same, so the library always finds a terminating NUL.
void TForm_Main::jIPE_ServerIPChange(QObject *)
{
    const QByteArray text = jIPE_ServerIP->Text().toLatin1();
    ServerAddress.fill('\0');
    std::copy_n(text.constData(), std::min<qsizetype>(text.size(), ServerAddress.size() - 1), ServerAddress.begin());
}

void TForm_Main::BT_SConnectClick(QObject *)
{
    const std::int32_t port = pnv::strToInt(Edit_ServerPort->text());
    const bool preparing = m_preparing && m_preparing();
    if (preparing)
        pnv::preparationStarted(tr("Setting up Wine for the maker's device library for the first time.\n"
                                   "This takes some seconds, once."));
    const std::int32_t result =
        pnv::whileWaiting([&] { return m_link.connect(ServerAddress.data(), port); });
    if (preparing)
        pnv::preparationEnded();
    const auto code = static_cast<std::uint8_t>(result & 0xFF);
    if (const auto text = pnv::statusText(pnv::kConnectStatus, code))
        setStatusLine(*text);
    const bool failed = code != pnv::erSuccess && code != pnv::erAlreadyConnected && pnv::statusText(pnv::kConnectStatus, code).has_value();
    setConnectDiagnosis(failed ? pnv::connectDiagnosis(QString::fromLatin1(ServerAddress.data()), port) : QString());
}

void TForm_Main::BT_SDisconnectClick(QObject *)
{
    pnv::whileWaiting([this] { m_link.disconnect(); });
    setStatusLine(QString::fromLatin1(pnv::kDisconnectStatus));
}

void TForm_Main::BT_ExitClick(QObject *)
{
    pnv::whileWaiting([this] {
        m_link.disconnect();
        m_link.closeLibrary();
    });
    close();
}

// --- Configuration ------------------------------------------------------

void TForm_Main::BT_ConfigReadClick(QObject *)
{
    setStatusLine(QString());
    const pnv::ReadAnswer answer = pnv::whileWaiting([this] { return m_link.read(); });
    if (answer.hasStatus()) {
        setStatusLine(pnv::statusText(pnv::kReadStatus, answer.status()).value_or(QString()));
        return;
    }
    if (!answer.hasReply()) {
        setStatusLine(QString::fromLatin1(pnv::kReadStatus[pnv::erReceiveError]));
        return;
    }
    const auto reply = pnv::TConfigReply::decode(answer.buffer.data());
    // What the encoder holds, as numbers: a write that keeps it moves nothing.
    m_heldAddress = std::pair(pnv::addressAt(answer.buffer.data(), pnv::fieldDefinition(pnv::ConfigField::Ip).replyOffset),
                              pnv::portAt(answer.buffer.data(), pnv::fieldDefinition(pnv::ConfigField::Port).replyOffset));
    ME_SourceMAC->setText(reply.mac);
    jIPE_SourceIP->setText(reply.encoderIp);
    Edit_SourcePort->setText(reply.port);
    jIPE_Gateway->setText(reply.gateway);
    jIPE_SubnetMask->setText(reply.subnetMask);
    setStatusLine(QString::fromLatin1(pnv::kReadStatus[pnv::erSuccess]));
}

void TForm_Main::BT_ConfigWriteClick(QObject *)
{
    setStatusLine(QString());
    const pnv::TConfigRequest request{jIPE_SourceIP->Text(), Edit_SourcePort->text(), jIPE_Gateway->Text(),
                                      jIPE_SubnetMask->Text()};
    const pnv::ConfigRequestBytes bytes = request.encode();
    // Nothing the user has not seen, and nothing the address rules refuse,
    // reaches the encoder.
    QStringList refused = pnv::octetRangeRefusals({{jIPE_SourceIP->accessibleName(), jIPE_SourceIP},
                                                   {jIPE_Gateway->accessibleName(), jIPE_Gateway},
                                                   {jIPE_SubnetMask->accessibleName(), jIPE_SubnetMask}});
    refused << pnv::portRangeRefusals(Edit_SourcePort->accessibleName(), pnv::strToInt(Edit_SourcePort->text()));
    if (!refused.isEmpty()) {
        // The box shows the numbers as typed; from now on the fields hold
        // what the user has seen.
        for (jIPEdit *address : {jIPE_SourceIP, jIPE_Gateway, jIPE_SubnetMask})
            address->forgetWrappedAsTyped();
        throw pnv::AppError(refused.join(QLatin1Char('\n')));
    }
    // The encoder answers where the window reached it until it restarts; a
    // new Encoder IP must be free, and not promised to another encoder, or
    // two devices would share it then and neither would be reachable.
    pnv::EncoderPlace place;
    place.reachedIp = pnv::net::parseDotted(QString::fromLatin1(ServerAddress.data())).value_or(0);
    place.reachedPort = pnv::net::parsePort(Edit_ServerPort->text()).value_or(0);
    place.held = m_heldAddress;
    QStringList broken = pnv::ruleRefusals(bytes);
    if (broken.isEmpty())
        broken = pnv::whileWaiting([&] {
            return pnv::takenAddressRefusals(jIPE_SourceIP->accessibleName(), bytes, place, ME_SourceMAC->text(),
                                             m_addressInUse);
        });
    if (!broken.isEmpty())
        throw pnv::AppError(pnv::refusalMessage(broken));
    const pnv::WriteResult written = pnv::whileWaiting([&] { return m_link.write(bytes); });
    if (written.hasStatus()) {
        if (const auto text = pnv::statusText(pnv::kWriteStatus, written.status))
            setStatusLine(*text);
    }
    // The status line says what the library said; a lost answer says nothing
    // of what the encoder holds, and the technician must not read it as "not written".
    const bool lost = written.answer() == pnv::WriteAnswer::Lost || written.answer() == pnv::WriteAnswer::Hung;
    QString note = lost ? QString::fromLatin1(pnv::kWriteAnswerLostNote) : QString();
    // A new address or port that the encoder took, or may have taken, is
    // where the technician must connect next, once it has restarted.
    if (lost || written.answer() == pnv::WriteAnswer::Acknowledged)
        if (const QString move = pnv::rememberMove(bytes, place, ME_SourceMAC->text()); !move.isEmpty())
            note = note.isEmpty() ? move : note + QLatin1Char(' ') + move;
    setConnectDiagnosis(note);
}

// --- Field rules --------------------------------------------------------

void TForm_Main::Edit_ServerPortKeyPress(QObject *, QChar &Key)
{
    const bool passes = Key == QChar(8) || pnv::isDecimalDigit(Key);
    if (!passes)
        Key = QChar();
}

void TForm_Main::ME_Authentication1KEYKeyPress(QObject *, QChar &Key)
{
    const char16_t c = Key.unicode();
    const bool passes = c == 8 || pnv::isDecimalDigit(Key) || (c >= u'A' && c <= u'F') || (c >= u'a' && c <= u'f');
    if (!passes)
        Key = QChar();
}

void TForm_Main::Edit_ServerPortChange(QObject *) { applyPortRangeRule(Edit_ServerPort); }

void TForm_Main::Edit_SourcePortChange(QObject *) { applyPortRangeRule(Edit_SourcePort); }

// Clearing and setting each notify a change again; neither trips the rule.
void TForm_Main::applyPortRangeRule(QLineEdit *field)
{
    if (field->text().isEmpty())
        return;
    if (pnv::strToInt(field->text()) >= kPortLimit) {
        field->clear();
        field->setText(QStringLiteral("65535"));
    }
}
