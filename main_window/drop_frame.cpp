#include "drop_frame.h"

#include "files.h"

#include <QDir>
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>
#include <algorithm>

namespace miruteka {

#ifdef _WIN32
// A host names a network share, which Windows opens by its UNC path.
bool DropFrame::namesLocalFile(const QUrl& url) { return url.isLocalFile(); }

QString DropFrame::localPath(const QUrl& url)
{
    return QDir::toNativeSeparators(url.toLocalFile());
}
#else
// Any host but this machine's own names a file elsewhere, which no local path reaches.
bool DropFrame::namesLocalFile(const QUrl& url)
{
    return url.isLocalFile() && (url.host().isEmpty() || url.host() == u"localhost");
}

// A name is bytes here: they are taken from the URI's escapes as they stand, never through
// text, so that a name that is not UTF-8 still opens the file that was dropped.
QString DropFrame::localPath(const QUrl& url)
{
    // QUrl keeps a path with every escape decoded that stands for a character of its own; an
    // escape it keeps ("%25" for "%", bytes that are not UTF-8) shows as "%". A path with no "%"
    // and no surrogate, which might stand alone, is the name as text already.
    QString path = url.path(QUrl::PrettyDecoded);
    const auto keptAsBytes = [](QChar c) { return c == u'%' || c.isSurrogate(); };
    if (std::none_of(path.cbegin(), path.cend(), keptAsBytes))
        return path;
    const QByteArray bytes
        = QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1());
    return QString::fromStdU16String(
        FileNameFromBytes(std::string_view(bytes.constData(), std::size_t(bytes.size()))));
}
#endif

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
    return std::any_of(urls.cbegin(), urls.cend(), namesLocalFile);
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
    // Only the URLs leave this handler: the dropped data is gone once it returns.
    emit filesDropped(event->mimeData()->urls());
}

} // namespace miruteka
