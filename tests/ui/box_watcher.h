#pragma once
// Lets a test drive code that shows message boxes: a timer polls for the active modal widget and,
// for each new QMessageBox, records what the user would see and presses a button as the user
// would. The boxes are the real ones the form shows, each in its own event loop.
#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QStringList>
#include <QThread>
#include <QTimer>

#include <deque>
#include <functional>
#include <vector>

namespace vtest {

struct SeenBox {
    QString title;
    QString text;
    QString detail;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
    QStringList buttonTexts; // every button's text as shown, "Show Details..." included
    bool onUiThread = false; // the box lives on the application's (UI) thread
    bool parentedToForm = false;
    Qt::CursorShape cursor = Qt::ArrowCursor; // the override cursor while it shows, if any
    bool overrideCursor = false;
};

class BoxWatcher {
public:
    // form: the window that should own every box.
    explicit BoxWatcher(const QWidget* form) : m_form(form) {
        QObject::connect(&m_timer, &QTimer::timeout, [this] { Poll(); });
        m_timer.start(10);
    }

    // The buttons to press, in order, for the next boxes; without one, OK or the default button.
    // NoButton leaves that box open, for the test to close it or see it closed.
    void Answer(QMessageBox::StandardButton button) { m_answers.push_back(button); }
    // Runs for each box after it is recorded and before it is answered.
    void OnBox(std::function<void(QMessageBox*)> hook) { m_hook = std::move(hook); }

    const std::vector<SeenBox>& Seen() const { return m_seen; }
    QStringList Texts() const {
        QStringList texts;
        for (const SeenBox& box : m_seen)
            texts << box.text;
        return texts;
    }

private:
    void Poll() {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr || box == m_last)
            return;
        m_last = box;
        SeenBox seen;
        seen.title = box->windowTitle();
        seen.text = box->text();
        seen.detail = box->detailedText();
        seen.icon = box->icon();
        seen.buttons = box->standardButtons();
        seen.defaultButton = box->standardButton(box->defaultButton());
        for (const QAbstractButton* button : box->findChildren<QAbstractButton*>())
            seen.buttonTexts << button->text();
        seen.onUiThread = box->thread() == qApp->thread();
        seen.parentedToForm = box->parentWidget() == m_form;
        if (const QCursor* cursor = QApplication::overrideCursor()) {
            seen.overrideCursor = true;
            seen.cursor = cursor->shape();
        }
        m_seen.push_back(seen);
        if (m_hook)
            m_hook(box);

        QAbstractButton* press = nullptr;
        if (!m_answers.empty() && m_answers.front() == QMessageBox::NoButton) {
            m_answers.pop_front();
            return;
        }
        if (!m_answers.empty()) {
            press = box->button(m_answers.front());
            m_answers.pop_front();
        } else if (QAbstractButton* ok = box->button(QMessageBox::Ok)) {
            press = ok;
        } else {
            press = box->defaultButton();
        }
        if (press != nullptr)
            press->click();
        else
            box->reject();
    }

    const QWidget* m_form;
    QPointer<QMessageBox> m_last;
    std::vector<SeenBox> m_seen;
    std::deque<QMessageBox::StandardButton> m_answers;
    std::function<void(QMessageBox*)> m_hook;
    QTimer m_timer;
};

} // namespace vtest
