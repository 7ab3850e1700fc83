// Modal message boxes, the one runtime service drawn by the window toolkit.
#pragma once

#include <QString>

namespace miruteka {

// The buttons value: the program only ever shows an OK button alone, with no icon.
inline constexpr int OkOnly = 0;

// Shows a modal message box over the active window and returns when it is dismissed. It goes
// through the current prompts (prompts.h), where a test can answer it instead.
void ShowMessage(const QString& text, int buttons, const QString& title);

} // namespace miruteka
