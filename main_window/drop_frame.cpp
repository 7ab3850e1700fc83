#include "drop_frame.h"

#include <QDir>
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>

namespace miruteka {

DropFrame::DropFrame(QWidget* parent)
    : QGroupBox(parent)
{
    setAcceptDrops(true);
}

bool DropFrame::carriesLocalFiles(const QMimeData& data)
{
    if (!data.hasUrls())
        return false;
    const QList<QUrl> urls = data.urls();
    return std::any_of(
        urls.cbegin(), urls.cend(), [](const QUrl& url) { return url.isLocalFile(); });
}

QStringList DropFrame::localPaths(const QMimeData& data)
{
    QStringList paths;
    const QList<QUrl> urls = data.urls();
    paths.reserve(urls.size());
    for (const QUrl& url : urls) {
        if (url.isLocalFile())
            paths.append(QDir::toNativeSeparators(url.toLocalFile()));
    }
    return paths;
}

void DropFrame::dragEnterEvent(QDragEnterEvent* event)
{
    dragOffersFiles_ = carriesLocalFiles(*event->mimeData());
    dragMoveEvent(event);
}

void DropFrame::dragMoveEvent(QDragMoveEvent* event)
{
    if (dragOffersFiles_) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->setDropAction(Qt::IgnoreAction);
        event->ignore();
    }
}

void DropFrame::dragLeaveEvent(QDragLeaveEvent* event)
{
    dragOffersFiles_ = false;
    event->accept();
}

void DropFrame::dropEvent(QDropEvent* event)
{
    dragOffersFiles_ = false;
    event->setDropAction(Qt::CopyAction);
    event->accept();
    // Only the paths leave this handler: the dropped data is gone once it returns.
    emit filesDropped(localPaths(*event->mimeData()));
}

} // namespace miruteka
