#include "mail/words/catalogue.h"

#include <array>

namespace mail {
namespace {

template <typename Id> struct Entry {
    Id id;
    std::string_view text;
};

constexpr std::array kCatalogue{
    Entry<Msg>{Msg::NeedUserAndPassword, "请输入用户名和密码!"},
    Entry<Msg>{Msg::NeedCompleteContent, "请输入完整内容!"},
    Entry<Msg>{Msg::NeedBodyOrAttachment, "请输入内容或是附件!"},
    Entry<Msg>{Msg::OutOfMemory, "没有足够的内存空间!"},
    Entry<Msg>{Msg::CreateSocketFailed, "创建与163服务器连接的端口失败，请检查原因!"},
    Entry<Msg>{Msg::ReceiveFailed, "接受163服务器信息失败，请检查网络!"},
    Entry<Msg>{Msg::WrongAccount, "请输入正确的帐号和密码!"},
    Entry<Msg>{Msg::SendFailed, "邮件发送不成功!"},
    Entry<Msg>{Msg::QuitFailed, "退出邮箱不成功!"},
    Entry<Msg>{Msg::SentOk, "发送成功!欢迎使用"},
    Entry<Msg>{Msg::ReplyCode, "%1"},
    Entry<Msg>{Msg::LineBreakInField, "用户名、密码、收件人和主题中不能含有换行符!"},
    Entry<Msg>{Msg::UnsendableCharacter, "输入的内容中含有无法发送的字符!"},
    Entry<Msg>{Msg::AttachmentOpenFailed, "无法打开附件文件，请检查路径!"},
    Entry<Msg>{Msg::AttachmentReadFailed, "读取附件失败，邮件没有发送!"},
    Entry<Msg>{Msg::AttachmentBusy, "附件正在发送中，请稍候!"},
    Entry<Msg>{Msg::ConfirmQuitWhileSending, "附件正在发送中，确定要退出吗?"},
    Entry<Msg>{Msg::ConfirmQuitMidCommand, "邮件正在发送中，确定要退出吗?"},
    Entry<Msg>{Msg::WorkerStartFailed, "无法启动附件发送，邮件没有发送!"},
    Entry<Msg>{Msg::SubjectTooLong, "主题太长，请缩短后再发送!"},
    Entry<Msg>{Msg::SecureConnectFailed, "与163服务器建立安全连接失败，请检查网络!"},
    Entry<Msg>{Msg::AuthNotAccepted, "服务器不接受这种登录方式，邮件没有发送!"},
    Entry<Msg>{Msg::MailTooLarge, "邮件太大，服务器最多接受%1 MB，邮件没有发送!"},
    Entry<Msg>{Msg::ControlCharacterInPath, "附件路径中不能含有换行符等控制字符!"},
    Entry<Msg>{Msg::RecipientNotOneAddress, "收件人地址不正确，请只填写一个邮件地址!"},
    Entry<Msg>{Msg::AccountNotLocalPart, "帐号只需填写@前面的部分!"},
    Entry<Msg>{Msg::NoEncryption, "服务器不支持加密连接，为保护密码，邮件没有发送!"},
    Entry<Msg>{Msg::MailTooLargeKb, "邮件太大，服务器最多接受%1 KB，邮件没有发送!"},
};

constexpr std::array kCauses{
    Entry<Cause>{Cause::None, ""},
    Entry<Cause>{Cause::Resolve, "找不到服务器"},
    Entry<Cause>{Cause::Refused, "服务器拒绝了连接"},
    Entry<Cause>{Cause::Unreachable, "无法连接到服务器"},
    Entry<Cause>{Cause::TimedOut, "服务器长时间没有回应"},
    Entry<Cause>{Cause::Closed, "服务器关闭了连接"},
    Entry<Cause>{Cause::NotSmtp, "服务器的回应无法识别"},
    Entry<Cause>{Cause::Secure, "安全连接失败"},
    Entry<Cause>{Cause::Network, "网络连接出错"},
};

constexpr std::array kHints{
    Entry<Hint>{Hint::None, ""},
    Entry<Hint>{Hint::AuthorizationCode,
                "提示：163邮箱的SMTP登录需要使用客户端授权码，而不是网页登录密码。"},
    Entry<Hint>{Hint::EnableSmtp, "提示：该账号可能没有开启SMTP服务，请在邮箱设置中开启。"},
    Entry<Hint>{Hint::SenderIsAccount, "提示：发件人必须是登录的账号。"},
    Entry<Hint>{Hint::RecipientRefused, "提示：收件人地址不存在或被拒绝，请检查收件人。"},
    Entry<Hint>{Hint::TooLarge, "提示：邮件太大，服务器拒收。"},
    Entry<Hint>{Hint::Spam, "提示：邮件被服务器当作垃圾邮件拒绝了。"},
};

constexpr std::array kWords{
    Entry<Word>{Word::Caption, "Vellipost"},
    Entry<Word>{Word::SendButton, "发信"},
    Entry<Word>{Word::ExitButton, "退出"},
    Entry<Word>{Word::UserLabel, "用户名:"},
    Entry<Word>{Word::PasswordLabel, "密码:"},
    Entry<Word>{Word::RecipientLabel, "收件人:"},
    Entry<Word>{Word::SubjectLabel, "主题:"},
    Entry<Word>{Word::BodyLabel, "内容:"},
    Entry<Word>{Word::AttachButton, "附件"},
    Entry<Word>{Word::AttachmentFilter, "(*.zip)"},
    Entry<Word>{Word::Progress, "已发送 %1%"},
    Entry<Word>{Word::BannerDescription,
                "Vellipost 的标志：蓝色方块里一个白色信封，别着橙色回形针，右边是 Vellipost "
                "字样，上下是航空信封的蓝橙斜纹边。"},
    Entry<Word>{Word::AboutCaption, "关于 Vellipost"},
    Entry<Word>{Word::AboutVersionLine, "Vellipost %1 版"}, // %1 is the version
    Entry<Word>{Word::AboutSecondLine, "发送邮件和 ZIP 附件的小工具"},
    Entry<Word>{Word::AboutOk, "确定"},
    Entry<Word>{Word::AboutItem, "关于 Vellipost(&A)..."},
    Entry<Word>{Word::MenuAuthor, "作者"},
    Entry<Word>{Word::MenuHelp, "帮助"},
    // The help text names the provider's address suffix ("@163") twice, each time in quotes.
    Entry<Word>{
        Word::HelpText,
        "1:首先在Vellipost上输入必要的信息，如账号，密码...等等，注意账号不用后面加入\""
        "@163"
        "\"字样，发送账号要加入\""
        "@163"
        "\"字样\r\n\r\n\r\n2:"
        "确定输入完信息后，按软件上的发送按钮将发送邮件，直到Vellipost弹出窗口，显示\"发送成功!"
        "欢迎使用\"才完成，注意发送附件时候，附件为ZIP格式，名字为英文或是数字,"
        "请耐心等侍\r\n\n欢迎您的使用Vellipost。"},
    Entry<Word>{Word::CreditText, "Vellipost 开发组\n一个通过 SMTP 发送邮件的小程序，欢迎使用。"},
    Entry<Word>{Word::RememberAccount, "记住帐号和密码"},
    Entry<Word>{Word::CancelSend, "取消发送"},
    Entry<Word>{Word::AttachPathName, "附件路径"},
    Entry<Word>{Word::StatusDescription, "发送状态"},
    Entry<Word>{Word::StatusConnecting, "正在连接服务器…"},
    Entry<Word>{Word::StatusLoggingIn, "正在登录…"},
    Entry<Word>{Word::StatusSending, "正在发送邮件…"},
    Entry<Word>{Word::StatusUploading, "已发送 %1%（%2 / %3，%4/s）"},
    Entry<Word>{Word::StatusSent, "邮件已发送"},
    Entry<Word>{Word::StatusCancelled, "已取消，邮件没有发送"},
    Entry<Word>{Word::StatusDraftRestored, "已恢复上次未发送的邮件"},
    Entry<Word>{Word::StatusNoKeyring, "系统密码库不可用，密码不会被保存"},
    Entry<Word>{Word::StatusDropRefused, "只能拖入一个本地文件"},
};

// Every id has exactly one entry, in the order of its enum: the lookup is an index.
template <typename Id, std::size_t N>
constexpr bool InOrder(const std::array<Entry<Id>, N>& table) {
    for (std::size_t i = 0; i < N; ++i)
        if (static_cast<std::size_t>(table[i].id) != i)
            return false;
    return true;
}
static_assert(InOrder(kCatalogue) && InOrder(kCauses) && InOrder(kHints) && InOrder(kWords),
              "every entry in its enum's order");
static_assert(kCatalogue.size() == static_cast<std::size_t>(Msg::MailTooLargeKb) + 1 &&
                  kCauses.size() == static_cast<std::size_t>(Cause::Network) + 1 &&
                  kHints.size() == static_cast<std::size_t>(Hint::Spam) + 1 &&
                  kWords.size() == static_cast<std::size_t>(Word::StatusDropRefused) + 1,
              "none missing");

std::string Filled(std::string_view words, std::string_view argument) {
    std::string text(words);
    if (const auto at = text.find("%1"); at != std::string::npos)
        text.replace(at, 2, argument);
    return text;
}

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

std::string_view Words(Msg id) {
    return kCatalogue[static_cast<std::size_t>(id)].text;
}

std::string_view Words(Cause cause) {
    return kCauses[static_cast<std::size_t>(cause)].text;
}

std::string_view Words(Hint hint) {
    return kHints[static_cast<std::size_t>(hint)].text;
}

std::string_view Words(Word word) {
    return kWords[static_cast<std::size_t>(word)].text;
}

std::string WordsWith(Msg id, std::string_view argument) {
    return Filled(Words(id), argument);
}

std::string WordsWith(Word word, std::string_view argument) {
    return Filled(Words(word), argument);
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

} // namespace mail
