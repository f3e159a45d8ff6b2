// The main form: its controls from the template IDD_MAILER_DIALOG, the data exchange with the mail
// core's members, the file chooser, and the front ends of the send command and of the attachment
// worker. Widgets are created with their parent, which owns and deletes them (Qt's ownership).
#include "ui/mailer_dlg.h"

#include "mail/words/catalogue.h"
#include "mail/words/gbk.h"
#include "mail/words/notice.h"
#include "res/images.h"
#include "res/resource.h"
#include "ui/file_drop.h"
#include "ui/status_line.h"
#include "ui/text.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QScopedValueRollback>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace {

// The template's client area in dialog units.
constexpr QSize kClientSize(280, 234);

// Labels and the picture have no id of their own (IDC_STATIC).
constexpr int IDC_STATIC = -1;

// The banner bitmap IDB_BANNER: its size in pixels at a device pixel ratio of 1.
constexpr QSize kBannerSize(191, 103);

// Often enough that a long send never looks frozen, seldom enough to cost nothing.
constexpr std::chrono::milliseconds kProgressInterval(250);

// Sets the application's override cursor for as long as it lives.
class OverrideCursor {
public:
    explicit OverrideCursor(Qt::CursorShape shape) { QApplication::setOverrideCursor(shape); }
    ~OverrideCursor() { QApplication::restoreOverrideCursor(); }
    OverrideCursor(const OverrideCursor&) = delete;
    OverrideCursor& operator=(const OverrideCursor&) = delete;
};

// The code-page-936 or GB18030 bytes of a text from the form, or nothing if that character set
// cannot represent every character of it exactly.
using Encoder = std::optional<std::string> (*)(std::string_view utf8);
using Decoder = std::optional<std::string> (*)(std::string_view bytes);

std::optional<std::string> Encode(Encoder encode, const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    return encode(std::string_view(utf8.constData(), static_cast<size_t>(utf8.size())));
}

std::optional<QString> Decode(Decoder decode, std::string_view bytes) {
    const auto utf8 = decode(bytes);
    if (!utf8)
        return std::nullopt;
    return ui::Utf8(*utf8);
}

// A path as the file system's own bytes.
std::string FileSystemBytes(const QString& path) {
    const QByteArray bytes = QFile::encodeName(path);
    return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

// A size as the status line gives it: one decimal, none where it would be zero ("50 MB"), in
// the binary units the size refusal uses.
QString SizeText(double bytes) {
    static const char* const units[] = {"B", "KB", "MB", "GB"};
    std::size_t unit = 0;
    while (bytes >= 1024 && unit + 1 < std::size(units)) {
        bytes /= 1024;
        ++unit;
    }
    QString number = QString::number(bytes, 'f', unit == 0 ? 0 : 1);
    if (number.endsWith(QStringLiteral(".0")))
        number.chop(2);
    return number + QLatin1Char(' ') + QLatin1String(units[unit]);
}

void SetIfChanged(QLineEdit* edit, const QString& text) {
    // Writing the same text would move the caret and drop the undo history for nothing.
    if (edit->text() != text)
        edit->setText(text);
}

} // namespace

