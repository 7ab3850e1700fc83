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
    , work({ [] { return QApplication::activeModalWidget() == nullptr; },
          [this] {
              CommonDialog1.ShowSave(this);
              return CommonDialog1.FileName();
          } })
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
    connect(&work, &DropWork::stageChanged, this, &main::showStage);
    connect(&work, &DropWork::feedback, this, &main::showFeedback);
    connect(&work, &DropWork::message, this,
        [](const QString& text) { ShowMessage(text, OkOnly, fromCore(AppTitle())); });

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

void main::Frame1_OLEDragDrop(const QList<QUrl>& urls) { work.add(urls, Text1.text()); }

void main::cancelDrop() { work.cancel(); }

void main::closeEvent(QCloseEvent* event)
{
    // Drops not yet handled go with the window: no prompt outlives it.
    work.close();
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

void main::showStage()
{
    cancelAction.setEnabled(work.awaitsWork());
    if (!work.awaitsWork()) {
        hideProgress();
        unsetCursor();
    }
}

void main::showFeedback(DropWork::Stage stage, qsizetype measured, qsizetype dropped,
    DropWork::Waiting waiting, const QString& fileSystem)
{
    setCursor(Qt::BusyCursor);
    if (waiting == DropWork::Waiting::forFileSystem)
        shownProgress().showWaitingFor(fileSystem, std::size_t(measured), std::size_t(dropped));
    else if (waiting != DropWork::Waiting::no)
        shownProgress().showWaiting(waiting == DropWork::Waiting::forSystem);
    else if (stage == DropWork::Stage::measuring)
        shownProgress().showMeasuring(std::size_t(measured), std::size_t(dropped));
    else
        shownProgress().showSaving();
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

} // namespace miruteka
