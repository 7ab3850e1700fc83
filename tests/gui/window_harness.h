// What the window tests share: the main window shown with its prompts answered by the test,
// drags delivered the way the platform delivers them, and the bytes of written files.
#pragma once

#include "files.h"
#include "main.h"
#include "message_box.h"
#include "prompts.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDragEnterEvent>
#include <QElapsedTimer>
#include <QFile>
#include <QMimeData>
#include <QTest>
#include <QWindow>
#include <algorithm>
#include <filesystem>
#include <functional>

namespace miruteka::testing {

// True while a drop event is being delivered: a prompt shown then would hold the drag source.
inline bool dropEventInProgress = false;

struct Message {
    QString text;
    int buttons;
    QString title;
    bool overDialog; // a modal dialog (the settings dialog) was up when it came
};

// Answers the program's prompts in place of the dialogs, for as long as it lives: the save
// prompt gives `answer`, or what `onSave` gives when it is set, and is counted; messages are
// logged, and `onMessage` runs after each.
class TestPrompts {
public:
    QString answer;
    std::function<QString()> onSave;
    std::function<void()> onMessage;

    int saves = 0;
    int savesDuringDropEvent = 0;
    QList<Message> messages;
    // How the last save prompt was asked for.
    QWidget* saveParent = nullptr;
    QString saveTitle;
    QString saveFilter;

private:
    ReplacedPrompts replaced_ { {
        [this](QWidget* parent, const QString& title, const QString& filter) {
            saveParent = parent;
            saveTitle = title;
            saveFilter = filter;
            ++saves;
            savesDuringDropEvent += dropEventInProgress ? 1 : 0;
            return onSave ? onSave() : answer;
        },
        [this](const QString& text, int buttons, const QString& title) {
            messages.append({ text, buttons, title, QApplication::activeModalWidget() != nullptr });
            if (onMessage)
                onMessage();
        },
    } };
};

// The main window as the program starts it, shown, its prompts answered by the test.
struct WindowUnderTest {
    WindowUnderTest()
    {
        window.show();
        exposed = QTest::qWaitForWindowExposed(&window);
    }

    TestPrompts prompts; // made before the window and gone after it
    miruteka::main window;
    bool exposed = false;
};

// Runs what the window queued for later, such as the procedure of a drop that has returned, and
// lets the work of every drop under way in any main window end: its files measured, its report
// saved, and the drops queued behind it started in turn. A prompt open meanwhile is the test's.
inline void runQueuedCalls()
{
    const auto working = [] {
        const QWidgetList windows = QApplication::topLevelWidgets();
        return std::any_of(windows.cbegin(), windows.cend(), [](QWidget* widget) {
            const auto* window = qobject_cast<miruteka::main*>(widget);
            // A prompt open meanwhile is the test's own; drops queued behind it wait for it.
            return window
                && (window->dropAwaitsWork()
                    || (!window->dropInProgress() && window->queuedDrops() > 0));
        });
    };
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
        if (!working() || clock.elapsed() > 20000)
            return;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
}

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

// A path of the scratch folder as the window holds it, and back.
inline QString qPath(const std::filesystem::path& path)
{
    return QString::fromStdU16String(path.u16string());
}
inline std::filesystem::path fsPath(const QString& path)
{
    return std::filesystem::path(path.toStdU16String());
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
