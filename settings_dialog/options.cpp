#include "options.h"

#include "message_box.h"
#include "twips.h"
#include "validate_price.h"

#include <QKeyEvent>
#include <QScreen>
#include <algorithm>
#include <limits>

namespace miruteka {

namespace {

// The labels keep their laid-out widths; where the platform's font runs wider than the one they
// were laid out for, the text is set smaller rather than cut off.
void fitText(QLabel& label)
{
    QFont font = label.font();
    constexpr qreal smallest = 6;
    while (font.pointSizeF() > smallest
        && QFontMetrics(font).horizontalAdvance(label.text()) > label.width())
        font.setPointSizeF(std::max(smallest, font.pointSizeF() - 0.5));
    label.setFont(font);
}

} // namespace

options::options(QLineEdit& unitPrice, QWidget* owner)
    : QDialog(owner,
        Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint
            | Qt::MSWindowsFixedSizeDialogHint)
    , Text1(this)
    , Label1(QStringLiteral("1パケットの料金"), this)
    , Label2(QStringLiteral("円"), this)
    , Command1(QStringLiteral("&ok"), this)
    , Command2(QStringLiteral("&cancel"), this)
    , unitPrice_(unitPrice)
{
    setWindowTitle(QStringLiteral("設定"));
    // A null icon of its own, or the dialog would show the owner's.
    setWindowIcon(QIcon());
    setFixedSize(twips(0, 0, 2160, 825).size());

    Text1.setGeometry(twips(1350, 75, 465, 270));
    Text1.setMaxLength(std::numeric_limits<int>::max());
    Label1.setGeometry(twips(75, 150, 1290, 240));
    Label2.setGeometry(twips(1875, 150, 240, 240));
    Label1.setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Label2.setAlignment(Qt::AlignLeft | Qt::AlignTop);
    fitText(Label1);
    fitText(Label2);
    Command1.setGeometry(twips(750, 525, 465, 255));
    Command2.setGeometry(twips(1350, 525, 765, 255));
    // A dialog makes its push buttons default when focused; here Enter presses nothing.
    Command1.setAutoDefault(false);
    Command2.setAutoDefault(false);
    // The caption names the field for assistive technology too.
    Label1.setBuddy(&Text1);
    Text1.setAccessibleDescription(
        QStringLiteral("0より大きく10未満の料金を半角数字で入力します。単位は円です。"));
    Command1.setAccessibleDescription(
        QStringLiteral("入力した料金を単価にして、ダイアログを閉じます。"));
    Command2.setAccessibleDescription(QStringLiteral("何も変えずにダイアログを閉じます。"));
    setTabOrder(&Text1, &Command1);
    setTabOrder(&Command1, &Command2);
    Text1.setFocus();

    connect(&Command1, &QPushButton::clicked, this, &options::Command1_Click);
    connect(&Command2, &QPushButton::clicked, this, &options::Command2_Click);

    Form_Load();
}

void options::Form_Load() { Text1.setText(unitPrice_.text()); }

void options::Command1_Click()
{
    try {
        if (storePrice())
            return;
    } catch (...) { // every failure is told as a refused price
    }
    try {
        ShowMessage(
            QStringLiteral("半角数字が使用されていないか、値が不正です。"), OkOnly, QString());
    } catch (...) { // nothing may leave a slot, and there is no one left to tell
    }
}

// Rewrites the field as the check leaves it; stores the price and closes when it is accepted.
bool options::storePrice()
{
    const PriceCheck check = ValidatePrice(Text1.text().toStdU16String());
    Text1.setText(QString::fromStdU16String(check.fieldText));
    if (!check.accepted)
        return false;
    unitPrice_.setText(Text1.text());
    accept();
    return true;
}

void options::Command2_Click() { reject(); }

void options::keyPressEvent(QKeyEvent* event)
{
    // Esc goes through the cancel button, as a click on it would.
    if (event->matches(QKeySequence::Cancel)) {
        Command2.click();
        return;
    }
    QDialog::keyPressEvent(event);
}

void options::showEvent(QShowEvent* event)
{
    // On the screen, not over the owner as a dialog would be; the frame counts where known.
    const QWidget* owner = parentWidget();
    if (const QScreen* on = owner ? owner->screen() : screen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(on->availableGeometry().center());
        move(frame.topLeft());
    }
    QDialog::showEvent(event);
}

} // namespace miruteka
