#include "scratch.h"
#include "window_harness.h"

#include <QCloseEvent>
#include <QLayout>
#include <QMessageBox>
#include <QMimeData>
#include <QPointer>
#include <QRegularExpression>
#include <QSysInfo>
#include <QTest>
#include <QTimer>
#include <QWindow>

using miruteka::main;

using namespace miruteka::testing;

class MainWindowTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void startsWithTitleStatusLineAndFixedLayout();
    void aboutShowsTheVersionAndInstruction();
    void unreplacedPromptsAreTheRealDialogs();
    void exitClosesTheWindow();
    void dragOverOffersCopyOnlyForLocalFiles_data();
    void dragOverOffersCopyOnlyForLocalFiles();
    void onlyTheFrameTakesDrops();
#ifndef _WIN32
    void droppedUrlsGiveTheNamesTheyEncode_data();
    void droppedUrlsGiveTheNamesTheyEncode();
#endif
    void dropWritesTheReportToTheChosenFile();
    void dropTakesTheListOfItsOwnDrag();
    void dropWithoutFilesStillPromptsAndWritesTheClosing();
    void cancelledPromptWritesAndShowsNothing();
    void dropReturnsBeforeThePrompt();
    void dropsQueuedTogetherEachGetTheirOwnPrompt();
    void closingDropsWhatIsQueued_data();
    void closingDropsWhatIsQueued();
    void failedSaveIsReported_data();
    void failedSaveIsReported();
    void progressTextFitsTheFrame_data();
    void progressTextFitsTheFrame();

private:
    bool drag(const QMimeData& data, QPoint at, bool drop)
    {
        return dragOver(window(), data, at, drop);
    }

    main& window() { return under_->window; }
    TestPrompts& prompts() { return under_->prompts; }

    QString path(const std::string& name) const { return qPath(dir_ / name); }

    std::unique_ptr<WindowUnderTest> under_;
    ScratchDir dir_;
};

void MainWindowTest::init()
{
    under_ = std::make_unique<WindowUnderTest>();
    QVERIFY(under_->exposed);
}

void MainWindowTest::cleanup()
{
    QCOMPARE(prompts().savesDuringDropEvent, 0);
    under_.reset();
}

void MainWindowTest::startsWithTitleStatusLineAndFixedLayout()
{
    main& w = window();
    QCOMPARE(w.windowTitle(), QStringLiteral("ミルテカ"));
    QCOMPARE(w.statusText(), QStringLiteral("1パケット = 0.3 円"));
    QCOMPARE(w.Text1.text(), QStringLiteral("0.3"));
    QCOMPARE(w.size(), QSize(121, 129));
    QCOMPARE(w.minimumSize(), w.maximumSize());
    QVERIFY(!(w.windowFlags() & (Qt::WindowMaximizeButtonHint | Qt::WindowMinimizeButtonHint)));
    QVERIFY(!w.windowIcon().isNull());
    QCOMPARE(w.windowIcon().availableSizes().value(0), QSize(32, 32));

    QCOMPARE(w.Frame1.geometry(), QRect(0, 0, 121, 86));
    QCOMPARE(w.Command1.geometry(), QRect(0, 90, 36, 21));
    QCOMPARE(w.Command2.geometry(), QRect(40, 90, 41, 21));
    QCOMPARE(w.Command3.geometry(), QRect(85, 90, 36, 21));
    QCOMPARE(w.StatusBar1.geometry(), QRect(0, 113, 121, 16));
    QCOMPARE(w.Command1.text(), QStringLiteral("設定"));
    QCOMPARE(w.Command2.text(), QStringLiteral("about"));
    QCOMPARE(w.Command3.text(), QStringLiteral("終了"));
    // The price store lies beyond the client area, out of the user's sight and reach.
    QVERIFY(!w.rect().intersects(w.Text1.geometry()));
    QVERIFY(w.Frame1.acceptDrops());
    QVERIFY(!w.acceptDrops());
}

void MainWindowTest::aboutShowsTheVersionAndInstruction()
{
    QTest::mouseClick(&window().Command2, Qt::LeftButton);
    QCOMPARE(prompts().messages.size(), 1);
    QCOMPARE(prompts().messages[0].text,
        QStringLiteral("ミルテカ ver1.0\r\n\r\nパケット料金を調べたいファイルをD&Dしてください。"));
    QCOMPARE(prompts().messages[0].buttons, miruteka::OkOnly);
    QCOMPARE(prompts().messages[0].title, QStringLiteral("about"));
}

