#pragma once
// The mail core for command-line drivers (end-to-end tests, benchmarks): form values from UTF-8
// arguments, the messages the user would see printed on stdout, and a wait for the attachment
// worker so that the process ends only after the send has.
#include "mail/gbk.h"
#include "mail/mailer.h"

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>

namespace vtest {

class CliMailer : public mail::CMailer {
public:
    ~CliMailer() override { AbortAttachmentWorker(); }

    // Stores a UTF-8 text into a form member as code page 936; false if it is not representable.
    static bool Set(std::string& member, const char* utf8) {
        const auto gbk = mail::Utf8ToGbk(utf8);
        if (!gbk)
            return false;
        member = *gbk;
        return true;
    }

    // Returns once no attachment worker is running, and joins it.
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

} // namespace vtest
