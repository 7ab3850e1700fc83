// A huge drop that runs out of memory, through the real measuring and report: this program's
// operator new fails any allocation above a size the test sets, as a system short of memory
// does for the report of a drop of millions of files. The user is told, nothing is written, and
// the program goes on.
#include "drop_work.h"
#include "scratch.h"

#include <QSignalSpy>
#include <QTest>
#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<std::size_t> largestAllocation { ~std::size_t(0) };
} // namespace

void* operator new(std::size_t size)
{
    if (size > largestAllocation.load(std::memory_order_relaxed))
        throw std::bad_alloc();
    if (void* memory = std::malloc(size ? size : 1))
        return memory;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
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

QTEST_GUILESS_MAIN(OutOfMemoryTest)
#include "out_of_memory_test.moc"
