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

namespace {

#ifdef _WIN32
// A host names a network share, which Windows opens by its UNC path.
bool namesLocalFile(const QUrl& url) { return url.isLocalFile(); }

QString localPath(const QUrl& url) { return QDir::toNativeSeparators(url.toLocalFile()); }
#else
// Any host but this machine's own names a file elsewhere, which no local path reaches.
bool namesLocalFile(const QUrl& url)
{
    return url.isLocalFile() && (url.host().isEmpty() || url.host() == u"localhost");
}

// A name is bytes here: they are taken from the URI's escapes as they stand, never through
// text, so that a name that is not UTF-8 still opens the file that was dropped.
QString localPath(const QUrl& url)
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

} // namespace

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

QStringList DropFrame::localPaths(const QMimeData& data)
{
    QStringList paths;
    const QList<QUrl> urls = data.urls();
    paths.reserve(urls.size());
    for (const QUrl& url : urls) {
        if (namesLocalFile(url))
            paths.append(localPath(url));
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
