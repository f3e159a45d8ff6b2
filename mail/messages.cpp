#include "mail/messages.h"

#include "mail/gbk.h"

#include <array>

namespace mail {
namespace {

struct Entry {
    Msg id;
    std::string_view text;
};

constexpr std::array kCatalogue{
    Entry{Msg::NeedUserAndPassword, "请输入用户名和密码!"},
    Entry{Msg::NeedCompleteContent, "请输入完整内容!"},
    Entry{Msg::NeedBodyOrAttachment, "请输入内容或是附件!"},
    Entry{Msg::OutOfMemory, "没有足够的内存空间!"},
    Entry{Msg::CreateSocketFailed, "创建与163服务器连接的端口失败，请检查原因!"},
    Entry{Msg::ReceiveFailed, "接受163服务器信息失败，请检查网络!"},
    Entry{Msg::WrongAccount, "请输入正确的帐号和密码!"},
    Entry{Msg::SendFailed, "邮件发送不成功!"},
    Entry{Msg::QuitFailed, "退出邮箱不成功!"},
    Entry{Msg::SentOk, "发送成功!欢迎使用"},
    Entry{Msg::ReplyCode, ""},
    Entry{Msg::LineBreakInField, "用户名、密码、收件人和主题中不能含有换行符!"},
    Entry{Msg::UnsendableCharacter, "输入的内容中含有无法发送的字符!"},
    Entry{Msg::AttachmentOpenFailed, "无法打开附件文件，请检查路径!"},
    Entry{Msg::AttachmentReadFailed, "读取附件失败，邮件没有发送!"},
    Entry{Msg::AttachmentBusy, "附件正在发送中，请稍候!"},
    Entry{Msg::ConfirmQuitWhileSending, "附件正在发送中，确定要退出吗?"},
    Entry{Msg::ConfirmQuitMidCommand, "邮件正在发送中，确定要退出吗?"},
    Entry{Msg::WorkerStartFailed, "无法启动附件发送，邮件没有发送!"},
    Entry{Msg::SubjectTooLong, "主题太长，请缩短后再发送!"},
    Entry{Msg::SecureConnectFailed, "与163服务器建立安全连接失败，请检查网络!"},
    Entry{Msg::AuthNotAccepted, "服务器不接受这种登录方式，邮件没有发送!"},
    Entry{Msg::MailTooLarge, "邮件太大，服务器最多接受%1 MB，邮件没有发送!"},
    Entry{Msg::ControlCharacterInPath, "附件路径中不能含有换行符等控制字符!"},
};

static_assert(kCatalogue.size() == static_cast<size_t>(Msg::ControlCharacterInPath) + 1,
              "every message has exactly one entry");

struct HintWords {
    Hint hint;
    std::string_view text;
};

constexpr std::array kHintWords{
    HintWords{Hint::AuthorizationCode,
              "提示：163邮箱的SMTP登录需要使用客户端授权码，而不是网页登录密码。"},
    HintWords{Hint::EnableSmtp, "提示：该账号可能没有开启SMTP服务，请在邮箱设置中开启。"},
    HintWords{Hint::SenderIsAccount, "提示：发件人必须是登录的账号。"},
    HintWords{Hint::RecipientRefused, "提示：收件人地址不存在或被拒绝，请检查收件人。"},
    HintWords{Hint::TooLarge, "提示：邮件太大，服务器拒收。"},
    HintWords{Hint::Spam, "提示：邮件被服务器当作垃圾邮件拒绝了。"},
};

// Which refusal of which command gets which hint. A size refusal (any 552, or the enhanced code
// 5.3.4 of RFC 3463) is recognised before these, whatever the command.
struct HintRule {
    Command answered;
    std::string_view code;
    Hint hint;
};

constexpr std::array kHintRules{
    HintRule{Command::Password, "535", Hint::AuthorizationCode},
    HintRule{Command::MailFrom, "550", Hint::EnableSmtp},
    HintRule{Command::MailFrom, "553", Hint::SenderIsAccount},
    HintRule{Command::RcptTo, "550", Hint::RecipientRefused},
    HintRule{Command::RcptTo, "551", Hint::RecipientRefused},
    HintRule{Command::RcptTo, "553", Hint::RecipientRefused},
    HintRule{Command::Data, "554", Hint::Spam},
    HintRule{Command::EndOfData, "554", Hint::Spam},
};

// True if the reply's first line carries the enhanced status code `status` (RFC 2034: right
// after the code and its separator, followed by a space or the end of the line).
bool HasEnhancedCode(std::string_view reply, std::string_view status) {
    if (reply.size() < 4 + status.size() || reply.substr(4, status.size()) != status)
        return false;
    const std::size_t after = 4 + status.size();
    return after == reply.size() || reply[after] == ' ' || reply[after] == '\r' ||
           reply[after] == '\n';
}

} // namespace

std::string_view MessageUtf8(Msg id) {
    for (const auto& entry : kCatalogue)
        if (entry.id == id)
            return entry.text;
    return {};
}

const std::string& MessageText(Msg id) {
    // Converted once, on first use; the statics are thread-safe to initialise.
    static const auto table = [] {
        std::array<std::string, kCatalogue.size()> gbk;
        for (const auto& entry : kCatalogue)
            gbk[static_cast<size_t>(entry.id)] = Gbk(entry.text);
        return gbk;
    }();
    return table[static_cast<size_t>(id)];
}

Hint ChooseHint(Command answered, std::string_view reply) {
    const std::string_view code = reply.substr(0, 3);
    if (code == "552" || HasEnhancedCode(reply, "5.3.4"))
        return Hint::TooLarge;
    for (const auto& rule : kHintRules)
        if (rule.answered == answered && rule.code == code)
            return rule.hint;
    return Hint::None;
}

std::string_view HintUtf8(Hint hint) {
    for (const auto& words : kHintWords)
        if (words.hint == hint)
            return words.text;
    return {};
}

} // namespace mail
