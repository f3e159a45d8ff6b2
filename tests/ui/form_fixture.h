#pragma once
// The real main form on Qt's offscreen platform, pointed at a scripted loopback server, with a
// watcher that records and answers its message boxes. Tests type and click as a user would.
#include "modal_watcher.h"
#include "scripted_server.h"
#include "ui/mailer_dlg.h"

#include <QApplication>
#include <QInputMethodEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStringList>
#include <QTest>
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

// The form, with a name server that can be told never to answer.
class FormDlg : public CMailerDlg {
public:
    FormDlg() {
        Mailer().PlatformForTesting().resolve = [this](const std::string& host, std::uint16_t port,
                                                       std::shared_ptr<mail::Lookup> lookup) {
            if (!silentNameServer)
                mail::ResolveWithSystem(host, port, std::move(lookup));
        };
    }
    bool silentNameServer = false;
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
