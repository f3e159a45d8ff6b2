#pragma once
// Where the form remembers the account: the account name in the program's settings, the password
// in the desktop's Secret Service keyring (GNOME Keyring, KWallet, KeePassXC) through QtKeychain.
// The password never touches a file of ours. The keyring answers asynchronously, through the event
// loop: every call returns at once and reports through its callback, on the UI thread, unless the
// store has been destroyed first.
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

namespace ui {

class AccountStore {
public:
    enum class Result {
        Ok,
        NotFound,   // the keyring answered and holds no password for the account
        Unavailable // no keyring answered (or it refused): nothing is kept
    };
    struct Remembered {
        Result result = Result::NotFound;
        QString account, password;
    };

    virtual ~AccountStore() = default;
    // The remembered account and its password; NotFound if none is remembered.
    virtual void Load(std::function<void(Remembered)> done) = 0;
    // Keeps account and password, replacing what was kept. Where the keyring does not answer,
    // nothing at all is kept (the account name neither).
    virtual void Remember(const QString& account, const QString& password,
                          std::function<void(Result)> done) = 0;
    // Removes both: the name from the settings at once, the password from the keyring.
    virtual void Forget(std::function<void(Result)> done) = 0;
    // Whether a keyring answers: Ok or NotFound if one does.
    virtual void Probe(std::function<void(Result)> done) = 0;
};

// The desktop's keyring and the program's settings ($XDG_CONFIG_HOME/vellipost/vellipost.ini).
std::unique_ptr<AccountStore> MakeKeyringAccountStore();

} // namespace ui
