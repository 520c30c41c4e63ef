// What a modal run of a dialog or a file chooser ends with, with the classic numbers.
#pragma once

namespace zel7 {

inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;

}  // namespace zel7
