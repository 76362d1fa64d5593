#pragma once
#include <cstdint>
#include <vector>

#include "res/Resource.h"

// Dialogs, menus and strings as data, addressed by their numeric resource ids.
// Rectangles are in dialog units; the GUI layer converts them from the dialog font.

enum class ControlKind {
    PushButton,
    DefPushButton,
    GroupBox,
    RadioButton,
    CheckBox,
    Edit,
    Text,       // static text
    Picture,    // static bitmap, `resource` names the bitmap
    Icon,       // static icon, `resource` names the icon
    ListBox,
    ListView,   // report view
    IpAddress,
};

// Styles that change how a control is built (Windows values, so templates read as they
// would in a resource script).
inline constexpr uint32_t WS_TABSTOP = 0x00010000;
inline constexpr uint32_t WS_VSCROLL = 0x00200000;
inline constexpr uint32_t WS_BORDER = 0x00800000;
inline constexpr uint32_t SS_CENTER = 0x00000001;
inline constexpr uint32_t SS_SUNKEN = 0x00001000;
inline constexpr uint32_t WS_EX_DLGMODALFRAME = 0x10000000;  // kept in style for brevity
inline constexpr uint32_t ES_MULTILINE = 0x0004;
inline constexpr uint32_t ES_AUTOVSCROLL = 0x0040;
inline constexpr uint32_t ES_AUTOHSCROLL = 0x0080;
inline constexpr uint32_t ES_READONLY = 0x0800;
inline constexpr uint32_t ES_NUMBER = 0x2000;
inline constexpr uint32_t LVS_REPORT = 0x0001;
inline constexpr uint32_t LVS_SINGLESEL = 0x0004;
inline constexpr uint32_t LVS_SHOWSELALWAYS = 0x0008;
// The program supplies the rows from its own data when the view asks for them.
inline constexpr uint32_t LVS_OWNERDATA = 0x1000;
inline constexpr uint32_t LBS_NOTIFY = 0x0001;
inline constexpr uint32_t LBS_SORT = 0x0002;

struct ControlTemplate {
    int id;
    ControlKind kind;
    const char* caption;  // UTF-8
    uint32_t style;
    int x, y, w, h;
    int resource = 0;
};

struct DialogTemplate {
    int id;
    const char* title;
    const char* fontFace;
    int pointSize;
    int x, y, w, h;
    bool centred;  // template position (0, 0): the template asks to be centred
    std::vector<ControlTemplate> controls;
};

struct MenuItemTemplate {
    int command;          // 0 for a separator
    const char* caption;  // UTF-8
};

struct MenuTemplate {
    int id;
    std::vector<MenuItemTemplate> items;  // the first submenu, which is what is shown
};

// Null when no such template exists.
const DialogTemplate* FindDialogTemplate(int id);
const MenuTemplate* FindMenuTemplate(int id);
// Empty text when the string does not exist.
const char* LoadStringResource(int id);
