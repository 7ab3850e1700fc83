// The drops' work without a window: its queue, stages, stop, feedback, messages and the exit's
// wait, with the files measured and the reports saved by the test's own means.
#include "core/gate.h"
#include "drop_work.h"
#include "worker_pool.h"

#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

using miruteka::DropWork;
using miruteka::WorkerPool;
using miruteka::testing::Gate;

namespace {

QList<QUrl> urls(int count)
{
    QList<QUrl> list;
    for (int i = 0; i < count; ++i)
        list.append(QUrl::fromLocalFile(QStringLiteral("/share/f%1.bin").arg(i)));
    return list;
}

// The prompt as the window gives it, answering `name` and counting.
struct Prompt {
    QString name;
    int asked = 0;
    bool mayAsk = true; // false while a dialog of the user's is open
    DropWork::Prompt seam()
    {
        return { [this] { return mayAsk; },
            [this] {
                ++asked;
                return name;
            } };
    }
};

// A measure that waits at the gate, then gives each file 128 bytes.
miruteka::ConcurrentLengths::Measure gated(std::shared_ptr<Gate> gate)
{
    return [gate](std::u16string_view) {
        gate->pass();
        return std::optional<std::int64_t>(128);
    };
}

// A measure that counts the files asked for and gives each 1 byte.
miruteka::ConcurrentLengths::Measure counted(std::shared_ptr<std::atomic<int>> asked)
{
    return [asked](std::u16string_view) {
        ++*asked;
        return std::optional<std::int64_t>(1);
    };
}

// Waits until the pool's `bound` threads are all free of earlier work: each takes one piece of
// work that waits for the others.
void waitUntilAllFree(WorkerPool& pool)
{
    auto together = Gate::make();
    for (unsigned i = 0; i < pool.bound(); ++i)
        pool.submit([together] { together->pass(); });
    together->waitForArrivals(pool.bound());
    together->open();
    together->waitForPassed(pool.bound());
}

// A drop's walk starts its measuring on the pool given to the drop's owner: a test's own pools
// must outlive its walks, which this waits for as it goes, after the owner and before the pools.
class WalksEnded {
public:
    explicit WalksEnded(WorkerPool& walking)
        : walking_(walking)
    {
    }
    ~WalksEnded() { waitUntilAllFree(walking_); }
    WalksEnded(const WalksEnded&) = delete;
    WalksEnded& operator=(const WalksEnded&) = delete;

private:
    WorkerPool& walking_;
};

} // namespace

class DropWorkTest : public QObject {
    Q_OBJECT

private slots:
    void feedbackOnlyAfterHalfASecond_data();
    void feedbackOnlyAfterHalfASecond();
    void aReportKeptFromThePromptCountsEveryFile();
    void measuringWaitsForAFreeWorkerAndSaysSo();
    void theWalkNotTheWindowStartsTheMeasuring();
    void abandonedDropAsksForNoMoreFiles_data();
    void abandonedDropAsksForNoMoreFiles();
    void outOfMemoryIsToldAndNothingIsWritten_data();
    void outOfMemoryIsToldAndNothingIsWritten();
    void aFailedSaveSaysWhereTheOldReportWasLeft();
    void exitWaitsForEverySaveToSettle();
};

void DropWorkTest::feedbackOnlyAfterHalfASecond_data()
{
    QTest::addColumn<int>("measuringMs");
    QTest::addColumn<bool>("feedback");
    QTest::newRow("quick drop") << 250 << false;
    QTest::newRow("long drop") << 1000 << true;
}

// A drop that ends within half a second never flashes progress or the busy cursor; a longer one
// shows them.
void DropWorkTest::feedbackOnlyAfterHalfASecond()
{
    QFETCH(int, measuringMs);
    QFETCH(bool, feedback);
    Prompt prompt;
    auto server = Gate::make();
    DropWork work(prompt.seam(), { nullptr, nullptr, nullptr, gated(server), {} });
    QSignalSpy shown(&work, &DropWork::feedback);
    work.add(urls(3), QStringLiteral("0.3"));
    QTimer::singleShot(measuringMs, [server] { server->open(); });
    QVERIFY(QTest::qWaitFor([&] { return prompt.asked == 1; }, 10000));
    QCOMPARE(shown.isEmpty(), !feedback);
    QVERIFY(!work.busy());
}

// A report made while a dialog of the user's keeps the prompt back: the walk has let its lengths
// go, and the feedback still counts every file measured.
void DropWorkTest::aReportKeptFromThePromptCountsEveryFile()
{
    Prompt prompt;
    prompt.mayAsk = false;
    auto asked = std::make_shared<std::atomic<int>>(0);
    DropWork work(prompt.seam(), { nullptr, nullptr, nullptr, counted(asked), {} });
    QSignalSpy shown(&work, &DropWork::feedback);
    work.add(urls(4), QStringLiteral("0.3"));
    QVERIFY(QTest::qWaitFor([&] { return asked->load() == 4 && !shown.isEmpty(); }, 10000));
    QTest::qWait(200); // the walk ends within microseconds of its last length
    shown.clear();
    QVERIFY(QTest::qWaitFor([&] { return !shown.isEmpty(); }, 5000));
    QCOMPARE(shown.last().at(1).value<qsizetype>(), qsizetype(4));
    QCOMPARE(shown.last().at(2).value<qsizetype>(), qsizetype(4));
    QCOMPARE(prompt.asked, 0);

    prompt.mayAsk = true;
    QVERIFY(QTest::qWaitFor([&] { return prompt.asked == 1; }, 10000));
}

