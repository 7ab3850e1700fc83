#include "drop_progress.h"

#include <QVBoxLayout>
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
    cancelButton.setAccessibleDescription(
        QStringLiteral("このドロップをやめます。レポートは書き出しません。（Esc）"));
    connect(&cancelButton, &QPushButton::clicked, this, &DropProgress::cancelRequested);
    setAccessibleName(QStringLiteral("ドロップの処理"));
    setGeometry(frame->rect());
}

void DropProgress::showMeasuring(std::size_t measured, std::size_t dropped)
{
    // QProgressBar counts in int; a drop of more files than that is shown in proportion.
    constexpr std::size_t intMax = std::numeric_limits<int>::max();
    const std::size_t scale = dropped / intMax + 1;
    stage.setText(QStringLiteral("測定中…"));
    bar.setRange(0, static_cast<int>(dropped / scale));
    bar.setValue(static_cast<int>(measured / scale));
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
    // No count to show: the bar only says that the save goes on.
    bar.setRange(0, 0);
    bar.setAccessibleName(QStringLiteral("レポートの保存"));
    bar.setAccessibleDescription(QStringLiteral("レポートを保存しています。"));
    show();
}

void DropProgress::showWaiting()
{
    stage.setText(QStringLiteral("待機中…"));
    bar.setRange(0, 0);
    bar.setAccessibleName(QStringLiteral("空きを待っています"));
    bar.setAccessibleDescription(
        QStringLiteral("ほかのファイルの処理が終わるのを待っています。中止できます。"));
    show();
}

} // namespace miruteka
