#include "main.h"

#include "accessible_main.h"
#include "fee_report.h"
#include "identity.h"
#include "message_box.h"
#include "number.h"
#include "options.h"
#include "twips.h"

#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QIcon>
#include <QScreen>

namespace miruteka {

namespace {

QString fromCore(const std::u16string& text) { return QString::fromStdU16String(text); }

} // namespace

main::main(QWidget* parent)
    : QWidget(parent,
        Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
            | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint)
    , Frame1(this)
    , StatusBar1(this)
    , Text1(QStringLiteral("0.3"), this)
    , Command1(QStringLiteral("設定"), this)
    , Command2(QStringLiteral("about"), this)
    , Command3(QStringLiteral("終了"), this)
    , cancelAction(QStringLiteral("中止"), this)
{
    setWindowTitle(QStringLiteral("main"));
    setWindowIcon(QIcon(QStringLiteral(":/miruteka/miruteka.png")));
    setFixedSize(twips(0, 0, 1815, 1935).size());

    Frame1.setGeometry(twips(0, 0, 1815, 1290));
    StatusBar1.setGeometry(twips(0, 1695, 1815, 240));
    StatusBar1.setSizeGripEnabled(false);
    StatusBar1.addWidget(&statusPanel_, 1);
    Text1.setGeometry(twips(2850, 1725, 615, 270));
    Text1.setFocusPolicy(Qt::NoFocus); // out of sight, so never a place for the keyboard
    Command1.setGeometry(twips(0, 1350, 540, 315));
    Command2.setGeometry(twips(600, 1350, 615, 315));
    Command3.setGeometry(twips(1275, 1350, 540, 315));
    setTabOrder(&Command1, &Command2);
    setTabOrder(&Command2, &Command3);

    CommonDialog1.DialogTitle = QStringLiteral("保存しとけって");
    CommonDialog1.Filter = QStringLiteral("テキスト (*.txt)");

    connect(&Command1, &QPushButton::clicked, this, &main::Command1_Click);
    connect(&Command2, &QPushButton::clicked, this, &main::Command2_Click);
    connect(&Command3, &QPushButton::clicked, this, &main::Command3_Click);
    connect(&Frame1, &DropFrame::filesDropped, this, &main::Frame1_OLEDragDrop);

    cancelAction.setShortcut(Qt::Key_Escape);
    cancelAction.setShortcutContext(Qt::WindowShortcut);
    cancelAction.setEnabled(false);
    addAction(&cancelAction);
    connect(&cancelAction, &QAction::triggered, this, &main::cancelDrop);
    // Often enough for progress to look smooth; the end of the work is told by the waker. The
    // timer runs only while a drop is measured or saved.
    followTimer_.setInterval(50);
    waker_ = std::make_shared<Waker>(this);
    connect(&followTimer_, &QTimer::timeout, this, &main::followDrop);

    const QString pasteKeys = QKeySequence(QKeySequence::Paste).toString(QKeySequence::NativeText);
    Frame1.setAccessibleName(QStringLiteral("ファイルのドロップ先"));
    Frame1.setAccessibleDescription(
        QStringLiteral("パケット料金を調べたいファイルをここにドラッグ＆ドロップするか、"
                       "ファイルマネージャーでコピーして %1 で貼り付けてください。"
                       "保存先を尋ねてから料金のレポートを書き出します。")
            .arg(pasteKeys));
    StatusBar1.setAccessibleName(QStringLiteral("単価"));
    StatusBar1.setAccessibleDescription(
        QStringLiteral("1パケット（128バイト）あたりの料金です。設定で変更できます。"));
    Command1.setAccessibleDescription(
        QStringLiteral("1パケットあたりの料金を変える設定ダイアログを開きます。"));
    Command2.setAccessibleDescription(QStringLiteral("バージョンと使い方を表示します。"));
    Command3.setAccessibleDescription(QStringLiteral("ミルテカを終了します。"));
    makeAccessible(*this);

    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());

    Form_Load();
}

void main::Form_Load()
{
    setWindowTitle(fromCore(AppTitle()));
    labelpacket();
}

void main::labelpacket()
{
    statusPanel_.setText(QStringLiteral("1パケット = ") + Text1.text() + QStringLiteral(" 円"));
}

void main::Command1_Click()
{
    options_ = new options(Text1, this);
    options_->exec();
    delete options_; // already gone when the exit button unloaded it meanwhile
    labelpacket();
}

void main::Command2_Click()
{
    const QString text = fromCore(AppTitle()) + QStringLiteral(" ver")
        + fromCore(FormatInteger(AppMajor())) + QStringLiteral(".")
        + fromCore(FormatInteger(AppMinor())) + QStringLiteral("\r\n\r\n")
        + QStringLiteral("パケット料金を調べたいファイルをD&Dしてください。");
    ShowMessage(text, OkOnly, QStringLiteral("about"));
}

void main::Command3_Click()
{
    delete options_;
    close();
}

void main::Frame1_OLEDragDrop(const QList<QUrl>& urls)
{
    pendingDrops_.push_back({ urls, Text1.text() });
    scheduleNextDrop();
}

void main::scheduleNextDrop()
{
    if (pendingDropsScheduled_ || pendingDrops_.empty())
        return;
    pendingDropsScheduled_ = true;
    QMetaObject::invokeMethod(this, &main::runPendingDrops, Qt::QueuedConnection);
}

void main::runPendingDrops()
{
    pendingDropsScheduled_ = false;
    // A drop that arrives while another is under way waits for it to end, written or abandoned.
    if (stage_ != Stage::idle || pendingDrops_.empty())
        return;
    const Drop drop = std::move(pendingDrops_.front());
    pendingDrops_.pop_front();
    startDrop(drop);
}

