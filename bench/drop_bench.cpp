// One drop of many files, measured four ways over the same list: the floor that the system
// calls set (open, fstat and close of each file), the fee report computation, the whole drop
// through the main window's drop handler including the save and the CP932 write, and the
// drag-over answer while the list hovers over the frame. The drop event's own time, from its
// arrival to its return, is kept as well: the drag source waits that long. Two parts of the drop
// are timed on their own as well: taking the paths from the drag data, and saving the report.
//
//   miruteka_bench --scratch=FOLDER --files=N [Google Benchmark options]
//
// Makes N sparse files in FOLDER/files-N and writes the report to FOLDER/report-N.txt; removing
// FOLDER is the caller's business. The last line of output, "figures files=N key=value ...",
// carries the best time of each benchmark over its repetitions and the memory figures, for
// bench/run to put in a table.
#include "drop_set.h"
#include "dropped_paths.h"
#include "fee_report.h"
#include "files.h"
#include "floor.h"
#include "heap_counter.h"
#include "main.h"
#include "prompts.h"
#include "worker_pool.h"

#include <QApplication>
#include <QDragEnterEvent>
#include <QMimeData>
#include <QTest>
#include <QUrl>
#include <benchmark/benchmark.h>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <limits>
#include <map>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace miruteka::bench {

namespace {

constexpr std::u16string_view unitPrice = u"0.3"; // the window's own price at start

std::int64_t baselineLoop(const std::vector<std::string>& paths)
{
    std::int64_t total = 0;
    for (const std::string& path : paths)
        total += floorLength(path.c_str());
    return total;
}

struct Scenario {
    Scenario(const std::string& scratch, std::size_t files)
        : folder(scratch + "/files-" + std::to_string(files))
        , reportPath(QString::fromStdString(scratch + "/report-" + std::to_string(files) + ".txt"))
    {
        if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST)
            throw std::runtime_error("cannot create " + folder);
        set = MakeDropSet(folder, files);

        // The platform hands over the dropped files as URLs; the core gets the paths as text.
        QList<QUrl> urls;
        urls.reserve(static_cast<qsizetype>(files));
        corePaths.reserve(files);
        for (const std::string& path : set.paths) {
            const QString text = QString::fromStdString(path);
            urls.append(QUrl::fromLocalFile(text));
            corePaths.push_back(text.toStdU16String());
        }
        data.setUrls(urls);

        window.show();
        if (!QTest::qWaitForWindowExposed(&window))
            throw std::runtime_error("the window was never exposed");
        framePoint = window.Frame1.geometry().center();
    }
    Scenario(const Scenario&) = delete;
    Scenario& operator=(const Scenario&) = delete;

    template <typename Event> bool send(Event&& event)
    {
        QCoreApplication::sendEvent(window.windowHandle(), &event);
        return event.isAccepted();
    }

    bool enter()
    {
        return send(
            QDragEnterEvent(framePoint, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier));
    }
    bool move()
    {
        return send(
            QDragMoveEvent(framePoint, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier));
    }
    void leave() { send(QDragLeaveEvent()); }

    // What the platform sends for a real drop: the drag enters, then the files are let go. The
    // drop event returns before the report is made; the procedure it queued runs after it, and
    // the time the drop event itself takes (what holds the drag source) is kept apart.
    bool drop()
    {
        if (!enter())
            return false;
        const auto arrived = std::chrono::steady_clock::now();
        const bool accepted
            = send(QDropEvent(framePoint, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier));
        const std::chrono::duration<double, std::milli> held
            = std::chrono::steady_clock::now() - arrived;
        dropEventMs = std::min(dropEventMs, held.count());
        // The procedure it queued measures off the window's thread; the window follows it.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
        while (window.dropInProgress())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        return accepted;
    }

