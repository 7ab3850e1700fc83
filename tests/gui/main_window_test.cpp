#include "window_harness.h"

#include <QCloseEvent>
#include <QMimeData>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
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
    void exitClosesTheWindow();
    void dragOverOffersCopyOnlyForLocalFiles_data();
    void dragOverOffersCopyOnlyForLocalFiles();
    void onlyTheFrameTakesDrops();
#ifndef _WIN32
    void droppedUrlsGiveTheNamesTheyEncode_data();
    void droppedUrlsGiveTheNamesTheyEncode();
#endif
    void dropWritesTheReportToTheChosenFile();
    void dropWithoutFilesStillPromptsAndWritesTheClosing();
    void cancelledPromptWritesAndShowsNothing();
    void dropReturnsBeforeThePrompt();
    void dropsQueuedTogetherEachGetTheirOwnPrompt();
    void closingDropsWhatIsQueued_data();
    void closingDropsWhatIsQueued();
    void failedSaveIsReported_data();
    void failedSaveIsReported();

private:
    bool drag(const QMimeData& data, QPoint at, bool drop)
    {
        return dragOver(*window_, data, at, drop);
    }

    std::optional<MessageLog> log_;
    std::unique_ptr<main> window_;
    int prompts_ = 0;
    int promptsInsideDrop_ = 0;
    QString answer_;
    QTemporaryDir dir_;
};

void MainWindowTest::init()
{
    log_.emplace();
    prompts_ = 0;
    promptsInsideDrop_ = 0;
    window_ = std::make_unique<main>();
    window_->CommonDialog1.setAnswer([this] {
        ++prompts_;
        promptsInsideDrop_ += dropEventInProgress ? 1 : 0;
        return answer_;
    });
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
}

void MainWindowTest::cleanup()
{
    QCOMPARE(promptsInsideDrop_, 0);
    window_.reset();
    log_.reset();
}

void MainWindowTest::startsWithTitleStatusLineAndFixedLayout()
{
    main& w = *window_;
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
    QTest::mouseClick(&window_->Command2, Qt::LeftButton);
    QCOMPARE(log_->messages.size(), 1);
    QCOMPARE(log_->messages[0].text,
        QStringLiteral("ミルテカ ver1.0\r\n\r\nパケット料金を調べたいファイルをD&Dしてください。"));
    QCOMPARE(log_->messages[0].buttons, miruteka::OkOnly);
    QCOMPARE(log_->messages[0].title, QStringLiteral("about"));
}

void MainWindowTest::exitClosesTheWindow()
{
    QTest::mouseClick(&window_->Command3, Qt::LeftButton);
    QVERIFY(!window_->isVisible());
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
    QCOMPARE(prompts_, 0);
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
    QTest::newRow("escaped slash") << sent("file:///tmp/a%2Fb") << QStringLiteral("/tmp/a/b");
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
    QTest::newRow("web address") << sent("https://example.org/tmp/a") << QString();
}

void MainWindowTest::droppedUrlsGiveTheNamesTheyEncode()
{
    QFETCH(QUrl, url);
    QFETCH(QString, path);
    QCOMPARE(miruteka::DropFrame::namesLocalFile(url), !path.isNull());
    if (!path.isNull())
        QCOMPARE(miruteka::DropFrame::localPath(url), path);
}
#endif

void MainWindowTest::onlyTheFrameTakesDrops()
{
    QMimeData data;
    data.setUrls({ QUrl::fromLocalFile(QStringLiteral("/tmp/a.bin")) });
    const QPoint overButton = window_->Command2.geometry().center();
    const QPoint overStatus = window_->StatusBar1.geometry().center();
    for (int i = 0; i < 2; ++i)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("No drag target set"));
    QVERIFY(!drag(data, overButton, true));
    QVERIFY(!drag(data, overStatus, true));
    QCOMPARE(prompts_, 0);
    QVERIFY(drag(data, window_->Frame1.geometry().center(), false));
}

void MainWindowTest::dropWritesTheReportToTheChosenFile()
{
    const QString folder = dir_.filePath(QStringLiteral("ファイル 置き場"));
    QVERIFY(QDir().mkpath(folder));
    const auto make = [&](const QString& name, qint64 length) {
        QFile file(folder + u'/' + name);
        if (!file.open(QIODevice::WriteOnly) || !file.resize(length))
            qFatal("cannot make %s", qPrintable(name));
        return file.fileName();
    };
    const QString a = make(QStringLiteral("a.bin"), 1000);
    const QString b = make(QStringLiteral("見積 b.txt"), 300);
    QVERIFY(QDir(folder).mkdir(QStringLiteral("sub")));

    QMimeData data;
    data.setUrls({ QUrl::fromLocalFile(b), QUrl("https://example.org/x"),
        QUrl::fromLocalFile(folder + "/sub"), QUrl::fromLocalFile(a) });
    answer_ = dir_.filePath(QStringLiteral("料金.txt"));
    QVERIFY(drag(data, QPoint(60, 40), true));

    QCOMPARE(prompts_, 1);
    QVERIFY(log_->messages.isEmpty());
    const QString report = QDir::toNativeSeparators(b) + QStringLiteral("   0.7円\r\n")
        + QDir::toNativeSeparators(a) + QStringLiteral("   2.34円\r\n\r\nTOTAL 3.046875円");
    QCOMPARE(readAll(answer_), cp932(report) + "\r\n");
    // The drop leaves the status line alone.
    QCOMPARE(window_->statusText(), QStringLiteral("1パケット = 0.3 円"));
}

