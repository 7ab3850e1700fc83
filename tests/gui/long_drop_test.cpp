// Drops that take long: files on a share that answers slowly, or stops answering, and a save to
// a pipe nobody reads. The window must stay the user's meanwhile.
#include "fee_report.h"
#include "scratch.h"
#include "slow_share.h"
#include "window_harness.h"
#include "worker_pool.h"

#include <QClipboard>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMimeData>
#include <QTest>
#include <atomic>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace miruteka::testing;

namespace {

// The share's synthetic files, dropped.
QList<QUrl> urls(const SlowShare& share, int count)
{
    QList<QUrl> urls;
    for (int i = 0; i < count; ++i)
        urls.append(QUrl::fromLocalFile(qPath(share.file(i))));
    return urls;
}

// Threads of this process now.
std::size_t threadsNow()
{
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& task : std::filesystem::directory_iterator("/proc/self/task"))
        ++count;
    return count;
}

// The names of the process's threads, sorted, to say whose a thread that came or went is.
QStringList threadNames()
{
    QStringList names;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        QFile comm(QString::fromStdString((task.path() / "comm").string()));
        if (comm.open(QIODevice::ReadOnly))
            names << QString::fromUtf8(comm.readAll()).trimmed();
    }
    names.sort();
    return names;
}

// Waits, turning the event loop, for the condition; false if it never came.
bool waitUntil(const std::function<bool()>& condition, int ms = 10000)
{
    return QTest::qWaitFor(condition, ms);
}

} // namespace

#ifdef SLOWFS
#define MOUNT_SHARE(files, delayUs)                                                                \
    do {                                                                                           \
        if (const std::string why = mountShare(files, delayUs); !why.empty())                      \
            QSKIP(why.c_str());                                                                    \
        QVERIFY2(share_->mounted(), "slowfs did not mount");                                       \
    } while (false)
#else
#define MOUNT_SHARE(files, delayUs)                                                                \
    QFAIL("slowfs was not built: libfuse3-dev is missing (scripts/install-deps installs it)")
#endif

class LongDropTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void longWalkShowsProgressAndCanBeAbandoned_data();
    void longWalkShowsProgressAndCanBeAbandoned();
    void dropsAndPastesDuringAWalkGetTheirOwnPromptsAfterIt();
    void closingWhileTheShareHangsEndsAtOnce();
    void saveToAPipeNobodyReadsLeavesTheWindowLive();
    void escWhileSavingOnAShareWritesNothing();
    void abandonedDropsOnAStoppedShareKeepTheThreadsBounded();
    void aStoppedShareHoldsBackOnlyItsOwnFiles();
    void exitDuringAnInPlaceSaveLeavesTheFileWhole_data();
    void exitDuringAnInPlaceSaveLeavesTheFileWhole();

private:
    miruteka::main& window() { return under_->window; }
    TestPrompts& prompts() { return under_->prompts; }
    // Why this machine cannot mount the share (the test is skipped), or nothing once share_ is
    // made. QSKIP and QVERIFY end only the function they are in, so the test itself calls them,
    // through MOUNT_SHARE.
    std::string mountShare(int files, int delayUs)
    {
        if (std::string why = SlowShare::unavailable(); !why.empty())
            return why;
        share_ = std::make_unique<SlowShare>(dir_ / "share", delayUs, files);
        return {};
    }

    ScratchDir dir_;
    std::unique_ptr<SlowShare> share_;
    std::unique_ptr<WindowUnderTest> under_;
};

void LongDropTest::init()
{
    under_ = std::make_unique<WindowUnderTest>();
    QVERIFY(under_->exposed);
}

void LongDropTest::cleanup()
{
    under_.reset();
    share_.reset();
}

void LongDropTest::longWalkShowsProgressAndCanBeAbandoned_data()
{
    QTest::addColumn<bool>("byEsc");
    QTest::newRow("Esc") << true;
    QTest::newRow("中止 button") << false;
}

