// The program without a mouse: files pasted from a file manager's copy go the way of a drop, the
// keyboard reaches the buttons and the frame's menu, and assistive technology finds a name for
// every control a person can see and nothing else.
#include "accessible_main.h"
#include "options.h"
#include "window_harness.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QClipboard>
#include <QMenu>
#include <QMimeData>
#include <QPointer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

using miruteka::main;
using miruteka::options;
using namespace miruteka::testing;

namespace {

QByteArray uri(const QString& path) { return QUrl::fromLocalFile(path).toEncoded(); }

// Files of the sizes of the worked example, and items that get no line: a folder, a FIFO and a
// path that does not exist.
struct Copied {
    explicit Copied(const QString& dir)
        : a(dir + QStringLiteral("/見積 100% #1.bin"))
        , b(dir + QStringLiteral("/b.txt"))
        , folder(dir + QStringLiteral("/folder"))
        , fifo(dir + QStringLiteral("/fifo"))
        , missing(dir + QStringLiteral("/missing"))
        , latin1(QFile::encodeName(dir) + "/caf\xE9.bin")
    {
    }
    // Once for all the rows that use them.
    void make() const
    {
        for (const auto& [path, length] : { std::pair { a, 1000 }, std::pair { b, 300 } }) {
            QFile file(path);
            if (!file.open(QIODevice::WriteOnly) || !file.resize(length))
                qFatal("cannot make %s", qPrintable(path));
        }
        if (!QFileInfo::exists(folder) && !QDir().mkdir(folder))
            qFatal("cannot make the folder");
        if (!QFileInfo::exists(fifo) && ::mkfifo(QFile::encodeName(fifo).constData(), 0600) != 0)
            qFatal("cannot make the FIFO");
        const int fd = ::open(latin1.constData(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
        if (fd < 0 || ::ftruncate(fd, 1000) != 0)
            qFatal("cannot make %s", latin1.constData());
        ::close(fd);
    }
    // What a file manager offers for a copy of all of them, the web address of a remote folder
    // view among them.
    QByteArrayList uris() const
    {
        return { uri(a), "https://example.org/x", uri(folder), uri(fifo), uri(missing), uri(b) };
    }
    QString a, b, folder, fifo, missing;
    QByteArray latin1; // a name in bytes that are not UTF-8, which QDir cannot remove
};

// The clipboard as the test leaves it: formats and their bytes.
using Offer = QList<std::pair<QString, QByteArray>>;

const QString uriList = QStringLiteral("text/uri-list");
const QString gnomeList = QStringLiteral("x-special/gnome-copied-files");

void offer(const Offer& formats)
{
    auto* data = new QMimeData;
    for (const auto& [format, bytes] : formats)
        data->setData(format, bytes);
    QGuiApplication::clipboard()->setMimeData(data);
}

// A clipboard's data that counts how often its bytes are read, as another program would be asked
// for them on X11.
class CountedReads : public QMimeData {
public:
    mutable int reads = 0;

protected:
    QVariant retrieveData(const QString& format, QMetaType type) const override
    {
        ++reads;
        return QMimeData::retrieveData(format, type);
    }
};

// What the frame's context menu held when it was open; it is closed, or its item chosen.
struct MenuSeen {
    bool shown = false;
    QStringList texts;
    bool enabled = false; // the first item
    QKeySequence shortcut;
    bool shortcutShown = false;
};

MenuSeen contextMenu(const std::function<void()>& open, bool choose)
{
    MenuSeen seen;
    QTimer::singleShot(0, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu)
            return;
        seen.shown = true;
        for (const QAction* action : menu->actions())
            seen.texts.append(action->text());
        if (const QAction* first = menu->actions().value(0)) {
            seen.enabled = first->isEnabled();
            seen.shortcut = first->shortcut();
            seen.shortcutShown = first->isShortcutVisibleInContextMenu();
        }
        if (choose) {
            QTest::keyClick(menu, Qt::Key_Down);
            QTest::keyClick(menu, Qt::Key_Return);
        }
        if (menu->isVisible())
            menu->close();
    });
    open();
    runQueuedCalls(); // the look above, where no menu held the event loop
    return seen;
}

// Every accessible object under the root, depth first.
QList<QAccessibleInterface*> accessibleTree(QAccessibleInterface* root)
{
    QList<QAccessibleInterface*> all;
    for (int i = 0; i < root->childCount(); ++i) {
        QAccessibleInterface* child = root->child(i);
        all.append(child);
        all.append(accessibleTree(child));
    }
    return all;
}

// The widgets under the window that a person can see: shown, and inside the client area.
QList<QObject*> seenWidgets(QWidget& window)
{
    QList<QObject*> seen;
    for (QWidget* widget : window.findChildren<QWidget*>()) {
        if (widget->isVisible() && !widget->isWindow()
            && window.rect().intersects(QRect(widget->mapTo(&window, QPoint()), widget->size())))
            seen.append(widget);
    }
    return seen;
}

// Fails unless the window's accessible tree holds exactly the widgets a person can see, each
// named; gives their descriptions.
void checkAccessible(QWidget& window, QMap<QObject*, QString>& descriptions)
{
    QList<QObject*> offered;
    for (QAccessibleInterface* node :
        accessibleTree(QAccessible::queryAccessibleInterface(&window))) {
        offered.append(node->object());
        QVERIFY2(
            !node->text(QAccessible::Name).isEmpty(), node->object()->metaObject()->className());
        descriptions.insert(node->object(), node->text(QAccessible::Description));
    }
    QList<QObject*> seen = seenWidgets(window);
    std::sort(offered.begin(), offered.end());
    std::sort(seen.begin(), seen.end());
    QVERIFY2(offered == seen, "the accessible tree is not what is in sight");
}

} // namespace

class KeyboardTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void cleanupTestCase() { ::unlink(Copied(dir_.path()).latin1.constData()); }

    void pasteRunsTheDropProcedureOnTheClipboardsFiles_data();
    void pasteRunsTheDropProcedureOnTheClipboardsFiles();
    void contextMenuOffersPasteWhileFilesAreCopied_data();
    void contextMenuOffersPasteWhileFilesAreCopied();
    void theClipboardIsReadOnlyWhenPasting_data();
    void theClipboardIsReadOnlyWhenPasting();
    void tabReachesTheButtonsAlone();
    void everyControlInSightIsNamedAndDescribed();
    void theWindowIsAWindowWithoutThePriceStore_data();
    void theWindowIsAWindowWithoutThePriceStore();

private:
    // The keys go where the keyboard focus is, through the window's shortcuts first.
    static void press(const QKeySequence& keys)
    {
        const QKeyCombination key = keys[0];
        QTest::keyClick(QApplication::focusWidget(), key.key(), key.keyboardModifiers());
    }

    std::optional<WindowUnderTest> under_;
    QTemporaryDir dir_;
    QString answer_;
};

void KeyboardTest::init()
{
    answer_ = dir_.filePath(QStringLiteral("report.txt"));
    QFile::remove(answer_);
    under_.emplace();
    under_->prompts.answer = answer_;
    under_->window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&under_->window));
}

void KeyboardTest::cleanup()
{
    under_.reset();
    QGuiApplication::clipboard()->clear();
}

void KeyboardTest::pasteRunsTheDropProcedureOnTheClipboardsFiles_data()
{
    QTest::addColumn<Offer>("clipboard");
    QTest::addColumn<QStringList>("lines"); // of the report, from the files that are measured
    QTest::addColumn<QString>("total"); // null: nothing is pasted
    const Copied c(dir_.path());
    const QStringList both { c.a + QStringLiteral("   2.34円"), c.b + QStringLiteral("   0.7円") };
    const QString bothTotal = QStringLiteral("3.046875");

    QTest::newRow("URI list") << Offer { { uriList, c.uris().join("\r\n") + "\r\n" } } << both
                              << bothTotal;
    QTest::newRow("GNOME list of a copy")
        << Offer { { gnomeList, "copy\n" + c.uris().join('\n') } } << both << bothTotal;
    // Files that were cut are measured where they are, and stay there.
    QTest::newRow("GNOME list of a cut, CR LF and a final NUL")
        << Offer { { gnomeList, "cut\r\n" + c.uris().join("\r\n") + "\r\n" + '\0' } } << both
        << bothTotal;
    // The clipboard's URLs become paths as a drop's do: the name's own bytes, and no other
    // machine's files (its host is the folder's first step, so that //host/... would name b).
    const QByteArray dir = QFile::encodeName(dir_.path());
    const qsizetype slash = dir.indexOf('/', 1);
    QTest::newRow("GNOME list: a name that is not UTF-8, another machine's file")
        << Offer { { gnomeList,
               "copy\nfile://" + c.latin1.toPercentEncoding("/") + "\nfile://"
                   + dir.mid(1, slash - 1) + dir.mid(slash) + "/b.txt" } }
        << QStringList { dir_.path() + QStringLiteral("/caf?.bin   2.34円") }
        << QStringLiteral("2.34375");
    QTest::newRow("both lists: the URI list counts")
        << Offer { { uriList, uri(c.b) }, { gnomeList, "copy\n" + uri(c.a) } }
        << QStringList { c.b + QStringLiteral("   0.7円") } << QStringLiteral("0.703125");
    QTest::newRow("text of a path")
        << Offer { { QStringLiteral("text/plain"), c.a.toUtf8() } } << QStringList() << QString();
    QTest::newRow("an image") << Offer { { QStringLiteral("image/png"), QByteArray("\x89PNG") } }
                              << QStringList() << QString();
    QTest::newRow("nothing") << Offer() << QStringList() << QString();
    QTest::newRow("a web address alone")
        << Offer { { uriList, "https://example.org/x" } } << QStringList() << QString();
    QTest::newRow("GNOME list without copy or cut")
        << Offer { { gnomeList, uri(c.a) + '\n' + uri(c.b) } } << QStringList() << QString();
}

