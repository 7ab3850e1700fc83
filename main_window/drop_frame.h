// The frame that takes files dropped from the desktop, or pasted from a file manager's copy, and
// hands on their URLs, in order.
#pragma once

#include <QAction>
#include <QGroupBox>
#include <QList>
#include <QUrl>

class QMimeData;

namespace miruteka {

class DropFrame : public QGroupBox {
    Q_OBJECT
public:
    explicit DropFrame(QWidget* parent = nullptr);

    // True when the list carries at least one local file.
    static bool carriesLocalFiles(const QList<QUrl>& urls);
    // Whether a dropped URL is a local file: a file URL that names no other machine (on
    // Windows, where another machine's files open by their network path, any).
    static bool namesLocalFile(const QUrl& url);
    // A local file's full native path, null when the URL names none. On POSIX systems it holds
    // the exact bytes of the URL's name, as FileNameFromBytes gives them.
    static QString localFilePath(const QUrl& url);
    // The files a file manager has put on the clipboard: its URI list, or, where only that is
    // offered, the GNOME list ("copy" or "cut", then one URI a line). Empty for anything else.
    static QList<QUrl> copiedFiles(const QMimeData& data);

    // 貼り付け, on the platform's paste keys anywhere in the frame's window and in the frame's
    // context menu; enabled while the clipboard holds local files.
    QAction pasteAction;

    // The frame's context menu, with its top left corner at a global position.
    void showContextMenu(QPoint globalPos);

signals:
    // The URLs dropped on the frame, or pasted into its window, in the order given. The local
    // files among them, and their paths, are for the receiver to take one at a time: a drop of
    // many files is let go at once, and its names are never all held at the same time.
    void filesDropped(const QList<QUrl>& urls);

public slots:
    // Hands on the clipboard's files as a drop of them would; nothing when it holds none.
    void paste();

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void updatePasteAction();

    // Read once when a drag enters, and kept only when it offers local files: the move events
    // that follow, many a second, then cost nothing however long the list is, and the drop takes
    // it without reading the drag's data again (on X11 another transfer from the drag's source).
    QList<QUrl> draggedUrls_;
};

} // namespace miruteka
