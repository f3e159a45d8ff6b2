#pragma once
// The real main form on Qt's offscreen platform, pointed at a scripted loopback server, with a
// watcher that records and answers its message boxes. Tests type and click as a user would.
#include "modal_watcher.h"
#include "scripted_server.h"
#include "ui/account_store.h"
#include "ui/mailer_dlg.h"
#include "ui/status_line.h"

#include <QApplication>
#include <QCheckBox>
#include <QInputMethodEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStringList>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

namespace vtest {

inline QString U(std::string_view utf8) {
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

// Upper bounds only: a healthy exchange on loopback takes milliseconds.
inline constexpr int kWaitMs = 10000;

// What the six text fields show.
struct FormText {
    QString user, password, recipient, subject, body, path;
    bool operator==(const FormText&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const FormText& t) {
    return os << '{' << t.user.toStdString() << '|' << t.password.toStdString() << '|'
              << t.recipient.toStdString() << '|' << t.subject.toStdString() << '|'
              << t.body.toStdString() << '|' << t.path.toStdString() << '}';
}

// The desktop's keyring as the form sees it: answers come later, from the event loop, as the
// real keyring's do. A test says whether a keyring answers and reads what is kept.
class FakeAccountStore : public ui::AccountStore {
public:
    bool available = true;
    QString account, password; // what is kept: nothing while account is empty
    int remembers = 0, forgets = 0, probes = 0;

    void Load(std::function<void(Remembered)> done) override {
        Later([this, done] {
            if (account.isEmpty())
                done({});
            else
                done({available ? Result::Ok : Result::Unavailable, account,
                      available ? password : QString()});
        });
    }
    void Remember(const QString& a, const QString& p, std::function<void(Result)> done) override {
        ++remembers;
        Later([this, a, p, done] {
            if (available) {
                account = a;
                password = p;
            } else {
                account.clear();
                password.clear();
            }
            done(available ? Result::Ok : Result::Unavailable);
        });
    }
    void Forget(std::function<void(Result)> done) override {
        ++forgets;
        account.clear();
        password.clear();
        Later([done] { done(Result::Ok); });
    }
    void Probe(std::function<void(Result)> done) override {
        ++probes;
        Later([this, done] { done(available ? Result::NotFound : Result::Unavailable); });
    }

private:
    void Later(std::function<void()> fn) { QTimer::singleShot(0, &m_context, std::move(fn)); }
    QObject m_context; // answers die with the store
};

// The form, with a name server that can be told never to answer, and a keyring of its own.
class FormDlg : public CMailerDlg {
public:
    FormDlg() {
        auto store = std::make_unique<FakeAccountStore>();
        accounts = store.get();
        SetAccountStoreForTesting(std::move(store));
        Mailer().PlatformForTesting().resolve = [this](const std::string& host, std::uint16_t port,
                                                       std::shared_ptr<mail::Lookup> lookup) {
            if (!silentNameServer)
                mail::ResolveWithSystem(host, port, std::move(lookup));
        };
    }
    bool silentNameServer = false;
    FakeAccountStore* accounts; // owned by the form
};

class FormTest : public ::testing::Test {
protected:
    void SetUp() override {
        dlg.Mailer().SetServerForTesting("127.0.0.1", server.port());
        mail::Timeouts timeouts;
        timeouts.connect = std::chrono::seconds(5);
        timeouts.reply = std::chrono::seconds(5);
        timeouts.endOfData = std::chrono::seconds(5);
        dlg.Mailer().SetTimeoutsForTesting(timeouts);
        dlg.show();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg));
    }

    template <typename Widget> Widget* Get(const char* name) const {
        auto* widget = dlg.findChild<Widget*>(QString::fromLatin1(name));
        if (widget == nullptr)
            ADD_FAILURE() << "no control " << name;
        return widget;
    }
    QPushButton* SendButton() const { return Get<QPushButton>("IDOK"); }
    QPushButton* ExitButton() const { return Get<QPushButton>("IDCANCEL"); }
    QPushButton* AttachButton() const { return Get<QPushButton>("IDC_ATTACH"); }
    QLineEdit* User() const { return Get<QLineEdit>("IDC_USER"); }
    QLineEdit* Password() const { return Get<QLineEdit>("IDC_PASSWORD"); }
    QLineEdit* Recipient() const { return Get<QLineEdit>("IDC_RECIPIENT"); }
    QLineEdit* Subject() const { return Get<QLineEdit>("IDC_SUBJECT"); }
    QPlainTextEdit* Body() const { return Get<QPlainTextEdit>("IDC_BODY"); }
    QLineEdit* Path() const { return Get<QLineEdit>("IDC_ATTACH_PATH"); }
    QLabel* Blank() const { return Get<QLabel>("IDC_BLANK"); }
    QCheckBox* Remember() const { return Get<QCheckBox>("rememberAccount"); }
    QPushButton* CancelButton() const { return Get<QPushButton>("cancelSend"); }
    ui::StatusLine* Status() const { return Get<ui::StatusLine>("statusLine"); }

    // Types text as a user does: ASCII with key presses, everything else as the input method's
    // commits, one character at a time (QTest's key clicks know only Latin-1).
    static void TypeInto(QWidget* field, const QString& text) {
        for (qsizetype i = 0; i < text.size(); ++i) {
            const QChar c = text[i];
            if (c.unicode() < 0x80 && c.isPrint()) {
                QTest::keyClick(field, c.toLatin1());
                continue;
            }
            const qsizetype n = c.isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
            QInputMethodEvent commit;
            commit.setCommitString(text.mid(i, n));
            QApplication::sendEvent(field, &commit);
            i += n - 1;
        }
    }

    // Types into the fields; the body's lines are joined with Ctrl+Enter, the body's own line
    // break.
    void Type(const FormText& text) {
        TypeInto(User(), text.user);
        TypeInto(Password(), text.password);
        TypeInto(Recipient(), text.recipient);
        TypeInto(Subject(), text.subject);
        const QStringList lines = text.body.split(QLatin1Char('\n'));
        for (qsizetype i = 0; i < lines.size(); ++i) {
            if (i > 0)
                QTest::keyClick(Body(), Qt::Key_Return, Qt::ControlModifier);
            TypeInto(Body(), lines[i]);
        }
        TypeInto(Path(), text.path);
    }

    void Clear() {
        for (QLineEdit* edit : {User(), Password(), Recipient(), Subject(), Path()})
            edit->clear();
        Body()->clear();
    }

    FormText Shown() const {
        return {User()->text(),    Password()->text(),    Recipient()->text(),
                Subject()->text(), Body()->toPlainText(), Path()->text()};
    }

    static bool WaitFor(const std::function<bool()>& condition, int ms = kWaitMs) {
        return QTest::qWaitFor(condition, ms);
    }

    ScriptedServer server;
    FormDlg dlg;
    ModalWatcher boxes{&dlg};
};

} // namespace vtest
