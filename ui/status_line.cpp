#include "ui/status_line.h"

#include "mail/words/catalogue.h"
#include "ui/text.h"

#include <QAccessible>

namespace ui {

StatusLine::StatusLine(QWidget* parent) : QLabel(parent) {
    setObjectName(QStringLiteral("statusLine"));
    setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    setTextFormat(Qt::PlainText); // a server's words never become markup
    setFrameShape(QFrame::StyledPanel);
    setFrameShadow(QFrame::Sunken);
    // No accessible name of its own: the name is the text, so each change is a name change.
    setAccessibleDescription(ui::Words(mail::Word::StatusDescription));
}

void StatusLine::Show(const QString& text) {
    const bool same = text == this->text();
    setText(text);
    // QLabel announces a changed text itself; an unchanged one it would pass over.
    if (same) {
        QAccessibleEvent event(this, QAccessible::NameChanged);
        QAccessible::updateAccessibility(&event);
    }
    emit Announced(text);
}

} // namespace ui
