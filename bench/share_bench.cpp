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
//
// Prints one line "share files=N key=value ..." for bench/run. --drop-only measures only the
// program's drop, with K processes beside it that keep a processor busy each. --abandon stops the
// share's server (SIGSTOP), makes and abandons (as Esc does) that many drops of N files one after
// another, and prints the process's threads and resident memory after each count: "abandoned
// files=N drops_10_threads=T drops_10_rss_kib=R ...".
#include "busy_machine.h"
#include "concurrent_lengths.h"
#include "floor.h"
#include "main.h"
#include "prompts.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMimeData>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
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
    double toPromptMs = 0;
    double longestStallMs = 0;
    double machinePauseMs = 0; // the longest a processor stood still for everyone meanwhile
};

// The whole drop through the window, from the drop event to the save prompt, the prompt then
// answered with the empty name (cancel) so that nothing is written to the share.
DropFigures measureDrop(miruteka::main& window, const QList<QUrl>& urls)
{
    const miruteka::bench::MachinePauses machine;
    DropFigures figures;
    bool prompted = false;
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
    while (!prompted)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    probe.stop();
    while (window.dropInProgress())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
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

void turnFor(int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

// Drops given up on, one after another, on a share whose server no longer answers: each is
// abandoned as Esc does once it has been at work for a moment.
void abandonDrops(miruteka::main& window, const QList<QUrl>& urls, pid_t server,
    const std::vector<unsigned>& counts)
{
    ::kill(server, SIGSTOP);
    std::cout << "abandoned files=" << urls.size();
    unsigned made = 0;
    for (const unsigned count : counts) {
        for (; made < count; ++made) {
            window.Frame1_OLEDragDrop(urls);
            while (!window.dropAwaitsWork())
                QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            turnFor(20);
            window.cancelDrop();
        }
        turnFor(200); // whatever the abandoned drops let go of is gone by now
        std::cout << " drops_" << count << "_threads=" << threadsNow() << " drops_" << count
                  << "_rss_kib=" << residentKib();
    }
    std::cout << std::endl;
    ::kill(server, SIGCONT);
}

} // namespace

int main(int argc, char** argv)
{
    std::string folder;
    std::size_t files = 0;
    std::vector<unsigned> inFlight { miruteka::lengthRequestsInFlight };
    bool dropOnly = false;
    unsigned busyLoops = 0;
    std::vector<unsigned> abandon;
    pid_t server = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--drop-only") {
            dropOnly = true;
        } else if (arg.rfind("--busy-loops=", 0) == 0) {
            busyLoops = static_cast<unsigned>(std::stoul(arg.substr(13)));
        } else if (arg.rfind("--server-pid=", 0) == 0) {
            server = static_cast<pid_t>(std::stol(arg.substr(13)));
        } else if (arg.rfind("--abandon=", 0) == 0) {
            std::istringstream list(arg.substr(10));
            for (std::string item; std::getline(list, item, ',');)
                abandon.push_back(static_cast<unsigned>(std::stoul(item)));
        } else if (arg.rfind("--folder=", 0) == 0) {
            folder = arg.substr(9);
        } else if (arg.rfind("--files=", 0) == 0) {
            files = std::stoul(arg.substr(8));
        } else if (arg.rfind("--in-flight=", 0) == 0) {
            inFlight.clear();
            std::istringstream list(arg.substr(12));
            for (std::string item; std::getline(list, item, ',');)
                inFlight.push_back(static_cast<unsigned>(std::stoul(item)));
        } else {
            std::cerr << "usage: " << argv[0]
                      << " --folder=F --files=N [--in-flight=1,2,... | --drop-only --busy-loops=K"
                         " | --abandon=10,100 --server-pid=PID]\n";
            return 2;
        }
    }
    if (folder.empty() || files == 0 || inFlight.empty() || (!abandon.empty() && server <= 0))
        return 2;

    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    std::vector<std::string> paths;
    QList<QUrl> urls;
    for (std::size_t i = 0; i < files; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "/f%06zu.bin", i);
        paths.push_back(folder + name);
        urls.append(QUrl::fromLocalFile(QString::fromStdString(paths.back())));
    }

    miruteka::main window;
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        return 1;
    if (!abandon.empty()) {
        abandonDrops(window, urls, server, abandon);
        // The workers still stuck when the server answered again end on their own.
        std::_Exit(0);
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