    std::string folder;
    QString reportPath;
    DropSet set;
    std::vector<std::u16string> corePaths;
    QMimeData data;
    bool messageShown = false;
    // The save prompt answers with the report's path, and a message is noted, in place of the
    // dialogs.
    ReplacedPrompts prompts { {
        [this](QWidget*, const QString&, const QString&) { return reportPath; },
        [this](const QString&, int, const QString&) { messageShown = true; },
    } };
    miruteka::main window;
    QPoint framePoint;
    double dropEventMs = std::numeric_limits<double>::infinity(); // the best seen
    std::u16string report; // what the core makes of the list, once checked
};

std::string readFile(const QString& path)
{
    std::ifstream in(path.toStdString(), std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::int64_t peakRssKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stoll(line.substr(6));
    }
    return -1;
}

// Whether a run ended in an error or was skipped: Google Benchmark 1.8 replaced the flag
// error_occurred by the member skipped, which tells the two apart.
template <class Run> bool failedOrSkipped(const Run& run)
{
    if constexpr (requires { run.skipped; })
        return static_cast<bool>(run.skipped);
    else
        return run.error_occurred;
}

// Keeps the best time of each benchmark over its repetitions: on a shared machine the fastest
// run is the one least disturbed by others. CPU time is kept as well; unlike the time on the
// clock it leaves out waiting for the processor, and the disk.
class Collector : public benchmark::ConsoleReporter {
public:
    Collector()
        : ConsoleReporter(OO_Tabular) // plain text: the output goes to a log
    {
    }

    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || failedOrSkipped(run))
                continue;
            keepBest(real_, run.run_name.function_name, run.GetAdjustedRealTime());
            keepBest(cpu_, run.run_name.function_name, run.GetAdjustedCPUTime());
        }
    }

    double real(const std::string& name) const { return find(real_, name); }
    double cpu(const std::string& name) const { return find(cpu_, name); }

private:
    using Times = std::map<std::string, double>;

    static void keepBest(Times& times, const std::string& name, double time)
    {
        auto [entry, added] = times.try_emplace(name, time);
        if (!added)
            entry->second = std::min(entry->second, time);
    }
    static double find(const Times& times, const std::string& name)
    {
        const auto entry = times.find(name);
        return entry == times.end() ? -1 : entry->second;
    }

    Times real_;
    Times cpu_;
};

struct Checked {
    std::size_t reportChars = 0;
    std::size_t reportFileBytes = 0;
    HeapFigures core;
    HeapFigures drop;
    double dragOverAllocations = 0;
};

// Runs each piece once, outside the clock, to be sure that the timed code does what it should,
// and counts its heap use on the way.
Checked check(Scenario& s)
{
    Checked figures;
    if (baselineLoop(s.set.paths) != s.set.totalBytes)
        throw std::runtime_error("the baseline loop did not measure every file");

    std::u16string& report = s.report;
    figures.core = CountHeap([&] { report = BuildFeeReport(s.corePaths, unitPrice); });
    std::size_t lineEnds = 0;
    for (std::size_t at = report.find(u"\r\n"); at != std::u16string::npos;
         at = report.find(u"\r\n", at + 2))
        ++lineEnds;
    if (lineEnds != s.set.paths.size() + 1)
        throw std::runtime_error("the report does not have one line per file");
    figures.reportChars = report.size();

    ::unlink(s.reportPath.toStdString().c_str());
    bool dropped = false;
    figures.drop = CountHeap([&] { dropped = s.drop(); });
    const std::string written = readFile(s.reportPath);
    if (!dropped || s.messageShown || written != ToAnsiCodePage(report).value() + "\r\n")
        throw std::runtime_error("the drop did not write the report that the core computes");
    figures.reportFileBytes = written.size();

    if (!s.enter() || !s.move())
        throw std::runtime_error("the frame refuses the dragged files");
    constexpr int moves = 1000;
    const HeapFigures dragOver = CountHeap([&] {
        for (int i = 0; i < moves; ++i)
            s.move();
    });
    s.leave();
    figures.dragOverAllocations = static_cast<double>(dragOver.allocations) / moves;
    return figures;
}

