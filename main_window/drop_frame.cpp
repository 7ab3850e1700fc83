#include "drop_frame.h"

#include "files.h"
#ifndef _WIN32
#include "this_machine.h"
#endif

#include <QClipboard>
#include <QContextMenuEvent>
#include <QDir>
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QGuiApplication>
#include <QMenu>
#include <QMimeData>
#include <QUrl>
#include <algorithm>
#include <utility>

namespace miruteka {

#ifdef _WIN32
// A host names a network share, which Windows opens by its UNC path.
QString DropFrame::localFilePath(const QUrl& url)
{
    return url.isLocalFile() ? QDir::toNativeSeparators(url.toLocalFile()) : QString();
}
#else
// Any host but this machine's own names a file elsewhere, which no local path reaches. A name is
// bytes here: they are taken from the URI's escapes as they stand, never through text, so that a
// name that is not UTF-8 still opens the file that was dropped. The path is decoded once: a drop
// may bring a hundred thousand of them.
QString DropFrame::localFilePath(const QUrl& url)
{
    if (!url.isLocalFile())
        return {};
    if (const QString host = url.host();
        !host.isEmpty() && host != u"localhost" && !NamesThisMachine(host.toStdString()))
        return {};
    // QUrl keeps a path with every escape decoded that stands for a character of its own; an
    // escape it keeps ("%25" for "%", bytes that are not UTF-8) shows as "%". A path with no "%"
    // and no surrogate, which might stand alone, is the name as text already.
    QString path = url.path(QUrl::PrettyDecoded);
    const auto keptAsBytes = [](QChar c) { return c == u'%' || c.isSurrogate(); };
    if (std::none_of(path.cbegin(), path.cend(), keptAsBytes))
        return path;
    // An escaped slash names nothing: a slash cannot be part of a name, and QUrl keeps it escaped.
    if (path.contains(u"%2F", Qt::CaseInsensitive))
        return {};
    const QByteArray bytes
        = QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1());
    return QString::fromStdU16String(
        FileNameFromBytes(std::string_view(bytes.constData(), std::size_t(bytes.size()))));
}
#endif

bool DropFrame::namesLocalFile(const QUrl& url) { return !localFilePath(url).isNull(); }

DropFrame::DropFrame(QWidget* parent)
    : QGroupBox(parent)
    , pasteAction(QStringLiteral("貼り付け"), this)
{
    setAcceptDrops(true);
#ifndef _WIN32
    // A file URI may name this machine by its full name, which only the resolver knows.
    LookUpThisMachine();
#endif

    // The shortcut serves the whole window, so the frame needs no keyboard focus of its own.
    pasteAction.setShortcuts(QKeySequence::Paste);
    pasteAction.setShortcutContext(Qt::WindowShortcut);
    pasteAction.setShortcutVisibleInContextMenu(true);
    addAction(&pasteAction);
    connect(&pasteAction, &QAction::triggered, this, &DropFrame::paste);
    connect(QGuiApplication::clipboard(), &QClipboard::dataChanged, this,
        &DropFrame::updatePasteAction);
    updatePasteAction();
}

bool DropFrame::carriesLocalFiles(const QList<QUrl>& urls)
{
    return std::any_of(urls.cbegin(), urls.cend(), namesLocalFile);
}

void DropFrame::dragEnterEvent(QDragEnterEvent* event)
{
    const QMimeData& data = *event->mimeData();
    draggedUrls_ = data.hasUrls() ? data.urls() : QList<QUrl>();
    if (!carriesLocalFiles(draggedUrls_))
        draggedUrls_.clear();
    dragMoveEvent(event);
}

void DropFrame::dragMoveEvent(QDragMoveEvent* event)
{
    if (!draggedUrls_.isEmpty()) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->setDropAction(Qt::IgnoreAction);
        event->ignore();
    }
}

void DropFrame::dragLeaveEvent(QDragLeaveEvent* event)
{
    draggedUrls_.clear();
    event->accept();
}

void DropFrame::dropEvent(QDropEvent* event)
{
    event->setDropAction(Qt::CopyAction);
    event->accept();
    // Only the URLs leave this handler: the dropped data is gone once it returns. They are the
    // list the drag brought in, which one drag never changes; a drop that came without a drag
    // entering first is read now.
    QList<QUrl> urls = std::exchange(draggedUrls_, {});
    emit filesDropped(urls.isEmpty() ? event->mimeData()->urls() : urls);
}

QList<QUrl> DropFrame::copiedFiles(const QMimeData& data)
{
    if (data.hasUrls())
        return data.urls();
    QList<QUrl> urls;
    const QList<QByteArray> lines
        = data.data(QStringLiteral("x-special/gnome-copied-files")).split('\n');
    const QByteArray operation = lines.constFirst().trimmed();
    if (operation != "copy" && operation != "cut")
        return urls;
    // A cut is taken as a copy: the files are only measured, never moved.
    for (qsizetype i = 1; i < lines.size(); ++i) {
        QByteArray line = lines[i].trimmed();
        if (line.endsWith('\0'))
            line.chop(1);
        if (!line.isEmpty())
            urls.append(QUrl::fromEncoded(line));
    }
    return urls;
}

void DropFrame::paste()
{
    const QMimeData* data = QGuiApplication::clipboard()->mimeData();
    if (!data)
        return;
    const QList<QUrl> urls = copiedFiles(*data);
    // As a drag of text is never offered for a drop, a clipboard without files pastes nothing.
    if (carriesLocalFiles(urls))
        emit filesDropped(urls);
}

// Decided from the formats offered alone: reading a copied list of many megabytes at every change
// of the clipboard would hold up the window. paste() reads it, and pastes nothing without files.
void DropFrame::updatePasteAction()
{
    const QMimeData* data = QGuiApplication::clipboard()->mimeData();
    pasteAction.setEnabled(data
        && (data->hasUrls() || data->hasFormat(QStringLiteral("x-special/gnome-copied-files"))));
}

void DropFrame::showContextMenu(QPoint globalPos)
{
    // Asked afresh: a platform that does not announce clipboard changes leaves no stale state.
    updatePasteAction();
    QMenu menu(this);
    menu.addAction(&pasteAction);
    menu.exec(globalPos);
}

void DropFrame::contextMenuEvent(QContextMenuEvent* event)
{
    showContextMenu(event->globalPos());
    event->accept();
}

} // namespace miruteka