CMailerDlg::CMailerDlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
    setWindowTitle(ui::Words(mail::Word::Caption));
    setFont(ui::DialogFont());
    m_baseUnits = ui::MeasureBaseUnits(font());

    // The menu bar on top and the client area below it at the template's size; the fixed-size
    // constraint makes the frame fit them and keeps the user from resizing it.
    auto* frame = new QVBoxLayout(this);
    frame->setContentsMargins(0, 0, 0, 0);
    frame->setSpacing(0);
    frame->setSizeConstraint(QLayout::SetFixedSize);
    CreateMenuBar();
    m_menuBar->setNativeMenuBar(false); // part of the window, as the template has it
    frame->setMenuBar(m_menuBar);
    m_client = new QWidget(this);
    m_client->setObjectName(QStringLiteral("client"));
    m_client->setFixedSize(ui::DluToPixels(kClientSize, m_baseUnits));
    frame->addWidget(m_client);
    // Below the client area, as wide as it: the template's controls keep their places.
    m_status = new ui::StatusLine(this);
    m_status->setFixedWidth(m_client->width());
    m_status->setMinimumHeight(ui::DluToPixels(QRect(0, 0, 1, 12), m_baseUnits).height());
    frame->addWidget(m_status);

    CreateControls();

    m_draft = std::make_unique<ui::DraftKeeper>(ui::Draft(), [this] { return DraftShown(); });
    for (QLineEdit* field : {m_editRecipient, m_editSubject, m_editAttachPath})
        connect(field, &QLineEdit::textChanged, m_draft.get(), &ui::DraftKeeper::Changed);
    connect(m_editBody, &QPlainTextEdit::textChanged, m_draft.get(), &ui::DraftKeeper::Changed);
    setAcceptDrops(true);

    m_progressTimer = new QTimer(this);
    m_progressTimer->setInterval(kProgressInterval);
    connect(m_progressTimer, &QTimer::timeout, this, &CMailerDlg::UpdateProgress);

    OnInitDialog();
}

CMailerDlg::~CMailerDlg() {
    // While the fields still exist: the typed mail outlives the program.
    m_draft->Flush();
}

