// The main window: the unit price and its status line, the three buttons, and the frame that
// turns dropped files into a fee report.
#pragma once

#include "drop_frame.h"
#include "drop_progress.h"
#include "drop_work.h"
#include "save_prompt.h"

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QStatusBar>
#include <QWidget>

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
    // The drops' work, which this window shows; the program lets its saves settle at exit.
    DropWork work;

    void labelpacket();
    QString statusText() const { return statusPanel_.text(); }

    // True from the moment a drop's procedure starts until its report is saved or abandoned.
    bool dropInProgress() const { return work.busy(); }
    // Drops waiting for the one under way, or for their procedure to start.
    std::size_t queuedDrops() const { return work.queued(); }
    // True while a drop's files are being measured or its report saved.
    bool dropAwaitsWork() const { return work.awaitsWork(); }
    // What the frame shows while a drop is measured or saved for longer than a moment; null
    // otherwise.
    DropProgress* progress() const { return progress_; }
    // Esc, while a drop is measured or saved: abandons it, with no prompt and nothing written.
    QAction cancelAction;

public slots:
    void Command1_Click();
    void Command2_Click();
    void Command3_Click();
    // The drop notification: keeps its own copy of the dropped URLs and returns at once, so that
    // the drag source is let go before the save prompt opens.
    void Frame1_OLEDragDrop(const QList<QUrl>& urls);
    // Abandons the drop being measured or saved; the drops queued behind it go on.
    void cancelDrop();

protected:
    void closeEvent(QCloseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void Form_Load();
    void showStage();
    void showFeedback(DropWork::Stage stage, qsizetype measured, qsizetype dropped,
        DropWork::Waiting waiting, const QString& fileSystem);
    DropProgress& shownProgress();
    void hideProgress();

    QPointer<DropProgress> progress_;
    QLabel statusPanel_;
    QPointer<options> options_; // the settings dialog while it is loaded
};

} // namespace miruteka
