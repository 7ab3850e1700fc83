// A drop of many files from a share that answers each request after a delay (tests/slowfs,
// mounted by bench/run), measured three ways side by side: the floor of one request at a time
// (open, fstat, close of each file in turn), the best of the same calls with a given number in
// flight, and the program's own drop from its arrival to the save prompt. While the drop runs, a
// probe on the window's event loop keeps the longest stretch in which the loop did not turn, and
// a sleeper on each processor, outside the program, the longest the machine itself stood still.
//
//   miruteka_share_bench --folder=MOUNTED --files=N [--in-flight=1,2,4,...]
//   miruteka_share_bench --folder=MOUNTED --files=N --drop-only --busy-loops=K
//   miruteka_share_bench --folder=MOUNTED --files=N --abandon=10,100 --server-pid=PID
//   miruteka_share_bench --folder=MOUNTED,... --files=N --server-pid=PID,... --stuck=0,1,4
//       --local=FOLDER --local-files=M [--runs=R]
//
// Prints one line "share files=N key=value ..." for bench/run. --drop-only measures only the
// program's drop, with K processes beside it that keep a processor busy each. --abandon stops the
// share's server (SIGSTOP), makes and abandons (as Esc does) that many drops of N files one after
// another, and prints the process's threads and resident memory after each count: "abandoned
// files=N drops_10_threads=T drops_10_rss_kib=R ...". --stuck times a drop of M local files (made
// in FOLDER) beside drops abandoned on shares whose servers have stopped: for each count K, one
// drop of N files abandoned on each of the first K shares; then the threads, by pool, against the
// process's bound. A line "stuck shares=K local_files=M drop_ms=T threads=... bound=B" for each.
#include "busy_machine.h"
#include "concurrent_lengths.h"
#include "drop_set.h"
#include "file_systems.h"
#include "floor.h"
#include "main.h"
#include "prompts.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMimeData>
#include <QTest>
#include <QThreadPool>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The calls the program cannot do without, `inFlight` at a time, by plain threads.
double measureInFlight(const std::vector<std::string>& paths, unsigned inFlight)
{
    std::atomic<std::size_t> next { 0 };
    std::atomic<long long> total { 0 };
    const auto start = Clock::now();
    std::vector<std::thread> workers;
    for (unsigned w = 0; w < inFlight; ++w) {
        workers.emplace_back([&] {
            for (std::size_t i; (i = next++) < paths.size();)
                total += miruteka::bench::floorLength(paths[i].c_str());
        });
    }
    for (auto& worker : workers)
        worker.join();
    return msSince(start);
}

struct DropFigures {
    bool prompted = false; // false when the prompt did not come within the time given
    double toPromptMs = 0;
    double longestStallMs = 0;
    double machinePauseMs = 0; // the longest a processor stood still for everyone meanwhile
};

// The whole drop through the window, from the drop event to the save prompt, the prompt then
// answered with the empty name (cancel) so that nothing is written to the share. A drop that
// has not prompted within `within` is abandoned, so that a drop held back for good ends the
// benchmark instead of hanging it.
DropFigures measureDrop(miruteka::main& window, const QList<QUrl>& urls,
    std::chrono::seconds within = std::chrono::minutes(10))
{
    const miruteka::bench::MachinePauses machine;
    DropFigures figures;
    bool& prompted = figures.prompted;
    Clock::time_point start;
    miruteka::ReplacedPrompts prompts({
        [&](QWidget*, const QString&, const QString&) {
            figures.toPromptMs = msSince(start);
            figures.machinePauseMs = machine.longestMs();
            prompted = true;
            return QString();
        },
        [](const QString&, int, const QString&) {},
    });
    // The probe: a timer that asks to run every millisecond; the longest gap between two of its
    // runs is the longest the window could not have answered anyone.
    QElapsedTimer sinceLast;
    QTimer probe;
    probe.setInterval(1);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        figures.longestStallMs
            = std::max(figures.longestStallMs, double(sinceLast.nsecsElapsed()) / 1e6);
        sinceLast.start();
    });
    start = Clock::now();
    sinceLast.start();
    probe.start();
    window.Frame1_OLEDragDrop(urls);
    // The probe's timer wakes the loop every millisecond. processEvents with a time given returns
    // at once when nothing is pending, and a loop of it would take a processor from the workers,
    // which run below the window's priority.
    while (!prompted && Clock::now() - start < within)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    probe.stop();
    if (!prompted)
        window.cancelDrop();
    while (window.dropInProgress())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return figures;
}