// The sixteen controls of IDD_MAILER_DIALOG in template order, which is also the tab order.
void CMailerDlg::CreateControls() {
    const auto place = [this](QWidget* control, int id, const char* name, QRect units) {
        control->setObjectName(QString::fromLatin1(name));
        control->setProperty("controlId", id);
        control->setGeometry(ui::DluToPixels(units, m_baseUnits));
    };
    const auto label = [&](const QString& text, const char* name, QRect units) {
        auto* control = new QLabel(text, m_client);
        control->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        place(control, IDC_STATIC, name, units);
        return control;
    };
    const auto edit = [&](int id, const char* name, QRect units) {
        auto* control = new QLineEdit(m_client);
        place(control, id, name, units);
        return control;
    };
    const auto button = [&](const QString& text, int id, const char* name, QRect units) {
        auto* control = new QPushButton(text, m_client);
        control->setAutoDefault(true); // Enter on a focused button presses it
        place(control, id, name, units);
        return control;
    };

    m_btnSend = button(ui::Words(mail::Word::SendButton), IDOK, "IDOK", {15, 213, 50, 14});
    m_btnSend->setDefault(true); // Enter in any field presses it
    m_btnExit = button(ui::Words(mail::Word::ExitButton), IDCANCEL, "IDCANCEL", {79, 213, 50, 14});
    QLabel* const labelUser =
        label(ui::Words(mail::Word::UserLabel), "labelUser", {13, 10, 29, 10});
    QLabel* const labelPassword =
        label(ui::Words(mail::Word::PasswordLabel), "labelPassword", {13, 32, 23, 10});
    m_editUser = edit(IDC_USER, "IDC_USER", {47, 5, 88, 16});
    m_editPassword = edit(IDC_PASSWORD, "IDC_PASSWORD", {47, 31, 88, 16}); // shown in clear
    QLabel* const labelRecipient =
        label(ui::Words(mail::Word::RecipientLabel), "labelRecipient", {13, 55, 29, 10});
    m_editRecipient = edit(IDC_RECIPIENT, "IDC_RECIPIENT", {47, 52, 88, 16});
    QLabel* const labelSubject =
        label(ui::Words(mail::Word::SubjectLabel), "labelSubject", {13, 80, 29, 10});
    m_editSubject = edit(IDC_SUBJECT, "IDC_SUBJECT", {47, 76, 88, 16});
    QLabel* const labelBody =
        label(ui::Words(mail::Word::BodyLabel), "labelBody", {13, 100, 29, 10});

    // Multi-line, a vertical scroll bar, no wrapping: long lines scroll sideways. Tab moves on and
    // Enter presses the send button (eventFilter); Ctrl+Enter breaks the line.
    m_editBody = new QPlainTextEdit(m_client);
    m_editBody->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_editBody->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_editBody->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_editBody->setTabChangesFocus(true);
    m_editBody->installEventFilter(this);
    place(m_editBody, IDC_BODY, "IDC_BODY", {14, 110, 251, 77});

    // The picture control shows the bitmap at its own size from the template's top left, in the
    // rendering made for the screen's pixel ratio. A screen reader hears what it shows.
    auto* banner = new QLabel(m_client);
    place(banner, IDC_STATIC, "IDB_BANNER", {142, 13, 127, 69});
    const QPixmap bitmap = res::LoadBanner().pixmap(kBannerSize, banner->devicePixelRatio());
    banner->setPixmap(bitmap);
    if (!bitmap.isNull())
        banner->resize(bitmap.deviceIndependentSize().toSize());
    banner->setAccessibleName(ui::Words(mail::Word::Caption));
    banner->setAccessibleDescription(ui::Words(mail::Word::BannerDescription));

    m_editAttachPath = edit(IDC_ATTACH_PATH, "IDC_ATTACH_PATH", {79, 191, 108, 16});
    m_btnAttach =
        button(ui::Words(mail::Word::AttachButton), IDC_ATTACH, "IDC_ATTACH", {15, 192, 50, 14});
    m_ctlBlank = new QLabel(m_client);
    m_ctlBlank->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    place(m_ctlBlank, IDC_BLANK, "IDC_BLANK", {209, 198, 54, 25});

    // Additions after the template's controls, in free space: beneath the banner, and between the
    // exit button and IDC_BLANK. No ids: nothing addresses them by one.
    m_chkRemember = new QCheckBox(ui::Words(mail::Word::RememberAccount), m_client);
    place(m_chkRemember, IDC_STATIC, "rememberAccount", {142, 88, 126, 10});
    m_btnCancelSend =
        button(ui::Words(mail::Word::CancelSend), IDC_STATIC, "cancelSend", {137, 213, 50, 14});
    m_btnCancelSend->setEnabled(false); // only while a send is in flight

    // A screen reader names each field after its label (Qt takes the label whose buddy the field
    // is); the labels have no '&', so no access key comes with it. The template gives the path
    // field no label: it is named for itself, apart from the attachment button beside it.
    labelUser->setBuddy(m_editUser);
    labelPassword->setBuddy(m_editPassword);
    labelRecipient->setBuddy(m_editRecipient);
    labelSubject->setBuddy(m_editSubject);
    labelBody->setBuddy(m_editBody);
    m_editAttachPath->setAccessibleName(ui::Words(mail::Word::AttachPathName));

    // Text fields would take a dragged file's URL as text: the form takes it (eventFilter).
    for (QWidget* field :
         std::initializer_list<QWidget*>{m_editUser, m_editPassword, m_editRecipient, m_editSubject,
                                         m_editAttachPath, m_editBody->viewport()})
        field->installEventFilter(this);

    // The additions come last, so the way through the template's controls stays as it was.
    QWidget* const tabOrder[] = {m_btnSend,       m_btnExit,     m_editUser,     m_editPassword,
                                 m_editRecipient, m_editSubject, m_editBody,     m_editAttachPath,
                                 m_btnAttach,     m_chkRemember, m_btnCancelSend};
    for (std::size_t i = 1; i < std::size(tabOrder); ++i)
        QWidget::setTabOrder(tabOrder[i - 1], tabOrder[i]);

    connect(m_btnSend, &QPushButton::clicked, this, [this] { OnOK(); });
    connect(m_btnExit, &QPushButton::clicked, this, [this] { reject(); });
    connect(m_btnAttach, &QPushButton::clicked, this, [this] { OnBrowse(); });
    connect(m_btnCancelSend, &QPushButton::clicked, this, [this] { OnCancelSend(); });
    connect(m_chkRemember, &QCheckBox::clicked, this, &CMailerDlg::OnRememberToggled);
}