// Without a test's answers the prompts are the real dialogs: here the message box, with OK
// alone and no icon, over the window.
void MainWindowTest::unreplacedPromptsAreTheRealDialogs()
{
    under_.reset();
    main window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QPointer<QMessageBox> box;
    QMessageBox::Icon icon = QMessageBox::Critical;
    QMessageBox::StandardButtons buttons;
    QString title;
    QString text;
    QTimer::singleShot(0, this, [&] {
        box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        icon = box->icon();
        buttons = box->standardButtons();
        title = box->windowTitle();
        text = box->text();
        box->button(QMessageBox::Ok)->click();
    });
    QTest::mouseClick(&window.Command2, Qt::LeftButton);
    QVERIFY2(!title.isNull(), "no message box was shown");
    QCOMPARE(icon, QMessageBox::NoIcon);
    QCOMPARE(buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(title, QStringLiteral("about"));
    QVERIFY(text.startsWith(QStringLiteral("ミルテカ ver1.0")));
    QVERIFY(box.isNull() || !box->isVisible());
    under_ = std::make_unique<WindowUnderTest>(); // for cleanup
}

void MainWindowTest::exitClosesTheWindow()
{
    QTest::mouseClick(&window().Command3, Qt::LeftButton);
    QVERIFY(!window().isVisible());
}

void MainWindowTest::dragOverOffersCopyOnlyForLocalFiles_data()
{
    QTest::addColumn<QList<QUrl>>("urls");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("offered");
    const QUrl file = QUrl::fromLocalFile(QStringLiteral("/tmp/a.bin"));
    QTest::newRow("one file") << QList<QUrl> { file } << QString() << true;
    QTest::newRow("files and a web address")
        << QList<QUrl> { QUrl("https://example.org/x"), file } << QString() << true;
    QTest::newRow("text alone") << QList<QUrl> {} << QStringLiteral("/tmp/a.bin") << false;
    QTest::newRow("web address alone")
        << QList<QUrl> { QUrl("https://example.org/x") } << QString() << false;
    QTest::newRow("nothing") << QList<QUrl> {} << QString() << false;
    // A file of another machine: a network path on Windows, no local file elsewhere.
    const QUrl remote("file://otherhost/tmp/a.bin");
#ifdef _WIN32
    QTest::newRow("another machine's file alone") << QList<QUrl> { remote } << QString() << true;
#else
    QTest::newRow("another machine's file alone") << QList<QUrl> { remote } << QString() << false;
#endif
}

void MainWindowTest::dragOverOffersCopyOnlyForLocalFiles()
{
    QFETCH(QList<QUrl>, urls);
    QFETCH(QString, text);
    QFETCH(bool, offered);
    QMimeData data;
    if (!urls.isEmpty())
        data.setUrls(urls);
    if (!text.isNull())
        data.setText(text);
    QCOMPARE(drag(data, QPoint(60, 40), false), offered);
    QCOMPARE(prompts().saves, 0);
}

#ifndef _WIN32
void MainWindowTest::droppedUrlsGiveTheNamesTheyEncode_data()
{
    QTest::addColumn<QUrl>("url");
    QTest::addColumn<QString>("path");
    const auto sent = [](const char* uri) { return QUrl::fromEncoded(uri); };
    const auto units = [](std::u16string_view text) {
        return QString::fromUtf16(text.data(), qsizetype(text.size()));
    };
    QTest::newRow("plain") << sent("file:///tmp/a.bin") << QStringLiteral("/tmp/a.bin");
    QTest::newRow("Japanese, escaped")
        << sent("file:///tmp/%E8%A6%8B%E7%A9%8D.txt") << QStringLiteral("/tmp/見積.txt");
    QTest::newRow("space, escaped") << sent("file:///tmp/a%20b") << QStringLiteral("/tmp/a b");
    QTest::newRow("emoji, escaped")
        << sent("file:///tmp/%F0%9F%98%80") << QStringLiteral("/tmp/\U0001F600");
    QTest::newRow("percent") << sent("file:///tmp/100%25") << QStringLiteral("/tmp/100%");
    QTest::newRow("an escape's text as the name")
        << sent("file:///tmp/%2541") << QStringLiteral("/tmp/%41");
    // A slash is no part of a name: a%2Fb is neither the file b in the folder a nor any other.
    QTest::newRow("escaped slash") << sent("file:///tmp/a%2Fb") << QString();
    QTest::newRow("escaped slash, lower case") << sent("file:///tmp/a%2fb") << QString();
    QTest::newRow("control character") << sent("file:///tmp/a%0Ab") << QStringLiteral("/tmp/a\nb");
    // Bytes that are not UTF-8 come through as the lone surrogates that stand for them.
    QTest::newRow("Latin-1") << sent("file:///tmp/caf%E9") << units(u"/tmp/caf\xDCE9");
    QTest::newRow("overlong slash") << sent("file:///tmp/%C0%AF") << units(u"/tmp/\xDCC0\xDCAF");
    QTest::newRow("encoded surrogate")
        << sent("file:///tmp/%ED%B2%80") << units(u"/tmp/\xDCED\xDCB2\xDC80");
    QTest::newRow("Latin-1 beside Japanese")
        << sent("file:///tmp/%E9%E8%A6%8B") << units(u"/tmp/\xDCE9見");
    QTest::newRow("from a local name") << QUrl::fromLocalFile(QStringLiteral("/tmp/100% #1?.txt"))
                                       << QStringLiteral("/tmp/100% #1?.txt");
    // Not text: the bytes that the URL carries for it in a URI list.
    QTest::newRow("lone surrogate in a local name")
        << QUrl::fromLocalFile(units(u"/tmp/x\xDC80y")) << units(u"/tmp/x\xDCED\xDCB2\xDC80y");
    QTest::newRow("this machine by name")
        << sent("file://localhost/tmp/a") << QStringLiteral("/tmp/a");
    QTest::newRow("another machine") << sent("file://otherhost/tmp/a") << QString();
    // This machine by its host name, and a name that only begins the same. Its full name, which
    // depends on how the machine was set up, is left to the core's tests, where the resolver's
    // answer is given.
    const QByteArray shortName = QSysInfo::machineHostName().toUtf8();
    QVERIFY(!shortName.isEmpty());
    QTest::newRow("this machine's host name")
        << QUrl::fromEncoded("file://" + shortName + "/tmp/a") << QStringLiteral("/tmp/a");
    QTest::newRow("a host that begins with this machine's name")
        << QUrl::fromEncoded("file://" + shortName + ".invalid/tmp/a") << QString();
    QTest::newRow("web address") << sent("https://example.org/tmp/a") << QString();
}

void MainWindowTest::droppedUrlsGiveTheNamesTheyEncode()
{
    QFETCH(QUrl, url);
    QFETCH(QString, path);
    QCOMPARE(miruteka::DropFrame::namesLocalFile(url), !path.isNull());
    QCOMPARE(miruteka::DropFrame::localFilePath(url).isNull(), path.isNull());
    QCOMPARE(miruteka::DropFrame::localFilePath(url), path);
}
#endif

void MainWindowTest::onlyTheFrameTakesDrops()
{
    QMimeData data;
    data.setUrls({ QUrl::fromLocalFile(QStringLiteral("/tmp/a.bin")) });
    const QPoint overButton = window().Command2.geometry().center();
    const QPoint overStatus = window().StatusBar1.geometry().center();
    for (int i = 0; i < 2; ++i)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("No drag target set"));
    QVERIFY(!drag(data, overButton, true));
    QVERIFY(!drag(data, overStatus, true));
    QCOMPARE(prompts().saves, 0);
    QVERIFY(drag(data, window().Frame1.geometry().center(), false));
}

