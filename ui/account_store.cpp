#include "ui/account_store.h"

#include <QSettings>
#include <qt6keychain/keychain.h>

namespace ui {
namespace {

// The keyring's entries are found by service and account name (secret-tool: server, user).
const QString kService = QStringLiteral("Vellipost");
const QString kAccountKey = QStringLiteral("account/name");

AccountStore::Result ResultOf(const QKeychain::Job& job) {
    switch (job.error()) {
    case QKeychain::NoError:
        return AccountStore::Result::Ok;
    case QKeychain::EntryNotFound:
        return AccountStore::Result::NotFound;
    default:
        return AccountStore::Result::Unavailable;
    }
}

class KeyringAccountStore final : public QObject, public AccountStore {
public:
    void Load(std::function<void(Remembered)> done) override {
        const QString account = Settings().value(kAccountKey).toString();
        if (account.isEmpty()) {
            Later([done = std::move(done)] { done({}); });
            return;
        }
        auto* job = new QKeychain::ReadPasswordJob(kService, this);
        job->setKey(account);
        connect(job, &QKeychain::Job::finished, this, [account, done](QKeychain::Job* j) {
            const Result result = ResultOf(*j);
            done({result, account,
                  result == Result::Ok ? static_cast<QKeychain::ReadPasswordJob*>(j)->textData()
                                       : QString()});
        });
        job->start();
    }

    void Remember(const QString& account, const QString& password,
                  std::function<void(Result)> done) override {
        // The name first: a program that ends before the keyring answers still finds both halves
        // at the next start, or a name without a password, which it then forgets.
        QSettings settings = Settings();
        const QString before = settings.value(kAccountKey).toString();
        settings.setValue(kAccountKey, account);
        if (!before.isEmpty() && before != account)
            Delete(before, [](Result) {});
        auto* job = new QKeychain::WritePasswordJob(kService, this);
        job->setKey(account);
        job->setTextData(password);
        connect(job, &QKeychain::Job::finished, this, [done](QKeychain::Job* j) {
            const Result result = ResultOf(*j);
            if (result != Result::Ok)
                Settings().remove(kAccountKey);
            done(result);
        });
        job->start();
    }

    void Forget(std::function<void(Result)> done) override {
        QSettings settings = Settings();
        const QString account = settings.value(kAccountKey).toString();
        settings.remove(kAccountKey);
        if (account.isEmpty()) {
            Later([done = std::move(done)] { done(Result::Ok); });
            return;
        }
        Delete(account, std::move(done));
    }

    void Probe(std::function<void(Result)> done) override {
        // Reading an entry that is not there asks the keyring without touching what it holds.
        auto* job = new QKeychain::ReadPasswordJob(kService, this);
        job->setKey(QStringLiteral("probe"));
        connect(job, &QKeychain::Job::finished, this,
                [done](QKeychain::Job* j) { done(ResultOf(*j)); });
        job->start();
    }

private:
    static QSettings Settings() {
        return QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("vellipost"),
                         QStringLiteral("vellipost"));
    }

    void Delete(const QString& account, std::function<void(Result)> done) {
        auto* job = new QKeychain::DeletePasswordJob(kService, this);
        job->setKey(account);
        connect(job, &QKeychain::Job::finished, this, [done](QKeychain::Job* j) {
            const Result result = ResultOf(*j);
            done(result == Result::NotFound ? Result::Ok : result);
        });
        job->start();
    }

    // Callbacks always come from the event loop, never from inside the call.
    void Later(std::function<void()> fn) {
        QMetaObject::invokeMethod(this, std::move(fn), Qt::QueuedConnection);
    }
};

} // namespace

std::unique_ptr<AccountStore> MakeKeyringAccountStore() {
    return std::make_unique<KeyringAccountStore>();
}

} // namespace ui
