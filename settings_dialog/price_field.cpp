#include "price_field.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionFrame>

namespace miruteka {

// A line edit lays its whole shown text out at every change and measures it again each time it
// is drawn: seconds for ten million characters, at the paste, at ok, whenever the field gains or
// loses the focus. Past longText it shows no text of its own (no echo), which it then lays out at
// no cost, and paintEvent draws the start of the text.
PriceField::PriceField(QWidget* parent)
    : QLineEdit(parent)
{
    connect(this, &QLineEdit::textChanged, this, &PriceField::fitToLength);
}

void PriceField::fitToLength(const QString& text)
{
    const EchoMode fitting = text.size() < longText ? Normal : NoEcho;
    if (echoMode() != fitting)
        setEchoMode(fitting);
}

// The paste keys read the clipboard once, and a paste that makes the text long is taken without
// echo from the start, so that it is never laid out whole.
void PriceField::keyPressEvent(QKeyEvent* event)
{
    if (!event->matches(QKeySequence::Paste) || isReadOnly()) {
        QLineEdit::keyPressEvent(event);
        return;
    }
    const QString pasted = QGuiApplication::clipboard()->text();
    if (text().size() - selectedText().size() + pasted.size() >= longText)
        setEchoMode(NoEcho);
    insert(pasted);
    event->accept();
}

void PriceField::paintEvent(QPaintEvent* event)
{
    const QString& whole = text();
    if (whole.size() < longText) {
        QLineEdit::paintEvent(event);
        return;
    }
    QPainter painter(this);
    QStyleOptionFrame panel;
    initStyleOption(&panel);
    style()->drawPrimitive(QStyle::PE_PanelLineEdit, &panel, &painter, this);
    const QRect contents = style()
                               ->subElementRect(QStyle::SE_LineEditContents, &panel, this)
                               .marginsRemoved(textMargins());
    // Enough characters to fill any field, and few enough to measure at once.
    constexpr qsizetype shownAtMost = 256;
    const QString shown = fontMetrics().elidedText(
        whole.left(shownAtMost) + QChar(0x2026), Qt::ElideRight, contents.width());
    painter.setPen(palette().color(QPalette::Text));
    painter.drawText(contents, Qt::AlignLeft | Qt::AlignVCenter, shown);
}

} // namespace miruteka
