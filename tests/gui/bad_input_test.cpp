// Bad input through the real window: awkward dropped items, save targets that cannot take the
// report, and a price field pasted full. None may block the window, lose a line's order, or
// change anything beyond what the user asked for.
#include "options.h"
#include "unprivileged.h"
#include "window_harness.h"

#include <QClipboard>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QMimeData>
#include <QPointer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <condition_variable>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <mutex>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <thread>

using miruteka::main;
using miruteka::options;
using miruteka::testing::Unprivileged;
using namespace miruteka::testing;

namespace {

const QString saveFailure = QStringLiteral("レポートを保存できませんでした。\r\n");
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

// Everything under a folder, as the test's own user sees it: kind, permissions, owner and the
// bytes of regular files.
QMap<QString, QByteArray> snapshot(const QString& root)
{
    QMap<QString, QByteArray> entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
        QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        struct stat st;
        ::lstat(QFile::encodeName(path).constData(), &st);
        QByteArray what = QByteArray::number(st.st_mode, 8) + ' ' + QByteArray::number(st.st_uid);
        if (S_ISREG(st.st_mode))
            what += ' ' + readAll(path);
        entries.insert(path.mid(root.size()), what);
    }
    return entries;
}

QString makeFile(const QString& path, qint64 length)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !file.resize(length))
        qFatal("cannot make %s", qPrintable(path));
    return path;
}

QString makeLink(const QString& target, const QString& link)
{
    if (::symlink(QFile::encodeName(target).constData(), QFile::encodeName(link).constData()) != 0)
        qFatal("cannot link %s", qPrintable(link));
    return link;
}

QString makeFolder(const QString& path, QFile::Permissions permissions = {})
{
    if (!QDir().mkdir(path))
        qFatal("cannot make %s", qPrintable(path));
    Unprivileged::giveToUser(QFile::encodeName(path).toStdString());
    if (permissions)
        QFile::setPermissions(path, permissions);
    return path;
}

QString makeSocket(const QString& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    const QByteArray name = QFile::encodeName(path);
    if (name.size() >= int(sizeof address.sun_path))
        qFatal("socket path too long: %s", name.constData());
    std::copy(name.begin(), name.end(), address.sun_path);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        qFatal("cannot bind %s", name.constData());
    ::close(fd);
    return path;
}

// A device node of the test's own where nodes can be made, so that a fault can never replace
// the system's; otherwise the system's, which an ordinary user cannot replace.
QString makeDevice(const QString& path, unsigned minor, const QString& system)
{
    if (::mknod(QFile::encodeName(path).constData(), S_IFCHR | 0666, makedev(1, minor)) == 0)
        return path;
    return system;
}

QString oldFile(const QString& path, QFile::Permissions permissions, bool usersOwn)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write("old report, to be kept") < 0)
        qFatal("cannot make %s", qPrintable(path));
    file.close();
    if (usersOwn)
        Unprivileged::giveToUser(QFile::encodeName(path).toStdString());
    QFile::setPermissions(path, permissions);
    return path;
}

constexpr QFile::Permissions readOnly = QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup
    | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;
constexpr QFile::Permissions writable
    = readOnly | QFile::WriteOwner | QFile::WriteGroup | QFile::WriteOther;

struct DroppedItem {
    const char* name;
    bool measured; // a regular file of 1000 bytes: it gets a line
    std::function<QString(const QString& dir)> make; // gives the path the desktop hands on
};

const DroppedItem droppedItems[] = {
    { "folder", false, [](const QString& dir) { return makeFolder(dir + "/folder"); } },
    { "missing path", false, [](const QString& dir) { return dir + "/missing"; } },
    { "dangling link", false,
        [](const QString& dir) { return makeLink(dir + "/nowhere", dir + "/dangling"); } },
    { "link loop", false,
        [](const QString& dir) {
            makeLink(dir + "/ping", dir + "/pong");
            return makeLink(dir + "/pong", dir + "/ping");
        } },
    { "name too long", false, [](const QString& dir) { return dir + '/' + QString(256, u'n'); } },
    { "path through a regular file", false,
        [](const QString& dir) { return makeFile(dir + "/plain", 1000) + "/inside"; } },
    { "FIFO", false,
        [](const QString& dir) {
            if (::mkfifo(QFile::encodeName(dir + "/fifo").constData(), 0600) != 0)
                qFatal("mkfifo");
            return dir + "/fifo";
        } },
    { "socket", false, [](const QString& dir) { return makeSocket(dir + "/socket"); } },
    { "/dev/null", false, [](const QString&) { return QStringLiteral("/dev/null"); } },
    { "spaces", true, [](const QString& dir) { return makeFile(dir + "/ two  spaces ", 1000); } },
    { "Japanese", true,
        [](const QString& dir) { return makeFile(dir + "/見積もり 2026年.txt", 1000); } },
    { "emoji", true,
        [](const QString& dir) {
            return makeFile(dir + QStringLiteral("/\U0001F600.bin"), 1000);
        } },
    { "newline", true, [](const QString& dir) { return makeFile(dir + "/two\nlines", 1000); } },
    // Characters that a file URL has to encode.
    { "percent and hash", true,
        [](const QString& dir) { return makeFile(dir + "/100% #1?.txt", 1000); } },
};

