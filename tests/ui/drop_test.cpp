// A file dropped on the form or on one of its fields: its local path goes into the path field, as
// the chooser would put it; anything else is refused in the status line and changes no field.
#include "form_fixture.h"

#include <QDir>
#include <QDropEvent>
#include <QFile>
#include <QMimeData>
#include <QTemporaryDir>
#include <QUrl>

namespace vtest {
namespace {

class DropTest : public FormTest {
protected:
    void SetUp() override {
        FormTest::SetUp();
        ASSERT_TRUE(folder.isValid());
        zip = folder.filePath(U("报告 1.zip"));
        QFile file(zip);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("PK");
    }

    // A drag that enters target, moves and drops; whether the target took the drag and the drop.
    struct Outcome {
        bool enterAccepted = false, dropAccepted = false;
    };
    static Outcome Drop(QWidget* target, const QMimeData& data) {
        const QPoint at = target->rect().center();
        QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &enter);
        QDragMoveEvent move(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &move);
        QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &drop);
        return {enter.isAccepted(), drop.isAccepted()};
    }

    QTemporaryDir folder;
    QString zip;
};

TEST_F(DropTest, ALocalFileOnTheFormOrAnyFieldBecomesThePath) {
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(zip)});
    // The URL's text too, as file managers offer it: no field may insert that.
    data.setText(QUrl::fromLocalFile(zip).toString());
    QWidget* const targets[] = {
        &dlg, Path(), User(), Recipient(), Subject(), Blank(), Body()->viewport()};
    for (QWidget* target : targets) {
        SCOPED_TRACE(target->objectName().toStdString());
        Clear();
        const Outcome outcome = Drop(target, data);
        EXPECT_TRUE(outcome.enterAccepted);
        EXPECT_TRUE(outcome.dropAccepted);
        EXPECT_EQ(Shown(), (FormText{{}, {}, {}, {}, {}, QDir::toNativeSeparators(zip)}));
        EXPECT_TRUE(Status()->text().isEmpty());
    }
}

TEST_F(DropTest, AnythingButOneLocalFileIsRefusedInTheStatusLine) {
    const QString other = folder.filePath(U("b.zip"));
    QFile(other).open(QIODevice::WriteOnly);
    const struct {
        const char* name;
        QList<QUrl> urls;
    } cases[] = {
        {"remote", {QUrl(U("https://example.com/a.zip"))}},
        {"two files", {QUrl::fromLocalFile(zip), QUrl::fromLocalFile(other)}},
        {"a folder", {QUrl::fromLocalFile(folder.path())}},
        {"gone", {QUrl::fromLocalFile(folder.filePath(U("gone.zip")))}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (QWidget* target : {static_cast<QWidget*>(&dlg), static_cast<QWidget*>(Path())}) {
            Clear();
            Status()->clear();
            Path()->setText(U("/kept.zip"));
            QMimeData data;
            data.setUrls(c.urls);
            Drop(target, data);
            EXPECT_EQ(Path()->text(), U("/kept.zip"));
            EXPECT_EQ(Status()->text(), U("只能拖入一个本地文件"));
        }
    }
}

TEST_F(DropTest, PlainTextStillDropsIntoAField) {
    QMimeData data;
    data.setText(U("zs"));
    Clear();
    Drop(User(), data);
    EXPECT_EQ(User()->text(), U("zs"));
    EXPECT_TRUE(Path()->text().isEmpty());
}

} // namespace
} // namespace vtest
