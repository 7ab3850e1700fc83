// A drop of many files from a share that answers each request after a delay (tests/slowfs,
// mounted by bench/run), measured three ways side by side: the floor of one request at a time
// (open, fstat, close of each file in turn), the best of the same calls with a given number in
// flight, and the program's own drop from its arrival to the save prompt. While the drop runs, a
// probe on the window's event loop keeps the longest stretch in which the loop did not turn.
//
//   miruteka_share_bench --folder=MOUNTED --files=N [--in-flight=1,2,4,...]
//
// Prints one line "share files=N key=value ..." for bench/run.
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
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
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
};

// The whole drop through the window, from the drop event to the save prompt, the prompt then
// answered with the empty name (cancel) so that nothing is written to the share.
DropFigures measureDrop(miruteka::main& window, const QList<QUrl>& urls)
{
    DropFigures figures;
    bool prompted = false;
    Clock::time_point start;
    miruteka::ReplacedPrompts prompts({
        [&](QWidget*, const QString&, const QString&) {
            figures.toPromptMs = msSince(start);
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

} // namespace

int main(int argc, char** argv)
{
    std::string folder;
    std::size_t files = 0;
    std::vector<unsigned> inFlight { miruteka::lengthRequestsInFlight };
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--folder=", 0) == 0) {
            folder = arg.substr(9);
        } else if (arg.rfind("--files=", 0) == 0) {
            files = std::stoul(arg.substr(8));
        } else if (arg.rfind("--in-flight=", 0) == 0) {
            inFlight.clear();
            std::istringstream list(arg.substr(12));
            for (std::string item; std::getline(list, item, ',');)
                inFlight.push_back(static_cast<unsigned>(std::stoul(item)));
        } else {
            std::cerr << "usage: " << argv[0] << " --folder=F --files=N [--in-flight=1,2,...]\n";
            return 2;
        }
    }
    if (folder.empty() || files == 0 || inFlight.empty())
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

    std::cout << "share files=" << files << " one_at_a_time_ms=" << measureInFlight(paths, 1);
    for (unsigned n : inFlight)
        std::cout << " in_flight_" << n << "_ms=" << measureInFlight(paths, n);
    miruteka::main window;
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        return 1;
    const DropFigures drop = measureDrop(window, urls);
    std::cout << " drop_to_prompt_ms=" << drop.toPromptMs
              << " longest_stall_ms=" << drop.longestStallMs << std::endl;
    return 0;
}
