// The program's two modal prompts, the save prompt and the message box, in one place. The
// window reaches them only through SavePrompt::ShowSave and ShowMessage; both are the real
// dialogs unless something has put other answers in their place, as tests and benchmarks do
// so that nothing waits on a modal dialog.
#pragma once

#include <QString>
#include <functional>
#include <utility>

class QWidget;

namespace miruteka {

struct Prompts {
    // Asks modally, over the parent, for a name to save under; the empty name when cancelled.
    std::function<QString(QWidget* parent, const QString& title, const QString& filter)> saveName;
    // Shows a modal message box with OK alone and returns when it is dismissed.
    std::function<void(const QString& text, int buttons, const QString& title)> message;
};

// The prompts in use: the real dialogs unless replaced.
const Prompts& CurrentPrompts();

// Puts other prompts in place of the current ones for as long as it lives.
class ReplacedPrompts {
public:
    explicit ReplacedPrompts(Prompts replacement);
    ~ReplacedPrompts();
    ReplacedPrompts(const ReplacedPrompts&) = delete;
    ReplacedPrompts& operator=(const ReplacedPrompts&) = delete;

private:
    Prompts previous_;
};

} // namespace miruteka