// A file whose name is the given bytes, which need not be UTF-8.
void makeFileInBytes(const QByteArray& path, off_t length)
{
    const int fd = ::open(path.constData(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0 || ::ftruncate(fd, length) != 0)
        qFatal("cannot make %s", path.constData());
    ::close(fd);
}

struct DroppedUri {
    const char* name;
    // Makes what the case needs in the folder and gives the URI a drag source sends for it.
    std::function<QByteArray(const QByteArray& dir)> make;
    QString line; // its line in the report after the folder's path, or none
};

// Each at 1000 bytes; a file of 5000 bytes waits where a wrong decoding would look.
const DroppedUri droppedUris[] = {
    { "Latin-1 name",
        [](const QByteArray& dir) {
            makeFileInBytes(dir + "/caf\xE9.bin", 1000);
            makeFileInBytes(dir + "/caf\xEF\xBF\xBD.bin", 5000);
            return "file://" + dir + "/caf%E9.bin";
        },
        QStringLiteral("/caf?.bin   2.34円\r\n") },
    { "NUL after a file's name",
        [](const QByteArray& dir) {
            makeFileInBytes(dir + "/plain", 1000);
            return "file://" + dir + "/plain%00.bin";
        },
        QString() },
    // The host is the folder's first step, so that //host/... would name the file on Linux.
    { "another machine's file",
        [](const QByteArray& dir) {
            makeFileInBytes(dir + "/plain", 1000);
            const qsizetype slash = dir.indexOf('/', 1);
            return "file://" + dir.mid(1, slash - 1) + dir.mid(slash) + "/plain";
        },
        QString() },
    { "this machine by its host name",
        [](const QByteArray& dir) {
            makeFileInBytes(dir + "/plain", 1000);
            return "file://localhost" + dir + "/plain";
        },
        QStringLiteral("/plain   2.34円\r\n") },
};

struct SaveTarget {
    const char* name;
    bool unprivileged; // needs the permissions of an ordinary user
    bool othersFile; // and a file that belongs to someone else
    std::function<QString(const QString& dir)> make; // gives the name the prompt yields
};

const SaveTarget failingTargets[] = {
    { "full device", false, false,
        [](const QString& dir) {
            return makeDevice(dir + "/full", 7, QStringLiteral("/dev/full"));
        } },
    { "a folder as the name", false, false,
        [](const QString& dir) { return makeFolder(dir + "/folder"); } },
    { "a missing parent folder", false, false,
        [](const QString& dir) { return dir + "/missing/report.txt"; } },
    { "a read-only folder", true, false,
        [](const QString& dir) {
            return makeFolder(dir + "/readonly", readOnly) + "/report.txt";
        } },
    { "a read-only file", true, false,
        [](const QString& dir) {
            return oldFile(
                makeFolder(dir + "/shared", writable) + "/old.txt", QFile::ReadOwner, true);
        } },
    { "someone else's file in a shared folder", true, true,
        [](const QString& dir) {
            return oldFile(makeFolder(dir + "/shared", writable) + "/old.txt",
                QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther, false);
        } },
};

} // namespace

class BadInputTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void droppedItemsKeepTheOrderAndNeverBlock_data();
    void droppedItemsKeepTheOrderAndNeverBlock();
    void aFileThatVanishesAfterTheDragEntersGivesNoLine();
    void droppedUrisMeasureTheFileTheyName_data();
    void droppedUrisMeasureTheFileTheyName();
    void failedSavesShowTheMessageAndChangeNothingElse_data();
    void failedSavesShowTheMessageAndChangeNothingElse();
    void aWriteThatFailsKeepsTheOldFile();
    void aPastedMegabyteDoesNotFreezeTheDialog_data();
    void aPastedMegabyteDoesNotFreezeTheDialog();