void MainWindowTest::dropWithoutFilesStillPromptsAndWritesTheClosing()
{
    answer_ = dir_.filePath(QStringLiteral("empty.txt"));
    window_->Frame1_OLEDragDrop({});
    runQueuedCalls();
    QCOMPARE(prompts_, 1);
    QCOMPARE(readAll(answer_), QByteArray("\r\nTOTAL 0\x89\x7E\r\n"));
}

void MainWindowTest::cancelledPromptWritesAndShowsNothing()
{
    const QStringList before = QDir(dir_.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    answer_.clear();
    QMimeData data;
    data.setUrls({ QUrl::fromLocalFile(QCoreApplication::applicationFilePath()) });
    QVERIFY(drag(data, QPoint(60, 40), true));
    QCOMPARE(prompts_, 1);
    QVERIFY(log_->messages.isEmpty());
    QCOMPARE(QDir(dir_.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), before);
}

void MainWindowTest::dropReturnsBeforeThePrompt()
{
    QMimeData data;
    data.setUrls({ QUrl::fromLocalFile(QCoreApplication::applicationFilePath()) });
    answer_ = dir_.filePath(QStringLiteral("r.txt"));
    QCOMPARE(dropWithoutRunning(*window_, data), Qt::CopyAction);
    // The source has heard "copied", and the prompt has not opened yet.
    QCOMPARE(prompts_, 0);
    data.setUrls({}); // the source frees its data; the procedure must not need it
    QVERIFY(QTest::qWaitFor([&] { return prompts_ == 1; }));
    QVERIFY(readAll(answer_).startsWith(
        cp932(QDir::toNativeSeparators(QCoreApplication::applicationFilePath()) + "   ")));
}

void MainWindowTest::dropsQueuedTogetherEachGetTheirOwnPrompt()
{
    QStringList prompted;
    int open = 0;
    int mostOpenAtOnce = 0;
    window_->CommonDialog1.setAnswer([&] {
        mostOpenAtOnce = std::max(mostOpenAtOnce, ++open);
        prompted.append(dir_.filePath(QString::number(prompted.size()) + ".txt"));
        const QString answer = prompted.last();
        if (prompted.size() < 3) {
            window_->Frame1_OLEDragDrop({}); // another drop while the prompt is open...
            runQueuedCalls(); // ...and the prompt's own event loop turning
        } else {
            window_->Frame1_OLEDragDrop({});
            window_->close();
        }
        --open;
        return answer;
    });
    QFile sized(dir_.filePath(QStringLiteral("128.bin")));
    QVERIFY(sized.open(QIODevice::WriteOnly) && sized.resize(128));
    window_->Frame1_OLEDragDrop({ QUrl::fromLocalFile(sized.fileName()) });
    window_->Frame1_OLEDragDrop({});
    QCOMPARE(prompted.size(), 0);
    runQueuedCalls();

    // In arrival order, one after the other; the drops still queued when the window closed went
    // with it (the fourth and fifth).
    QCOMPARE(mostOpenAtOnce, 1);
    QCOMPARE(prompted.size(), 3);
    QCOMPARE(readAll(prompted[0]),
        cp932(QDir::toNativeSeparators(sized.fileName()) + "   0.3円\r\n\r\nTOTAL 0.3円\r\n"));
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
    const QStringList before = QDir(dir_.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    answer_ = dir_.filePath(QStringLiteral("late.txt"));
    QMimeData data;
    data.setUrls({ QUrl::fromLocalFile(QCoreApplication::applicationFilePath()) });
    QCOMPARE(dropWithoutRunning(*window_, data), Qt::CopyAction);
    if (byExitButton) {
        QTest::mouseClick(&window_->Command3, Qt::LeftButton);
    } else {
        QCloseEvent close; // what the close box sends
        QCoreApplication::sendEvent(window_->windowHandle(), &close);
    }
    QVERIFY(!window_->isVisible());
    runQueuedCalls();
    QCOMPARE(prompts_, 0);
    QCOMPARE(QDir(dir_.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), before);
}

void MainWindowTest::failedSaveIsReported_data()
{
    QTest::addColumn<QString>("target");
#ifndef Q_OS_WIN // Windows has no device that fails every write
    QTest::newRow("full device") << QStringLiteral("/dev/full");
#endif
    QTest::newRow("missing folder") << dir_.filePath(QStringLiteral("no such folder/r.txt"));
    QTest::newRow("a folder") << dir_.path();
}

void MainWindowTest::failedSaveIsReported()
{
    QFETCH(QString, target);
    answer_ = target;
    window_->Frame1_OLEDragDrop({});
    runQueuedCalls();
    QCOMPARE(log_->messages.size(), 1);
    QCOMPARE(
        log_->messages[0].text, QStringLiteral("レポートを保存できませんでした。\r\n") + target);
    QCOMPARE(log_->messages[0].buttons, miruteka::OkOnly);
    QCOMPARE(log_->messages[0].title, QStringLiteral("ミルテカ"));
}

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
