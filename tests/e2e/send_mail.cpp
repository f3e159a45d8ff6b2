// Sends one mail through the mail core, as the program's send button does, to a server on a given
// loopback port. Texts come in as UTF-8 arguments and the messages the user would see go out on
// stdout, one per line: end-to-end tests drive the real core against a real server with it.
//
//   send_mail PORT USER PASSWORD RECIPIENT SUBJECT BODY [ATTACHMENT]
#include "mail/gbk.h"
#include "mail/mailer.h"

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace {

class CliMailer : public mail::CMailer {
public:
    bool Set(std::string& member, const char* utf8) {
        const auto gbk = mail::Utf8ToGbk(utf8);
        if (!gbk)
            return false;
        member = *gbk;
        return true;
    }
    void WaitForWorker() {
        std::unique_lock lock(m_mutex);
        m_cv.wait(lock, [&] { return m_done || !IsSending(); });
        lock.unlock();
        ReapAttachmentWorker();
    }

protected:
    void ShowMessage(const mail::Notice& notice) override {
        const auto utf8 = mail::GbkToUtf8(notice.text);
        std::printf("%s\n", utf8 ? utf8->c_str() : notice.text.c_str());
        std::fflush(stdout);
    }
    void OnAttachmentWorkerFinished() override {
        std::lock_guard lock(m_mutex);
        m_done = true;
        m_cv.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_done = false;
};

} // namespace

int main(int argc, char** argv) {
    if (argc < 7 || argc > 8) {
        std::fprintf(stderr, "usage: %s PORT USER PASSWORD RECIPIENT SUBJECT BODY [ATTACHMENT]\n",
                     argv[0]);
        return 2;
    }
    CliMailer mailer;
    mailer.SetServerForTesting("127.0.0.1", static_cast<std::uint16_t>(std::atoi(argv[1])));
    const bool ok =
        mailer.Set(mailer.m_strUser, argv[2]) && mailer.Set(mailer.m_strPassword, argv[3]) &&
        mailer.Set(mailer.m_strRecipient, argv[4]) && mailer.Set(mailer.m_strSubject, argv[5]) &&
        mailer.Set(mailer.m_strBody, argv[6]) &&
        (argc < 8 || mailer.Set(mailer.m_strAttachPath, argv[7]));
    if (!ok) {
        std::fprintf(stderr, "an argument is not representable in code page 936\n");
        return 2;
    }
    mailer.OnOK();
    mailer.WaitForWorker();
    return 0;
}
