#include "ui/draft.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace ui {
namespace {

// Seldom enough that typing costs no disk traffic to speak of, often enough that a crash loses
// a few seconds of typing at most.
constexpr std::chrono::seconds kWriteInterval(3);

constexpr QFileDevice::Permissions kUserOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

} // namespace

Draft::Draft(QString folder) : m_folder(std::move(folder)) {}

QString Draft::DefaultFolder() {
    // Qt 6.4 has no location for state; the XDG base directory rule, by hand.
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.local/state");
    return base + QStringLiteral("/vellipost");
}

QString Draft::FilePath() const {
    return m_folder + QStringLiteral("/draft.json");
}

std::optional<DraftText> Draft::Load() const {
    QFile file(FilePath());
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
    if (!document.isObject())
        return std::nullopt;
    const QJsonObject o = document.object();
    return DraftText{o.value(QStringLiteral("recipient")).toString(),
                     o.value(QStringLiteral("subject")).toString(),
                     o.value(QStringLiteral("body")).toString(),
                     o.value(QStringLiteral("path")).toString()};
}

bool Draft::Save(const DraftText& text) const {
    if (text.IsEmpty()) {
        Remove();
        return true;
    }
    // The folder, like the file, is the user's alone: a mail being written is private.
    if (!QDir().mkpath(m_folder))
        return false;
    QFile::setPermissions(m_folder, kUserOnly | QFileDevice::ExeOwner);
    const QJsonObject o{{QStringLiteral("recipient"), text.recipient},
                        {QStringLiteral("subject"), text.subject},
                        {QStringLiteral("body"), text.body},
                        {QStringLiteral("path"), text.path}};
    QSaveFile file(FilePath());
    if (!file.open(QIODevice::WriteOnly))
        return false;
    // Before any byte is written: the temporary file is never readable by others either.
    file.setPermissions(kUserOnly);
    file.write(QJsonDocument(o).toJson(QJsonDocument::Indented));
    return file.commit();
}

void Draft::Remove() const {
    QFile::remove(FilePath());
}

DraftKeeper::DraftKeeper(Draft draft, std::function<DraftText()> source)
    : m_draft(std::move(draft)), m_source(std::move(source)) {
    m_timer.setSingleShot(true);
    m_timer.setInterval(kWriteInterval);
    connect(&m_timer, &QTimer::timeout, this, &DraftKeeper::Flush);
}

DraftKeeper::~DraftKeeper() {
    Flush();
}

void DraftKeeper::Changed() {
    m_pending = true;
    if (!m_timer.isActive())
        m_timer.start();
}

void DraftKeeper::Flush() {
    m_timer.stop();
    if (!m_pending)
        return;
    m_pending = false;
    m_draft.Save(m_source());
}

void DraftKeeper::Discard() {
    m_timer.stop();
    m_pending = false;
    m_draft.Remove();
}

void DraftKeeper::Settle() {
    m_timer.stop();
    m_pending = false;
}

} // namespace ui
