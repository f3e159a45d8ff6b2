#pragma once
// Lets a test drive code that runs modal windows: a timer polls for the active modal widget and the
// active popup and hands each new one over once. A message box is recorded as the user would see
// it and answered by pressing a button as the user would; any other modal window (the About box,
// the form itself run modally) goes to the test's handler, and so does a popup (a context menu).
// The windows are the real ones, each in its own event loop.
#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QStringList>
#include <QThread>
#include <QTimer>

#include <deque>
#include <functional>
#include <utility>
#include <vector>

namespace vtest {

struct SeenBox {
    QString title;
    QString text;
    QString detail;
    QString informative; // the line under the text (a hint)
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
    QStringList buttonTexts; // every button's text as shown, "Show Details..." included
    bool onUiThread = false; // the box lives on the application's (UI) thread
    bool parentedToForm = false;
    Qt::CursorShape cursor = Qt::ArrowCursor; // the override cursor while it shows, if any
    bool overrideCursor = false;
};

class ModalWatcher {
public:
    using Handler = std::function<void(QWidget*)>;

    // form: the window that should own every box.
    explicit ModalWatcher(const QWidget* form) : m_form(form) {
        QObject::connect(&m_timer, &QTimer::timeout, [this] { Poll(); });
        m_timer.start(10);
    }

    // The buttons to press, in order, for the next boxes; without one, OK or the default button.
    // NoButton leaves that box open, for the test to close it or see it closed.
    void Answer(QMessageBox::StandardButton button) { m_answers.push_back(button); }
    // Runs for each box after it is recorded and before it is answered.
    void OnBox(std::function<void(QMessageBox*)> hook) { m_hook = std::move(hook); }
    // Each new modal window that is no message box, and each new popup. The handler must close
    // what it is given; without a handler a modal window is left alone and a popup closed.
    void OnOtherModal(Handler handler) { m_onOtherModal = std::move(handler); }
    void OnPopup(Handler handler) { m_onPopup = std::move(handler); }

    const std::vector<SeenBox>& Seen() const { return m_seen; }
    QStringList Texts() const {
        QStringList texts;
        for (const SeenBox& box : m_seen)
            texts << box.text;
        return texts;
    }
    // Every modal window seen so far, boxes included, and every popup.
    int ModalsSeen() const { return m_modals; }
    int PopupsSeen() const { return m_popups; }

private:
    void Poll() {
        if (QWidget* popup = QApplication::activePopupWidget(); popup && popup != m_lastPopup) {
            m_lastPopup = popup;
            ++m_popups;
            m_onPopup ? m_onPopup(popup) : void(popup->close());
            return;
        }
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr || modal == m_lastModal)
            return;
        m_lastModal = modal;
        ++m_modals;
        if (auto* box = qobject_cast<QMessageBox*>(modal))
            Handle(box);
        else if (m_onOtherModal)
            m_onOtherModal(modal);
    }

    void Handle(QMessageBox* box) {
        QStringList buttonTexts;
        for (const QAbstractButton* button : box->findChildren<QAbstractButton*>())
            buttonTexts << button->text();
        const QCursor* cursor = QApplication::overrideCursor();
        m_seen.push_back({.title = box->windowTitle(),
                          .text = box->text(),
                          .detail = box->detailedText(),
                          .informative = box->informativeText(),
                          .icon = box->icon(),
                          .buttons = box->standardButtons(),
                          .defaultButton = box->standardButton(box->defaultButton()),
                          .buttonTexts = buttonTexts,
                          .onUiThread = box->thread() == qApp->thread(),
                          .parentedToForm = box->parentWidget() == m_form,
                          .cursor = cursor != nullptr ? cursor->shape() : Qt::ArrowCursor,
                          .overrideCursor = cursor != nullptr});
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
    QPointer<QWidget> m_lastModal;
    QPointer<QWidget> m_lastPopup;
    int m_modals = 0;
    int m_popups = 0;
    std::vector<SeenBox> m_seen;
    std::deque<QMessageBox::StandardButton> m_answers;
    std::function<void(QMessageBox*)> m_hook;
    Handler m_onOtherModal;
    Handler m_onPopup;
    QTimer m_timer;
};

} // namespace vtest
