// The save prompt: a title and a file-type filter set once, a modal call, and the chosen name.
#pragma once

#include <QString>
#include <functional>

class QWidget;

namespace miruteka {

class SavePrompt {
public:
    QString DialogTitle;
    QString Filter;

    // Shows the prompt modally over the parent; the name is empty when the user cancels.
    void ShowSave(QWidget* parent);
    QString FileName() const { return fileName_; }

    // Lets tests answer the prompt without a dialog.
    using Answer = std::function<QString()>;
    void setAnswer(Answer answer) { answer_ = std::move(answer); }

private:
    QString fileName_;
    Answer answer_;
};

} // namespace miruteka
