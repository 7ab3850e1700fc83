#include "drop_work.h"

#include "drop_frame.h"
#include "dropped_paths.h"
#include "fee_report.h"

#include <algorithm>
#include <new>

namespace miruteka {

namespace {
// Often enough for progress to look smooth; the end of a task is told by the waker.
constexpr int followIntervalMs = 50;
} // namespace

void DropWork::Waker::wake()
{
    const std::lock_guard lock(mutex);
    if (owner)
        QMetaObject::invokeMethod(owner, &DropWork::follow, Qt::QueuedConnection);
}

DropWork::DropWork(Prompt prompt, Means means, QObject* parent)
    : QObject(parent)
    , prompt_(std::move(prompt))
    , means_(std::move(means))
    , waker_(std::make_shared<Waker>())
{
    waker_->owner = this;
    if (!means_.save)
        means_.save = [](std::u16string_view path, std::u16string_view report, std::stop_token stop,
                          std::u16string* oldReportLeftAt) {
            return SaveFeeReport(path, report, stop, oldReportLeftAt);
        };
    followTimer_.setInterval(followIntervalMs);
    connect(&followTimer_, &QTimer::timeout, this, &DropWork::follow);
}

DropWork::~DropWork()
{
    const std::lock_guard lock(waker_->mutex);
    waker_->owner = nullptr;
    // The tasks' own destructors ask them to stop; the lengths stop with the walk.
}

WorkerPool& DropWork::pool(WorkerPool* given, WorkerPool& (*process)()) const
{
    return given ? *given : process();
}

DropWork::Waiting DropWork::waitingFor(const WorkerPool& pool)
{
    return pool.refused() ? Waiting::forSystem : Waiting::forThread;
}

void DropWork::add(const QList<QUrl>& urls, const QString& unitPrice)
{
    pending_.push_back({ urls, unitPrice });
    scheduleNext();
}

void DropWork::scheduleNext()
{
    if (nextScheduled_ || pending_.empty() || closing_)
        return;
    nextScheduled_ = true;
    QMetaObject::invokeMethod(this, &DropWork::runNext, Qt::QueuedConnection);
}

void DropWork::runNext()
{
    nextScheduled_ = false;
    // A drop that arrives while another is under way waits for it to end, written or abandoned.
    if (stage_ != Stage::idle || pending_.empty() || closing_)
        return;
    const Drop drop = std::move(pending_.front());
    pending_.pop_front();
    start(drop);
}

void DropWork::start(const Drop& drop)
{
    // The walk makes each local file's path from its URL, which for tens of thousands of files
    // would hold the window's thread for tens of milliseconds, more on a busy machine; it then has
    // them measured many at a time on the measuring pool and makes the report from them in the
    // dropped order.
    try {
        measuring_ = std::make_shared<Measuring>();
        dropped_ = drop.urls.size();
        walk_.emplace(
            pool(means_.walking, &WorkerPool::walking),
            [urls = drop.urls, price = drop.unitPrice.toStdU16String(), measuring = measuring_,
                measure = means_.measure, measuringPool = means_.measuring,
                &walkingPool = pool(means_.walking, &WorkerPool::walking),
                finishedLengths = std::shared_ptr<ConcurrentLengths>()](
                std::stop_token stop) mutable -> std::optional<std::u16string> {
                // Each file system has threads of its own. A walk stopped, or walked away from,
                // stops the measuring at once and in the thread that stops it: no file is asked
                // for after that.
                std::optional<DroppedPaths> dropped
                    = MakeDroppedPaths(urls, FileSystems::read(), walkingPool, stop);
                if (!dropped || stop.stop_requested())
                    return std::nullopt;
                const auto lengths = std::make_shared<ConcurrentLengths>(
                    ConcurrentLengths::Incoming { dropped->paths.size() }, lengthRequestsInFlight,
                    stop, measure, measuringPool);
                measuring->set(lengths);
                dropped->addTo(*lengths);
                dropped.reset();
                lengths->close();
                std::optional<std::u16string> report = BuildFeeReport(*lengths, price);
                // Let go with this work itself, after the report is handed over, as the URLs
                // are: while the report is saved, a processor has time for it.
                finishedLengths = measuring->takeBack();
                return report;
            },
            [waker = waker_] { waker->wake(); });
    } catch (const std::bad_alloc&) {
        walk_.reset();
        measuring_.reset();
        emit message(QStringLiteral("メモリが足りないため、レポートを作れませんでした。"));
        finish();
        return;
    }
    stageClock_.start();
    followTimer_.start();
    setStage(Stage::measuring);
}

void DropWork::follow()
{
    pruneAbandonedSaves();
    // A wake may come late, from work abandoned since.
    if (!awaitsWork())
        return;
    // Work that waits for a thread the system would not give gets it as soon as one is given.
    pool(means_.measuring, &WorkerPool::measuring).retry();
    pool(means_.walking, &WorkerPool::walking).retry();
    pool(means_.saving, &WorkerPool::saving).retry();
    const bool feedbackDue = stageClock_.elapsed() >= feedbackAfterMs;

    if (stage_ == Stage::measuring) {
        if (feedbackDue) {
            // Until the walk has made the paths, the drop's items stand for its files.
            const auto lengths = measuring_->get();
            const Measuring::Count count = measuring_->count();
            const qsizetype files = std::max(count.files, dropped_);
            const qsizetype measured = count.measured;
            const auto silent = lengths ? lengths->awaitedFileSystem() : nullptr;
            Waiting waiting = Waiting::no;
            QString silentName;
            if (silent && silent->silentFor() >= stalledAfter) {
                waiting = Waiting::forFileSystem;
                silentName = QString::fromStdU16String(silent->name());
            } else if (!walk_->started()) {
                waiting = waitingFor(pool(means_.walking, &WorkerPool::walking));
            } else if (lengths && lengths->waitingForWorker()) {
                waiting = waitingFor(pool(means_.measuring, &WorkerPool::measuring));
            }
            emit feedback(stage_, measured, files, waiting, silentName);
        }
        // The prompt waits for any dialog of the user's (settings, about) to close first.
        if (!walk_->done() || (prompt_.canAsk && !prompt_.canAsk()))
            return;
        std::optional<std::u16string> report;
        const bool outOfMemory = walk_->failed();
        if (!outOfMemory)
            report = walk_->take();
        walk_.reset();
        measuring_.reset();
        if (outOfMemory) {
            finish();
            emit message(QStringLiteral("メモリが足りないため、レポートを作れませんでした。"));
        } else if (report) {
            report_ = std::move(*report);
            askAndSave();
        } else {
            finish();
        }
    } else if (stage_ == Stage::saving) {
        if (feedbackDue)
            emit feedback(stage_, 0, 0,
                save_->started() ? Waiting::no
                                 : waitingFor(pool(means_.saving, &WorkerPool::saving)),
                {});
        if (!save_->done())
            return;
        const Saved outcome = save_->failed() ? Saved {} : save_->take();
        save_.reset();
        const QString name = saveName_;
        finish();
        if (!outcome.saved)
            emit message(QStringLiteral("レポートを保存できませんでした。\r\n") + name);
        if (!outcome.saved && !outcome.oldReportLeftAt.empty())
            emit message(QStringLiteral("元のレポートは次の名前で残っています。\r\n")
                + QString::fromStdU16String(outcome.oldReportLeftAt));
    }
}

void DropWork::askAndSave()
{
    followTimer_.stop();
    setStage(Stage::prompting);
    saveName_ = prompt_.askName ? prompt_.askName() : QString();
    std::u16string report = std::move(report_);
    report_ = {};
    // A declined prompt gives no name: nothing to write and nothing to say.
    if (saveName_.isEmpty()) {
        finish();
        return;
    }
    try {
        save_.emplace(
            pool(means_.saving, &WorkerPool::saving),
            [save = means_.save, path = saveName_.toStdU16String(), report = std::move(report)](
                std::stop_token stop) {
                Saved outcome;
                outcome.saved = save(path, report, stop, &outcome.oldReportLeftAt);
                return outcome;
            },
            [waker = waker_] { waker->wake(); });
    } catch (const std::bad_alloc&) {
        const QString name = saveName_;
        finish();
        emit message(QStringLiteral("レポートを保存できませんでした。\r\n") + name);
        return;
    }
    stageClock_.start();
    followTimer_.start();
    setStage(Stage::saving);
}

void DropWork::cancel()
{
    if (stage_ == Stage::measuring) {
        walk_.reset(); // stops its measuring
        measuring_.reset();
    } else if (stage_ == Stage::saving) {
        save_->requestStop();
        abandonedSaves_.push_back(std::move(*save_));
        save_.reset();
    } else {
        return;
    }
    finish();
}

void DropWork::close()
{
    // No prompt outlives the window; a save the user has answered for goes on.
    closing_ = true;
    pending_.clear();
    if (stage_ == Stage::measuring)
        cancel();
}

void DropWork::finish()
{
    followTimer_.stop();
    setStage(Stage::idle);
    pruneAbandonedSaves();
    scheduleNext();
}

void DropWork::setStage(Stage stage)
{
    stage_ = stage;
    emit stageChanged();
}

void DropWork::pruneAbandonedSaves()
{
    std::erase_if(abandonedSaves_, [](const PooledTask<Saved>& save) { return save.done(); });
}

bool DropWork::settleSaves(std::chrono::milliseconds finishing, std::chrono::milliseconds stuck)
{
    if (save_) {
        save_->waitFor(finishing);
        save_->requestStop();
        abandonedSaves_.push_back(std::move(*save_));
        save_.reset();
        followTimer_.stop();
        setStage(Stage::idle);
    }
    const auto deadline = std::chrono::steady_clock::now() + stuck;
    bool settled = true;
    for (PooledTask<Saved>& save : abandonedSaves_) {
        save.requestStop();
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        settled = save.waitFor(std::max(left, std::chrono::milliseconds(0))) && settled;
    }
    pruneAbandonedSaves();
    return settled;
}

} // namespace miruteka
