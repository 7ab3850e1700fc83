// The main window: the unit price and its status line, the three buttons, and the frame that
// turns dropped files into a fee report.
#pragma once

#include "drop_frame.h"
#include "save_prompt.h"

#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QStatusBar>
#include <QWidget>
#include <deque>

namespace miruteka {

class options;

// Named as the program names its start-up window; the namespace keeps it clear of ::main.
class main : public QWidget {
    Q_OBJECT
public:
    explicit main(QWidget* parent = nullptr);

    DropFrame Frame1;
    QStatusBar StatusBar1;
    QLineEdit Text1; // the unit price, kept as text out of sight
    QPushButton Command1;
    QPushButton Command2;
    QPushButton Command3;
    SavePrompt CommonDialog1;

    void labelpacket();
    QString statusText() const { return statusPanel_.text(); }

public slots:
    void Command1_Click();
    void Command2_Click();
    void Command3_Click();
    // The drop notification: keeps its own copy of the dropped URLs and returns at once, so that
    // the drag source is let go before the save prompt opens.
    void Frame1_OLEDragDrop(const QList<QUrl>& urls);

protected:
    void closeEvent(QCloseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void Form_Load();
    void runPendingDrops();
    void dropProcedure(const QList<QUrl>& urls);

    // Drops waiting for their procedure, in the order they arrived; each gets its own prompt.
    std::deque<QList<QUrl>> pendingDrops_;
    bool pendingDropsScheduled_ = false;

    QLabel statusPanel_;
    QPointer<options> options_; // the settings dialog while it is loaded
};

} // namespace miruteka
