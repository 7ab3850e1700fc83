#include "save_prompt.h"

#include <QFileDialog>

namespace miruteka {

void SavePrompt::ShowSave(QWidget* parent)
{
    // The platform's dialog asks before overwriting an existing file; that stays on.
    fileName_ = answer_ ? answer_()
                        : QFileDialog::getSaveFileName(parent, DialogTitle, QString(), Filter);
}

} // namespace miruteka
