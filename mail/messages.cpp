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
};

static_assert(kCatalogue.size() == static_cast<size_t>(Msg::SecureConnectFailed) + 1,
              "every message has exactly one entry");

struct Hint {
    std::string_view code;
    std::string_view text;
};

constexpr std::array kHints{
    Hint{"535", "提示：163邮箱的SMTP登录需要使用客户端授权码，而不是网页登录密码。"},
    Hint{"550", "提示：该账号可能没有开启SMTP服务，请在邮箱设置中开启。"},
    Hint{"553", "提示：发件人必须是登录的账号。"},
    Hint{"554", "提示：邮件被服务器当作垃圾邮件拒绝了。"},
};

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

std::string_view ReplyHintUtf8(std::string_view code) {
    for (const auto& hint : kHints)
        if (hint.code == code)
            return hint.text;
    return {};
}

} // namespace mail