void LongDropTest::longWalkShowsProgressAndCanBeAbandoned()
{
    QFETCH(bool, byEsc);
    MOUNT_SHARE(3000, 5000);
    prompts().answer = qPath(dir_ / "never.txt");
    window().Frame1_OLEDragDrop(urls(*share_, 3000));

    // After half a second the frame says how far the walk has got, under the busy cursor.
    QVERIFY(waitUntil([&] { return window().progress() && window().progress()->isVisible(); }));
    QCOMPARE(window().cursor().shape(), Qt::BusyCursor);
    QCOMPARE(window().progress()->bar.maximum(), 3000);
    QVERIFY(waitUntil([&] { return window().progress()->bar.value() > 0; }));
    QVERIFY(window().progress()->bar.value() < 3000);
    QCOMPARE(window().statusText(), QStringLiteral("1パケット = 0.3 円"));

    if (byEsc)
        QTest::keyClick(&window(), Qt::Key_Escape);
    else
        QTest::mouseClick(&window().progress()->cancelButton, Qt::LeftButton);
    QVERIFY(!window().dropInProgress());
    QTest::qWait(100); // the progress goes with the next turn of the loop
    QVERIFY(!window().progress());
    QCOMPARE(window().cursor().shape(), Qt::ArrowCursor);
    QTest::qWait(300);
    QCOMPARE(prompts().saves, 0);
    QVERIFY(!std::filesystem::exists(dir_ / "never.txt"));
}

void LongDropTest::dropsAndPastesDuringAWalkGetTheirOwnPromptsAfterIt()
{
    MOUNT_SHARE(2000, 2000);
    const QString local = qPath(dir_.file("local.bin", 1000));
    QStringList answers;
    prompts().onSave = [&] {
        answers.append(qPath(dir_ / (std::to_string(answers.size()) + ".txt")));
        return answers.last();
    };

    window().Frame1_OLEDragDrop(urls(*share_, 2000));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall); // the drop's procedure starts
    QVERIFY(window().dropAwaitsWork());
    // While the walk goes on: a new price, a drop and a paste. The window takes them all, and
    // each later drop keeps the price in force when it came.
    window().Text1.setText(QStringLiteral("0.6"));
    QMimeData dropped;
    dropped.setUrls({ QUrl::fromLocalFile(local) });
    QVERIFY(dragOver(window(), dropped, window().Frame1.geometry().center(), false));
    dropWithoutRunning(window(), dropped);
    window().Text1.setText(QStringLiteral("0.9"));
    auto* copied = new QMimeData;
    copied->setUrls({ QUrl::fromLocalFile(local) });
    QGuiApplication::clipboard()->setMimeData(copied);
    window().Frame1.pasteAction.trigger();
    QVERIFY(window().dropAwaitsWork());
    QCOMPARE(prompts().saves, 0);

    runQueuedCalls();
    QCOMPARE(prompts().saves, 3);
    // The share's report: every line in the dropped order, at the price of its drop, whatever
    // order the lengths came back in.
    miruteka::FeeReport expected(u"0.3");
    for (int i = 0; i < 2000; ++i)
        expected.add(QDir::toNativeSeparators(qPath(share_->file(i))).toStdU16String(),
            std::int64_t(i) * 7919 % 100000);
    QCOMPARE(readAll(answers[0]),
        cp932(QString::fromStdU16String(std::move(expected).finish()) + "\r\n"));
    QCOMPARE(readAll(answers[1]), cp932(local + "   4.68円\r\n\r\nTOTAL 4.6875円\r\n"));
    QCOMPARE(readAll(answers[2]), cp932(local + "   7.03円\r\n\r\nTOTAL 7.03125円\r\n"));
}

