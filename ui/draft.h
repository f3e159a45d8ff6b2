#pragma once
// The draft: what the user has typed of a mail not yet sent (recipient, subject, body, attachment
// path; never the account or the password), kept in one file in the user's state folder so that a
// crash, a power cut or a close does not lose it. DraftKeeper writes it at most once per interval
// after a change, and at once when the program ends; a sent mail's draft is deleted.
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <functional>
#include <optional>

namespace ui {

struct DraftText {
    QString recipient, subject, body, path;
    bool operator==(const DraftText&) const = default;
    bool IsEmpty() const { return *this == DraftText{}; }
};

// The draft file: $XDG_STATE_HOME/vellipost/draft.json ($HOME/.local/state when unset), as the
// XDG base directory rules place state that should outlive a restart.
class Draft {
public:
    explicit Draft(QString folder = DefaultFolder());
    static QString DefaultFolder();
    QString FilePath() const;

    // The stored draft; nothing if there is none or it cannot be read.
    std::optional<DraftText> Load() const;
    // Replaces the file as a whole (a reader never sees half a draft), readable by the user
    // alone; an empty draft removes it. False if it could not be written.
    bool Save(const DraftText& text) const;
    void Remove() const;

private:
    QString m_folder;
};

class DraftKeeper : public QObject {
    Q_OBJECT

public:
    // source: the form's current text.
    DraftKeeper(Draft draft, std::function<DraftText()> source);
    ~DraftKeeper() override; // writes a pending change

    // The text changed: it is written when the interval has passed since the last write.
    void Changed();
    // Writes a pending change now.
    void Flush();
    // The mail went out: the file goes, and the text shown counts as written.
    void Discard();
    // The text shown is the stored one (just restored): nothing to write.
    void Settle();

    const Draft& File() const { return m_draft; }
    bool Pending() const { return m_pending; }
    void SetIntervalForTesting(std::chrono::milliseconds interval) {
        m_timer.setInterval(interval);
    }

private:
    Draft m_draft;
    std::function<DraftText()> m_source;
    QTimer m_timer;
    bool m_pending = false;
};

} // namespace ui
