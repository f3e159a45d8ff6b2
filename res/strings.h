#pragma once
// The words of the window chrome: start-up names, the About box, the menu bar, the About item and
// the two texts of the menu commands. UTF-8 here; every one of them is representable in code page
// 936, like all built-in texts of the program.
#include <string>
#include <string_view>

namespace res {

// --- start-up ---
// The program's name, which Qt keeps on the application object; its version is the CMake
// project's (res/constants.h).
inline constexpr std::string_view kAppName = "Vellipost";
// The desktop entry (res/vellipost.desktop) the window system matches windows to.
inline constexpr std::string_view kDesktopFileName = "vellipost";

// --- the About box (IDD_ABOUTBOX) ---
inline constexpr std::string_view kAboutCaption = "关于 Vellipost";
inline constexpr std::string_view kAboutVersionLine = "Vellipost 1.0 版";
inline constexpr std::string_view kAboutSecondLine = "发送邮件和 ZIP 附件的小工具";
inline constexpr std::string_view kAboutOk = "确定";

// IDS_ABOUTBOX: the About item, with A as its access key.
inline constexpr std::string_view kAboutItem = "关于 Vellipost(&A)...";

// --- the menu bar (IDR_MAINMENU): commands on the bar itself, without access keys ---
inline constexpr std::string_view kMenuAuthor = "作者";
inline constexpr std::string_view kMenuHelp = "帮助";

// --- the menu commands' texts ---
// The help text names the address suffix twice, each time inside the quotes that end one piece
// and open the next.
inline constexpr std::string_view kHelpAddressFragment = "@163";
inline constexpr std::string_view kHelpPiece1 =
    "1:首先在Vellipost上输入必要的信息，如账号，密码...等等，注意账号不用后面加入\"";
inline constexpr std::string_view kHelpPiece2 = "\"字样，发送账号要加入\"";
inline constexpr std::string_view kHelpPiece3 =
    "\"字样\r\n\r\n\r\n2:"
    "确定输入完信息后，按软件上的发送按钮将发送邮件，直到Vellipost弹出窗口，显示\"发送成功!"
    "欢迎使用\"才完成，注意发送附件时候，附件为ZIP格式，名字为英文或是数字,"
    "请耐心等侍\r\n\n欢迎您的使用Vellipost。";

inline std::string HelpText() {
    std::string text;
    text.append(kHelpPiece1).append(kHelpAddressFragment).append(kHelpPiece2);
    text.append(kHelpAddressFragment).append(kHelpPiece3);
    return text;
}

// Two lines: who made it, and what it is.
inline constexpr std::string_view kCreditText =
    "Vellipost 开发组\n一个通过 SMTP 发送邮件的小程序，欢迎使用。";

} // namespace res