void main::Waker::wake()
{
    const std::lock_guard lock(mutex);
    if (window)
        QMetaObject::invokeMethod(window, &main::followDrop, Qt::QueuedConnection);
}

main::~main()
{
    {
        const std::lock_guard lock(waker_->mutex);
        waker_->window = nullptr;
    }
    // A save answered in a prompt that the window's closing interrupted has a moment to finish.
    // A stopped save gives up within a fraction of a second and removes what it wrote beside the
    // target. One stuck in a file system that no longer answers is left behind either way.
    if (save_)
        save_->waitFor(std::chrono::milliseconds(700));
    for (auto* save : { &save_, &abandonedSave_ }) {
        if (*save) {
            (*save)->requestStop();
            (*save)->waitFor(std::chrono::milliseconds(300));
        }
    }
}

void main::closeEvent(QCloseEvent* event)
{
    // Drops not yet handled go with the window: no prompt outlives it.
    closing_ = true;
    pendingDrops_.clear();
    cancelDrop();
    QWidget::closeEvent(event);
}

void main::contextMenuEvent(QContextMenuEvent* event)
{
    // The menu key, wherever the focus is, opens the frame's menu: the frame takes no focus.
    if (event->reason() != QContextMenuEvent::Keyboard) {
        event->ignore();
        return;
    }
    Frame1.showContextMenu(Frame1.mapToGlobal(Frame1.rect().center()));
}

void main::startDrop(const Drop& drop)
{
    // Each local file's path is made here, while its URL is at hand; the files are then measured
    // many at a time off this thread, and the report made from them in the dropped order.
    auto paths = std::make_shared<ConcurrentLengths::Paths>();
    paths->reserve(static_cast<std::size_t>(drop.urls.size()));
    for (const QUrl& url : drop.urls) {
        if (DropFrame::namesLocalFile(url))
            paths->push_back(DropFrame::localPath(url).toStdU16String());
    }
    dropStop_ = std::stop_source();
    lengths_ = std::make_shared<ConcurrentLengths>(
        std::move(paths), lengthRequestsInFlight, dropStop_.get_token());
    walk_.emplace([lengths = lengths_, price = drop.unitPrice.toStdU16String()](
                      std::stop_token) { return BuildFeeReport(*lengths, price); },
        [waker = waker_] { waker->wake(); });
    stage_ = Stage::measuring;
    cancelAction.setEnabled(true);
    stageClock_.start();
    followTimer_.start();
}

void main::followDrop()
{
    // A wake may come late, from work abandoned since.
    if (!dropAwaitsWork())
        return;
    // Feedback only for what takes long enough to be noticed: a quick drop shows nothing.
    constexpr qint64 feedbackAfterMs = 500;
    const bool showFeedback = stageClock_.elapsed() >= feedbackAfterMs;
    if (showFeedback)
        setCursor(Qt::BusyCursor);

    if (stage_ == Stage::measuring) {
        if (showFeedback)
            shownProgress().showMeasuring(lengths_->measured(), lengths_->size());
        // The prompt waits for any dialog of the user's (settings, about) to close first.
        if (!walk_->done() || QApplication::activeModalWidget())
            return;
        std::optional<std::u16string> report = walk_->take();
        walk_.reset();
        lengths_.reset();
        if (report)
            promptAndSave(std::move(*report));
        else
            finishDrop();
    } else if (stage_ == Stage::saving) {
        if (showFeedback)
            shownProgress().showSaving();
        if (!save_->done())
            return;
        const bool saved = save_->take();
        save_.reset();
        const QString name = saveName_;
        finishDrop();
        if (!saved)
            ShowMessage(QStringLiteral("レポートを保存できませんでした。\r\n") + name, OkOnly,
                fromCore(AppTitle()));
    }
}

void main::promptAndSave(std::u16string report)
{
    stage_ = Stage::prompting;
    followTimer_.stop();
    cancelAction.setEnabled(false);
    hideProgress();
    unsetCursor();

    CommonDialog1.ShowSave(this);
    saveName_ = CommonDialog1.FileName();
    // A cancelled prompt gives no name: nothing to write and nothing to say.
    if (saveName_.isEmpty()) {
        finishDrop();
        return;
    }
    save_.emplace([path = saveName_.toStdU16String(), report = std::move(report)](
                      std::stop_token stop) { return SaveFeeReport(path, report, stop); },
        [waker = waker_] { waker->wake(); });
    stage_ = Stage::saving;
    cancelAction.setEnabled(true);
    stageClock_.start();
    followTimer_.start();
}

DropProgress& main::shownProgress()
{
    if (!progress_) {
        progress_ = new DropProgress(&Frame1);
        connect(progress_, &DropProgress::cancelRequested, this, &main::cancelDrop);
    }
    return *progress_;
}

void main::hideProgress()
{
    // Made when needed and gone afterwards, so that nobody, screen readers included, finds it
    // outside a long drop. Deleted later: its own button may be what ended the drop.
    if (progress_) {
        progress_->hide();
        progress_->deleteLater();
        progress_.clear();
    }
}

void main::cancelDrop()
{
    if (stage_ == Stage::measuring) {
        dropStop_.request_stop();
        walk_.reset();
        lengths_.reset();
    } else if (stage_ == Stage::saving) {
        save_->requestStop();
        abandonedSave_ = std::move(save_);
        save_.reset();
    } else {
        return;
    }
    finishDrop();
}

void main::finishDrop()
{
    stage_ = Stage::idle;
    followTimer_.stop();
    cancelAction.setEnabled(false);
    hideProgress();
    unsetCursor();
    if (!closing_)
        scheduleNextDrop();
}

} // namespace miruteka
