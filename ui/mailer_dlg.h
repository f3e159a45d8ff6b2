#pragma once
// The main form: a fixed-size dialog laid out from its template in dialog units. It holds the mail
// core and is its front end: the send button gathers the fields into a form and runs the core's
// send command on this (the UI) thread; an attachment goes out from the core's worker thread while
// the form stays usable.
#include "mail/session/mailer.h"
#include "res/images.h"
#include "ui/account_store.h"
#include "ui/dialog_units.h"
#include "ui/draft.h"

#include <QDialog>
#include <QElapsedTimer>
#include <QIcon>
#include <QPoint>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>

class QCheckBox;
class QLabel;
class QLineEdit;
class QMenuBar;
class QMessageBox;
class QPlainTextEdit;
class QPushButton;
class QTimer;
class QFileDialog;
class QMimeData;

namespace ui {
class StatusLine;
}

class CMailerDlg : public QDialog {
    Q_OBJECT

public:
    explicit CMailerDlg(QWidget* parent = nullptr);
    ~CMailerDlg() override;

    // --- the form (ui/) ---
    // The load transfer of the fields and the window icon; the constructor runs it once, last.
    // True: the focus goes to the first tab stop, the send button.
    bool OnInitDialog();
    // Copies the five bound fields between the controls and the form's values: save = controls to
    // values, the account fields as code-page-936 bytes, the subject and body as GB18030, the
    // body's line breaks as CR LF. Saving fails if a field holds a character its character set
    // cannot represent exactly; then no value changes and nothing is replaced. Loading fails for
    // a value that is not valid in its character set, whose control then keeps its text.
    bool DoDataExchange(bool save);
    // The form's values as last exchanged; and new values, loaded into the controls.
    const mail::Form& FormValues() const { return m_form; }
    bool LoadFormValues(const mail::Form& form);
    // The send button: the core's send command under a wait cursor. The form repaints during
    // its network waits and takes a close request or Esc (see reject); all other input to the
    // form is discarded until the command returns.
    void OnOK();
    // The attachment button: the file chooser; a confirmed file's full path goes into the path
    // field. The bound fields and the current directory do not change.
    void OnBrowse();
    // The cancel button: ends the send command at once (nothing more goes out) or stops the
    // attachment upload before its end of data; the form keeps what was typed.
    void OnCancelSend();
    // Start-up: fills in the remembered account (its password comes when the keyring answers) and
    // the draft of a mail that was not sent.
    void RestoreSaved();
    // The mail core behind the form.
    mail::CMailer& Mailer() { return m_mailer; }
    // The form's base units, from its font (6 x 12 pixels for 9-point SimSun at 96 dpi).
    const ui::BaseUnits& DialogBaseUnits() const { return m_baseUnits; }

    // --- the window chrome (chrome.cpp) ---
    void OnSysCommand(unsigned nID, long lParam);
    void OnHelpText();
    void OnAuthor();
    // A paint request: a minimised window shows the icon centred on its background, where the
    // window system lets a program draw it; otherwise Qt paints the form.
    void OnPaint(QPaintEvent* event);
    // Where the icon goes in a minimised window's client area: centred, rounding as integer
    // division does (toward zero).
    static QPoint IconPosition(int clientWidth, int clientHeight, int iconWidth, int iconHeight);

    // The icon of a message box: the mail session's boxes warn, the menu commands' inform.
    enum class BoxIcon { Warning, Information };
    // Shows a message box owned by the form, titled "Vellipost", with one OK button.
    // A hint goes under the text, the detail behind "显示详情...".
    void MessageBox(const QString& text, BoxIcon icon, const QString& detail = {},
                    const QString& hint = {});

    // Tests replace the chooser's modal run; the default runs the dialog.
    using ChooserRun = std::function<int(QFileDialog&)>;
    void SetChooserRunForTesting(ChooserRun run) { m_chooserRun = std::move(run); }
    // Tests replace the desktop's keyring and point the draft elsewhere.
    void SetAccountStoreForTesting(std::unique_ptr<ui::AccountStore> store) {
        m_accounts = std::move(store);
    }
    ui::DraftKeeper& DraftForTesting() { return *m_draft; }

    QLabel* m_ctlBlank = nullptr;
    QIcon m_hIcon = res::LoadMainIcon(); // IDR_MAINFRAME

