// The program's resources: dialog templates, strings and icons, identified by number
// and kept as data beside the code.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "message_map.h"

namespace afx {

// Window and control styles used by the templates, with their classic values.
inline constexpr uint32_t WS_POPUP = 0x80000000;
inline constexpr uint32_t WS_CHILD = 0x40000000;
inline constexpr uint32_t WS_VISIBLE = 0x10000000;
inline constexpr uint32_t WS_CAPTION = 0x00C00000;
inline constexpr uint32_t WS_SYSMENU = 0x00080000;
inline constexpr uint32_t WS_GROUP = 0x00020000;
inline constexpr uint32_t WS_TABSTOP = 0x00010000;
inline constexpr uint32_t DS_MODALFRAME = 0x00000080;
inline constexpr uint32_t DS_CENTER = 0x00000800;
inline constexpr uint32_t BS_DEFPUSHBUTTON = 0x00000001;
inline constexpr uint32_t SS_ICON = 0x00000003;
inline constexpr uint32_t SS_TYPEMASK = 0x0000001F;
inline constexpr uint32_t SS_NOPREFIX = 0x00000080;
inline constexpr uint32_t WS_EX_APPWINDOW = 0x00040000;

struct DialogItemTemplate {
    int id = -1;
    std::string className;             // "button" or "static"
    std::string text;                  // UTF-8
    int iconId = 0;                    // static icons: the icon group shown
    int x = 0, y = 0, cx = 0, cy = 0;  // dialog units
    uint32_t style = 0;
};

struct DialogTemplate {
    int id = 0;
    int cx = 0, cy = 0;  // dialog units
    uint32_t style = 0;
    uint32_t exStyle = 0;
    std::string fontFace;
    int fontPoints = 0;
    std::string caption;  // UTF-8
    std::vector<DialogItemTemplate> items;
};

// The application icon group, by convention.
inline constexpr int IDR_MAINFRAME = 128;

// Null when there is no such template.
const DialogTemplate* FindDialogTemplate(int id);

// False, leaving text empty, when there is no such string.
bool LoadStringResource(int id, std::wstring& text);

// The icon group's images as one icon; null when there is no such group.
IconHandle LoadIconResource(int id);

// Reports a failed debug check, naming where it is, without stopping the program.
void ReportAssertion(const char* condition, const char* file, int line);

}  // namespace afx

#define AFX_ASSERT(condition)                                       \
    do {                                                            \
        if (!(condition)) {                                         \
            ::afx::ReportAssertion(#condition, __FILE__, __LINE__); \
        }                                                           \
    } while (false)
