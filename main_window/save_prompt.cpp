#include "save_prompt.h"

#include "prompts.h"

namespace miruteka {

void SavePrompt::ShowSave(QWidget* parent)
{
    fileName_ = CurrentPrompts().saveName(parent, DialogTitle, Filter);
}

} // namespace miruteka