bool CMailerDlg::OnInitDialog() {
    DoDataExchange(false);
    setWindowIcon(m_hIcon);
    m_btnSend->setFocus(Qt::OtherFocusReason);
    return true;
}

bool CMailerDlg::DoDataExchange(bool save) {
    // IDC_BLANK is bound as the control m_ctlBlank, attached when the controls were made. The
    // strings follow in the template's exchange order. The account fields are code page 936, what
    // a server takes in an address and a login; the subject GB18030, which holds every character.
    struct Line {
        QLineEdit* edit;
        std::string* member;
        Encoder encode;
        Decoder decode;
    };
    const Line lines[] = {
        {m_editPassword, &m_form.m_strPassword, mail::Utf8ToGbk, mail::GbkToUtf8},
        {m_editUser, &m_form.m_strUser, mail::Utf8ToGbk, mail::GbkToUtf8},
        {m_editSubject, &m_form.m_strSubject, mail::Utf8ToGb18030, mail::Gb18030ToUtf8},
        {m_editRecipient, &m_form.m_strRecipient, mail::Utf8ToGbk, mail::GbkToUtf8},
    };
    if (save) {
        // All or nothing: a refused field leaves every member as it was.
        std::optional<std::string> texts[std::size(lines)];
        for (std::size_t i = 0; i < std::size(lines); ++i)
            if (!(texts[i] = Encode(lines[i].encode, lines[i].edit->text())))
                return false;
        QString body = m_editBody->toPlainText(); // line breaks as LF
        body.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
        auto bodyText = Encode(mail::Utf8ToGb18030, body);
        if (!bodyText)
            return false;
        for (std::size_t i = 0; i < std::size(lines); ++i)
            *lines[i].member = std::move(*texts[i]);
        m_form.m_strBody = std::move(*bodyText);
        return true;
    }

    bool loaded = true;
    for (const Line& line : lines) {
        if (const auto text = Decode(line.decode, *line.member))
            SetIfChanged(line.edit, *text);
        else
            loaded = false;
    }
    if (auto body = Decode(mail::Gb18030ToUtf8, m_form.m_strBody)) {
        body->replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        if (m_editBody->toPlainText() != *body)
            m_editBody->setPlainText(*body);
    } else {
        loaded = false;
    }
    return loaded;
}

bool CMailerDlg::LoadFormValues(const mail::Form& form) {
    m_form = form;
    return DoDataExchange(false);
}

void CMailerDlg::OnOK() {
    // A message box of the command runs an event loop of its own; nothing may start a second
    // command from there.
    if (m_inSendCommand)
        return;
    m_cancelRequested = false;
    {
        const QScopedValueRollback inCommand(m_inSendCommand, true);
        m_btnCancelSend->setEnabled(true);
        const auto disable = qScopeGuard([this] { m_btnCancelSend->setEnabled(false); });
        const OverrideCursor wait(Qt::WaitCursor);
        // The command's waits run every event (WhileWaiting); this filter keeps the form's own
        // input from starting another handler in the middle of the command.
        qApp->installEventFilter(this);
        const auto uninstall = qScopeGuard([this] { qApp->removeEventFilter(this); });
        if (DoDataExchange(true)) {
            // The path is no text to convert: the file system takes it as its own bytes.
            m_form.m_strAttachPath = FileSystemBytes(m_editAttachPath->text());
            m_mailer.OnOK(m_form);
        } else {
            RefuseUnsendable();
        }
    }
    if (m_cancelRequested)
        ShowStatus(ui::Words(mail::Word::StatusCancelled));
    if (m_mailer.IsSending()) {
        m_btnCancelSend->setEnabled(true);
        m_uploadClock.start();
        m_uploadShown = true;
        UpdateProgress();
        m_progressTimer->start();
    }
    if (m_rejectPending) {
        m_rejectPending = false;
        reject();
    }
}

