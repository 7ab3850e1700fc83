// Bad input through the real window: what a drag source may send (names the URI must encode,
// bytes that are not UTF-8, other machines, web addresses), a file gone before the drop, and a
// price field pasted full. None may block the window or lose a line's order. What the core makes
// of awkward files and save targets, its own tests check.
#include "options.h"
#include "scratch.h"
#include "window_harness.h"

#include <QClipboard>
#include <QElapsedTimer>
#include <QMimeData>
#include <QPointer>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

using miruteka::main;
using miruteka::options;
using namespace miruteka::testing;

namespace {

const QString refusal = QStringLiteral("半角数字が使用されていないか、値が不正です。");

// Ends the run when what it guards has not returned in time. A drop that blocks the window
// would otherwise hold the test until CTest gives up on it, with nothing said about why.
class Watchdog {
public:
    explicit Watchdog(const char* what, std::chrono::seconds limit = std::chrono::seconds(60))
        : thread_([this, what, limit] {
            std::unique_lock lock(mutex_);
            if (!finished_.wait_for(lock, limit, [this] { return done_; })) {
                std::fprintf(stderr,
                    "FAIL: %s did not return within %lld s: the window is blocked\n", what,
                    static_cast<long long>(limit.count()));
                std::abort();
            }
        })
    {
    }
    ~Watchdog()
    {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        finished_.notify_one();
        thread_.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    std::mutex mutex_;
    std::condition_variable finished_;
    bool done_ = false;
    std::thread thread_;
};

// A file whose name is the given bytes, which need not be UTF-8.
void makeFile(const QByteArray& path, std::uintmax_t length = 1000)
{
    std::ofstream(path.toStdString(), std::ios::binary).close();
    std::filesystem::resize_file(path.toStdString(), length);
}

// The URI a drag source sends for a file of the folder, made with 1000 bytes.
QByteArray fileUri(const QByteArray& dir, const QString& name)
{
    const QString path = QFile::decodeName(dir) + u'/' + name;
    makeFile(QFile::encodeName(path));
    return QUrl::fromLocalFile(path).toEncoded();
}

struct DroppedUris {
    const char* name;
    // Makes the files in the folder, given as bytes, and gives the URIs a drag source sends.
    std::function<QList<QByteArray>(const QByteArray& dir)> make;
    QStringList lines; // the names of the files that get a line, after the folder's path
};

// As a drag source on X11 sends them: text/uri-list, with the bytes of a name percent-encoded.
const DroppedUris droppedUris[] = {
    { "spaces", [](const QByteArray& dir) { return QList { fileUri(dir, " two  spaces ") }; },
        { " two  spaces " } },
    { "Japanese",
        [](const QByteArray& dir) { return QList { fileUri(dir, "見積もり 2026年.txt") }; },
        { "見積もり 2026年.txt" } },
    { "emoji", [](const QByteArray& dir) { return QList { fileUri(dir, "\U0001F600.bin") }; },
        { "\U0001F600.bin" } },
    { "newline", [](const QByteArray& dir) { return QList { fileUri(dir, "two\nlines") }; },
        { "two\nlines" } },
    { "percent, hash and question mark",
        [](const QByteArray& dir) { return QList { fileUri(dir, "100% #1?.txt") }; },
        { "100% #1?.txt" } },
    // With a file of another length where a decoding into U+FFFD would look.
    { "Latin-1 name",
        [](const QByteArray& dir) {
            makeFile(dir + "/caf\xE9.bin");
            makeFile(dir + "/caf\xEF\xBF\xBD.bin", 5000);
            return QList { "file://" + dir + "/caf%E9.bin" };
        },
        { "caf?.bin" } },
    { "NUL after a file's name",
        [](const QByteArray& dir) {
            makeFile(dir + "/plain");
            return QList { "file://" + dir + "/plain%00.bin" };
        },
        {} },
    // Named by its path after the host, and with the folder's first step as the host, so that
    // //host/... names the file: either would be found if the host were passed over.
    { "another machine's file",
        [](const QByteArray& dir) {
            makeFile(dir + "/plain");
            const qsizetype slash = dir.indexOf('/', 1);
            return QList<QByteArray> { "file://otherhost" + dir + "/plain",
                "file://" + dir.mid(1, slash - 1) + dir.mid(slash) + "/plain" };
        },
        {} },
    { "this machine by its host name",
        [](const QByteArray& dir) {
            makeFile(dir + "/plain");
            return QList { "file://localhost" + dir + "/plain" };
        },
        { "plain" } },
    // Only the local files count, in their order among the rest. Each of the others names the
    // path of a real file, so that taking it for a local one would show.
    { "web addresses and another machine's file among local files",
        [](const QByteArray& dir) {
            return QList<QByteArray> { "http://example.org" + dir + "/a.bin", fileUri(dir, "b.bin"),
                "file://otherhost" + dir + "/b.bin", "https://example.org" + dir + "/b.bin",
                "ftp://example.org" + dir + "/a.bin", fileUri(dir, "a.bin") };
        },
        { "b.bin", "a.bin" } },
};

} // namespace

class BadInputTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void droppedUrisGiveTheLinesOfTheirLocalFiles_data();
    void droppedUrisGiveTheLinesOfTheirLocalFiles();
    void aFileThatVanishesAfterTheDragEntersGivesNoLine();
    void aPastedMegabyteDoesNotFreezeTheDialog_data();
    void aPastedMegabyteDoesNotFreezeTheDialog();

private:
    // Drags the URLs over the frame and drops them, through the window as the platform does.
    // `beforeDrop` runs once the drag has been offered, before the drop itself.
    void dropUrls(const QList<QUrl>& urls, const std::function<void()>& beforeDrop = {});
    main& window() { return under_->window; }
    TestPrompts& prompts() { return under_->prompts; }
    QString path(const std::string& name) const { return qPath(*dir_ / name); }

