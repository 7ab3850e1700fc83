// The frame that takes files dropped from the desktop and hands on their paths, in order.
#pragma once

#include <QGroupBox>
#include <QStringList>

class QMimeData;

namespace miruteka {

class DropFrame : public QGroupBox {
    Q_OBJECT
public:
    explicit DropFrame(QWidget* parent = nullptr);

    // True when the data carries at least one local file: a file URL that names no other
    // machine (on Windows, where another machine's files open by their network path, any).
    static bool carriesLocalFiles(const QMimeData& data);
    // The local files of the data as full native paths, in the order given. On POSIX systems
    // the path holds the exact bytes of the URL's name, as FileNameFromBytes gives them.
    static QStringList localPaths(const QMimeData& data);

signals:
    void filesDropped(const QStringList& paths);

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
