#include "prompts.h"

#include "message_box.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QMessageBox>

namespace miruteka {

namespace {

Prompts realPrompts()
{
    return {
        // The platform's dialog asks before overwriting an existing file; that stays on.
        [](QWidget* parent, const QString& title, const QString& filter) {
            return QFileDialog::getSaveFileName(parent, title, QString(), filter);
        },
        // QMessageBox::information would add an icon; the program's boxes have none.
        [](const QString& text, int, const QString& title) {
            QMessageBox box(
                QMessageBox::NoIcon, title, text, QMessageBox::Ok, QApplication::activeWindow());
            // Screen readers name every group they pass through, the row of buttons too.
            if (auto* buttons = box.findChild<QDialogButtonBox*>())
                buttons->setAccessibleName(QStringLiteral("ボタン"));
            box.exec();
        },
    };
}

Prompts& current()
{
    static Prompts prompts = realPrompts();
    return prompts;
}

} // namespace

const Prompts& CurrentPrompts() { return current(); }

ReplacedPrompts::ReplacedPrompts(Prompts replacement)
    : previous_(std::exchange(current(), std::move(replacement)))
{
}

ReplacedPrompts::~ReplacedPrompts() { current() = std::move(previous_); }

void ShowMessage(const QString& text, int buttons, const QString& title)
{
    CurrentPrompts().message(text, buttons, title);
}

} // namespace miruteka