void CMailerDlg::OnCancelSend() {
    if (m_inSendCommand) {
        // The command returns at once, without a box; OnOK then says so.
        m_cancelRequested = true;
        m_mailer.AbortSendCommand();
        return;
    }
    if (m_mailer.IsSending()) {
        m_mailer.AbortAttachmentWorker();
        ClearProgress();
        ShowStatus(ui::Words(mail::Word::StatusCancelled));
    }
}

void CMailerDlg::RestoreSaved() {
    if (const auto draft = m_draft->File().Load(); draft && !draft->IsEmpty()) {
        m_editRecipient->setText(draft->recipient);
        m_editSubject->setText(draft->subject);
        m_editBody->setPlainText(draft->body);
        m_editAttachPath->setText(draft->path);
        m_draft->Settle();
        ShowStatus(ui::Words(mail::Word::StatusDraftRestored));
    }
    m_accounts->Load([this](ui::AccountStore::Remembered remembered) {
        using Result = ui::AccountStore::Result;
        if (remembered.result == Result::Unavailable)
            TellNoKeyring();
        if (remembered.result != Result::Ok) {
            // Half of it (a name whose password is gone) is worth nothing; keep nothing.
            if (!remembered.account.isEmpty())
                m_accounts->Forget([](Result) {});
            return;
        }
        // What the user has typed meanwhile stays.
        if (m_editUser->text().isEmpty() && m_editPassword->text().isEmpty()) {
            m_editUser->setText(remembered.account);
            m_editPassword->setText(remembered.password);
        }
        m_chkRemember->setChecked(true);
    });
}

void CMailerDlg::OnRememberToggled(bool checked) {
    using Result = ui::AccountStore::Result;
    if (!checked) {
        m_accounts->Forget([](Result) {});
        return;
    }
    // Nothing is kept before a login succeeds; but the user learns now if nothing could be.
    m_accounts->Probe([this](Result result) {
        if (result == Result::Unavailable)
            TellNoKeyring();
    });
}

void CMailerDlg::TellNoKeyring() {
    if (m_toldNoKeyring)
        return;
    m_toldNoKeyring = true;
    ShowStatus(ui::Words(mail::Word::StatusNoKeyring));
}

void CMailerDlg::ShowStatus(const QString& text) {
    m_status->Show(text);
}

ui::DraftText CMailerDlg::DraftShown() const {
    return {m_editRecipient->text(), m_editSubject->text(), m_editBody->toPlainText(),
            m_editAttachPath->text()};
}

void CMailerDlg::OnBrowse() {
    // A field that cannot be saved (a character its character set lacks) is not loaded back either,
    // so the round trip leaves every field as typed.
    const bool saved = DoDataExchange(true);

    QFileDialog chooser(this);
    chooser.setAcceptMode(QFileDialog::AcceptOpen);
    chooser.setFileMode(QFileDialog::ExistingFile);
    chooser.setNameFilter(ui::Words(mail::Word::AttachmentFilter));
    chooser.setDefaultSuffix(QStringLiteral("zip"));
    // Qt's own chooser on every desktop: its filter matches "*.zip" in any letter case, which a
    // desktop's native chooser need not do. It has no read-only check box to hide.
    chooser.setOption(QFileDialog::DontUseNativeDialog);
    const int result = m_chooserRun ? m_chooserRun(chooser) : chooser.exec();
    if (result == QDialog::Accepted) {
        const QString path = chooser.selectedFiles().value(0);
        if (!path.isEmpty())
            m_editAttachPath->setText(QDir::toNativeSeparators(path));
    }

    if (saved)
        DoDataExchange(false);
}

void CMailerDlg::MessageBox(const QString& text, BoxIcon icon, const QString& detail,
                            const QString& hint) {
    QMessageBox box(icon == BoxIcon::Information ? QMessageBox::Information : QMessageBox::Warning,
                    ui::Words(mail::Word::Caption), text, QMessageBox::Ok, this);
    if (!hint.isEmpty())
        box.setInformativeText(hint);
    if (!detail.isEmpty())
        box.setDetailedText(detail);
    // An arrow over the box, even while the send command shows its wait cursor.
    std::optional<OverrideCursor> arrow;
    if (QApplication::overrideCursor())
        arrow.emplace(Qt::ArrowCursor);
    const QScopedValueRollback open(m_openBox, QPointer<QMessageBox>(&box));
    box.exec();
}