void MainWindowTest::dropWritesTheReportToTheChosenFile()
{
    std::filesystem::create_directories(dir_ / "ファイル 置き場/sub");
    const QString a = qPath(dir_.file("ファイル 置き場/a.bin", 1000));
    const QString b = qPath(dir_.file("ファイル 置き場/見積 b.txt", 300));

    QMimeData data;
    data.setUrls({ QUrl::fromLocalFile(b), QUrl("https://example.org/x"),
        QUrl::fromLocalFile(path("ファイル 置き場/sub")), QUrl::fromLocalFile(a) });
    prompts().answer = path("料金.txt");
    QVERIFY(drag(data, QPoint(60, 40), true));

    QCOMPARE(prompts().saves, 1);
    QCOMPARE(prompts().saveParent, &window());
    QCOMPARE(prompts().saveTitle, QStringLiteral("保存しとけって"));
    QCOMPARE(prompts().saveFilter, QStringLiteral("テキスト (*.txt)"));
    QVERIFY(prompts().messages.isEmpty());
    const QString report = QDir::toNativeSeparators(b) + QStringLiteral("   0.7円\r\n")
        + QDir::toNativeSeparators(a) + QStringLiteral("   2.34円\r\n\r\nTOTAL 3.046875円");
    QCOMPARE(readAll(prompts().answer), cp932(report) + "\r\n");
    // The drop leaves the status line alone.
    QCOMPARE(window().statusText(), QStringLiteral("1パケット = 0.3 円"));
}