    // What the mail core asks of the form (mail::FrontEnd, through m_frontEnd).
    void ShowMessage(const mail::Notice& notice);
    void OnStage(mail::Stage stage);
    void WhileWaiting();
    void PostToUiThread(std::function<void()> task);
    void OnAttachmentWorkerFinished();
    void CloseMessage();

protected:
    // Qt events
    // The exit button, Esc and the close box. While the send command or the attachment worker
    // sends, the user is asked first (default No); yes shuts the connection down and closes the
    // form, at once for the worker, once the command has returned for the send command.
    void reject() override;
    void accept() override {}
    void paintEvent(QPaintEvent* event) override { OnPaint(event); }
    void contextMenuEvent(QContextMenuEvent* event) override;
    // A file dropped anywhere on the form goes into the path field (see ui/file_drop.h).
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void CreateControls();
    // Creates m_menuBar with the commands of IDR_MAINMENU; the constructor places it above the
    // client area.
    void CreateMenuBar();
    void UpdateProgress();
    void ShowStatus(const QString& text);
    // The remember box changed by the user.
    void OnRememberToggled(bool checked);
    // Says once per run that no keyring answers.
    void TellNoKeyring();
    // A drag over the form or its fields: true if it is the form's (it carries URLs).
    bool OnDrag(QEvent* event);
    void DropFile(const QMimeData& data);
    ui::DraftText DraftShown() const;
    void ClearProgress();
    void RefuseUnsendable();
    // Asks the quit question id, Yes or No, default No; true for Yes.
    bool AskToQuit(mail::Msg id);
    // Input meant for the form itself while the send command runs, Esc excepted.
    bool DiscardedDuringCommand(QObject* watched, QEvent* event) const;

    ui::BaseUnits m_baseUnits;
    QWidget* m_client = nullptr; // the client area below the menu bar, at the template's size
    QMenuBar* m_menuBar = nullptr;
    QPushButton* m_btnSend = nullptr;
    QPushButton* m_btnExit = nullptr;
    QPushButton* m_btnAttach = nullptr;
    QLineEdit* m_editUser = nullptr;
    QLineEdit* m_editPassword = nullptr;
    QLineEdit* m_editRecipient = nullptr;
    QLineEdit* m_editSubject = nullptr;
    QPlainTextEdit* m_editBody = nullptr;
    QLineEdit* m_editAttachPath = nullptr;
    QCheckBox* m_chkRemember = nullptr;
    QPushButton* m_btnCancelSend = nullptr;
    ui::StatusLine* m_status = nullptr;
    QTimer* m_progressTimer = nullptr;
    QElapsedTimer m_uploadClock; // since the attachment started to go out, for the rate
    bool m_uploadShown = false;  // the status line shows the upload's progress
    bool m_cancelRequested = false;
    bool m_toldNoKeyring = false;
    std::unique_ptr<ui::AccountStore> m_accounts = ui::MakeKeyringAccountStore();
    std::unique_ptr<ui::DraftKeeper> m_draft;
    ChooserRun m_chooserRun;
    bool m_inSendCommand = false;
    bool m_rejectPending = false;    // the user chose to quit during the send command
    QPointer<QMessageBox> m_openBox; // the innermost box MessageBox has open
    mail::Form m_form;

    // The core's way back to the form: an object of its own whose virtual table never changes, so
    // that the worker thread calls no virtual function of this dialog (a subclass being destroyed
    // changes the dialog's table while the worker may still be ending).
    class CoreFrontEnd final : public mail::FrontEnd {
    public:
        explicit CoreFrontEnd(CMailerDlg& dlg) : m_dlg(dlg) {}
        void ShowMessage(const mail::Notice& notice) override { m_dlg.ShowMessage(notice); }
        void OnStage(mail::Stage stage) override { m_dlg.OnStage(stage); }
        void WhileWaiting() override { m_dlg.WhileWaiting(); }
        void PostToUiThread(std::function<void()> task) override {
            m_dlg.PostToUiThread(std::move(task));
        }
        void OnAttachmentWorkerFinished() override { m_dlg.OnAttachmentWorkerFinished(); }
        void CloseMessage() override { m_dlg.CloseMessage(); }

    private:
        CMailerDlg& m_dlg;
    };
    CoreFrontEnd m_frontEnd{*this};
    // Last, so that it goes first: its worker calls the form back until it has ended.
    mail::CMailer m_mailer{m_frontEnd};
};
