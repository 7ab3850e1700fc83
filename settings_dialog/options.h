// The settings dialog: the unit price in a field of its own, ok to store it and cancel to leave it.
#pragma once

#include "price_field.h"

#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace miruteka {

class options : public QDialog {
    Q_OBJECT
public:
    // unitPrice is the owner's price text: read on load, written only when ok accepts.
    options(QLineEdit& unitPrice, QWidget* owner);

    PriceField Text1; // the price field
    QLabel Label1;
    QLabel Label2;
    QPushButton Command1;
    QPushButton Command2;

public slots:
    void Command1_Click();
    void Command2_Click();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void Form_Load();
    bool storePrice();

    QLineEdit& unitPrice_;
};

} // namespace miruteka