// The frame keeps the list a drag brought in until the drop: a drag that left must not hand its
// list to the next drag's drop.
void MainWindowTest::dropTakesTheListOfItsOwnDrag()
{
    const QString a = qPath(dir_.file("a.bin", 128));
    const QString b = qPath(dir_.file("b.bin", 256));
    QMimeData left;
    left.setUrls({ QUrl::fromLocalFile(a) });
    QMimeData dropped;
    dropped.setUrls({ QUrl::fromLocalFile(b) });

    prompts().answer = path("after a drag that left.txt");
    QVERIFY(drag(left, QPoint(60, 40), false));
    QVERIFY(drag(dropped, QPoint(60, 40), true));
    const QString report
        = QDir::toNativeSeparators(b) + QStringLiteral("   0.6円\r\n\r\nTOTAL 0.6円");
    QCOMPARE(readAll(prompts().answer), cp932(report) + "\r\n");
}

void MainWindowTest::dropWithoutFilesStillPromptsAndWritesTheClosing()
{
    prompts().answer = path("empty.txt");
    window().Frame1_OLEDragDrop({});
    runQueuedCalls();
    QCOMPARE(prompts().saves, 1);
    QCOMPARE(readAll(prompts().answer), QByteArray("\r\nTOTAL 0\x89\x7E\r\n"));
}

void MainWindowTest::cancelledPromptWritesAndShowsNothing()
{
    const QStringList before
        = QDir(qPath(dir_.path())).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    prompts().answer.clear();
    QMimeData data;
    data.setUrls({ QUrl::fromLocalFile(QCoreApplication::applicationFilePath()) });
    QVERIFY(drag(data, QPoint(60, 40), true));
    QCOMPARE(prompts().saves, 1);
    QVERIFY(prompts().messages.isEmpty());
    QCOMPARE(QDir(qPath(dir_.path())).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), before);
}

void MainWindowTest::dropReturnsBeforeThePrompt()
{
    QMimeData data;
    data.setUrls({ QUrl::fromLocalFile(QCoreApplication::applicationFilePath()) });
    prompts().answer = path("r.txt");
    QCOMPARE(dropWithoutRunning(window(), data), Qt::CopyAction);
    // The source has heard "copied", and the prompt has not opened yet.
    QCOMPARE(prompts().saves, 0);
    data.setUrls({}); // the source frees its data; the procedure must not need it
    QVERIFY(QTest::qWaitFor([&] { return prompts().saves == 1; }));
    runQueuedCalls();
    QVERIFY(readAll(prompts().answer)
                .startsWith(cp932(
                    QDir::toNativeSeparators(QCoreApplication::applicationFilePath()) + "   ")));
}

void MainWindowTest::dropsQueuedTogetherEachGetTheirOwnPrompt()
{
    QStringList prompted;
    int open = 0;
    int mostOpenAtOnce = 0;
    prompts().onSave = [&] {
        mostOpenAtOnce = std::max(mostOpenAtOnce, ++open);
        prompted.append(path(std::to_string(prompted.size()) + ".txt"));
        const QString answer = prompted.last();
        if (prompted.size() < 3) {
            window().Frame1_OLEDragDrop({}); // another drop while the prompt is open...
            runQueuedCalls(); // ...and the prompt's own event loop turning
        } else {
            window().Frame1_OLEDragDrop({});
            window().close();
        }
        --open;
        return answer;
    };
    // Native separators, as a drop gives the path.
    const QString sized = QDir::toNativeSeparators(qPath(dir_.file("128.bin", 128)));
    window().Frame1_OLEDragDrop({ QUrl::fromLocalFile(sized) });
    window().Frame1_OLEDragDrop({});
    QCOMPARE(prompted.size(), 0);
    runQueuedCalls();

    // In arrival order, one after the other; the drops still queued when the window closed went
    // with it (the fourth and fifth).
    QCOMPARE(mostOpenAtOnce, 1);
    QCOMPARE(prompted.size(), 3);
    QCOMPARE(readAll(prompted[0]), cp932(sized + "   0.3円\r\n\r\nTOTAL 0.3円\r\n"));
    QCOMPARE(readAll(prompted[1]), QByteArray("\r\nTOTAL 0\x89\x7E\r\n"));
    QCOMPARE(readAll(prompted[2]), QByteArray("\r\nTOTAL 0\x89\x7E\r\n"));
    runQueuedCalls();
    QCOMPARE(prompted.size(), 3);
}

void MainWindowTest::closingDropsWhatIsQueued_data()
{
    QTest::addColumn<bool>("byExitButton");
    QTest::newRow("exit button") << true;
    QTest::newRow("close box") << false;
}