void LongDropTest::closingWhileTheShareHangsEndsAtOnce()
{
    MOUNT_SHARE(500, 1000);
    window().Frame1_OLEDragDrop(urls(*share_, 500));
    QVERIFY(waitUntil([&] { return window().progress() != nullptr; }));
    share_->stop();
    QTest::qWait(100); // the workers are stuck in the file system now

    QElapsedTimer clock;
    clock.start();
    window().Command3.click();
    QVERIFY(!window().dropInProgress());
    QCOMPARE(prompts().saves, 0);
    under_.reset(); // the window goes as the program ends
    QVERIFY2(clock.elapsed() < 1000, "closing waited for the file system");
}

void LongDropTest::saveToAPipeNobodyReadsLeavesTheWindowLive()
{
    // A report bigger than what a pipe holds, so that the save waits for a reader.
    QList<QUrl> urls;
    for (int i = 0; i < 800; ++i)
        urls.append(
            QUrl::fromLocalFile(qPath(dir_.file(std::string(100, 'a') + std::to_string(i), i))));
    const std::filesystem::path fifo = dir_ / "pipe";
    QCOMPARE(::mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK); // there, never reading
    QVERIFY(reader >= 0);
    prompts().answer = qPath(fifo);

    window().Frame1_OLEDragDrop(urls);
    QVERIFY(waitUntil([&] { return prompts().saves == 1; }));
    QVERIFY(window().dropAwaitsWork());
    // The loop turns meanwhile: the frame says the report is being saved.
    QVERIFY(waitUntil([&] { return window().progress() && window().progress()->isVisible(); }));
    QCOMPARE(window().progress()->stage.text(), QStringLiteral("保存中…"));
    QTest::keyClick(&window(), Qt::Key_Escape);
    QVERIFY(!window().dropAwaitsWork());
    // Abandoned, the save writes nothing more: a reader that starts now gets what the pipe held,
    // never the rest of the report, and then the end of it.
    std::atomic<std::size_t> read { 0 };
    std::thread drain([&] {
        char buffer[4096];
        for (;;) {
            const ssize_t got = ::read(reader, buffer, sizeof buffer);
            if (got > 0)
                read += std::size_t(got);
            else if (got == 0 || errno != EAGAIN)
                return; // the writer has closed its end
            else
                ::poll(nullptr, 0, 1);
        }
    });
    QVERIFY(window().work.settleSaves(std::chrono::milliseconds(0), std::chrono::seconds(10)));
    drain.join();
    QVERIFY(read.load() > 0);
    QVERIFY2(read.load() < 800 * 100, qPrintable(QString::number(read.load())));
    QVERIFY(prompts().messages.isEmpty()); // abandoned, not failed
    ::close(reader);
}

