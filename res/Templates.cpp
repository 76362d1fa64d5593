#include "res/Templates.h"

namespace {

constexpr uint32_t LV_CONN = LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS | WS_BORDER | WS_TABSTOP;
constexpr uint32_t LV_FRIEND = LVS_REPORT | LVS_SINGLESEL | WS_BORDER | WS_TABSTOP;

const DialogTemplate kMonitor{
    IDD_MONITOR, "Tolvara v1.0 Beta", "Gulim", 9, 0, 0, 383, 271, true,
    {
        {1000, ControlKind::ListView, "", LV_CONN, 7, 36, 272, 159},
        {1014, ControlKind::ListView, "", LV_FRIEND, 282, 36, 94, 159},
        {1036, ControlKind::ListBox, "", LBS_SORT | WS_VSCROLL | WS_BORDER | WS_TABSTOP, 7, 201, 248, 63},
        {1002, ControlKind::PushButton, "컴 이름(&N)", WS_TABSTOP, 33, 17, 42, 16},
        {1003, ControlKind::PushButton, "&Who Is", WS_TABSTOP, 78, 17, 42, 16},
        {1005, ControlKind::PushButton, "메시지(&M)", WS_TABSTOP, 123, 17, 42, 16},
        {1004, ControlKind::PushButton, "환경(&E)", WS_TABSTOP, 200, 17, 42, 16},
        {1006, ControlKind::PushButton, "친구목록(&F)", WS_TABSTOP, 285, 17, 42, 16},
        {1001, ControlKind::DefPushButton, "Ping(&P)", WS_TABSTOP, 330, 17, 42, 16},
        {1037, ControlKind::Text, "", SS_CENTER | SS_SUNKEN | WS_EX_DLGMODALFRAME, 257, 201, 119, 39},
        {IDC_STATIC, ControlKind::Picture, "", SS_SUNKEN, 257, 245, 119, 19, IDB_AD_PICTURE},
    }};

const DialogTemplate kSettings{
    IDD_SETTINGS, "환경 설정", "Gulim", 9, 100, 30, 215, 181, false,
    {
        {IDC_STATIC, ControlKind::GroupBox, "표시 선택", 0, 7, 10, 115, 40},
        {1005, ControlKind::RadioButton, "몽땅 다 표시하기", 0, 17, 23, 75, 9},
        {1007, ControlKind::RadioButton, "연결된것만 표시", 0, 17, 36, 70, 9},
        {IDC_STATIC, ControlKind::Text, "감시 시간 간격 :", 0, 14, 71, 53, 9},
        {1004, ControlKind::Edit, "", ES_NUMBER | ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, 71, 69, 28, 12},
        {IDC_STATIC, ControlKind::Text, "초", 0, 102, 72, 18, 13},
        {1018, ControlKind::GroupBox, "연결 무시", 0, 130, 9, 72, 111},
        {1011, ControlKind::CheckBox, "HTTP", WS_TABSTOP, 138, 23, 43, 11},
        {1019, ControlKind::CheckBox, "HTTPS", WS_TABSTOP, 138, 35, 43, 11},
        {1012, ControlKind::CheckBox, "TELNET", WS_TABSTOP, 138, 45, 43, 11},
        {1013, ControlKind::CheckBox, "FTP", WS_TABSTOP, 138, 56, 43, 11},
        {1014, ControlKind::CheckBox, "POP3", WS_TABSTOP, 138, 67, 43, 11},
        {1015, ControlKind::CheckBox, "NNTP", WS_TABSTOP, 138, 78, 43, 11},
        {1016, ControlKind::CheckBox, "NetBIOS", WS_TABSTOP, 138, 89, 43, 11},
        {1017, ControlKind::CheckBox, "SMTP", WS_TABSTOP, 138, 100, 43, 11},
        {1035, ControlKind::CheckBox, "처음 시작시 창 표시", WS_TABSTOP, 13, 126, 76, 12},
        {1009, ControlKind::CheckBox, "접속 기록 남기기", WS_TABSTOP, 107, 126, 72, 11},
        {1036, ControlKind::CheckBox, "외부 접속시 경보", WS_TABSTOP, 13, 141, 76, 12},
        {1037, ControlKind::CheckBox, "포트 이름 표시", WS_TABSTOP, 107, 141, 76, 12},
        {1, ControlKind::DefPushButton, "&OK", WS_TABSTOP, 49, 160, 50, 14},
        {2, ControlKind::PushButton, "&Cancel", WS_TABSTOP, 120, 160, 50, 14},
    }};

const DialogTemplate kAbout{
    IDD_ABOUTBOX, "Tolvara 정보", "Gulim", 9, 0, 0, 199, 193, true,
    {
        {IDC_STATIC, ControlKind::Icon, "", 0, 11, 17, 20, 20, IDI_MAINFRAME},
        {IDC_STATIC, ControlKind::Text, "Tolvara 버전 1.0 Beta", 0, 40, 10, 119, 8},
        {IDC_STATIC, ControlKind::Picture, "", 0, 41, 29, 151, 70, IDB_ABOUT_PICTURE},
        {1, ControlKind::DefPushButton, "확인", WS_TABSTOP, 73, 172, 50, 14},
    }};

const MenuTemplate kListPopup{IDR_LIST_POPUP,
                              {
                                  {32773, "메시지 보내기(&M)..."},
                                  {0, nullptr},
                                  {32771, "컴퓨터 이름(&N)..."},
                                  {32772, "&Who Is..."},
                              }};

const MenuTemplate kTrayMenu{IDR_TRAY_MENU,
                             {
                                 {1005, "메시지 송신"},
                                 {0, nullptr},
                                 {1003, "WhoIs 검색"},
                                 {1002, "컴퓨터 이름 보기"},
                                 {1006, "친구 목록"},
                                 {1004, "환경 설정"},
                                 {0, nullptr},
                                 {1015, "접속 기록 보기"},
                                 {0, nullptr},
                                 {32774, "종 료"},
                             }};

const DialogTemplate* const kDialogs[] = {&kMonitor, &kSettings, &kAbout};

}  // namespace

const DialogTemplate* FindDialogTemplate(int id) {
    for (const DialogTemplate* t : kDialogs)
        if (t->id == id) return t;
    return nullptr;
}

const MenuTemplate* FindMenuTemplate(int id) {
    if (id == IDR_LIST_POPUP) return &kListPopup;
    if (id == IDR_TRAY_MENU) return &kTrayMenu;
    return nullptr;
}

const char* LoadStringResource(int id) {
    if (id == IDS_ABOUTBOX) return "Tolvara 정보(&A)...";
    return "";
}
