#pragma once
// Lets a test drive code that runs a modal window (message box, About box, context menu): a timer
// polls for the active modal widget and the active popup, hands each new one once to the test's
// handler, which records what it shows and closes it as a user would.
#include <QApplication>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <utility>

namespace vtest {

class ModalWatcher {
public:
    using Handler = std::function<void(QWidget*)>;

    // onModal gets each new modal window, onPopup each new popup (a context menu). A handler
    // must close what it is given; a missing handler closes it unexamined.
    explicit ModalWatcher(Handler onModal, Handler onPopup = {})
        : m_onModal(std::move(onModal)), m_onPopup(std::move(onPopup)) {
        QObject::connect(&m_timer, &QTimer::timeout, [this] { Poll(); });
        m_timer.start(20);
    }

    int modalsSeen() const { return m_modals; }
    int popupsSeen() const { return m_popups; }

private:
    void Poll() {
        if (QWidget* popup = QApplication::activePopupWidget(); popup && popup != m_lastPopup) {
            m_lastPopup = popup;
            ++m_popups;
            m_onPopup ? m_onPopup(popup) : void(popup->close());
            return;
        }
        if (QWidget* modal = QApplication::activeModalWidget(); modal && modal != m_lastModal) {
            m_lastModal = modal;
            ++m_modals;
            m_onModal ? m_onModal(modal) : void(modal->close());
        }
    }

    Handler m_onModal;
    Handler m_onPopup;
    QPointer<QWidget> m_lastModal;
    QPointer<QWidget> m_lastPopup;
    int m_modals = 0;
    int m_popups = 0;
    QTimer m_timer;
};

} // namespace vtest