void KeyboardTest::pasteRunsTheDropProcedureOnTheClipboardsFiles()
{
    QFETCH(Offer, clipboard);
    QFETCH(QStringList, lines);
    QFETCH(QString, total);
    const Copied c(dir_.path());
    c.make();
    offer(clipboard);
    QWidget* focus = QApplication::focusWidget();

    press(QKeySequence(Qt::CTRL | Qt::Key_V));
    QCOMPARE(under_->prompts.saves, 0); // as a drop, it returns before the prompt
    QGuiApplication::clipboard()->clear(); // the paste kept what it needs
    runQueuedCalls();

    QVERIFY(under_->prompts.messages.isEmpty());
    QCOMPARE(QApplication::focusWidget(), focus);
    if (total.isNull()) {
        QCOMPARE(under_->prompts.saves, 0);
        QVERIFY(!QFile::exists(answer_));
        return;
    }
    QCOMPARE(under_->prompts.saves, 1);
    QString report;
    for (const QString& line : lines)
        report += line + QStringLiteral("\r\n");
    report += QStringLiteral("\r\nTOTAL ") + total + QStringLiteral("円");
    QCOMPARE(readAll(answer_), cp932(report) + "\r\n");
    QVERIFY(QFile::exists(c.a) && QFile::exists(c.b));
}

void KeyboardTest::contextMenuOffersPasteWhileFilesAreCopied_data()
{
    QTest::addColumn<bool>("byMenuKey"); // else a right-click
    QTest::addColumn<bool>("onFrame"); // of the click
    QTest::addColumn<bool>("filesCopied");
    QTest::addColumn<bool>("shown");
    QTest::newRow("right-click on the frame, files copied") << false << true << true << true;
    QTest::newRow("right-click on the frame, text copied") << false << true << false << true;
    QTest::newRow("menu key, files copied") << true << false << true << true;
    QTest::newRow("menu key, text copied") << true << false << false << true;
    QTest::newRow("right-click on a button") << false << false << true << false;
}

void KeyboardTest::contextMenuOffersPasteWhileFilesAreCopied()
{
    QFETCH(bool, byMenuKey);
    QFETCH(bool, onFrame);
    QFETCH(bool, filesCopied);
    QFETCH(bool, shown);
    const QString file = QCoreApplication::applicationFilePath();
    if (filesCopied)
        offer({ { uriList, uri(file) } });
    else
        offer({ { QStringLiteral("text/plain"), file.toUtf8() } });
    under_->window.Command2.setFocus();

    const MenuSeen seen = contextMenu(
        [&] {
            if (byMenuKey) {
                // What the platform sends for the menu key: it goes to the focused button.
                QContextMenuEvent event(QContextMenuEvent::Keyboard, QPoint(), QPoint());
                QCoreApplication::sendEvent(under_->window.windowHandle(), &event);
                return;
            }
            const QWidget& target = onFrame ? static_cast<QWidget&>(under_->window.Frame1)
                                            : static_cast<QWidget&>(under_->window.Command3);
            QTest::mouseClick(
                under_->window.windowHandle(), Qt::RightButton, {}, target.geometry().center());
        },
        true);
    runQueuedCalls();

    QCOMPARE(seen.shown, shown);
    QCOMPARE(under_->prompts.saves, shown && filesCopied ? 1 : 0);
    if (byMenuKey) // the keyboard is back where it was
        QCOMPARE(under_->window.focusWidget(), &under_->window.Command2);
    if (!shown)
        return;
    QCOMPARE(seen.texts, QStringList { QStringLiteral("貼り付け") });
    QCOMPARE(seen.enabled, filesCopied);
    QCOMPARE(seen.shortcut, QKeySequence(Qt::CTRL | Qt::Key_V));
    QVERIFY(seen.shortcutShown);
}

void KeyboardTest::theClipboardIsReadOnlyWhenPasting_data()
{
    QTest::addColumn<Offer>("clipboard");
    QTest::addColumn<bool>("enabled"); // 貼り付け, after the change
    QTest::addColumn<int>("saves"); // after 貼り付け
    const QString file = QCoreApplication::applicationFilePath();
    QTest::newRow("URI list") << Offer { { uriList, uri(file) } } << true << 1;
    QTest::newRow("GNOME list") << Offer { { gnomeList, "copy\n" + uri(file) } } << true << 1;
    // Offered as a file list, so 貼り付け is on; once read, it holds no file and pastes nothing.
    QTest::newRow("a web address alone")
        << Offer { { uriList, "https://example.org/x" } } << true << 0;
    QTest::newRow("text") << Offer { { QStringLiteral("text/plain"), file.toUtf8() } } << false
                          << 0;
}

