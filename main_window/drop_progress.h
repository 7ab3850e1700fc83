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
    // Measuring or saving waits for a thread: all being taken by other work, or, where
    // `refused`, because the system gave none when asked, and is asked again meanwhile.
    void showWaiting(bool refused = false);
    // Measuring waits for a file system that has not answered for a while: its name, cut in
    // the middle to fit, and that Esc gives the drop up.
    void showWaitingFor(const QString& fileSystem, std::size_t measured, std::size_t dropped);

    QLabel stage;
    QProgressBar bar;
    QPushButton cancelButton;

signals:
    void cancelRequested();

private:
    void showCount(std::size_t measured, std::size_t dropped);
};

} // namespace miruteka
