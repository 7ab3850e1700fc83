// A huge price in the settings dialog: the time from a paste of N characters to the field drawn
// with them; from ok to its answer, the message drawn (-1 when the price is accepted), and on to
// the field drawn again once the message is closed; and from cancel to the dialog gone. The message
// box is a real one, shown without a modal loop of its own and closed once drawn, so that nothing
// waits on a person; every step ends with the dialog repainted, as a screen would show it.
//
//   price_field_bench [MEGABYTES...]     default 1 and 10; prints one line per size and text
#include "main.h"
#include "options.h"
#include "prompts.h"

#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QTest>
#include <cstdio>
#include <cstdlib>

namespace {

struct Figures {
    double pasteMs, answerMs, okMs, cancelMs;
};

QElapsedTimer* okClock = nullptr; // running from the click on ok
double answerMs = 0; // from the click on ok to the message drawn

double msSince(QElapsedTimer& clock)
{
    const double ms = static_cast<double>(clock.nsecsElapsed()) / 1e6;
    clock.restart();
    return ms;
}

Figures measure(miruteka::main& window, const QString& pasted)
{
    miruteka::options dialog(window.Text1, &window);
    dialog.show();
    if (!QTest::qWaitForWindowExposed(&dialog))
        std::abort();
    QGuiApplication::clipboard()->setText(pasted);
    QApplication::processEvents();

    QElapsedTimer clock;
    clock.start();
    QTest::keyClick(&dialog.Text1, Qt::Key_V, Qt::ControlModifier);
    dialog.repaint();
    Figures figures {};
    figures.pasteMs = msSince(clock);
    if (dialog.Text1.text().size() != pasted.size())
        std::abort();
    okClock = &clock;
    answerMs = -1;
    dialog.Command1.click();
    dialog.repaint();
    figures.okMs = msSince(clock);
    figures.answerMs = answerMs;
    dialog.Command2.click();
    QApplication::processEvents();
    figures.cancelMs = msSince(clock);
    return figures;
}

} // namespace

int main(int argc, char** argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QList<int> sizes;
    for (int i = 1; i < argc; ++i)
        sizes.append(std::atoi(argv[i]));
    if (sizes.isEmpty())
        sizes = { 1, 10 };

    miruteka::ReplacedPrompts prompts(
        { [](QWidget*, const QString&, const QString&) { return QString(); },
            // The real box, shown and drawn over the dialog, then closed: the field loses the focus
            // and is drawn again, as on a screen.
            [](const QString& text, int, const QString& title) {
                QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Ok,
                    QApplication::activeWindow());
                box.show();
                if (!QTest::qWaitForWindowExposed(&box))
                    std::abort();
                box.repaint();
                answerMs = static_cast<double>(okClock->nsecsElapsed()) / 1e6;
                box.close();
            } });
    miruteka::main window;
    window.show();
    std::printf("%8s  %-22s %10s %10s %10s %10s\n", "MB", "text", "paste ms", "answer ms", "ok ms",
        "cancel ms");
    for (const int megabytes : sizes) {
        const qsizetype n = qsizetype(megabytes) << 20;
        const struct {
            const char* name;
            QString text;
        } texts[] = {
            { "digits beyond a double", QString(n, u'1') },
            { "letters", QString(n, u'x') },
            { "rounds to 10", QStringLiteral("9.") + QString(n - 2, u'9') },
        };
        for (const auto& [name, text] : texts) {
            const Figures f = measure(window, text);
            std::printf("%8d  %-22s %10.1f %10.1f %10.1f %10.1f\n", megabytes, name, f.pasteMs,
                f.answerMs, f.okMs, f.cancelMs);
        }
    }
    return 0;
}