void registerBenchmarks(Scenario& s)
{
    benchmark::RegisterBenchmark("baseline",
        [&s](benchmark::State& state) {
            for (auto _ : state)
                benchmark::DoNotOptimize(baselineLoop(s.set.paths));
        })
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();

    benchmark::RegisterBenchmark("core",
        [&s](benchmark::State& state) {
            for (auto _ : state) {
                const std::u16string report = BuildFeeReport(s.corePaths, unitPrice);
                benchmark::DoNotOptimize(report.data());
            }
        })
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();

    benchmark::RegisterBenchmark("drop",
        [&s](benchmark::State& state) {
            for (auto _ : state) {
                if (!s.drop())
                    state.SkipWithError("the drop was refused");
            }
        })
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();

    // Two parts of the drop on their own, to show where its time beyond the core goes. The
    // paths are made as the walk makes them, half of a large drop on a second thread.
    benchmark::RegisterBenchmark("drop_paths",
        [&s](benchmark::State& state) {
            const QList<QUrl> urls = s.data.urls();
            for (auto _ : state)
                benchmark::DoNotOptimize(
                    MakeDroppedPaths(urls, FileSystems::read(), WorkerPool::walking(), {}));
        })
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();

    benchmark::RegisterBenchmark("drop_save",
        [&s](benchmark::State& state) {
            const std::u16string path = s.reportPath.toStdU16String();
            for (auto _ : state) {
                if (!SaveFeeReport(path, s.report))
                    state.SkipWithError("the report was not saved");
            }
        })
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();

    benchmark::RegisterBenchmark("drag_over",
        [&s](benchmark::State& state) {
            if (!s.enter())
                state.SkipWithError("the drag was refused");
            for (auto _ : state)
                benchmark::DoNotOptimize(s.move());
            s.leave();
        })
        ->Unit(benchmark::kNanosecond)
        ->UseRealTime();
}

} // namespace

} // namespace miruteka::bench

int main(int argc, char** argv)
{
    using namespace miruteka::bench;

    std::string scratch;
    std::size_t files = 0;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg.starts_with("--scratch="))
            scratch = arg.substr(10);
        else if (arg.starts_with("--files="))
            files = std::stoul(std::string(arg.substr(8)));
        else
            argv[kept++] = argv[i];
    }
    argc = kept;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 2;
    if (scratch.empty() || files == 0) {
        std::cerr << "usage: " << argv[0] << " --scratch=FOLDER --files=N [benchmark options]\n";
        return 2;
    }

    // The benchmark never needs a screen.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    try {
        Scenario scenario(scratch, files);
        const Checked checked = check(scenario);

        registerBenchmarks(scenario);
        Collector collector;
        benchmark::RunSpecifiedBenchmarks(&collector);
        benchmark::Shutdown();
        // A benchmark left out by a filter, or one that failed, shows as -1.
        std::cout << "figures files=" << files << " baseline_ms=" << collector.real("baseline")
                  << " core_ms=" << collector.real("core") << " drop_ms=" << collector.real("drop")
                  << " baseline_cpu_ms=" << collector.cpu("baseline")
                  << " core_cpu_ms=" << collector.cpu("core")
                  << " drop_cpu_ms=" << collector.cpu("drop")
                  << " drop_event_ms=" << scenario.dropEventMs
                  << " drop_paths_ms=" << collector.real("drop_paths")
                  << " drop_save_ms=" << collector.real("drop_save")
                  << " drag_over_ns=" << collector.real("drag_over")
                  << " drag_over_allocs=" << checked.dragOverAllocations
                  << " report_chars=" << checked.reportChars
                  << " report_file_bytes=" << checked.reportFileBytes
                  << " core_heap_peak=" << checked.core.peakBytes
                  << " drop_heap_peak=" << checked.drop.peakBytes
                  << " drop_allocs=" << checked.drop.allocations << " peak_rss_kib=" << peakRssKiB()
                  << std::endl;
    } catch (const std::exception& error) {
        std::cerr << argv[0] << ": " << error.what() << '\n';
        return 1;
    }
    return 0;
}