std::size_t threadsNow()
{
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& task : std::filesystem::directory_iterator("/proc/self/task"))
        ++count;
    return count;
}

long residentKib()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    }
    return -1;
}

// The window's event loop, waiting for its events as the program's does.
void turnFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// A drop given up on as Esc does, once it has been at work for a moment.
void abandonDrop(miruteka::main& window, const QList<QUrl>& urls, int atWorkMs = 20)
{
    window.Frame1_OLEDragDrop(urls);
    while (!window.dropAwaitsWork())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    turnFor(atWorkMs);
    window.cancelDrop();
}

// Drops given up on, one after another, on a share whose server no longer answers.
void abandonDrops(miruteka::main& window, const QList<QUrl>& urls, pid_t server,
    const std::vector<unsigned>& counts)
{
    ::kill(server, SIGSTOP);
    std::cout << "abandoned files=" << urls.size();
    unsigned made = 0;
    for (const unsigned count : counts) {
        for (; made < count; ++made)
            abandonDrop(window, urls);
        turnFor(200); // whatever the abandoned drops let go of is gone by now
        std::cout << " drops_" << count << "_threads=" << threadsNow() << " drops_" << count
                  << "_rss_kib=" << residentKib();
    }
    std::cout << std::endl;
    ::kill(server, SIGCONT);
}

// The process's threads by name: the pools name theirs after themselves.
std::map<std::string, std::size_t> threadsByName()
{
    std::map<std::string, std::size_t> names;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        if (std::getline(comm, name))
            ++names[name];
    }
    return names;
}

bool onShare(const QList<QUrl>& urls)
{
    return miruteka::FileSystems::read().of(urls.front().toLocalFile().toStdU16String())->remote();
}