void KeyboardTest::theClipboardIsReadOnlyWhenPasting()
{
    QFETCH(Offer, clipboard);
    QFETCH(bool, enabled);
    QFETCH(int, saves);
    QPointer<CountedReads> data = new CountedReads;
    for (const auto& [format, bytes] : clipboard)
        data->setData(format, bytes);
    QGuiApplication::clipboard()->setMimeData(data);
    QAction& paste = under_->window.Frame1.pasteAction;

    QCOMPARE(paste.isEnabled(), enabled);
    QVERIFY(data);
    QCOMPARE(data->reads, 0); // a copy elsewhere costs the window nothing
    if (!enabled)
        return;
    paste.trigger();
    QVERIFY(data && data->reads > 0);
    runQueuedCalls();
    QCOMPARE(under_->prompts.saves, saves);
}

void KeyboardTest::tabReachesTheButtonsAlone()
{
    QList<QWidget*> reached { QApplication::focusWidget() }; // at start
    for (int i = 0; i < 3; ++i) {
        QTest::keyClick(under_->window.windowHandle(), Qt::Key_Tab);
        reached.append(QApplication::focusWidget());
    }
    main& w = under_->window;
    QCOMPARE(reached, (QList<QWidget*> { &w.Command1, &w.Command2, &w.Command3, &w.Command1 }));
}

void KeyboardTest::everyControlInSightIsNamedAndDescribed()
{
    QMap<QObject*, QString> described;
    checkAccessible(under_->window, described);
    if (QTest::currentTestFailed())
        return;
    QVERIFY(!described.contains(&under_->window.Text1));
    for (QWidget* control :
        std::initializer_list<QWidget*> { &under_->window.Frame1, &under_->window.StatusBar1,
            &under_->window.Command1, &under_->window.Command2, &under_->window.Command3 })
        QVERIFY2(!described.value(control).isEmpty(), qPrintable(control->accessibleName()));

    bool opened = false;
    QTimer::singleShot(0, this, [&] {
        auto* dialog = qobject_cast<options*>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        opened = true;
        // Checked apart, so that a failure still closes the dialog.
        [&] {
            described.clear();
            checkAccessible(*dialog, described);
            for (QWidget* control : std::initializer_list<QWidget*> {
                     &dialog->Text1, &dialog->Command1, &dialog->Command2 })
                QVERIFY2(!described.value(control).isEmpty(), control->metaObject()->className());
            // The caption beside the field names it.
            QCOMPARE(QAccessible::queryAccessibleInterface(&dialog->Text1)->text(QAccessible::Name),
                QStringLiteral("1パケットの料金"));
        }();
        dialog->Command2.click();
    });
    QTest::mouseClick(&under_->window.Command1, Qt::LeftButton);
    QVERIFY(opened);
}

void KeyboardTest::theWindowIsAWindowWithoutThePriceStore_data()
{
    QTest::addColumn<bool>("madeBefore");
    QTest::newRow("as the window made it") << false;
    // As Qt does when it is asked for the window's interface while the window is being built,
    // before the window's own is known: that of a plain widget, with every child.
    QTest::newRow("after a plain widget's") << true;
}

void KeyboardTest::theWindowIsAWindowWithoutThePriceStore()
{
    QFETCH(bool, madeBefore);
    main& w = under_->window;
    if (madeBefore) {
        QAccessible::deleteAccessibleInterface(
            QAccessible::uniqueId(QAccessible::queryAccessibleInterface(&w)));
        QAccessible::registerAccessibleInterface(new QAccessibleWidget(&w));
        QCOMPARE(QAccessible::queryAccessibleInterface(&w)->role(), QAccessible::Client);
        miruteka::makeAccessible(w);
    }
    QAccessibleInterface* window = QAccessible::queryAccessibleInterface(&w);
    QCOMPARE(window->role(), QAccessible::Window);
    QList<QObject*> offered;
    for (int i = 0; i < window->childCount(); ++i) {
        QAccessibleInterface* child = window->child(i);
        QCOMPARE(window->indexOfChild(child), i);
        offered.append(child->object());
    }
    QCOMPARE(offered,
        (QList<QObject*> { &w.Frame1, &w.StatusBar1, &w.Command1, &w.Command2, &w.Command3 }));
    QCOMPARE(window->indexOfChild(QAccessible::queryAccessibleInterface(&w.Text1)), -1);
}

QTEST_MAIN(KeyboardTest)
#include "keyboard_test.moc"
