// Modal message boxes, the one runtime service drawn by the window toolkit.
#pragma once

#include <QString>
#include <functional>

namespace miruteka {

// The buttons value: the program only ever shows an OK button alone, with no icon.
inline constexpr int OkOnly = 0;

// Shows a modal message box over the active window and returns when it is dismissed.
void ShowMessage(const QString& text, int buttons, const QString& title);

// Lets tests see a message instead of blocking on it; an empty handler restores the real box.
using MessageHandler = std::function<void(const QString& text, int buttons, const QString& title)>;
void SetMessageHandler(MessageHandler handler);

} // namespace miruteka
