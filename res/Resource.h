#pragma once
// Every resource number of the program: dialogs, menus, strings, icons, bitmaps,
// controls and commands. A control's number is unique within its dialog only, so the
// same value may name controls of different dialogs.

// The version the About box, the window's title and --version show.
#define TOLVARA_VERSION "1.0 Beta"

// Dialogs
inline constexpr int IDD_ABOUTBOX = 100;
inline constexpr int IDD_MONITOR = 102;
inline constexpr int IDD_SETTINGS = 145;
inline constexpr int IDD_FRIEND_LIST = 146;
inline constexpr int IDD_SEND_MESSAGE = 147;
inline constexpr int IDD_COMPUTER_NAME = 148;
inline constexpr int IDD_WHOIS = 149;
inline constexpr int IDD_EXPORT_LOG = 152;  // our own: the history export

// Menus, strings, icons, bitmaps
inline constexpr int IDR_LIST_POPUP = 104;
inline constexpr int IDR_TRAY_MENU = 150;
inline constexpr int IDR_SYSTEM_MENU = 151;  // our own: the window's system menu
inline constexpr int IDS_ABOUTBOX = 101;
inline constexpr int IDI_MAINFRAME = 128;
inline constexpr int IDB_CONN_IMAGES = 144;
inline constexpr int IDB_ABOUT_PICTURE = 154;
inline constexpr int IDB_AD_PICTURE = 155;

// Buttons every dialog shares
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDC_STATIC = -1;

// Main window (dialog 102). Its buttons send the command of the same number.
inline constexpr int IDC_CONN_LIST = 1000;
inline constexpr int IDC_PING = 1001;
inline constexpr int IDC_COMPUTER_NAME = 1002;
inline constexpr int IDC_WHOIS = 1003;
inline constexpr int IDC_SETTINGS = 1004;
inline constexpr int IDC_SEND_MESSAGE = 1005;
inline constexpr int IDC_FRIEND_LIST_DLG = 1006;
inline constexpr int IDC_FRIEND_LIST = 1014;
inline constexpr int IDC_HISTORY = 1036;
inline constexpr int IDC_AD_HOST = 1037;

// Settings dialog (145)
inline constexpr int IDC_INTERVAL = 1004;
inline constexpr int IDC_SHOW_ALL = 1005;
inline constexpr int IDC_SHOW_CONNECTED = 1007;
inline constexpr int IDC_KEEP_LOG = 1009;
inline constexpr int IDC_IGNORE_HTTP = 1011;
inline constexpr int IDC_IGNORE_TELNET = 1012;
inline constexpr int IDC_IGNORE_FTP = 1013;
inline constexpr int IDC_IGNORE_POP3 = 1014;
inline constexpr int IDC_IGNORE_NNTP = 1015;
inline constexpr int IDC_IGNORE_NETBIOS = 1016;
inline constexpr int IDC_IGNORE_SMTP = 1017;
inline constexpr int IDC_IGNORE_GROUP = 1018;
inline constexpr int IDC_IGNORE_HTTPS = 1019;
inline constexpr int IDC_SHOW_AT_START = 1035;
inline constexpr int IDC_ALARM = 1036;
inline constexpr int IDC_SHOW_PORT_NAMES = 1037;
inline constexpr int IDC_ALARM_NOTIFY = 1038;

// The IPv4 address control of dialogs 146 to 149
inline constexpr int IDC_IP_ADDRESS = 1019;

// Friend-list dialog (146)
inline constexpr int IDC_FRIENDS = 1020;
inline constexpr int IDC_ADD_FRIEND = 1021;
inline constexpr int IDC_DELETE_FRIEND = 1022;

// Send-message dialog (147)
inline constexpr int IDC_RECIPIENT_NAME = 1024;
inline constexpr int IDC_MESSAGE_TEXT = 1027;

// Computer-name dialog (148)
inline constexpr int IDC_NAME_RESULT = 1002;
inline constexpr int IDC_START_LOOKUP = 1030;

// Whois dialog (149)
inline constexpr int IDC_START_WHOIS = 1033;
inline constexpr int IDC_WHOIS_RESULT = 1034;

// History export dialog (152)
inline constexpr int IDC_EXPORT_FILE = 1040;
inline constexpr int IDC_EXPORT_BROWSE = 1041;
inline constexpr int IDC_EXPORT_FROM = 1042;
inline constexpr int IDC_EXPORT_TO = 1043;
inline constexpr int IDC_EXPORT_BOM = 1044;

// Commands: the main window's buttons, the tray menu and the list popup menu
inline constexpr int ID_PING = IDC_PING;
inline constexpr int ID_COMPUTER_NAME = IDC_COMPUTER_NAME;
inline constexpr int ID_WHOIS = IDC_WHOIS;
inline constexpr int ID_SETTINGS = IDC_SETTINGS;
inline constexpr int ID_SEND_MESSAGE = IDC_SEND_MESSAGE;
inline constexpr int ID_FRIEND_LIST = IDC_FRIEND_LIST_DLG;
inline constexpr int ID_VIEW_ACCESS_LOG = 1015;
inline constexpr int ID_COMPUTER_NAME_FOR_SELECTION = 32771;
inline constexpr int ID_WHOIS_FOR_SELECTION = 32772;
inline constexpr int ID_SEND_MESSAGE_TO_SELECTION = 32773;
inline constexpr int ID_EXIT = 32774;
inline constexpr int ID_EXPORT_ACCESS_LOG = 32775;  // our own

// System commands of the main window's system menu
inline constexpr int IDM_ABOUTBOX = 16;
inline constexpr int SC_CLOSE = 0xF060;
