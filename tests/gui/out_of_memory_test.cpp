// Running out of memory, through the real measuring, report and save: this program's operator
// new fails any allocation above a size the test sets, as a system short of memory does for the
// report of a drop of millions of files, or, on one thread, every allocation from the Nth on.
// The user is told, nothing is damaged, and the program goes on.
#include "drop_work.h"
#include "fee_report.h"
#include "files.h"
#include "scratch.h"

#include <QSignalSpy>
#include <QTest>
#include <atomic>
#include <cstdlib>
#include <new>
#include <thread>

namespace {
std::atomic<std::size_t> largestAllocation { ~std::size_t(0) };
// On this thread, how many allocations succeed before all fail; negative for no limit.
thread_local long allocationsLeft = -1;
thread_local bool allocationFailed = false;
} // namespace

void* operator new(std::size_t size)
{
    if (allocationsLeft == 0) {
        allocationFailed = true;
        throw std::bad_alloc();
    }
    if (allocationsLeft > 0)
        --allocationsLeft;
    if (size > largestAllocation.load(std::memory_order_relaxed))
        throw std::bad_alloc();
    if (void* memory = std::malloc(size ? size : 1))
        return memory;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
// The forms that give null instead of throwing (the standard library's temporary buffers use
// them) fail alike, and take memory from the same place as the others.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    try {
        return operator new(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    return operator new(size, std::nothrow);
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }

using miruteka::DropWork;
using miruteka::testing::ScratchDir;

class OutOfMemoryTest : public QObject {
    Q_OBJECT

private slots:
    void aReportTooBigForMemoryIsToldAndNothingIsWritten();
    void aSaveOutOfMemoryAnywhereChangesNothing_data();
    void aSaveOutOfMemoryAnywhereChangesNothing();
};

void OutOfMemoryTest::aReportTooBigForMemoryIsToldAndNothingIsWritten()
{
    ScratchDir dir;
    QList<QUrl> urls;
    for (int i = 0; i < 3000; ++i)
        urls.append(QUrl::fromLocalFile(QString::fromStdU16String(
            dir.file(std::string(100, 'a') + std::to_string(i), std::uintmax_t(i)).u16string())));
    const QString target = QString::fromStdU16String((dir / "report.txt").u16string());
    int asked = 0;
    DropWork work({ [] { return true; },
        [&] {
            ++asked;
            return target;
        } });
    QSignalSpy told(&work, &DropWork::message);

    // The list of paths fits; the report's text, some 900 KB, does not.
    largestAllocation = 256 * 1024;
    work.add(urls, QStringLiteral("0.3"));
    const bool toldInTime = QTest::qWaitFor([&] { return !told.isEmpty(); }, 20000);
    largestAllocation = ~std::size_t(0);
    QVERIFY(toldInTime);
    QCOMPARE(told.first().first().toString(),
        QStringLiteral("メモリが足りないため、レポートを作れませんでした。"));
    QCOMPARE(asked, 0);
    QVERIFY(!std::filesystem::exists(dir / "report.txt"));
    QVERIFY(!work.busy());

    // With memory again, the same drop is measured and saved.
    work.add(urls, QStringLiteral("0.3"));
    QVERIFY(QTest::qWaitFor([&] { return asked == 1 && !work.busy(); }, 20000));
    QCOMPARE(told.size(), 1);
    QVERIFY(std::filesystem::file_size(dir / "report.txt") > 3000 * 100);
}

void OutOfMemoryTest::aSaveOutOfMemoryAnywhereChangesNothing_data()
{
    QTest::addColumn<int>("oldNames");
    QTest::newRow("a new report") << 0;
    QTest::newRow("a replaced report") << 1;
    QTest::newRow("a report written in place") << 2;
}

// Memory runs out at each allocation of a save in turn, and stays out: the save fails, or, past
// the moment the new report took the old one's place, succeeds; the report is whole, old or new,
// under all its names, nothing is left beside it, no save is left holding the file, and the next
// save works on the same thread and on another. A report longer than one piece of PrintLine
// (Japanese, for the code page's table), so that every allocation of a save is met.
void OutOfMemoryTest::aSaveOutOfMemoryAnywhereChangesNothing()
{
    QFETCH(int, oldNames);
    const std::u16string report = std::u16string(40000, u'n') + u"円";
    const std::string newBytes = std::string(40000, 'n') + "\x89\x7E\r\n";
    const std::string oldBytes = "old report\r\n";
    long allocations = 0;
    for (bool ranOut = true; ranOut; ++allocations) {
        ScratchDir dir;
        const auto target = dir / "report.txt";
        std::vector<std::string> names;
        if (oldNames > 0) {
            std::ofstream(target, std::ios::binary) << oldBytes;
            names.push_back("report.txt");
        }
        if (oldNames > 1) {
            std::filesystem::create_hard_link(target, dir / "another name.txt");
            names.insert(names.begin(), "another name.txt");
        }
        const std::u16string path = target.u16string();
        bool saved = false;
        bool threw = false;
        allocationsLeft = allocations;
        allocationFailed = false;
        try {
            saved = miruteka::SaveFeeReport(path, report);
        } catch (...) {
            threw = true;
        }
        allocationsLeft = -1;
        ranOut = allocationFailed;
        const QByteArray at = QByteArray::number(qlonglong(allocations));
        QVERIFY2(!threw, "the save threw, memory running out at allocation " + at);
        QVERIFY2(saved || ranOut, at);
        if (names.empty() && saved)
            names.push_back("report.txt");
        QCOMPARE(miruteka::testing::sortedNames(dir.path()), names);
        if (!names.empty())
            QVERIFY2(miruteka::testing::readBytes(target) == (saved ? newBytes : oldBytes), at);
        if (oldNames > 1)
            QVERIFY2(miruteka::testing::readBytes(dir / "another name.txt")
                    == miruteka::testing::readBytes(target),
                at);
        QVERIFY2(miruteka::WaitForSaves(std::chrono::milliseconds(0)), "a save still holds a file");

        QVERIFY2(miruteka::SaveFeeReport(path, u"again"), at);
        bool savedElsewhere = false;
        std::thread([&] { savedElsewhere = miruteka::SaveFeeReport(path, report); }).join();
        QVERIFY2(savedElsewhere, at);
        QVERIFY(miruteka::testing::readBytes(target) == newBytes);
    }
    qInfo("a save of %ld allocations", allocations - 1);
}

QTEST_GUILESS_MAIN(OutOfMemoryTest)
#include "out_of_memory_test.moc"
