// The attachment chooser: the real QFileDialog with only its modal run replaced, so the test
// drives the chooser's own listing, typing and accepting.
#include "form_fixture.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QListView>
#include <QSet>
#include <QTemporaryDir>

#include <map>
#include <string>

namespace vtest {
namespace {

class Chooser : public FormTest {
protected:
    using FileRun = CMailerDlg::ChooserRun;

    void SetUp() override {
        FormTest::SetUp();
        ASSERT_TRUE(folder.isValid());
        for (const char* name : {"a.zip", "X.ZIP", "report.zip", "notes.txt"}) {
            QFile file(folder.filePath(QString::fromLatin1(name)));
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write("PK");
        }
        startDir = QDir::currentPath();
        ASSERT_NE(QDir(startDir), QDir(folder.path()));
    }

    // A modal run that opens the chooser in the folder, types name and presses Enter, as a user
    // would; it gives back the chooser's result.
    FileRun TypeName(const QString& name) {
        return [this, name](QFileDialog& chooser) {
            chooser.setDirectory(folder.path());
            chooser.show();
            auto* edit = chooser.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            if (edit == nullptr) {
                ADD_FAILURE() << "no file name field";
                return int(QDialog::Rejected);
            }
            edit->setFocus();
            QTest::keyClicks(edit, name);
            QTest::keyClick(edit, Qt::Key_Return);
            return chooser.result();
        };
    }
    const FormText typed{U("张三"), U("密码"),           U("to@example.com"),
                         U("主题"), U("第一行\n第二行"), {}};
    QTemporaryDir folder;
    QString startDir;
};

// The names the chooser lists as selectable once its folder has loaded.
QSet<QString> Listed(QFileDialog& chooser, const QString& folder) {
    auto* view = chooser.findChild<QListView*>(QStringLiteral("listView"));
    auto* model = chooser.findChild<QFileSystemModel*>();
    QSet<QString> names;
    if (view == nullptr || model == nullptr)
        return names;
    const QModelIndex root = model->index(folder);
    for (int row = 0; row < model->rowCount(root); ++row) {
        const QModelIndex index = model->index(row, 0, root);
        if (model->flags(index) & Qt::ItemIsEnabled)
            names.insert(model->fileName(index));
    }
    return names;
}

TEST_F(Chooser, ConfirmedFileGoesIntoThePathFieldAndItsNameIntoTheMember) {
    Type(typed);
    ASSERT_TRUE(dlg.DoDataExchange(true));
    const std::string bodyBefore = dlg.FormValues().m_strBody;

    QSet<QString> listed;
    bool configured = false;
    const FileRun typeName = TypeName(U("X.ZIP"));
    dlg.SetChooserRunForTesting([&](QFileDialog& chooser) {
        configured =
            chooser.acceptMode() == QFileDialog::AcceptOpen &&
            chooser.fileMode() == QFileDialog::ExistingFile &&
            chooser.nameFilters() == QStringList{U("(*.zip)")} &&
            chooser.defaultSuffix() == U("zip") &&
            chooser.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->text().isEmpty();
        chooser.setDirectory(folder.path());
        chooser.show();
        const QSet<QString> expected{U("a.zip"), U("X.ZIP"), U("report.zip")};
        WaitFor([&] { return Listed(chooser, folder.path()) == expected; });
        listed = Listed(chooser, folder.path());
        return typeName(chooser);
    });
    QTest::mouseClick(AttachButton(), Qt::LeftButton);

    EXPECT_TRUE(configured) << "open mode, one existing file, \"(*.zip)\", suffix zip, no name";
    EXPECT_EQ(listed, (QSet<QString>{U("a.zip"), U("X.ZIP"), U("report.zip")}))
        << "*.zip must match in any letter case and nothing else";
    EXPECT_EQ(Path()->text(), QDir::toNativeSeparators(folder.filePath(U("X.ZIP"))));
    FormText expected = typed;
    expected.path = Path()->text();
    EXPECT_EQ(Shown(), expected);
    EXPECT_EQ(dlg.FormValues().m_strBody, bodyBefore);
    EXPECT_EQ(QDir::currentPath(), startDir) << "the chooser changed the current directory";
    EXPECT_TRUE(boxes.Seen().empty());
}

TEST_F(Chooser, SpeaksChinese) {
    std::map<std::string, QString> labels;
    QSet<QString> buttons;
    dlg.SetChooserRunForTesting([&](QFileDialog& chooser) {
        chooser.setDirectory(folder.path());
        chooser.show();
        for (const char* name : {"lookInLabel", "fileNameLabel", "fileTypeLabel"})
            if (const auto* label = chooser.findChild<QLabel*>(QString::fromLatin1(name)))
                labels[name] = label->text();
        if (const auto* box = chooser.findChild<QDialogButtonBox*>())
            for (const QAbstractButton* button : box->buttons())
                buttons.insert(button->text());
        return int(QDialog::Rejected);
    });
    QTest::mouseClick(AttachButton(), Qt::LeftButton);
    const std::map<std::string, QString> expected{{"lookInLabel", U("查找范围：")},
                                                  {"fileNameLabel", U("文件名称(&N)：")},
                                                  {"fileTypeLabel", U("文件类型：")}};
    EXPECT_EQ(labels, expected);
    EXPECT_EQ(buttons, (QSet<QString>{U("打开(&O)"), U("取消")}));
}

TEST_F(Chooser, TypedNameWithoutExtensionSelectsTheZip) {
    dlg.SetChooserRunForTesting(TypeName(U("report")));
    QTest::mouseClick(AttachButton(), Qt::LeftButton);
    EXPECT_EQ(Path()->text(), QDir::toNativeSeparators(folder.filePath(U("report.zip"))));
    EXPECT_EQ(QDir::currentPath(), startDir);
}

TEST_F(Chooser, CancelKeepsTheEarlierChoiceAndEveryField) {
    dlg.SetChooserRunForTesting(TypeName(U("a.zip")));
    QTest::mouseClick(AttachButton(), Qt::LeftButton);
    const QString chosen = QDir::toNativeSeparators(folder.filePath(U("a.zip")));
    ASSERT_EQ(Path()->text(), chosen);
    Type(typed);

    bool ran = false;
    dlg.SetChooserRunForTesting([&](QFileDialog& chooser) {
        ran = true;
        chooser.setDirectory(folder.path());
        chooser.selectFile(U("X.ZIP"));
        return int(QDialog::Rejected);
    });
    QTest::mouseClick(AttachButton(), Qt::LeftButton);

    EXPECT_TRUE(ran);
    FormText expected = typed;
    expected.path = chosen + typed.path;
    EXPECT_EQ(Shown(), expected);
    EXPECT_EQ(QDir::currentPath(), startDir);
}

TEST_F(Chooser, FieldWithAnUnsendableCharacterSurvivesTheRoundTrip) {
    FormText form = typed;
    form.subject += QString::fromUtf16(u"\U0001F600");
    Type(form);
    dlg.SetChooserRunForTesting(TypeName(U("a.zip")));
    QTest::mouseClick(AttachButton(), Qt::LeftButton);
    form.path = QDir::toNativeSeparators(folder.filePath(U("a.zip")));
    EXPECT_EQ(Shown(), form);
    EXPECT_TRUE(boxes.Seen().empty()) << "choosing a file is no send";
}

} // namespace
} // namespace vtest