// Esc while 保存中… shows, on a share slow enough that the save is seen under way: the report the
// share holds stays as it was, with nothing beside it, once the abandoned save has ended; the
// end is waited for as the exit does, without stopping anything.
void LongDropTest::escWhileSavingOnAShareWritesNothing()
{
#ifdef SLOWFS
    if (const std::string why = SlowShare::unavailable(); !why.empty())
        QSKIP(why.c_str());
    const std::filesystem::path backing = dir_ / "server";
    std::filesystem::create_directory(backing);
    const QByteArray old = "the old report\r\n";
    {
        QFile file(qPath(backing / "report.txt"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(old);
    }
    // A tenth of a second a request: some 20 pieces of the report take two seconds.
    share_ = std::make_unique<SlowShare>(dir_ / "share", 100000, 0, backing);
    QVERIFY2(share_->mounted(), "slowfs did not mount");
#else
    QFAIL("slowfs was not built: libfuse3-dev is missing (scripts/install-deps installs it)");
#endif
    QList<QUrl> urls;
    for (int i = 0; i < 3000; ++i)
        urls.append(
            QUrl::fromLocalFile(qPath(dir_.file(std::string(200, 'a') + std::to_string(i), i))));
    prompts().answer = qPath(share_->path() / "report.txt");

    window().Frame1_OLEDragDrop(urls);
    QVERIFY(waitUntil([&] { return prompts().saves == 1; }));
    QVERIFY(waitUntil([&] { return window().progress() && window().progress()->isVisible(); }));
    QCOMPARE(window().progress()->stage.text(), QStringLiteral("保存中…"));
    // The new report's file is there: the save holds the report from now to its end.
    QVERIFY(waitUntil([&] {
        for (const auto& entry : std::filesystem::directory_iterator(backing))
            if (entry.path().filename().string().starts_with(".miruteka-"))
                return true;
        return false;
    }));
    QTest::keyClick(&window(), Qt::Key_Escape);
    QVERIFY(!window().dropAwaitsWork());
    QVERIFY(miruteka::WaitForSaves(std::chrono::seconds(5)));

    QCOMPARE(readAll(qPath(backing / "report.txt")), old);
    QStringList left;
    for (const auto& entry : std::filesystem::directory_iterator(backing))
        left.append(qPath(entry.path().filename()));
    QCOMPARE(left, QStringList { "report.txt" });
    QVERIFY(prompts().messages.isEmpty()); // abandoned, not failed
}

// Drops abandoned one after another on a share whose server has stopped: the workers stuck on
// the first hold the measuring pool's bound, the others start no thread, and the next drop says
// that it waits for a free worker.
void LongDropTest::abandonedDropsOnAStoppedShareKeepTheThreadsBounded()
{
    MOUNT_SHARE(200, 1000);
    const std::size_t before = threadsNow();
    share_->stop();
    for (int drop = 0; drop < 10; ++drop) {
        window().Frame1_OLEDragDrop(urls(*share_, 200));
        QVERIFY(waitUntil([&] { return window().dropAwaitsWork(); }));
        QTest::qWait(20);
        QTest::keyClick(&window(), Qt::Key_Escape);
        QVERIFY(!window().dropAwaitsWork());
    }
    const std::size_t bound = miruteka::WorkerPool::measuring().bound()
        + miruteka::WorkerPool::walking().bound() + miruteka::WorkerPool::saving().bound();
    const std::size_t after = threadsNow();
    const QStringList namesAfter = threadNames();
    QVERIFY2(after <= before + bound + 4,
        qPrintable(QStringLiteral("%1 threads before, %2 after").arg(before).arg(after)));
    const std::size_t measuringAfter = miruteka::WorkerPool::measuring().threads();
    QVERIFY(measuringAfter <= miruteka::WorkerPool::measuring().bound());

    // The next drop waits for the stuck workers and starts no measuring thread. Its walk may start
    // the walking pool's second thread, within the bound, when the walk of the last abandoned drop
    // has not yet seen its stop (seen 1 time in 8 beside a busy loop).
    window().Frame1_OLEDragDrop(urls(*share_, 200));
    QVERIFY(waitUntil([&] { return window().progress() && window().progress()->isVisible(); }));
    QCOMPARE(window().progress()->stage.text(), QStringLiteral("待機中…"));
    QCOMPARE(window().cursor().shape(), Qt::BusyCursor);
    QTest::keyClick(&window(), Qt::Key_Escape);
    QVERIFY(!window().dropInProgress());
    QCOMPARE(prompts().saves, 0);
    QCOMPARE(miruteka::WorkerPool::measuring().threads(), measuringAfter);
    QVERIFY2(threadsNow() <= after + 1 && threadsNow() <= before + bound + 4,
        qPrintable(QStringLiteral("threads before the last drop: %1; after it: %2")
                       .arg(namesAfter.join(u' '), threadNames().join(u' '))));
}

// A drop abandoned on a share whose server has stopped leaves its threads stuck there; local
// files dropped after it are measured at once. A drop that mixes them waits for the share, says
// which one it waits for and that Esc gives it up, and goes on by itself once the share answers.
void LongDropTest::aStoppedShareHoldsBackOnlyItsOwnFiles()
{
    MOUNT_SHARE(200, 1000);
    QList<QUrl> local;
    for (int i = 0; i < 5; ++i)
        local.append(QUrl::fromLocalFile(qPath(dir_.file("local" + std::to_string(i), 1000))));
    prompts().onSave = [] { return QString(); };
    share_->stop();
    window().Frame1_OLEDragDrop(urls(*share_, 200));
    QVERIFY(waitUntil([&] { return window().dropAwaitsWork(); }));
    QTest::qWait(200);
    QTest::keyClick(&window(), Qt::Key_Escape);

    window().Frame1_OLEDragDrop(local);
    QVERIFY2(waitUntil([&] { return prompts().saves == 1; }, 5000),
        "the local files waited behind the stopped share");

    window().Frame1_OLEDragDrop(local + urls(*share_, 3));
    QVERIFY(waitUntil(
        [&] { return window().progress() && window().progress()->stage.text() == u"応答待ち…"; },
        3000 + 5000));
    const QString mountPoint = qPath(dir_ / "share");
    QVERIFY2(window().progress()->bar.accessibleDescription().contains(mountPoint)
            && window().progress()->bar.accessibleDescription().contains(u"Esc"),
        qPrintable(window().progress()->bar.accessibleDescription()));
    QCOMPARE(window().progress()->stage.toolTip(), mountPoint);
    QCOMPARE(prompts().saves, 1);

    share_->resume();
    QVERIFY(waitUntil([&] { return prompts().saves == 2; }));
    // Once the share answers, no measuring thread stays stuck in it: they all go back to idle.
    QVERIFY(waitUntil([] {
        return miruteka::WorkerPool::measuring().idle()
            == miruteka::WorkerPool::measuring().threads();
    }));
}

void LongDropTest::exitDuringAnInPlaceSaveLeavesTheFileWhole_data()
{
    QTest::addColumn<bool>("abandonFirst");
    QTest::newRow("closed while saving") << false;
    QTest::newRow("closed just after abandoning") << true;
}

// The window closes during a save into the report's own file (it has a second name, so it is
// written in place, after a backup): the program ends only once the file holds the whole old
// report or the whole new one, with no backup or temporary of ours beside it.
void LongDropTest::exitDuringAnInPlaceSaveLeavesTheFileWhole()
{
    QFETCH(bool, abandonFirst);
    const std::string row = abandonFirst ? "abandoned/" : "closed/";
    std::filesystem::create_directories(dir_ / row / "in");
    std::filesystem::create_directories(dir_ / row / "out");
    QList<QUrl> urls;
    for (int i = 0; i < 3000; ++i)
        urls.append(QUrl::fromLocalFile(
            qPath(dir_.file(row + "in/" + std::string(100, 'a') + std::to_string(i), i))));
    const std::filesystem::path target = dir_ / row / "out" / "report.txt";
    const QByteArray old = "the old report\r\n";
    {
        QFile file(qPath(target));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(old);
    }
    std::filesystem::create_hard_link(target, dir_ / row / "out" / "other name.txt");
    prompts().answer = qPath(target);

    window().Frame1_OLEDragDrop(urls);
    QVERIFY(waitUntil([&] { return prompts().saves == 1; }));
    if (abandonFirst)
        QTest::keyClick(&window(), Qt::Key_Escape);
    window().close();
    QVERIFY(!window().isVisible());
    QVERIFY(window().work.settleSaves());

    const QByteArray now = readAll(qPath(target));
    // The new report in full ends with its TOTAL line; the old one is as it was.
    const bool whole = now == old
        || (now.size() > 3000 * 100 && now.endsWith(cp932(QStringLiteral("円\r\n")))
            && now.contains("TOTAL "));
    QVERIFY2(whole, now.left(200).constData());
    QCOMPARE(readAll(qPath(dir_ / row / "out" / "other name.txt")), now);
    QStringList left;
    for (const auto& entry : std::filesystem::directory_iterator(dir_ / row / "out"))
        left.append(qPath(entry.path().filename()));
    left.sort();
    QCOMPARE(left, QStringList({ "other name.txt", "report.txt" }));
}

QTEST_MAIN(LongDropTest)
#include "long_drop_test.moc"
