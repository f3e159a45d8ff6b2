#pragma once
// The status line under the form: one line that says what the form is doing (connecting, logging
// in, sending, the upload's progress) and what came of it. A screen reader hears every change: the
// line's accessible name is its text, and each new text is announced as a name change.
#include <QLabel>
#include <QString>

namespace ui {

class StatusLine : public QLabel {
    Q_OBJECT

public:
    explicit StatusLine(QWidget* parent);
    // Shows text, announcing it even when it is the text already shown: the same outcome twice
    // (two refused sends) is news both times.
    void Show(const QString& text);

signals:
    // Each text as it is announced.
    void Announced(const QString& text);
};

} // namespace ui
