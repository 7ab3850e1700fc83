// What the frame shows while a long drop is measured or saved: what is going on, how far it has
// got, and a way out.
#pragma once

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QWidget>

namespace miruteka {

class DropProgress : public QWidget {
    Q_OBJECT
public:
    // Lies over the whole of the frame it is given.
    explicit DropProgress(QWidget* frame);

    void showMeasuring(std::size_t measured, std::size_t dropped);
    void showSaving();
    // Measuring or saving waits for a thread, all being taken by other work.
    void showWaiting();

    QLabel stage;
    QProgressBar bar;
    QPushButton cancelButton;

signals:
    void cancelRequested();
};

} // namespace miruteka