// With every measuring thread stuck on a server that no longer answers, a new drop measures
// nothing, starts no thread, and says in its feedback that it waits; abandoned, it never asks for
// its files, even once a thread is free.
void DropWorkTest::measuringWaitsForAFreeWorkerAndSaysSo()
{
    WorkerPool walking(2);
    WorkerPool measuring(1);
    const WalksEnded walksEnded(walking);
    auto stuck = Gate::make();
    measuring.submit([stuck] { stuck->pass(); });
    stuck->waitForArrivals(1);
    auto asked = std::make_shared<std::atomic<int>>(0);
    Prompt prompt;
    DropWork work(prompt.seam(), { &measuring, &walking, nullptr, counted(asked), {} });
    QSignalSpy shown(&work, &DropWork::feedback);
    work.add(urls(5), QStringLiteral("0.3"));
    QVERIFY(QTest::qWaitFor([&] { return !shown.isEmpty(); }, 5000));
    QCOMPARE(shown.last().at(0).value<DropWork::Stage>(), DropWork::Stage::measuring);
    QCOMPARE(shown.last().at(3).value<DropWork::Waiting>(), DropWork::Waiting::forThread);
    QCOMPARE(measuring.threads(), std::size_t(1));
    QCOMPARE(asked->load(), 0);

    work.cancel();
    QVERIFY(!work.busy());
    stuck->open();
    waitUntilAllFree(measuring);
    QCOMPARE(asked->load(), 0);

    // The next drop has the thread.
    work.add(urls(5), QStringLiteral("0.3"));
    QVERIFY(QTest::qWaitFor([&] { return prompt.asked == 1; }, 10000));
    QCOMPARE(asked->load(), 5);
}

// The drop's paths are made by its walk, off the window's thread, and only then measured: while
// every walking thread is taken, nothing of the drop is measured, and its feedback says it waits
// with the dropped items as its total.
void DropWorkTest::theWalkNotTheWindowStartsTheMeasuring()
{
    WorkerPool walking(1);
    auto busy = Gate::make();
    walking.submit([busy] { busy->pass(); });
    busy->waitForArrivals(1);
    WorkerPool measuring(2);
    const WalksEnded walksEnded(walking);
    auto asked = std::make_shared<std::atomic<int>>(0);
    Prompt prompt;
    DropWork work(prompt.seam(), { &measuring, &walking, nullptr, counted(asked), {} });
    QSignalSpy shown(&work, &DropWork::feedback);
    work.add(urls(7), QStringLiteral("0.3"));
    QVERIFY(QTest::qWaitFor([&] { return !shown.isEmpty(); }, 5000));
    QCOMPARE(shown.last().at(2).value<qsizetype>(), qsizetype(7));
    QCOMPARE(shown.last().at(3).value<DropWork::Waiting>(), DropWork::Waiting::forThread);
    QCOMPARE(measuring.threads() + measuring.queued(), std::size_t(0));
    QCOMPARE(asked->load(), 0);

    busy->open();
    QVERIFY(QTest::qWaitFor([&] { return prompt.asked == 1; }, 10000));
    QCOMPARE(asked->load(), 7);
}

void DropWorkTest::abandonedDropAsksForNoMoreFiles_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("abandoned") << "cancel";
    QTest::newRow("window closed") << "close";
    QTest::newRow("window destroyed without closing") << "destroy";
}

// However the drop is given up, the workers stuck on its files ask for no other file once the
// server answers, and no prompt comes.
void DropWorkTest::abandonedDropAsksForNoMoreFiles()
{
    QFETCH(QString, how);
    WorkerPool walking(2);
    WorkerPool measuring(4);
    const WalksEnded walksEnded(walking);
    auto server = Gate::make();
    Prompt prompt;
    auto work = std::make_unique<DropWork>(prompt.seam(),
        miruteka::DropWorkMeans { &measuring, &walking, nullptr, gated(server), {} });
    work->add(urls(1000), QStringLiteral("0.3"));
    QVERIFY(QTest::qWaitFor([&] { return server->arrived() == 4; }, 10000));
    if (how == "cancel")
        work->cancel();
    else if (how == "close")
        work->close();
    else
        work.reset();
    server->open();
    waitUntilAllFree(measuring);
    QCOMPARE(server->arrived(), std::size_t(4));
    QTest::qWait(0);
    QCOMPARE(prompt.asked, 0);
}