private:
    // Drags the files over the frame and drops them, through the window as the platform does.
    // `beforeDrop` runs once the drag has been offered, before the drop itself.
    void drop(const QStringList& paths, const std::function<void()>& beforeDrop = {});
    void dropUrls(const QList<QUrl>& urls, const std::function<void()>& beforeDrop = {});
    QString path(const QString& name) const { return dir_->filePath(name); }

    std::optional<MessageLog> log_;
    std::unique_ptr<main> window_;
    std::unique_ptr<QTemporaryDir> dir_;
    int prompts_ = 0;
    QString answer_;
};

void BadInputTest::init()
{
    prompts_ = 0;
    answer_.clear();
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    // Readable to the unprivileged user, for the cases that run as one.
    QVERIFY(QFile::setPermissions(dir_->path(), readOnly | QFile::WriteOwner));
    log_.emplace();
    window_ = std::make_unique<main>();
    window_->CommonDialog1.setAnswer([this] {
        ++prompts_;
        return answer_;
    });
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
}

void BadInputTest::cleanup()
{
    window_.reset();
    // By bytes: names that are not UTF-8 cannot be removed through QString.
    std::error_code ignored;
    std::filesystem::remove_all(QFile::encodeName(dir_->path()).toStdString(), ignored);
    dir_.reset();
    log_.reset();
}

void BadInputTest::drop(const QStringList& paths, const std::function<void()>& beforeDrop)
{
    QList<QUrl> urls;
    for (const QString& p : paths)
        urls.append(QUrl::fromLocalFile(p));
    dropUrls(urls, beforeDrop);
}

void BadInputTest::dropUrls(const QList<QUrl>& urls, const std::function<void()>& beforeDrop)
{
    QMimeData data;
    data.setUrls(urls);
    Watchdog watchdog("the drop");
    QVERIFY2(dragOver(*window_, data, window_->Frame1.geometry().center(), true, beforeDrop),
        "the frame did not take the drag");
}

void BadInputTest::droppedItemsKeepTheOrderAndNeverBlock_data()
{
    QTest::addColumn<int>("item");
    for (int i = 0; i < int(std::size(droppedItems)); ++i)
        QTest::newRow(droppedItems[i].name) << i;
}

void BadInputTest::droppedItemsKeepTheOrderAndNeverBlock()
{
    QFETCH(int, item);
    const DroppedItem& c = droppedItems[item];
    const QString before = makeFile(path("before"), 128);
    const QString awkward = c.make(dir_->path());
    const QString after = makeFile(path("after"), 128);
    answer_ = path("report.txt");

    drop({ before, awkward, after });

    QCOMPARE(prompts_, 1);
    QVERIFY(log_->messages.isEmpty());
    const QString middle = c.measured ? awkward + QStringLiteral("   2.34円\r\n") : QString();
    const QString total = c.measured ? QStringLiteral("2.94375") : QStringLiteral("0.6");
    const QString report = before + QStringLiteral("   0.3円\r\n") + middle + after
        + QStringLiteral("   0.3円\r\n\r\nTOTAL ") + total + QStringLiteral("円");
    QCOMPARE(readAll(answer_), cp932(report) + "\r\n");
    // The window goes on answering: the about box still opens.
    QTest::mouseClick(&window_->Command2, Qt::LeftButton);
    QCOMPARE(log_->messages.size(), 1);
}

void BadInputTest::aFileThatVanishesAfterTheDragEntersGivesNoLine()
{
    const QString a = makeFile(path("a"), 1000);
    const QString gone = makeFile(path("gone"), 300);
    const QString b = makeFile(path("b"), 128);
    answer_ = path("report.txt");

    drop({ a, gone, b }, [&] { QVERIFY(QFile::remove(gone)); });

    QCOMPARE(readAll(answer_),
        cp932(a + QStringLiteral("   2.34円\r\n") + b
            + QStringLiteral("   0.3円\r\n\r\nTOTAL 2.64375円"))
            + "\r\n");
}

void BadInputTest::droppedUrisMeasureTheFileTheyName_data()
{
    QTest::addColumn<int>("item");
    for (int i = 0; i < int(std::size(droppedUris)); ++i)
        QTest::newRow(droppedUris[i].name) << i;
}

