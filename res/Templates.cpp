#include "res/Templates.h"

namespace {

constexpr uint32_t LV_CONN = LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS | LVS_OWNERDATA | WS_BORDER | WS_TABSTOP;
constexpr uint32_t LV_FRIEND = LVS_REPORT | LVS_SINGLESEL | WS_BORDER | WS_TABSTOP;
constexpr uint32_t EDIT_LINE = ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP;

const DialogTemplate kMonitor{
    IDD_MONITOR, "Tolvara v" TOLVARA_VERSION, "Gulim", 9, 0, 0, 383, 271, true,
    {
        {IDC_CONN_LIST, ControlKind::ListView, "", LV_CONN, 7, 36, 272, 159},
        {IDC_FRIEND_LIST, ControlKind::ListView, "", LV_FRIEND, 282, 36, 94, 159},
        {IDC_HISTORY, ControlKind::ListBox, "", LBS_SORT | WS_VSCROLL | WS_BORDER | WS_TABSTOP, 7, 201, 248, 63},
        {IDC_COMPUTER_NAME, ControlKind::PushButton, "컴 이름(&N)", WS_TABSTOP, 33, 17, 42, 16},
        {IDC_WHOIS, ControlKind::PushButton, "&Who Is", WS_TABSTOP, 78, 17, 42, 16},
        {IDC_SEND_MESSAGE, ControlKind::PushButton, "메시지(&M)", WS_TABSTOP, 123, 17, 42, 16},
        {IDC_SETTINGS, ControlKind::PushButton, "환경(&E)", WS_TABSTOP, 200, 17, 42, 16},
        {IDC_FRIEND_LIST_DLG, ControlKind::PushButton, "친구목록(&F)", WS_TABSTOP, 285, 17, 42, 16},
        {IDC_PING, ControlKind::DefPushButton, "Ping(&P)", WS_TABSTOP, 330, 17, 42, 16},
        {IDC_AD_HOST, ControlKind::Text, "", SS_CENTER | SS_SUNKEN | WS_EX_DLGMODALFRAME, 257, 201, 119, 39},
        {IDC_STATIC, ControlKind::Picture, "", SS_SUNKEN, 257, 245, 119, 19, IDB_AD_PICTURE},
    }};

const DialogTemplate kSettings{
    IDD_SETTINGS, "환경 설정", "Gulim", 9, 100, 30, 215, 194, false,
    {
        {IDC_STATIC, ControlKind::GroupBox, "표시 선택", 0, 7, 10, 115, 40},
        {IDC_SHOW_ALL, ControlKind::RadioButton, "몽땅 다 표시하기", 0, 17, 23, 75, 9},
        {IDC_SHOW_CONNECTED, ControlKind::RadioButton, "연결된것만 표시", 0, 17, 36, 70, 9},
        {IDC_STATIC, ControlKind::Text, "감시 시간 간격 :", 0, 14, 71, 53, 9},
        {IDC_INTERVAL, ControlKind::Edit, "", ES_NUMBER | EDIT_LINE, 71, 69, 28, 12},
        {IDC_STATIC, ControlKind::Text, "초", 0, 102, 72, 18, 13},
        {IDC_IGNORE_GROUP, ControlKind::GroupBox, "연결 무시", 0, 130, 9, 72, 111},
        {IDC_IGNORE_HTTP, ControlKind::CheckBox, "HTTP", WS_TABSTOP, 138, 23, 43, 11},
        {IDC_IGNORE_HTTPS, ControlKind::CheckBox, "HTTPS", WS_TABSTOP, 138, 35, 43, 11},
        {IDC_IGNORE_TELNET, ControlKind::CheckBox, "TELNET", WS_TABSTOP, 138, 45, 43, 11},
        {IDC_IGNORE_FTP, ControlKind::CheckBox, "FTP", WS_TABSTOP, 138, 56, 43, 11},
        {IDC_IGNORE_POP3, ControlKind::CheckBox, "POP3", WS_TABSTOP, 138, 67, 43, 11},
        {IDC_IGNORE_NNTP, ControlKind::CheckBox, "NNTP", WS_TABSTOP, 138, 78, 43, 11},
        {IDC_IGNORE_NETBIOS, ControlKind::CheckBox, "NetBIOS", WS_TABSTOP, 138, 89, 43, 11},
        {IDC_IGNORE_SMTP, ControlKind::CheckBox, "SMTP", WS_TABSTOP, 138, 100, 43, 11},
        {IDC_SHOW_AT_START, ControlKind::CheckBox, "처음 시작시 창 표시", WS_TABSTOP, 13, 126, 76, 12},
        {IDC_KEEP_LOG, ControlKind::CheckBox, "접속 기록 남기기", WS_TABSTOP, 107, 126, 72, 11},
        {IDC_ALARM, ControlKind::CheckBox, "외부 접속시 경보", WS_TABSTOP, 13, 141, 76, 12},
        {IDC_SHOW_PORT_NAMES, ControlKind::CheckBox, "포트 이름 표시", WS_TABSTOP, 107, 141, 76, 12},
        // The alarm's form, under the alarm's own box; the buttons make room for it.
        {IDC_ALARM_NOTIFY, ControlKind::CheckBox, "경보를 데스크톱 알림으로 표시", WS_TABSTOP, 23, 155, 160, 12},
        {IDOK, ControlKind::DefPushButton, "&OK", WS_TABSTOP, 49, 173, 50, 14},
        {IDCANCEL, ControlKind::PushButton, "&Cancel", WS_TABSTOP, 120, 173, 50, 14},
    }};

const DialogTemplate kAbout{
    IDD_ABOUTBOX, "Tolvara 정보", "Gulim", 9, 0, 0, 199, 193, true,
    {
        {IDC_STATIC, ControlKind::Icon, "", 0, 11, 17, 20, 20, IDI_MAINFRAME},
        {IDC_STATIC, ControlKind::Text, "Tolvara 버전 " TOLVARA_VERSION, 0, 40, 10, 119, 8},
        {IDC_STATIC, ControlKind::Picture, "", 0, 41, 29, 151, 70, IDB_ABOUT_PICTURE},
        {IDOK, ControlKind::DefPushButton, "확인", WS_TABSTOP, 73, 172, 50, 14},
    }};

const DialogTemplate kFriendList{
    IDD_FRIEND_LIST, "친구 목록", "굴림", 9, 200, 20, 123, 155, false,
    {
        {IDC_STATIC, ControlKind::Text, "친구의 IP 주소를 지정해 놓으면 친구 컴퓨터의 상태를 항상 알 수 있습니다.", 0, 7,
         10, 109, 32},
        {IDC_IP_ADDRESS, ControlKind::IpAddress, "", WS_TABSTOP, 7, 50, 58, 11},
        {IDC_ADD_FRIEND, ControlKind::PushButton, "추가", WS_TABSTOP, 69, 49, 37, 12},
        {IDC_FRIENDS, ControlKind::ListBox, "", LBS_NOTIFY | WS_VSCROLL | WS_BORDER | WS_TABSTOP, 7, 66, 58, 62},
        {IDC_DELETE_FRIEND, ControlKind::PushButton, "삭제", WS_TABSTOP, 69, 66, 37, 12},
        {IDOK, ControlKind::DefPushButton, "OK", WS_TABSTOP, 14, 134, 47, 14},
        {IDCANCEL, ControlKind::PushButton, "Cancel", WS_TABSTOP, 66, 134, 46, 14},
    }};

const DialogTemplate kSendMessage{
    IDD_SEND_MESSAGE, "메시지 보내기", "Gulim", 9, 40, 10, 255, 202, false,
    {
        {IDC_RECIPIENT_NAME, ControlKind::Edit, "", EDIT_LINE, 139, 57, 90, 12},
        {IDC_IP_ADDRESS, ControlKind::IpAddress, "", WS_TABSTOP, 51, 119, 56, 10},
        {IDC_MESSAGE_TEXT, ControlKind::Edit, "", EDIT_LINE, 20, 159, 220, 12},
        {IDOK, ControlKind::DefPushButton, "보내기(&S)", WS_TABSTOP, 64, 181, 50, 14},
        {IDCANCEL, ControlKind::PushButton, "취 소(&C)", WS_TABSTOP, 140, 181, 50, 14},
        {IDC_STATIC, ControlKind::GroupBox, "NetBIOS 메시지 보내기", 0, 7, 7, 241, 70},
        {IDC_STATIC, ControlKind::Text,
         "메시지를 보냅니다. 메시지는 같은 회사나 부서 사람만이 받을 수 있습니다. 즉, 메시지는 라우터를 통과할 수 "
         "없습니다. Win95/98에서는 Tolvara나 WinPopup 프로그램이 실행되어야 이 메시지를 받을 수 있습니다.",
         0, 14, 20, 226, 35},
        {IDC_STATIC, ControlKind::Text, "수신자 컴퓨터 이름 또는 작업그룹 :", 0, 16, 59, 117, 10},
        {IDC_STATIC, ControlKind::GroupBox, "TCP/IP 메시지 보내기", 0, 7, 83, 241, 54},
        {IDC_STATIC, ControlKind::Text,
         "메시지를 보냅니다. 상대방이 Tolvara 메시지를 수신할 수 있는 프로그램을 사용중이라면 이 메시지를 받을 수 "
         "있습니다.",
         0, 14, 96, 226, 19},
        {IDC_STATIC, ControlKind::Text, "IP 주소 :", 0, 16, 121, 30, 10},
        {IDC_STATIC, ControlKind::Text, "메시지 :", 0, 11, 147, 33, 10},
    }};

const DialogTemplate kComputerName{
    IDD_COMPUTER_NAME, "컴퓨터 이름 추적", "굴림", 9, 0, 0, 187, 151, true,
    {
        {IDC_STATIC, ControlKind::Text,
         "해당 IP 주소를 사용하는 컴퓨터의 이름을 표시합니다. 통신 환경이나 해당 컴퓨터의 전원 상태에 따라 추적이 "
         "불가능할 수도 있습니다.",
         0, 7, 7, 173, 28},
        {IDC_STATIC, ControlKind::Text, "통신 상태에 따라서 시간이 걸릴 수 있습니다.", 0, 7, 38, 173, 11},
        {IDC_STATIC, ControlKind::Text, "IP 주소 :", 0, 7, 60, 36, 10},
        {IDC_IP_ADDRESS, ControlKind::IpAddress, "", WS_TABSTOP, 50, 60, 61, 10},
        {IDC_START_LOOKUP, ControlKind::DefPushButton, "시작(S)", WS_TABSTOP, 114, 58, 43, 13},
        {IDC_NAME_RESULT, ControlKind::Text, "", SS_SUNKEN, 7, 87, 173, 29},
        {IDOK, ControlKind::PushButton, "OK", WS_TABSTOP, 67, 130, 50, 14},
    }};

const DialogTemplate kWhois{
    IDD_WHOIS, "Who Is", "굴림", 9, 0, 0, 289, 317, true,
    {
        {IDC_STATIC, ControlKind::Text,
         "한국인터넷정보센터(Korea Network Information Center)의 Korea Internet Information Service V1.0 으로부터 "
         "지정된 IP 주소의 각종 정보를 조회합니다. KRNIC의 서버 상태에 따라 서비스가 중단되거나 시간이 걸릴 수 "
         "있습니다. 또한, 무작위 IP에 대한 조회를 수행할 경우, KRNIC으로부터 접근 금지 조치 처분을 받을 수 있습니다.",
         0, 7, 7, 275, 40},
        {IDC_STATIC, ControlKind::Text, "IP 주소를 입력하세요 : ", 0, 7, 59, 77, 11},
        {IDC_IP_ADDRESS, ControlKind::IpAddress, "", WS_TABSTOP, 91, 58, 65, 11},
        {IDC_START_WHOIS, ControlKind::DefPushButton, "시 작(&S)", WS_TABSTOP, 164, 57, 56, 13},
        {IDC_WHOIS_RESULT, ControlKind::Edit, "",
         ES_MULTILINE | ES_READONLY | WS_VSCROLL | ES_AUTOVSCROLL | ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, 7, 75, 275,
         212},
        {IDCANCEL, ControlKind::PushButton, "취 소(&C)", WS_TABSTOP, 117, 296, 50, 14},
    }};

const DialogTemplate kExportLog{
    IDD_EXPORT_LOG, "접속 기록 내보내기", "Gulim", 9, 0, 0, 235, 107, true,
    {
        {IDC_STATIC, ControlKind::Text, "저장할 파일 :", 0, 7, 9, 80, 10},
        {IDC_EXPORT_FILE, ControlKind::Edit, "", EDIT_LINE, 7, 21, 165, 12},
        {IDC_EXPORT_BROWSE, ControlKind::PushButton, "찾아보기(&B)...", WS_TABSTOP, 176, 20, 52, 14},
        {IDC_STATIC, ControlKind::Text, "CSV(.csv) 또는 JSON Lines(.jsonl, .json)", 0, 7, 36, 221, 10},
        {IDC_STATIC, ControlKind::Text, "기간 (YYYYMMDD) :", 0, 7, 53, 64, 10},
        {IDC_EXPORT_FROM, ControlKind::Edit, "", ES_NUMBER | EDIT_LINE, 73, 51, 44, 12},
        {IDC_STATIC, ControlKind::Text, "~", 0, 121, 53, 8, 10},
        {IDC_EXPORT_TO, ControlKind::Edit, "", ES_NUMBER | EDIT_LINE, 131, 51, 44, 12},
        {IDC_EXPORT_BOM, ControlKind::CheckBox, "BOM 붙이기 (Windows 스프레드시트용 CSV)", WS_TABSTOP, 7, 69, 221, 11},
        {IDOK, ControlKind::DefPushButton, "내보내기(&S)", WS_TABSTOP, 60, 87, 50, 14},
        {IDCANCEL, ControlKind::PushButton, "취 소(&C)", WS_TABSTOP, 125, 87, 50, 14},
    }};

const MenuTemplate kListPopup{IDR_LIST_POPUP,
                              {
                                  {ID_SEND_MESSAGE_TO_SELECTION, "메시지 보내기(&M)..."},
                                  {0, nullptr},
                                  {ID_COMPUTER_NAME_FOR_SELECTION, "컴퓨터 이름(&N)..."},
                                  {ID_WHOIS_FOR_SELECTION, "&Who Is..."},
                              }};

const MenuTemplate kTrayMenu{IDR_TRAY_MENU,
                             {
                                 {ID_SEND_MESSAGE, "메시지 송신"},
                                 {0, nullptr},
                                 {ID_WHOIS, "WhoIs 검색"},
                                 {ID_COMPUTER_NAME, "컴퓨터 이름 보기"},
                                 {ID_FRIEND_LIST, "친구 목록"},
                                 {ID_SETTINGS, "환경 설정"},
                                 {0, nullptr},
                                 {ID_VIEW_ACCESS_LOG, "접속 기록 보기"},
                                 {ID_EXPORT_ACCESS_LOG, "접속 기록 내보내기…"},
                                 {0, nullptr},
                                 {ID_EXIT, "종 료"},
                             }};

// The window's own system menu; the About item is appended from string 101 at start-up.
const MenuTemplate kSystemMenu{IDR_SYSTEM_MENU,
                               {
                                   {SC_CLOSE, "닫기(&C)\tAlt+F4"},
                               }};

const DialogTemplate* const kDialogs[] = {&kMonitor,      &kSettings,     &kAbout, &kFriendList,
                                          &kSendMessage,  &kComputerName, &kWhois, &kExportLog};
const MenuTemplate* const kMenus[] = {&kListPopup, &kTrayMenu, &kSystemMenu};

}  // namespace

const DialogTemplate* FindDialogTemplate(int id) {
    for (const DialogTemplate* t : kDialogs)
        if (t->id == id) return t;
    return nullptr;
}

const MenuTemplate* FindMenuTemplate(int id) {
    for (const MenuTemplate* t : kMenus)
        if (t->id == id) return t;
    return nullptr;
}

const char* LoadStringResource(int id) {
    if (id == IDS_ABOUTBOX) return "Tolvara 정보(&A)...";
    return "";
}