void CMailerDlg::CloseMessage() {
    if (m_openBox)
        m_openBox->reject();
}

bool CMailerDlg::AskToQuit(mail::Msg id) {
    QMessageBox box(QMessageBox::Question, ui::Words(mail::Word::Caption), ui::Words(id),
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setDefaultButton(QMessageBox::No);
    std::optional<OverrideCursor> arrow;
    if (QApplication::overrideCursor())
        arrow.emplace(Qt::ArrowCursor);
    return box.exec() == QMessageBox::Yes;
}

void CMailerDlg::ShowMessage(const mail::Notice& notice) {
    const QString text = ui::Utf8(mail::NoticeText(notice));
    // The refusal of a second send leaves the running upload's progress where it is.
    if (notice.id != mail::Msg::AttachmentBusy) {
        m_uploadShown = false;
        const bool sent = notice.id == mail::Msg::SentOk;
        ShowStatus(sent ? ui::Words(mail::Word::StatusSent) : text);
        if (sent)
            m_draft->Discard();
    }
    // The hint under the text, in sight; the details keep the server's own words.
    MessageBox(text, BoxIcon::Warning, ui::Utf8(mail::NoticeReply(notice)),
               ui::Utf8(mail::NoticeHint(notice)));
    // The field to mend has the focus when the box has gone.
    if (notice.id == mail::Msg::RecipientNotOneAddress)
        m_editRecipient->setFocus(Qt::OtherFocusReason);
    else if (notice.id == mail::Msg::AccountNotLocalPart)
        m_editUser->setFocus(Qt::OtherFocusReason);
}

void CMailerDlg::OnStage(mail::Stage stage) {
    switch (stage) {
    case mail::Stage::Connecting:
        ShowStatus(ui::Words(mail::Word::StatusConnecting));
        break;
    case mail::Stage::LoggingIn:
        ShowStatus(ui::Words(mail::Word::StatusLoggingIn));
        break;
    case mail::Stage::Sending:
        ShowStatus(ui::Words(mail::Word::StatusSending));
        // The login has succeeded: the account and password are worth keeping.
        if (m_chkRemember->isChecked())
            m_accounts->Remember(m_editUser->text(), m_editPassword->text(),
                                 [this](ui::AccountStore::Result result) {
                                     if (result == ui::AccountStore::Result::Unavailable)
                                         TellNoKeyring();
                                 });
        break;
    }
}

void CMailerDlg::RefuseUnsendable() {
    mail::Notice notice;
    notice.id = mail::Msg::UnsendableCharacter;
    ShowMessage(notice);
}

void CMailerDlg::WhileWaiting() {
    // Every event, input included: under X11 Qt counts the window manager's close request as
    // user input, and would otherwise hold it back until the command returns (and drop it, as
    // the outcome's box is modal by then). The form's own input is discarded meanwhile (OnOK).
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void CMailerDlg::PostToUiThread(std::function<void()> task) {
    QMetaObject::invokeMethod(this, std::move(task), Qt::QueuedConnection);
}

void CMailerDlg::OnAttachmentWorkerFinished() {
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_mailer.ReapAttachmentWorker();
            ClearProgress();
        },
        Qt::QueuedConnection);
}