// As a drag source on X11 sends them: text/uri-list, with the bytes of a name percent-encoded.
void BadInputTest::droppedUrisMeasureTheFileTheyName()
{
    QFETCH(int, item);
    const DroppedUri& c = droppedUris[item];
    const QString after = makeFile(path("after"), 128);
    answer_ = path("report.txt");

    dropUrls(
        { QUrl::fromEncoded(c.make(QFile::encodeName(dir_->path()))), QUrl::fromLocalFile(after) });

    const QString line = c.line.isNull() ? QString() : dir_->path() + c.line;
    const QString total = c.line.isNull() ? QStringLiteral("0.3") : QStringLiteral("2.64375");
    QCOMPARE(readAll(answer_),
        cp932(
            line + after + QStringLiteral("   0.3円\r\n\r\nTOTAL ") + total + QStringLiteral("円"))
            + "\r\n");
}

void BadInputTest::failedSavesShowTheMessageAndChangeNothingElse_data()
{
    QTest::addColumn<int>("target");
    for (int i = 0; i < int(std::size(failingTargets)); ++i)
        QTest::newRow(failingTargets[i].name) << i;
}

void BadInputTest::failedSavesShowTheMessageAndChangeNothingElse()
{
    QFETCH(int, target);
    const SaveTarget& c = failingTargets[target];
    if (c.othersFile && !Unprivileged::canMakeOthersFiles())
        QSKIP("needs root to make a file that belongs to someone else");
    const QString file = makeFile(path("a.bin"), 1000);
    answer_ = c.make(dir_->path());
    const auto before = snapshot(dir_->path());
    const QString status = window_->statusText();

    {
        std::optional<Unprivileged> user;
        if (c.unprivileged) {
            user.emplace();
            if (!user->active())
                QSKIP(user->failure().c_str());
        }
        drop({ file });
    }

    QCOMPARE(prompts_, 1);
    QCOMPARE(log_->messages.size(), 1);
    QCOMPARE(log_->messages[0].text, saveFailure + answer_);
    QCOMPARE(log_->messages[0].buttons, miruteka::OkOnly);
    QCOMPARE(log_->messages[0].title, QStringLiteral("ミルテカ"));
    QCOMPARE(snapshot(dir_->path()), before);
    QCOMPARE(window_->statusText(), status);
    QCOMPARE(window_->Text1.text(), QStringLiteral("0.3"));
    QVERIFY(window_->isVisible());
}

// Writes past a file-size limit fail with EFBIG, as writes to a full disk fail.
void BadInputTest::aWriteThatFailsKeepsTheOldFile()
{
    answer_ = oldFile(path("old.txt"), QFile::ReadOwner | QFile::WriteOwner, false);
    const QString file = makeFile(path("a.bin"), 1000);
    const auto before = snapshot(dir_->path());
    {
        rlimit previous;
        ::getrlimit(RLIMIT_FSIZE, &previous);
        const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = previous;
        limit.rlim_cur = 16; // the report is longer
        ::setrlimit(RLIMIT_FSIZE, &limit);
        drop({ file });
        ::setrlimit(RLIMIT_FSIZE, &previous);
        std::signal(SIGXFSZ, previousHandler);
    }
    QCOMPARE(log_->messages.size(), 1);
    QCOMPARE(log_->messages[0].text, saveFailure + answer_);
    QCOMPARE(snapshot(dir_->path()), before);
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
    QTest::mouseClick(&window_->Command1, Qt::LeftButton);
    QVERIFY2(ran, "the settings button showed no modal dialog");
    qInfo("paste and ok on %lld characters took %lld ms", static_cast<long long>(pasted.size()),
        static_cast<long long>(clock.elapsed()));

    QCOMPARE(pastedSize, pasted.size()); // the field has no length limit
    QVERIFY(stayedOpen);
    QCOMPARE(log_->messages.size(), 1);
    QCOMPARE(log_->messages[0].text, refusal);
    QCOMPARE(log_->messages[0].title, QString());
    QVERIFY(shown == field); // not QCOMPARE: a failure would print a megabyte
    QCOMPARE(window_->Text1.text(), QStringLiteral("0.3"));
    QCOMPARE(window_->statusText(), QStringLiteral("1パケット = 0.3 円"));
}

QTEST_MAIN(BadInputTest)
#include "bad_input_test.moc"
