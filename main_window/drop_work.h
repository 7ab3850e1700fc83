// The program's background work for its drops, kept apart from the window that shows it: the
// drops waiting their turn, the stage of the one under way (measuring, prompting, saving),
// stopping it, how far it has got, and the saves that the process lets end before it exits.
// It owns every task it starts; its threads come from the process's bounded pools, and nothing
// of it waits on a disk on the thread that calls it.
#pragma once

#include "concurrent_lengths.h"
#include "pooled_task.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

namespace miruteka {

// How a drop's work is done: the process's pools, MeasureFile and SaveFeeReport, unless a test
// gives others. A pool given must outlive the drops' work on it, which can go on after their
// owner has gone (the process's pools are never destroyed).
struct DropWorkMeans {
    WorkerPool* measuring = nullptr;
    WorkerPool* walking = nullptr;
    WorkerPool* saving = nullptr;
    ConcurrentLengths::Measure measure;
    // As SaveFeeReport: the path, the report, the stop, and where a failure left the old report.
    std::function<bool(std::u16string_view, std::u16string_view, std::stop_token, std::u16string*)>
        save;
};

class DropWork : public QObject {
    Q_OBJECT
public:
    enum class Stage { idle, measuring, prompting, saving };
    Q_ENUM(Stage)
    // What the work waits for, if anything: a thread of its pool, all being taken by other work;
    // a thread that the system refused, asked for again meanwhile; or a file system that has
    // left its requests unanswered for stalledAfter.
    enum class Waiting { no, forThread, forSystem, forFileSystem };
    Q_ENUM(Waiting)

    // The save prompt, behind the window's seam: whether it may be shown now (not while a
    // dialog of the user's is open), and the name it gives, empty when the user declines.
    struct Prompt {
        std::function<bool()> canAsk;
        std::function<QString()> askName;
    };
    using Means = DropWorkMeans;

    explicit DropWork(Prompt prompt, Means means = {}, QObject* parent = nullptr);
    // Stops all it has started, without waiting for any of it.
    ~DropWork() override;
    DropWork(const DropWork&) = delete;
    DropWork& operator=(const DropWork&) = delete;

    // Queues a drop of these URLs at this unit price; each drop gets its own prompt, in turn.
    void add(const QList<QUrl>& urls, const QString& unitPrice);
    // Abandons the drop being measured or saved, with nothing written; the queued ones go on.
    void cancel();
    // The window goes: the queued drops go with it and measuring stops. A save under way goes on,
    // to be settled by settleSaves().
    void close();

    Stage stage() const { return stage_; }
    // From the moment a drop's procedure starts until its report is saved or abandoned.
    bool busy() const { return stage_ != Stage::idle; }
    // While a drop's files are being measured or its report saved.
    bool awaitsWork() const { return stage_ == Stage::measuring || stage_ == Stage::saving; }
    std::size_t queued() const { return pending_.size(); }

    // For the exit: gives the save under way up to `finishing` to put the whole new report in
    // place, then stops it and every abandoned one, and waits up to `stuck` for them to leave
    // their files whole, new or old. True when they all did; a save stuck in a file system that
    // no longer answers is left as it is.
    bool settleSaves(std::chrono::milliseconds finishing = std::chrono::seconds(3),
        std::chrono::milliseconds stuck = std::chrono::seconds(10));

    // Feedback comes only for work that has taken this long: a quick drop shows nothing.
    static constexpr int feedbackAfterMs = 500;
    // A file system silent this long while requests wait on it is shown as not answering.
    static constexpr std::chrono::seconds stalledAfter { 3 };

signals:
    // The stage changed; busy(), awaitsWork() and stage() tell what it is now.
    void stageChanged();
    // While measuring or saving has gone on for longer than a moment, on every step of it.
    // `fileSystem` names the file system waited for: its mount point, drive or share.
    void feedback(DropWork::Stage stage, qsizetype measured, qsizetype dropped,
        DropWork::Waiting waiting, const QString& fileSystem);
    // Something the user is to be told.
    void message(const QString& text);

private:
    struct Drop {
        QList<QUrl> urls;
        QString unitPrice; // the price in force when the files were dropped
    };
    // Tells the owner, from the thread that finished a task, to follow it at once; outlives the
    // owner, which lets go of it as it goes.
    struct Waker {
        void wake();
        std::mutex mutex;
        DropWork* owner = nullptr;
    };

    void scheduleNext();
    void runNext();
    void start(const Drop& drop);
    void follow();
    void askAndSave();
    void finish();
    void setStage(Stage stage);
    void pruneAbandonedSaves();
    WorkerPool& pool(WorkerPool* given, WorkerPool& (*process)()) const;
    static Waiting waitingFor(const WorkerPool& pool);

    Prompt prompt_;
    Means means_;
    std::deque<Drop> pending_;
    bool nextScheduled_ = false;
    bool closing_ = false;

    Stage stage_ = Stage::idle;
    // The drop's measuring, which its walk starts once it has made the paths: the window's
    // thread reads its progress from here. Once the report is made the walk takes the lengths
    // back, their count left behind, and lets their paths go on its own thread after handing the
    // report over: for a large drop that takes milliseconds, which the window's thread would
    // otherwise spend before it could prompt.
    struct Measuring {
        struct Count {
            qsizetype measured = 0;
            qsizetype files = 0;
            static Count of(const ConcurrentLengths& lengths)
            {
                return { qsizetype(lengths.measured()), qsizetype(lengths.size()) };
            }
        };
        std::shared_ptr<ConcurrentLengths> get() const
        {
            const std::lock_guard lock(mutex);
            return lengths;
        }
        void set(std::shared_ptr<ConcurrentLengths> started)
        {
            const std::lock_guard lock(mutex);
            lengths = std::move(started);
        }
        std::shared_ptr<ConcurrentLengths> takeBack()
        {
            const std::lock_guard lock(mutex);
            if (lengths)
                last = Count::of(*lengths);
            return std::move(lengths);
        }
        Count count() const
        {
            const std::lock_guard lock(mutex);
            return lengths ? Count::of(*lengths) : last;
        }
        mutable std::mutex mutex;
        std::shared_ptr<ConcurrentLengths> lengths;
        Count last;
    };

    std::shared_ptr<Measuring> measuring_;
    qsizetype dropped_ = 0; // the items of the drop being measured
    std::optional<PooledTask<std::optional<std::u16string>>> walk_;
    std::u16string report_;
    // A save's outcome: whether the report is in place, and where a failure left the old one
    // when it is not under its own name.
    struct Saved {
        bool saved = false;
        std::u16string oldReportLeftAt;
    };
    std::optional<PooledTask<Saved>> save_;
    QString saveName_;
    // Saves given up on that may still be leaving their files whole.
    std::vector<PooledTask<Saved>> abandonedSaves_;
    QTimer followTimer_;
    QElapsedTimer stageClock_;
    std::shared_ptr<Waker> waker_;
};

} // namespace miruteka
