// The save prompt: a title and a file-type filter set once, a modal call, and the chosen name.
#pragma once

#include <QString>

class QWidget;

namespace miruteka {

class SavePrompt {
public:
    QString DialogTitle;
    QString Filter;

    // Shows the prompt modally over the parent, through the current prompts (prompts.h); the
    // name is empty when the user cancels.
    void ShowSave(QWidget* parent);
    QString FileName() const { return fileName_; }

private:
    QString fileName_;
};

} // namespace miruteka
