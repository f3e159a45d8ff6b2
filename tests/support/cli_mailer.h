#pragma once
// The mail core for command-line drivers (end-to-end tests, benchmarks): form values from UTF-8
// arguments, the messages the user would see printed on stdout, and a wait for the attachment
// worker so that the process ends only after the send has. Each message is one line; the box's
// detail (the server's reply or why the connection failed, then the hint) follows it, each of its
// lines indented by four spaces.
#include "mail/session/front_end.h"
#include "mail/session/mailer.h"
#include "mail/words/gbk.h"
#include "mail/words/notice.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

namespace vtest {

class CliMailer : public mail::FrontEnd {
public:
    // Fills the form from UTF-8 texts as the dialog does: the account fields in code page 936, the
    // subject and body in GB18030, the path (may be null) as the file system's own bytes. False if
    // a text cannot be represented exactly.
    bool SetForm(const char* user, const char* password, const char* recipient, const char* subject,
                 const char* body, const char* attachmentPath) {
        const auto set = [](std::string& member, const char* utf8, auto encode) {
            const auto bytes = encode(utf8);
            if (bytes)
                member = *bytes;
            return bytes.has_value();
        };
        form.m_strAttachPath = attachmentPath ? attachmentPath : "";
        return set(form.m_strUser, user, mail::Utf8ToGbk) &&
               set(form.m_strPassword, password, mail::Utf8ToGbk) &&
               set(form.m_strRecipient, recipient, mail::Utf8ToGbk) &&
               set(form.m_strSubject, subject, mail::Utf8ToGb18030) &&
               set(form.m_strBody, body, mail::Utf8ToGb18030);
    }
    // The send button, and the wait for what it started.
    void Send() {
        core.OnOK(form);
        WaitForWorker();
    }

    // Returns once no attachment worker is running, and joins it.
    void WaitForWorker() {
        std::unique_lock lock(m_mutex);
        m_cv.wait(lock, [&] { return m_done || !core.IsSending(); });
        lock.unlock();
        core.ReapAttachmentWorker();
    }

    void ShowMessage(const mail::Notice& notice) override {
        std::printf("%s\n", mail::NoticeText(notice).c_str());
        const std::string detail = mail::NoticeDetail(notice);
        for (std::string_view rest = detail; !rest.empty();) {
            const std::string_view line = rest.substr(0, rest.find('\n'));
            std::printf("    %.*s\n", static_cast<int>(line.size()), line.data());
            rest.remove_prefix(std::min(rest.size(), line.size() + 1));
        }
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

public:
    mail::Form form;
    // Last, so that it goes first: its worker calls this object back until it has ended.
    mail::CMailer core{*this};
};

} // namespace vtest