// A local drop beside drops abandoned on shares whose servers have stopped: the local disks keep
// threads of their own, so it should take as long as with no share stuck, and the threads stay
// within the pools' bounds however many shares are stuck. Within each round the steps run in
// turn, the servers answering again between rounds, so that a machine growing busier or idler
// weighs on every step alike. Returns the exit status.
int stuckShares(miruteka::main& window, const std::vector<QList<QUrl>>& shares,
    const std::vector<pid_t>& servers, const QList<QUrl>& local, const std::vector<unsigned>& steps,
    unsigned runs)
{
    using miruteka::WorkerPool;
    const std::vector<std::string> ours { "measuring", "walking", "saving", "host lookup" };
    // The toolkit's threads and the window's own before any drop, and as many of its thread
    // pool's as it may start later.
    std::size_t toolkit = std::size_t(QThreadPool::globalInstance()->maxThreadCount());
    for (const auto& [name, count] : threadsByName()) {
        if (std::find(ours.begin(), ours.end(), name) == ours.end() && name != "Thread (pooled)")
            toolkit += count;
    }
    const std::size_t bound = toolkit + WorkerPool::measuring().bound()
        + WorkerPool::walking().bound() + WorkerPool::saving().bound() + 1;

    struct Step {
        double bestMs = std::numeric_limits<double>::infinity();
        double bestCpuMs = std::numeric_limits<double>::infinity(); // the whole process's
        std::size_t threads = 0; // after its first round's drops, and those by name
        std::map<std::string, std::size_t> byName;
    };
    std::vector<Step> figures(steps.size());
    const auto quiet = [] {
        return WorkerPool::measuring().idle() == WorkerPool::measuring().threads()
            && WorkerPool::walking().idle() == WorkerPool::walking().threads();
    };
    measureDrop(window, local); // the folder read once and the local threads started
    int status = 0;
    for (unsigned run = 0; run < runs && status == 0; ++run) {
        unsigned stopped = 0;
        for (std::size_t s = 0; s < steps.size() && status == 0; ++s) {
            for (; stopped < steps[s] && status == 0; ++stopped) {
                if (::kill(servers[stopped], SIGSTOP) != 0) {
                    std::perror("stopping a share's server");
                    status = 1;
                }
                // Long enough for the share's requests to have taken all the threads they may
                // (starting a thread below the window's priority can wait on a busy machine):
                // the most the local drop can find taken.
                abandonDrop(window, shares[stopped], 200);
            }
            const std::clock_t cpuBefore = std::clock();
            const DropFigures drop = measureDrop(window, local, std::chrono::seconds(60));
            const double cpuMs = 1000.0 * double(std::clock() - cpuBefore) / CLOCKS_PER_SEC;
            if (!drop.prompted) {
                std::cerr << "the local drop did not reach its prompt within 60 s beside "
                          << steps[s] << " stuck shares\n";
                status = 1;
            }
            auto& step = figures[s];
            step.bestMs = std::min(step.bestMs, drop.toPromptMs);
            step.bestCpuMs = std::min(step.bestCpuMs, cpuMs);
            // A pool keeps the threads it has started, so only the first round tells how many
            // each step takes.
            if (run == 0) {
                step.byName = threadsByName();
                for (const auto& entry : step.byName)
                    step.threads += entry.second;
            }
        }
        for (unsigned i = 0; i < stopped; ++i)
            ::kill(servers[i], SIGCONT);
        const auto start = Clock::now();
        while (!quiet() && Clock::now() - start < std::chrono::seconds(30))
            turnFor(5);
        if (!quiet()) {
            std::cerr << "the pools' threads were still at work 30 s after the shares answered\n";
            status = 1;
        }
    }
    for (std::size_t s = 0; s < steps.size(); ++s) {
        const auto& step = figures[s];
        std::size_t others = step.threads;
        std::cout << "stuck shares=" << steps[s] << " share_files=" << shares.front().size()
                  << " local_files=" << local.size() << " runs=" << runs
                  << " drop_ms=" << step.bestMs << " drop_cpu_ms=" << step.bestCpuMs
                  << " threads=" << step.threads;
        for (const auto& name : ours) {
            const auto found = step.byName.find(name);
            const std::size_t count = found == step.byName.end() ? 0 : found->second;
            others -= count;
            std::cout << ' ' << (name == "host lookup" ? "lookup" : name) << '=' << count;
        }
        std::cout << " others=" << others << " bound=" << bound << std::endl;
        if (step.threads > bound) {
            std::cerr << step.threads << " threads beside " << steps[s]
                      << " stuck shares, more than the bound of " << bound << '\n';
            status = 1;
        }
    }
    return status;
}

// The items of a comma-separated list.
std::vector<std::string> listOf(const std::string& text)
{
    std::vector<std::string> items;
    std::istringstream list(text);
    for (std::string item; std::getline(list, item, ',');)
        items.push_back(item);
    return items;
}

std::vector<unsigned> numbersOf(const std::string& text)
{
    std::vector<unsigned> numbers;
    for (const std::string& item : listOf(text))
        numbers.push_back(static_cast<unsigned>(std::stoul(item)));
    return numbers;
}

