// The remember box: checked, a successful login keeps the account and password (the keyring here
// is the fixture's FakeAccountStore; the real one is tried end to end under Xvfb); the next start
// fills both in and checks the box; unchecking forgets both; and where no keyring answers the
// status line says so once and nothing is kept.
#include "form_fixture.h"

#include <QAccessible>

namespace vtest {
namespace {

const FormText kForm{U("zs"), U("Zq7-secret"), U("to@example.com"), U("主题"), U("你好"), {}};

using Account = FormTest;

TEST_F(Account, KeptOnlyAfterASuccessfulLoginAndOnlyWhenChecked) {
    struct Case {
        const char* name;
        bool checked;
        std::optional<std::pair<Step, Action>> change;
        bool kept;
    };
    const Case cases[] = {
        {"unchecked", false, std::nullopt, false},
        {"refused login", true, {{kPass, Reply("535 Error: authentication failed\r\n")}}, false},
        {"closed before login", true, {{kAuth, Close()}}, false},
        // Logged in: kept, whatever becomes of the mail.
        {"recipient refused", true, {{kRcpt, Reply("550 5.1.1 User unknown\r\n")}}, true},
        {"sent", true, std::nullopt, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        dlg.accounts->account.clear();
        dlg.accounts->password.clear();
        Clear();
        Type(kForm);
        Remember()->setChecked(c.checked);
        std::vector<Action> script = HappyScript();
        if (c.change)
            script[c.change->first] = c.change->second;
        server.SetScript(script);
        QTest::mouseClick(SendButton(), Qt::LeftButton);
        QTest::qWait(20); // the keyring answers from the event loop
        EXPECT_EQ(dlg.accounts->account, c.kept ? kForm.user : QString());
        EXPECT_EQ(dlg.accounts->password, c.kept ? kForm.password : QString());
    }
}

TEST_F(Account, TheNextStartFillsBothInAndUncheckingForgetsBoth) {
    dlg.accounts->account = U("zs");
    dlg.accounts->password = U("Zq7-secret");
    dlg.RestoreSaved();
    ASSERT_TRUE(WaitFor([&] { return Remember()->isChecked(); }));
    EXPECT_EQ(User()->text(), U("zs"));
    EXPECT_EQ(Password()->text(), U("Zq7-secret"));
    EXPECT_TRUE(Status()->text().isEmpty());

    QTest::mouseClick(Remember(), Qt::LeftButton);
    EXPECT_FALSE(Remember()->isChecked());
    EXPECT_EQ(dlg.accounts->forgets, 1);
    EXPECT_TRUE(dlg.accounts->account.isEmpty());
    EXPECT_TRUE(dlg.accounts->password.isEmpty());
    EXPECT_EQ(User()->text(), U("zs")) << "forgetting cleared the field";
}

TEST_F(Account, WhatWasTypedBeforeTheKeyringAnsweredStays) {
    dlg.accounts->account = U("zs");
    dlg.accounts->password = U("Zq7-secret");
    dlg.RestoreSaved();
    TypeInto(User(), U("ls"));
    ASSERT_TRUE(WaitFor([&] { return Remember()->isChecked(); }));
    EXPECT_EQ(User()->text(), U("ls"));
    EXPECT_TRUE(Password()->text().isEmpty());
}

TEST_F(Account, NoKeyringIsToldOnceAndNothingIsKept) {
    dlg.accounts->available = false;
    QTest::mouseClick(Remember(), Qt::LeftButton);
    ASSERT_TRUE(WaitFor([&] { return !Status()->text().isEmpty(); }));
    EXPECT_EQ(Status()->text(), U("系统密码库不可用，密码不会被保存"));
    EXPECT_EQ(dlg.accounts->probes, 1);

    Status()->clear();
    Type(kForm);
    QTest::mouseClick(SendButton(), Qt::LeftButton);
    QTest::qWait(20);
    EXPECT_EQ(dlg.accounts->remembers, 1);
    EXPECT_TRUE(dlg.accounts->account.isEmpty());
    EXPECT_EQ(Status()->text(), U("邮件已发送")) << "said twice";
    EXPECT_TRUE(boxes.Seen().size() == 1u);
}

TEST_F(Account, ARememberedAccountWithoutAKeyringIsToldAndForgotten) {
    dlg.accounts->account = U("zs");
    dlg.accounts->available = false;
    dlg.RestoreSaved();
    ASSERT_TRUE(WaitFor([&] { return !Status()->text().isEmpty(); }));
    EXPECT_EQ(Status()->text(), U("系统密码库不可用，密码不会被保存"));
    EXPECT_FALSE(Remember()->isChecked());
    EXPECT_TRUE(User()->text().isEmpty());
    EXPECT_EQ(dlg.accounts->forgets, 1);
}

} // namespace
} // namespace vtest
