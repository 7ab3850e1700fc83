// The settings dialog's price field: a line edit that takes text of any length and stays quick
// however long the text grows.
#pragma once

#include <QLineEdit>

namespace miruteka {

class PriceField : public QLineEdit {
    Q_OBJECT
public:
    explicit PriceField(QWidget* parent = nullptr);

    // From this length on, the field shows the start of its text, cut off with "…", without a
    // cursor, instead of the text around the cursor. The text itself is kept whole, and edited
    // and read as in any line edit.
    static constexpr qsizetype longText = 10'000;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void fitToLength(const QString& text);
};

} // namespace miruteka
