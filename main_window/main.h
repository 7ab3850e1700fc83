// The main window: the unit price and its status line, the three buttons, and the frame that
// turns dropped files into a fee report.
#pragma once

#include "concurrent_lengths.h"
#include "detached_task.h"
#include "drop_frame.h"
#include "drop_progress.h"
#include "save_prompt.h"

#include <QAction>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <QWidget>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>

namespace miruteka {

class options;

// Named as the program names its start-up window; the namespace keeps it clear of ::main.
class main : public QWidget {
    Q_OBJECT
public:
    explicit main(QWidget* parent = nullptr);
    // Gives a save that was abandoned a moment to throw its new file away.
    ~main() override;

    DropFrame Frame1;
    QStatusBar StatusBar1;
    QLineEdit Text1; // the unit price, kept as text out of sight
    QPushButton Command1;
    QPushButton Command2;
    QPushButton Command3;
    SavePrompt CommonDialog1;

    void labelpacket();
    QString statusText() const { return statusPanel_.text(); }

    // True from the moment a drop's procedure starts until its report is saved or abandoned.
    bool dropInProgress() const { return stage_ != Stage::idle; }
    // Drops waiting for the one under way, or for their procedure to start.
    std::size_t queuedDrops() const { return pendingDrops_.size(); }
    // True while a drop's files are being measured or its report saved.
    bool dropAwaitsWork() const { return stage_ == Stage::measuring || stage_ == Stage::saving; }
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
    struct Drop {
        QList<QUrl> urls;
        QString unitPrice; // the price in force when the files were dropped
    };
    enum class Stage { idle, measuring, prompting, saving };

    void Form_Load();
    void scheduleNextDrop();
    void runPendingDrops();
    void startDrop(const Drop& drop);
    void followDrop();
    void promptAndSave(std::u16string report);
    void finishDrop();
    DropProgress& shownProgress();
    void hideProgress();

    // Drops waiting for their procedure, in the order they arrived; each gets its own prompt.
    std::deque<Drop> pendingDrops_;
    bool pendingDropsScheduled_ = false;

    // The drop under way. Its files are measured and its report saved off this thread, which
    // follows them on a timer and stays free for the user meanwhile.
    Stage stage_ = Stage::idle;
    std::stop_source dropStop_;
    std::shared_ptr<ConcurrentLengths> lengths_;
    std::optional<DetachedTask<std::optional<std::u16string>>> walk_;
    std::optional<DetachedTask<bool>> save_;
    std::optional<DetachedTask<bool>> abandonedSave_;
    QString saveName_;
    QTimer followTimer_;
    // Tells the window, from the thread that finished a drop's work, to follow it at once;
    // outlives the window, which lets go of it as it goes.
    struct Waker {
        explicit Waker(main* target)
            : window(target)
        {
        }
        void wake();
        std::mutex mutex;
        main* window;
    };
    std::shared_ptr<Waker> waker_;
    QElapsedTimer stageClock_;
    bool closing_ = false;
    QPointer<DropProgress> progress_;

    QLabel statusPanel_;
    QPointer<options> options_; // the settings dialog while it is loaded
};

} // namespace miruteka
