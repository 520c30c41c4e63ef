// Numbers of the program's resources and commands.
#pragma once

#include "resources.h"

inline constexpr int IDD_ABOUTBOX = 100;
inline constexpr int IDS_ABOUTBOX = 101;
inline constexpr int IDD_ZEL7_DIALOG = 102;
inline constexpr int IDR_MAINFRAME = afx::IDR_MAINFRAME;  // icon group 128
inline constexpr int IDC_SELECT_PICTURE = 1002;
inline constexpr int IDC_BLACK_BACKGROUND = 1004;
inline constexpr unsigned IDM_ABOUTBOX = 0x0010;