void DropWorkTest::outOfMemoryIsToldAndNothingIsWritten_data()
{
    QTest::addColumn<bool>("whileMeasuring");
    QTest::addColumn<QString>("message");
    QTest::newRow("measuring") << true
                               << QStringLiteral(
                                      "メモリが足りないため、レポートを作れませんでした。");
    QTest::newRow("saving") << false
                            << QStringLiteral(
                                   "レポートを保存できませんでした。\r\n/out/report.txt");
}

// Running out of memory ends neither the process nor the queue: the user is told, nothing is
// written, and the next drop goes on.
void DropWorkTest::outOfMemoryIsToldAndNothingIsWritten()
{
    QFETCH(bool, whileMeasuring);
    QFETCH(QString, message);
    Prompt prompt;
    prompt.name = QStringLiteral("/out/report.txt");
    auto failing = std::make_shared<std::atomic<bool>>(true);
    auto written = std::make_shared<std::atomic<int>>(0);
    DropWork work(prompt.seam(),
        { nullptr, nullptr, nullptr,
            [failing, whileMeasuring](std::u16string_view) {
                if (whileMeasuring && *failing)
                    throw std::bad_alloc();
                return std::optional<std::int64_t>(128);
            },
            [failing, written](
                std::u16string_view, std::u16string_view, std::stop_token, std::u16string*) {
                if (*failing)
                    throw std::bad_alloc();
                ++*written;
                return true;
            } });
    QSignalSpy told(&work, &DropWork::message);
    work.add(urls(100), QStringLiteral("0.3"));
    QVERIFY(QTest::qWaitFor([&] { return !told.isEmpty(); }, 10000));
    QCOMPARE(told.size(), 1);
    QCOMPARE(told.first().first().toString(), message);
    QCOMPARE(prompt.asked, whileMeasuring ? 0 : 1);
    QCOMPARE(written->load(), 0);
    QVERIFY(!work.busy());

    *failing = false;
    work.add(urls(2), QStringLiteral("0.3"));
    QVERIFY(QTest::qWaitFor([&] { return written->load() == 1; }, 10000));
    QCOMPARE(told.size(), 1);
}

// A save that fails after the system moved the old report aside, and could not give it its name
// back, says where the old report lives now, after the usual message.
void DropWorkTest::aFailedSaveSaysWhereTheOldReportWasLeft()
{
    Prompt prompt;
    prompt.name = QStringLiteral("C:\\out\\report.txt");
    const std::u16string aside = u"C:\\out\\.report.txt.miruteka-backup-0123456789abcdef";
    DropWork work(prompt.seam(),
        { nullptr, nullptr, nullptr, {},
            [aside](std::u16string_view, std::u16string_view, std::stop_token,
                std::u16string* oldReportLeftAt) {
                *oldReportLeftAt = aside;
                return false;
            } });
    QSignalSpy told(&work, &DropWork::message);
    work.add(urls(2), QStringLiteral("0.3"));
    QVERIFY(QTest::qWaitFor([&] { return told.size() == 2; }, 10000));
    QCOMPARE(told[0].first().toString(),
        QStringLiteral("レポートを保存できませんでした。\r\nC:\\out\\report.txt"));
    QCOMPARE(told[1].first().toString(),
        QStringLiteral("元のレポートは次の名前で残っています。\r\n")
            + QString::fromStdU16String(aside));
}

// At exit every save is waited for until it has left its file whole, those abandoned before the
// last among them, and the one under way; a save that would only end if stopped is stopped.
void DropWorkTest::exitWaitsForEverySaveToSettle()
{
    WorkerPool saving(4);
    Prompt prompt;
    prompt.name = QStringLiteral("/out/report.txt");
    auto settled = std::make_shared<std::atomic<int>>(0);
    auto started = Gate::make();
    DropWork work(prompt.seam(),
        { nullptr, nullptr, &saving, {},
            [settled, started](
                std::u16string_view, std::u16string_view, std::stop_token stop, std::u16string*) {
                // A write that ends only when stopped, then puts the old content back, slowly:
                // the earlier the save, the longer, so that the last to settle is the first.
                const int restoreMs = 900 - 400 * int(started->arrived());
                std::mutex mutex;
                std::condition_variable_any stopped;
                started->pass();
                std::unique_lock lock(mutex);
                stopped.wait(lock, stop, [] { return false; });
                lock.unlock();
                std::this_thread::sleep_for(std::chrono::milliseconds(restoreMs));
                ++*settled;
                return false;
            } });
    started->open();
    for (int save = 1; save <= 3; ++save) {
        work.add({ QUrl::fromLocalFile(QStringLiteral("/nowhere/a")) }, QStringLiteral("0.3"));
        QVERIFY(QTest::qWaitFor([&] { return work.stage() == DropWork::Stage::saving; }, 10000));
        started->waitForPassed(std::size_t(save));
        if (save < 3)
            work.cancel();
    }
    work.close();
    QVERIFY(work.settleSaves(std::chrono::milliseconds(50), std::chrono::seconds(20)));
    QCOMPARE(settled->load(), 3);
}

QTEST_GUILESS_MAIN(DropWorkTest)
#include "drop_work_test.moc"
