#pragma once
// A mail core that records the message boxes it would show, with a fixed date and message id,
// pointed at a scripted loopback server through the build's front (server_front.h), with a name
// server that can be made slow or silent.
#include "expected_mail.h"
#include "server_front.h"

#include "gbk_literal.h"
#include "mail/session/front_end.h"
#include "mail/session/mailer.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace vtest {

class TestMailer : public mail::FrontEnd {
public:
    // Pointed at port itself, with no front: for what happens before the build's transport (a
    // connect that is refused or hangs) and for tests that stand their own front before a server.
    struct Direct {};
    TestMailer(Direct, uint16_t port) {
        core.SetServerForTesting("127.0.0.1", port);
        mail::Timeouts t;
        t.connect = std::chrono::seconds(5);
        t.reply = std::chrono::seconds(5);
        t.endOfData = std::chrono::seconds(5);
        core.SetTimeoutsForTesting(t);
        mail::Platform& platform = core.PlatformForTesting();
        platform.stamp = [] {
            return mail::MessageStamp{kTestDate, mail::FormatMessageId(kTestRandomHex, 1796608800)};
        };
        platform.resolve = [this](const std::string& host, std::uint16_t port,
                                  std::shared_ptr<mail::Lookup> lookup) {
            m_waitHookCalls = 0;
            if (nameServer == NameServer::System)
                mail::ResolveWithSystem(host, port, std::move(lookup));
            if (nameServer == NameServer::Slow) {
                m_slowHost = host;
                m_slowPort = port;
                m_slowLookup = std::move(lookup);
            }
        };
    }
    explicit TestMailer(uint16_t port) : TestMailer(Direct{}, port) {
        m_front = std::make_unique<ServerFront>(port);
        core.SetServerForTesting("127.0.0.1", m_front->port());
        core.SetTrustedCaFileForTesting(m_front->CaFile());
    }

    // A complete, valid form: the user "demo" mails a Chinese subject and body.
    void FillForm() {
        form.m_strUser = "demo";
        form.m_strPassword = "secret";
        form.m_strRecipient = "friend@example.com";
        form.m_strSubject = vtest::Gb18030("你好");
        form.m_strBody = vtest::Gb18030("正文第一行\r\n第二行");
    }
    // The send button.
    void OnOK() { core.OnOK(form); }

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
            core.ReapAttachmentWorker();
        return done;
    }
    bool SessionClosed() const { return !core.HasReplyBuffer() && !core.SocketOpen(); }

    // The name server: the system's (an address is answered at once, without it), one that never
    // answers, or one that answers once the wait hook has run three times.
    enum class NameServer { System, Silent, Slow };
    NameServer nameServer = NameServer::System;
    // How often the send command's wait hook has run.
    int WaitHookCalls() const { return m_waitHookCalls; }

    void ShowMessage(const mail::Notice& notice) override {
        std::lock_guard lock(m_mutex);
        m_notices.push_back(notice);
    }
    // The user's time on a question the wait hook opens once (the quit question of the form).
    std::chrono::milliseconds questionOpen{0};

    void WhileWaiting() override {
        if (questionOpen.count() > 0)
            std::this_thread::sleep_for(std::exchange(questionOpen, {}));
        if (++m_waitHookCalls == 3 && m_slowLookup)
            mail::ResolveWithSystem(m_slowHost, m_slowPort, std::move(m_slowLookup));
    }
    void OnAttachmentWorkerFinished() override {
        std::lock_guard lock(m_mutex);
        m_workerDone = true;
        m_finished.notify_all();
    }

private:
    std::unique_ptr<ServerFront> m_front;
    mutable std::mutex m_mutex;
    std::condition_variable m_finished;
    std::vector<mail::Notice> m_notices;
    bool m_workerDone = false;
    int m_waitHookCalls = 0; // the wait hook runs on the send command's thread only
    std::shared_ptr<mail::Lookup> m_slowLookup;
    std::string m_slowHost;
    std::uint16_t m_slowPort = 0;

public:
    mail::Form form;
    // Last, so that it goes first: its worker calls this object back until it has ended.
    mail::CMailer core{*this};
};

} // namespace vtest
