#pragma once
// The message a test mail puts on the wire, written out from the wire format and the compiled-in
// constants, not from the code that composes it: every road's tests compare against these pieces.
#include "mail/constants.h"

#include <string>

namespace vtest {

// The stamp TestMailer gives every message: 10:00 at +0800 on 7 December 2026 is Unix time
// 1796608800.
inline constexpr char kTestDate[] = "Mon, 07 Dec 2026 10:00:00 +0800";
inline constexpr char kTestRandomHex[] = "0123456789abcdef0123456789abcdef";
inline std::string TestMessageId() {
    return std::string("<") + kTestRandomHex + ".1796608800@" + mail::MAIL_DOMAIN + ">";
}

// TestMailer::FillForm's subject 你好 (UTF-8 E4BDA0 E5A5BD in its encoded word) and body 正文第一行
// / 第二行 (GB18030 bytes, the same in GBK), on the wire.
inline constexpr char kFilledSubjectField[] = "Subject: =?UTF-8?B?5L2g5aW9?=";
inline constexpr char kFilledBodyBase64[] = "1f3OxLXa0rvQ0A0Ktdq2/tDQ";

// The header block, up to and including the empty line that ends it. The first part's boundary
// line follows (ExpectedTextPartHead, or ExpectedAttachmentHead for a mail without a body).
inline std::string ExpectedHead(const std::string& subjectField, const std::string& user = "demo",
                                const std::string& recipient = "friend@example.com") {
    return "From: <" + user + "@" + mail::MAIL_DOMAIN + ">\r\n" + "To: <" + recipient + ">\r\n" +
           subjectField + "\r\n" + "Date: " + kTestDate + "\r\n" +
           "Message-ID: " + TestMessageId() + "\r\n" +
           "X-mailer: tolvaren smtp dll\r\n"
           "Mime-Version: 1.0\r\n"
           "Content-Type: multipart/mixed;Boundary=\"marrowfen-quibblestar\"\r\n"
           "\r\n";
}

// The text part's boundary line and header, "7bit" or "base64", up to the empty line that ends it.
// The charset is GBK unless the body holds a character that code page 936 lacks or writes
// otherwise.
inline std::string ExpectedTextPartHead(const std::string& encoding,
                                        const std::string& charset = "GBK") {
    return "--marrowfen-quibblestar\r\n"
           "Content-Type: text/plain;charset=" +
           charset +
           "\r\n"
           "Content-transfer-Encoding: " +
           encoding + "\r\n\r\n";
}

// The header block and text part of TestMailer::FillForm's mail.
inline std::string ExpectedFilledMailHead() {
    return ExpectedHead(kFilledSubjectField) + ExpectedTextPartHead("base64") + kFilledBodyBase64;
}

// The attachment part's header for a plain ASCII name.
inline std::string ExpectedAttachmentHead(const std::string& name) {
    return "\r\n--marrowfen-quibblestar\r\n"
           "Content-Type:application/zip;name=\"" +
           name +
           "\"\r\n"
           "Content-Transfer-Encoding:base64\r\n"
           "Content-Disposition: attachment; filename=\"" +
           name + "\"\r\n\r\n";
}

inline const std::string kClosing = "\r\n--marrowfen-quibblestar--\r\n\r\n.\r\n";

} // namespace vtest
