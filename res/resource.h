#pragma once
// Resource ids. Ids are unique within their resource type only: the menu bar and the banner
// bitmap are both 130.

// Dialog templates
inline constexpr int IDD_ABOUTBOX = 100;
inline constexpr int IDD_MAILER_DIALOG = 102;

// Strings
inline constexpr int IDS_ABOUTBOX = 101;

// Icons, menus and bitmaps
inline constexpr int IDR_MAINFRAME = 128;
inline constexpr int IDR_MAINMENU = 130;
inline constexpr int IDB_BANNER = 130;

// Controls of the main form
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDC_ATTACH = 3;
inline constexpr int IDC_USER = 1000;
inline constexpr int IDC_PASSWORD = 1001;
inline constexpr int IDC_RECIPIENT = 1002;
inline constexpr int IDC_SUBJECT = 1003;
inline constexpr int IDC_BODY = 1004;
inline constexpr int IDC_ATTACH_PATH = 1006;
inline constexpr int IDC_BLANK = 1007;

// Menu commands
inline constexpr int ID_HELP_TEXT = 32772;
inline constexpr int ID_AUTHOR = 32773;

// System-menu command: a multiple of 16 (the low four bits belong to the window system), below
// the window system's own commands at 0xF000.
inline constexpr int IDM_ABOUTBOX = 0x0010;