void CMailerDlg::UpdateProgress() {
    if (!m_mailer.IsSending()) {
        ClearProgress();
        return;
    }
    const std::uint64_t total = m_mailer.AttachmentBytesTotal();
    const std::uint64_t sent = std::min(m_mailer.AttachmentBytesSent(), total);
    const std::uint64_t percent = total == 0 ? 100 : sent * 100 / total;
    m_ctlBlank->setText(ui::Utf8(mail::WordsWith(mail::Word::Progress, std::to_string(percent))));
    if (m_uploadShown) {
        const double seconds = std::max<qint64>(m_uploadClock.elapsed(), 1) / 1000.0;
        ShowStatus(ui::Words(mail::Word::StatusUploading)
                       .arg(percent)
                       .arg(SizeText(static_cast<double>(sent)),
                            SizeText(static_cast<double>(total)),
                            SizeText(static_cast<double>(sent) / seconds)));
    }
}

void CMailerDlg::ClearProgress() {
    m_uploadShown = false;
    m_btnCancelSend->setEnabled(false);
    m_progressTimer->stop();
    m_ctlBlank->setText(QString()); // unlike clear(), tells a screen reader the text changed
}

void CMailerDlg::reject() {
    if (m_inSendCommand) {
        // Asked from inside the command's wait. Yes ends the command at once; the form closes
        // when it has returned (OnOK).
        if (!m_rejectPending && AskToQuit(mail::Msg::ConfirmQuitMidCommand)) {
            m_rejectPending = true;
            m_mailer.AbortSendCommand();
        }
        return;
    }
    if (m_mailer.IsSending()) {
        if (!AskToQuit(mail::Msg::ConfirmQuitWhileSending))
            return;
        m_mailer.AbortAttachmentWorker();
    }
    ClearProgress();
    m_draft->Flush();
    QDialog::reject();
}

bool CMailerDlg::DiscardedDuringCommand(QObject* watched, QEvent* event) const {
    if (!m_inSendCommand || !watched->isWidgetType() ||
        static_cast<QWidget*>(watched)->window() != this || watched == m_btnCancelSend)
        return false;
    if (event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape)
        return false;
    return event->isInputEvent() || event->type() == QEvent::InputMethod ||
           event->type() == QEvent::Shortcut;
}

bool CMailerDlg::eventFilter(QObject* watched, QEvent* event) {
    if (DiscardedDuringCommand(watched, event))
        return true;
    if (watched != this && OnDrag(event))
        return true;
    // The body does not take Enter: it goes on to the dialog and presses the send button, as in
    // every other field. Ctrl+Enter is the body's line break.
    if (watched == m_editBody && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            if (key->modifiers() & Qt::ControlModifier)
                m_editBody->insertPlainText(QStringLiteral("\n"));
            else
                m_btnSend->click();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

bool CMailerDlg::OnDrag(QEvent* event) {
    switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove: {
        auto* drag = static_cast<QDragMoveEvent*>(event);
        if (drag->mimeData() == nullptr || !ui::CarriesUrls(*drag->mimeData()))
            return false;
        drag->setDropAction(Qt::CopyAction);
        drag->accept();
        return true;
    }
    case QEvent::Drop: {
        auto* drop = static_cast<QDropEvent*>(event);
        if (drop->mimeData() == nullptr || !ui::CarriesUrls(*drop->mimeData()))
            return false;
        DropFile(*drop->mimeData());
        drop->setDropAction(Qt::CopyAction);
        drop->accept();
        return true;
    }
    default:
        return false;
    }
}

void CMailerDlg::dragEnterEvent(QDragEnterEvent* event) {
    if (!OnDrag(event))
        QDialog::dragEnterEvent(event);
}

void CMailerDlg::dragMoveEvent(QDragMoveEvent* event) {
    if (!OnDrag(event))
        QDialog::dragMoveEvent(event);
}

void CMailerDlg::dropEvent(QDropEvent* event) {
    if (!OnDrag(event))
        QDialog::dropEvent(event);
}

void CMailerDlg::DropFile(const QMimeData& data) {
    // During the send command the form takes no input; the mail going out is the one typed.
    if (m_inSendCommand)
        return;
    if (const auto path = ui::DroppedFilePath(data))
        m_editAttachPath->setText(*path);
    else
        ShowStatus(ui::Words(mail::Word::StatusDropRefused));
}