QList<QUrl> urlsOf(const std::vector<std::string>& paths)
{
    QList<QUrl> urls;
    for (const std::string& path : paths)
        urls.append(QUrl::fromLocalFile(QString::fromStdString(path)));
    return urls;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> folders;
    std::size_t files = 0;
    std::vector<unsigned> inFlight { miruteka::lengthRequestsInFlight };
    bool dropOnly = false;
    unsigned busyLoops = 0;
    std::vector<unsigned> abandon;
    std::vector<pid_t> servers;
    std::vector<unsigned> stuck;
    std::string local;
    std::size_t localFiles = 0;
    unsigned runs = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&arg] { return arg.substr(arg.find('=') + 1); };
        if (arg == "--drop-only") {
            dropOnly = true;
        } else if (arg.rfind("--busy-loops=", 0) == 0) {
            busyLoops = static_cast<unsigned>(std::stoul(value()));
        } else if (arg.rfind("--server-pid=", 0) == 0) {
            for (const unsigned pid : numbersOf(value()))
                servers.push_back(static_cast<pid_t>(pid));
        } else if (arg.rfind("--abandon=", 0) == 0) {
            abandon = numbersOf(value());
        } else if (arg.rfind("--folder=", 0) == 0) {
            folders = listOf(value());
        } else if (arg.rfind("--files=", 0) == 0) {
            files = std::stoul(value());
        } else if (arg.rfind("--in-flight=", 0) == 0) {
            inFlight = numbersOf(value());
        } else if (arg.rfind("--stuck=", 0) == 0) {
            stuck = numbersOf(value());
        } else if (arg.rfind("--local=", 0) == 0) {
            local = value();
        } else if (arg.rfind("--local-files=", 0) == 0) {
            localFiles = std::stoul(value());
        } else if (arg.rfind("--runs=", 0) == 0) {
            runs = static_cast<unsigned>(std::stoul(value()));
        } else {
            std::cerr
                << "usage: " << argv[0]
                << " --folder=F --files=N [--in-flight=1,2,... | --drop-only --busy-loops=K"
                   " | --abandon=10,100 --server-pid=PID | --folder=F,... --server-pid=PID,..."
                   " --stuck=0,1,4 --local=FOLDER --local-files=M [--runs=R]]\n";
            return 2;
        }
    }
    // Each step of --stuck, taken in turn, stops at least as many servers as the one before.
    const bool stuckValid = std::is_sorted(stuck.begin(), stuck.end())
        && (stuck.empty() || stuck.back() <= std::min(folders.size(), servers.size()));
    if (folders.empty() || files == 0 || inFlight.empty() || (!abandon.empty() && servers.empty())
        || !stuckValid || (!stuck.empty() && (local.empty() || localFiles == 0 || runs == 0)))
        return 2;

    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    std::vector<std::vector<std::string>> sharePaths;
    std::vector<QList<QUrl>> shareUrls;
    for (const std::string& folder : folders) {
        auto& paths = sharePaths.emplace_back();
        for (std::size_t i = 0; i < files; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "/f%06zu.bin", i);
            paths.push_back(folder + name);
        }
        shareUrls.push_back(urlsOf(paths));
    }
    const std::vector<std::string>& paths = sharePaths.front();
    const QList<QUrl>& urls = shareUrls.front();

    QList<QUrl> localUrls;
    if (!stuck.empty()) {
        if (::mkdir(local.c_str(), 0755) != 0 && errno != EEXIST) {
            std::cerr << "cannot make " << local << '\n';
            return 1;
        }
        localUrls = urlsOf(miruteka::bench::MakeDropSet(local, localFiles).paths);
        // A figure of the wrong kind of file system would say nothing of the threads of each.
        if (onShare(localUrls)
            || !std::all_of(shareUrls.begin(), shareUrls.begin() + stuck.back(), onShare)) {
            std::cerr << "the local folder must be on a local disk and each share on a share\n";
            return 2;
        }
    }

    miruteka::main window;
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        return 1;
    if (!abandon.empty()) {
        abandonDrops(window, urls, servers.front(), abandon);
        // The workers still stuck when the server answered again end on their own.
        std::_Exit(0);
    }
    if (!stuck.empty()) {
        const int status = stuckShares(window, shareUrls, servers, localUrls, stuck, runs);
        std::_Exit(status); // as above
    }
    std::cout << "share files=" << files;
    if (!dropOnly) {
        std::cout << " one_at_a_time_ms=" << measureInFlight(paths, 1);
        for (unsigned n : inFlight)
            std::cout << " in_flight_" << n << "_ms=" << measureInFlight(paths, n);
    }
    DropFigures drop;
    {
        const miruteka::bench::BusyLoops loops(busyLoops);
        drop = measureDrop(window, urls);
    }
    std::cout << " busy_loops=" << busyLoops << " drop_to_prompt_ms=" << drop.toPromptMs
              << " longest_stall_ms=" << drop.longestStallMs
              << " machine_pause_ms=" << drop.machinePauseMs << std::endl;
    return 0;
}
