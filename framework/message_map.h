// Message maps: tables that bind window messages and button clicks to member
// handlers, walked from the most derived class to its bases.
#pragma once

#include <cstdint>
#include <span>
#include <variant>

#include "dialog_result.h"

namespace afx {

using IconHandle = const void*;  // an icon owned by the framework; null for none

// Window messages, with the classic numbers.
inline constexpr unsigned WM_PAINT = 0x000F;
inline constexpr unsigned WM_ICONERASEBKGND = 0x0027;
inline constexpr unsigned WM_QUERYDRAGICON = 0x0037;
inline constexpr unsigned WM_COMMAND = 0x0111;
inline constexpr unsigned WM_SYSCOMMAND = 0x0112;
inline constexpr unsigned BN_CLICKED = 0;

// Commands.
using zel7::IDCANCEL;
using zel7::IDOK;
inline constexpr int ID_HELP = 0xE146;
inline constexpr unsigned SC_MINIMIZE = 0xF020;
inline constexpr unsigned SC_CLOSE = 0xF060;
inline constexpr unsigned SC_RESTORE = 0xF120;

class CCmdTarget;

using PlainHandler = void (CCmdTarget::*)();
using SysCommandHandler = void (CCmdTarget::*)(unsigned commandId, std::intptr_t lParam);
using IconHandler = IconHandle (CCmdTarget::*)();

struct MessageMapEntry {
    unsigned message;
    unsigned notifyCode;  // WM_COMMAND only
    int controlId;        // WM_COMMAND only
    std::variant<PlainHandler, SysCommandHandler, IconHandler> handler;
};

struct MessageMap {
    const MessageMap* base;  // null for the root
    std::span<const MessageMapEntry> entries;
};

// Entries, each from a handler of the class that declares the map.
template <class Target>
constexpr MessageMapEntry OnSysCommandEntry(void (Target::*handler)(unsigned, std::intptr_t)) {
    return {WM_SYSCOMMAND, 0, 0, static_cast<SysCommandHandler>(handler)};
}
template <class Target>
constexpr MessageMapEntry OnPaintEntry(void (Target::*handler)()) {
    return {WM_PAINT, 0, 0, static_cast<PlainHandler>(handler)};
}
template <class Target>
constexpr MessageMapEntry OnQueryDragIconEntry(IconHandle (Target::*handler)()) {
    return {WM_QUERYDRAGICON, 0, 0, static_cast<IconHandler>(handler)};
}
template <class Target>
constexpr MessageMapEntry OnButtonClickedEntry(int controlId, void (Target::*handler)()) {
    return {WM_COMMAND, BN_CLICKED, controlId, static_cast<PlainHandler>(handler)};
}
template <class Target>
constexpr MessageMapEntry OnCommandEntry(int commandId, void (Target::*handler)()) {
    return OnButtonClickedEntry(commandId, handler);
}

// The root of everything that receives messages.
class CCmdTarget {
public:
    virtual ~CCmdTarget() = default;
    virtual const MessageMap* GetMessageMap() const;

    // Finds the first entry for the message in this object's map chain.
    const MessageMapEntry* FindEntry(unsigned message, unsigned notifyCode = 0,
                                     int controlId = 0) const;
};

}  // namespace afx
