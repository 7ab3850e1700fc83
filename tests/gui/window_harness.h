// What the window tests share: messages caught instead of shown, drags delivered the way the
// platform delivers them, and the bytes of written files.
#pragma once

#include "files.h"
#include "main.h"
#include "message_box.h"

#include <QCoreApplication>
#include <QDragEnterEvent>
#include <QFile>
#include <QMimeData>
#include <QWindow>
#include <functional>

namespace miruteka::testing {

struct Message {
    QString text;
    int buttons;
    QString title;
};

// Collects the program's messages instead of showing them, for as long as it lives.
class MessageLog {
public:
    MessageLog()
    {
        SetMessageHandler([this](const QString& text, int buttons, const QString& title) {
            messages.append({ text, buttons, title });
        });
    }
    ~MessageLog() { SetMessageHandler({}); }
    MessageLog(const MessageLog&) = delete;
    MessageLog& operator=(const MessageLog&) = delete;

    QList<Message> messages;
};

// True while a drop event is being delivered: a prompt shown then would hold the drag source.
inline bool dropEventInProgress = false;

// Runs what the window queued for later, such as the procedure of a drop that has returned.
inline void runQueuedCalls() { QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall); }

// Delivers a whole drag to the window's handle, so that Qt's own routing decides which child
// gets it; drops it, or leaves, at the end. True when the drag was offered a copy.
// `beforeDrop` runs once the drag has been answered, before the drop itself. After a drop, the
// procedure it queued runs before this returns.
inline bool dragOver(miruteka::main& window, const QMimeData& data, QPoint at, bool drop,
    const std::function<void()>& beforeDrop = {})
{
    QWindow* handle = window.windowHandle();
    const Qt::DropActions offered = Qt::CopyAction | Qt::MoveAction;
    QDragEnterEvent enter(at, offered, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(handle, &enter);
    QDragMoveEvent move(at + QPoint(1, 1), offered, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(handle, &move);
    const bool copy = move.isAccepted() && move.dropAction() == Qt::CopyAction;
    if (beforeDrop)
        beforeDrop();
    if (drop) {
        QDropEvent dropped(at + QPoint(1, 1), offered, &data, Qt::LeftButton, Qt::NoModifier);
        dropEventInProgress = true;
        QCoreApplication::sendEvent(handle, &dropped);
        dropEventInProgress = false;
        runQueuedCalls();
    } else {
        QDragLeaveEvent leave;
        QCoreApplication::sendEvent(handle, &leave);
    }
    return copy;
}

// Drops the data on the frame as the platform does, and leaves the procedure it queued waiting.
// The drop event's answer, as the drag source would hear it.
inline Qt::DropAction dropWithoutRunning(miruteka::main& window, const QMimeData& data)
{
    const QPoint at = window.Frame1.geometry().center();
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(window.windowHandle(), &enter);
    QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(window.windowHandle(), &drop);
    return drop.isAccepted() ? drop.dropAction() : Qt::IgnoreAction;
}

inline QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

inline QByteArray cp932(const QString& text)
{
    return QByteArray::fromStdString(ToAnsiCodePage(text.toStdU16String()).value());
}

} // namespace miruteka::testing
