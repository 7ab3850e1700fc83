#include "drop_progress.h"

#include <QLayout>
#include <QVBoxLayout>
#include <algorithm>
#include <limits>

namespace miruteka {

DropProgress::DropProgress(QWidget* frame)
    : QWidget(frame)
    , cancelButton(QStringLiteral("中止"))
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 4, 6, 4);
    layout->setSpacing(3);
    layout->addWidget(&stage);
    layout->addWidget(&bar);
    layout->addWidget(&cancelButton, 0, Qt::AlignHCenter);
    stage.setAlignment(Qt::AlignCenter);
    // The frame is as narrow as the window, and the bar and the button leave the stage one line:
    // each stage is a word short enough for it, in any font.
    bar.setAlignment(Qt::AlignCenter);
    // The window shows the busy cursor meanwhile; the way out keeps the ordinary one.
    cancelButton.setCursor(Qt::ArrowCursor);
    cancelButton.setToolTip(QStringLiteral("このドロップをやめます（Esc）"));
    cancelButton.setAccessibleDescription(
        QStringLiteral("このドロップをやめます。レポートは書き出しません。（Esc）"));
    connect(&cancelButton, &QPushButton::clicked, this, &DropProgress::cancelRequested);
    setAccessibleName(QStringLiteral("ドロップの処理"));
    setGeometry(frame->rect());
}

void DropProgress::showMeasuring(std::size_t measured, std::size_t dropped)
{
    stage.setText(QStringLiteral("測定中…"));
    stage.setToolTip({});
    showCount(measured, dropped);
    bar.setFormat(QStringLiteral("%1 / %2").arg(measured).arg(dropped));
    bar.setAccessibleName(QStringLiteral("測定したファイル"));
    bar.setAccessibleDescription(QStringLiteral("ドロップした %1 個のうち %2 個を測定しました。")
                                     .arg(dropped)
                                     .arg(measured));
    show();
}

void DropProgress::showSaving()
{
    stage.setText(QStringLiteral("保存中…"));
    stage.setToolTip({});
    // No count to show: the bar only says that the save goes on.
    bar.setRange(0, 0);
    bar.setAccessibleName(QStringLiteral("レポートの保存"));
    bar.setAccessibleDescription(QStringLiteral("レポートを保存しています。"));
    show();
}

void DropProgress::showWaiting(bool refused)
{
    if (refused)
        stage.setText(QStringLiteral("再試行中…"));
    else
        stage.setText(QStringLiteral("待機中…"));
    stage.setToolTip({});
    bar.setRange(0, 0);
    bar.setAccessibleName(QStringLiteral("空きを待っています"));
    bar.setAccessibleDescription(
        refused ? QStringLiteral(
            "システムがスレッドを割り当てませんでした。割り当てを求め直しています。中止できます。")
                : QStringLiteral("ほかのファイルの処理が終わるのを待っています。中止できます。"));
    show();
}

void DropProgress::showWaitingFor(
    const QString& fileSystem, std::size_t measured, std::size_t dropped)
{
    stage.setText(QStringLiteral("応答待ち…"));
    stage.setToolTip(fileSystem);
    showCount(measured, dropped);
    // The bar's own text, cut in the middle: both ends of a mount point or a share tell more
    // than its middle. The layout is made anew first: the frame may be new, or resized while
    // hidden, and not yet laid out.
    layout()->invalidate();
    layout()->activate();
    const int room = bar.contentsRect().width() - 2 * bar.fontMetrics().averageCharWidth();
    bar.setFormat(bar.fontMetrics().elidedText(fileSystem, Qt::ElideMiddle, std::max(room, 0)));
    bar.setAccessibleName(QStringLiteral("応答のないファイルシステム"));
    bar.setAccessibleDescription(
        QStringLiteral("%1 が応答しません。応答があれば続けます。Esc で中止できます。")
            .arg(fileSystem));
    show();
}

void DropProgress::showCount(std::size_t measured, std::size_t dropped)
{
    // QProgressBar counts in int; a drop of more files than that is shown in proportion.
    constexpr std::size_t intMax = std::numeric_limits<int>::max();
    const std::size_t scale = dropped / intMax + 1;
    bar.setRange(0, static_cast<int>(dropped / scale));
    bar.setValue(static_cast<int>(measured / scale));
}

} // namespace miruteka