    std::unique_ptr<WindowUnderTest> under_;
    std::optional<ScratchDir> dir_;
};

void BadInputTest::init()
{
    dir_.emplace();
    under_ = std::make_unique<WindowUnderTest>();
    QVERIFY(under_->exposed);
}

void BadInputTest::cleanup()
{
    under_.reset();
    dir_.reset();
}

void BadInputTest::dropUrls(const QList<QUrl>& urls, const std::function<void()>& beforeDrop)
{
    QMimeData data;
    data.setUrls(urls);
    Watchdog watchdog("the drop");
    QVERIFY2(dragOver(window(), data, window().Frame1.geometry().center(), true, beforeDrop),
        "the frame did not take the drag");
}

void BadInputTest::droppedUrisGiveTheLinesOfTheirLocalFiles_data()
{
    QTest::addColumn<int>("item");
    for (int i = 0; i < int(std::size(droppedUris)); ++i)
        QTest::newRow(droppedUris[i].name) << i;
}

// Each drop ends with a file of 128 bytes, so that the order of the lines shows too.
void BadInputTest::droppedUrisGiveTheLinesOfTheirLocalFiles()
{
    QFETCH(int, item);
    const DroppedUris& c = droppedUris[item];
    const QByteArray dir = QByteArray::fromStdString(dir_->path().native());
    QList<QUrl> urls;
    for (const QByteArray& uri : c.make(dir))
        urls.append(QUrl::fromEncoded(uri));
    const QString after = qPath(dir_->file("after", 128));
    urls.append(QUrl::fromLocalFile(after));
    prompts().answer = path("report.txt");

    dropUrls(urls);

    QCOMPARE(prompts().saves, 1);
    QVERIFY(prompts().messages.isEmpty());
    QString report;
    for (const QString& name : c.lines)
        report += QFile::decodeName(dir) + u'/' + name + QStringLiteral("   2.34円\r\n");
    const char* const totals[] = { "0.3", "2.64375", "4.9875" };
    report += after + QStringLiteral("   0.3円\r\n\r\nTOTAL ") + totals[c.lines.size()]
        + QStringLiteral("円");
    QCOMPARE(readAll(prompts().answer), cp932(report) + "\r\n");
    // The window goes on answering: the about box still opens.
    QTest::mouseClick(&window().Command2, Qt::LeftButton);
    QCOMPARE(prompts().messages.size(), 1);
}

void BadInputTest::aFileThatVanishesAfterTheDragEntersGivesNoLine()
{
    const QString a = qPath(dir_->file("a", 1000));
    const QString gone = qPath(dir_->file("gone", 300));
    const QString b = qPath(dir_->file("b", 128));
    prompts().answer = path("report.txt");

    dropUrls({ QUrl::fromLocalFile(a), QUrl::fromLocalFile(gone), QUrl::fromLocalFile(b) },
        [&] { QVERIFY(QFile::remove(gone)); });

    QCOMPARE(readAll(prompts().answer),
        cp932(a + QStringLiteral("   2.34円\r\n") + b
            + QStringLiteral("   0.3円\r\n\r\nTOTAL 2.64375円"))
            + "\r\n");
}

void BadInputTest::aPastedMegabyteDoesNotFreezeTheDialog_data()
{
    QTest::addColumn<QString>("pasted");
    QTest::addColumn<QString>("field"); // after ok
    const int megabyte = 1 << 20;
    const QString digits(megabyte, u'1');
    const QString letters(megabyte, u'x');
    QTest::newRow("digits beyond a double") << digits << digits;
    QTest::newRow("letters") << letters << letters;
    QTest::newRow("a number that rounds to 10")
        << QStringLiteral("9.") + QString(megabyte - 2, u'9') << QStringLiteral("10");
}

void BadInputTest::aPastedMegabyteDoesNotFreezeTheDialog()
{
    QFETCH(QString, pasted);
    QFETCH(QString, field);
    bool ran = false;
    qsizetype pastedSize = 0;
    QString shown;
    bool stayedOpen = false;
    QElapsedTimer clock;
    QTimer::singleShot(0, this, [&] {
        QPointer<options> dialog = qobject_cast<options*>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        ran = true;
        Watchdog watchdog("the paste and ok");
        clock.start();
        QGuiApplication::clipboard()->setText(pasted);
        QTest::keyClick(&dialog->Text1, Qt::Key_V, Qt::ControlModifier);
        pastedSize = dialog->Text1.text().size();
        dialog->Command1.click();
        shown = dialog->Text1.text();
        stayedOpen = dialog->isVisible();
        // The dialog still answers: cancel closes it.
        dialog->Command2.click();
    });
    QTest::mouseClick(&window().Command1, Qt::LeftButton);
    QVERIFY2(ran, "the settings button showed no modal dialog");
    qInfo("paste and ok on %lld characters took %lld ms", static_cast<long long>(pasted.size()),
        static_cast<long long>(clock.elapsed()));

    QCOMPARE(pastedSize, pasted.size()); // the field has no length limit
    QVERIFY(stayedOpen);
    QCOMPARE(prompts().messages.size(), 1);
    QCOMPARE(prompts().messages[0].text, refusal);
    QCOMPARE(prompts().messages[0].title, QString());
    QVERIFY(shown == field); // not QCOMPARE: a failure would print a megabyte
    QCOMPARE(window().Text1.text(), QStringLiteral("0.3"));
    QCOMPARE(window().statusText(), QStringLiteral("1パケット = 0.3 円"));
}

QTEST_MAIN(BadInputTest)
#include "bad_input_test.moc"
