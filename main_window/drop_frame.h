// The frame that takes files dropped from the desktop and hands on their URLs, in order.
#pragma once

#include <QGroupBox>
#include <QList>
#include <QUrl>

class QMimeData;

namespace miruteka {

class DropFrame : public QGroupBox {
    Q_OBJECT
public:
    explicit DropFrame(QWidget* parent = nullptr);

    // True when the data carries at least one local file.
    static bool carriesLocalFiles(const QMimeData& data);
    // Whether a dropped URL is a local file: a file URL that names no other machine (on
    // Windows, where another machine's files open by their network path, any).
    static bool namesLocalFile(const QUrl& url);
    // A local file's full native path. On POSIX systems it holds the exact bytes of the URL's
    // name, as FileNameFromBytes gives them.
    static QString localPath(const QUrl& url);

signals:
    // All the dropped URLs, in the order given. The local files among them, and their paths,
    // are for the receiver to take one at a time: a drop of many files is let go at once, and
    // its names are never all held at the same time.
    void filesDropped(const QList<QUrl>& urls);

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    // Decided once when a drag enters: the move events that follow, many a second, then cost
    // nothing however long the dragged list is.
    bool dragOffersFiles_ = false;
};

} // namespace miruteka
