#pragma once
// A mail core that records the message boxes it would show, with a fixed date and message id,
// pointed at a scripted loopback server.
#include "expected_mail.h"

#include "mail/gbk.h"
#include "mail/mailer.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace vtest {

class TestMailer : public mail::CMailer {
public:
    explicit TestMailer(uint16_t port) {
        SetServerForTesting("127.0.0.1", port);
        mail::Timeouts t;
        t.connect = std::chrono::seconds(5);
        t.reply = std::chrono::seconds(5);
        t.endOfData = std::chrono::seconds(5);
        SetTimeoutsForTesting(t);
    }
    ~TestMailer() override { AbortAttachmentWorker(); }

    // A complete, valid form: the user "demo" mails a Chinese subject and body.
    void FillForm() {
        m_strUser = "demo";
        m_strPassword = "secret";
        m_strRecipient = "friend@example.com";
        m_strSubject = mail::Gb18030("你好");
        m_strBody = mail::Gb18030("正文第一行\r\n第二行");
    }

    std::vector<mail::Msg> Ids() const {
        std::lock_guard lock(m_mutex);
        std::vector<mail::Msg> ids;
        for (const auto& n : m_notices)
            ids.push_back(n.id);
        return ids;
    }
    std::vector<mail::Notice> Notices() const {
        std::lock_guard lock(m_mutex);
        return m_notices;
    }
    // Waits for a started attachment worker to finish and joins it.
    bool WaitForWorker(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
        std::unique_lock lock(m_mutex);
        const bool done = m_finished.wait_for(lock, timeout, [&] { return m_workerDone; });
        lock.unlock();
        if (done)
            ReapAttachmentWorker();
        return done;
    }
    bool SessionClosed() const { return !HasReplyBuffer() && !SocketOpen(); }

protected:
    void ShowMessage(const mail::Notice& notice) override {
        std::lock_guard lock(m_mutex);
        m_notices.push_back(notice);
    }
    mail::MessageStamp StampMessage() override {
        return {kTestDate, mail::FormatMessageId(kTestRandomHex, 1796608800)};
    }
    void OnAttachmentWorkerFinished() override {
        std::lock_guard lock(m_mutex);
        m_workerDone = true;
        m_finished.notify_all();
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_finished;
    std::vector<mail::Notice> m_notices;
    bool m_workerDone = false;
};

} // namespace vtest
