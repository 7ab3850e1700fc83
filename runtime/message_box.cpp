#include "message_box.h"

#include <QApplication>
#include <QMessageBox>

namespace miruteka {

namespace {
MessageHandler& handler()
{
    static MessageHandler current;
    return current;
}
} // namespace

void SetMessageHandler(MessageHandler replacement) { handler() = std::move(replacement); }

void ShowMessage(const QString& text, int buttons, const QString& title)
{
    if (handler()) {
        handler()(text, buttons, title);
        return;
    }
    // QMessageBox::information would add an icon; the program's boxes have none.
    QMessageBox box(
        QMessageBox::NoIcon, title, text, QMessageBox::Ok, QApplication::activeWindow());
    box.exec();
}

} // namespace miruteka