void MainWindowTest::closingDropsWhatIsQueued()
{
    QFETCH(bool, byExitButton);
    const QStringList before
        = QDir(qPath(dir_.path())).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    prompts().answer = path("late.txt");
    QMimeData data;
    data.setUrls({ QUrl::fromLocalFile(QCoreApplication::applicationFilePath()) });
    QCOMPARE(dropWithoutRunning(window(), data), Qt::CopyAction);
    if (byExitButton) {
        QTest::mouseClick(&window().Command3, Qt::LeftButton);
    } else {
        QCloseEvent close; // what the close box sends
        QCoreApplication::sendEvent(window().windowHandle(), &close);
    }
    QVERIFY(!window().isVisible());
    runQueuedCalls();
    QCOMPARE(prompts().saves, 0);
    QCOMPARE(QDir(qPath(dir_.path())).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), before);
}

void MainWindowTest::failedSaveIsReported_data()
{
    QTest::addColumn<QString>("target");
#ifndef Q_OS_WIN // Windows has no device that fails every write
    QTest::newRow("full device") << QStringLiteral("/dev/full");
#endif
    QTest::newRow("missing folder") << path("no such folder/r.txt");
    QTest::newRow("a folder") << qPath(dir_.path());
}

// Why a save fails is the core's business (its own tests go through the cases); the window
// says so, and changes nothing of its own.
void MainWindowTest::failedSaveIsReported()
{
    QFETCH(QString, target);
    prompts().answer = target;
    window().Frame1_OLEDragDrop({});
    runQueuedCalls();
    QCOMPARE(prompts().messages.size(), 1);
    QCOMPARE(prompts().messages[0].text,
        QStringLiteral("レポートを保存できませんでした。\r\n") + target);
    QCOMPARE(prompts().messages[0].buttons, miruteka::OkOnly);
    QCOMPARE(prompts().messages[0].title, QStringLiteral("ミルテカ"));
    QCOMPARE(window().statusText(), QStringLiteral("1パケット = 0.3 円"));
    QCOMPARE(window().Text1.text(), QStringLiteral("0.3"));
    QVERIFY(window().isVisible());
}

void MainWindowTest::progressTextFitsTheFrame_data()
{
    QTest::addColumn<std::function<void(miruteka::DropProgress&)>>("show");
    QTest::newRow("測定中") << std::function(
        [](miruteka::DropProgress& p) { p.showMeasuring(99999, 100000); });
    QTest::newRow("保存中") << std::function([](miruteka::DropProgress& p) { p.showSaving(); });
    QTest::newRow("待機中") << std::function([](miruteka::DropProgress& p) { p.showWaiting(); });
    QTest::newRow("再試行中") << std::function(
        [](miruteka::DropProgress& p) { p.showWaiting(true); });
    QTest::newRow("応答待ち") << std::function([](miruteka::DropProgress& p) {
        p.showWaitingFor(
            QStringLiteral("/media/user/事務所の共有フォルダー/2026年度/請求書"), 47, 5000);
    });
}

// The frame is as narrow as the window: a stage whose words do not fit would lose its first and
// last characters, its line being centred, and there is no room for a second line.
void MainWindowTest::progressTextFitsTheFrame()
{
    QFETCH(std::function<void(miruteka::DropProgress&)>, show);
    miruteka::DropProgress progress(&window().Frame1);
    show(progress);
    progress.layout()->activate();
    const QLabel& stage = progress.stage;
    QVERIFY(progress.rect().contains(stage.geometry()));
    const QRect room = stage.contentsRect();
    const QRect needed = stage.fontMetrics().boundingRect(
        room, int(stage.alignment()) | (stage.wordWrap() ? Qt::TextWordWrap : 0), stage.text());
    QVERIFY2(room.contains(needed),
        qPrintable(QStringLiteral("%1 needs %2 x %3 pixels, in %4 x %5")
                       .arg(stage.text())
                       .arg(needed.width())
                       .arg(needed.height())
                       .arg(room.width())
                       .arg(room.height())));
    // A file system's name is cut to fit the bar, and the button's text fits the button.
    const QProgressBar& bar = progress.bar;
    if (bar.text().contains(u'…'))
        QVERIFY2(bar.fontMetrics().horizontalAdvance(bar.text()) <= bar.contentsRect().width(),
            qPrintable(bar.text()));
    const QPushButton& button = progress.cancelButton;
    QVERIFY2(button.fontMetrics().horizontalAdvance(button.text()) <= button.contentsRect().width(),
        qPrintable(button.text()));
}

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
