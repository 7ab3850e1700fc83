#include "options.h"
#include "scratch.h"
#include "window_harness.h"

#include <QClipboard>
#include <QMimeData>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <functional>
#include <stdexcept>

using miruteka::main;
using miruteka::options;
using namespace miruteka::testing;

namespace {

const QString refusal = QStringLiteral("半角数字が使用されていないか、値が不正です。");

QString statusFor(const QString& price)
{
    return QStringLiteral("1パケット = ") + price + QStringLiteral(" 円");
}

// Types like a keyboard would, full-width characters included (QTest::keyClicks takes Latin-1).
void type(QWidget* widget, const QString& text)
{
    for (const QChar c : text) {
        const Qt::Key key
            = c.unicode() < 0x80 ? Qt::Key(QChar(c).toUpper().unicode()) : Qt::Key_unknown;
        QTest::sendKeyEvent(QTest::Click, widget, key, QString(c), Qt::NoModifier);
    }
}

// Replaces the field's text as the user would: select all, then type over it.
void retype(options& dialog, const QString& text)
{
    QTest::keyClick(&dialog.Text1, Qt::Key_A, Qt::ControlModifier);
    if (text.isEmpty())
        QTest::keyClick(&dialog.Text1, Qt::Key_Delete);
    type(&dialog.Text1, text);
}

// Presses a button by its access key from the field. A button runs its click a moment after the
// key, as it shows itself pressed first.
void pressByKey(options& dialog, QPushButton& button, Qt::Key key)
{
    QSignalSpy clicked(&button, &QPushButton::clicked);
    QTest::keyClick(&dialog.Text1, key, Qt::AltModifier);
    QVERIFY(clicked.wait(2000));
}

} // namespace

class SettingsDialogTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void opensCentredWithTheLayoutAndFocus();
    void loadCopiesThePriceAsItStands_data();
    void loadCopiesThePriceAsItStands();
    void okNormalisesThenStoresOrRefuses_data();
    void okNormalisesThenStoresOrRefuses();
    void cancelChangesNothing_data();
    void cancelChangesNothing();
    void enterPressesNothing();
    void eachOkRunsAfreshOnTheField();
    void aRefusedPriceDoesNotCarryOverToTheNextShowing();
    void theFieldHasNoLengthLimit();
    void aLongPriceIsShownByItsStartAlone_data();
    void aLongPriceIsShownByItsStartAlone();
    void aFailingMessageDoesNotLeaveOk();
    void exitUnloadsTheDialog();
    void theNextReportUsesTheNewPrice();
    void theNextStartBeginsAt0Point3Again();

private:
    // Presses the settings button and runs `steps` while the dialog is shown. Returns once the
    // button's handler has finished; a dialog the steps leave open is then cancelled and counted.
    void withDialog(const std::function<void(options&)>& steps);

    main& window() { return under_->window; }
    TestPrompts& prompts() { return under_->prompts; }

    std::unique_ptr<WindowUnderTest> under_;
    int leftOpen_ = 0;
};

void SettingsDialogTest::init()
{
    leftOpen_ = 0;
    under_ = std::make_unique<WindowUnderTest>();
    QVERIFY(under_->exposed);
}

void SettingsDialogTest::cleanup() { under_.reset(); }

void SettingsDialogTest::withDialog(const std::function<void(options&)>& steps)
{
    bool ran = false;
    QTimer::singleShot(0, this, [&] {
        QPointer<options> dialog = qobject_cast<options*>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        ran = true;
        [&] {
            // Access keys reach only the active window, which the dialog becomes after it shows.
            QTRY_COMPARE(QApplication::activeWindow(), static_cast<QWidget*>(dialog.data()));
            steps(*dialog);
        }();
        if (dialog && dialog->isVisible()) {
            ++leftOpen_;
            dialog->reject();
        }
    });
    QTest::mouseClick(&window().Command1, Qt::LeftButton);
    QVERIFY2(ran, "the settings button showed no modal dialog");
}

void SettingsDialogTest::opensCentredWithTheLayoutAndFocus()
{
    for (int showing = 0; showing < 2; ++showing) {
        withDialog([&](options& d) {
            QCOMPARE(d.parentWidget(), &window());
            QVERIFY(d.isModal());
            QCOMPARE(d.windowTitle(), QStringLiteral("設定"));
            QCOMPARE(d.windowFlags() & Qt::WindowType_Mask, Qt::Tool);
            QVERIFY(d.windowFlags() & Qt::WindowCloseButtonHint);
            QVERIFY(!(d.windowFlags()
                & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint
                    | Qt::WindowContextHelpButtonHint)));
            // Its own null icon, not the main window's.
            QVERIFY(!window().windowIcon().isNull());
            QVERIFY(d.windowIcon().isNull());

            QCOMPARE(d.size(), QSize(144, 55));
            QCOMPARE(d.minimumSize(), d.maximumSize());
            QCOMPARE(d.Text1.geometry(), QRect(90, 5, 31, 18));
            QCOMPARE(d.Label1.geometry(), QRect(5, 10, 86, 16));
            QCOMPARE(d.Label2.geometry(), QRect(125, 10, 16, 16));
            QCOMPARE(d.Command1.geometry(), QRect(50, 35, 31, 17));
            QCOMPARE(d.Command2.geometry(), QRect(90, 35, 51, 17));
            QCOMPARE(d.Label1.text(), QStringLiteral("1パケットの料金"));
            QCOMPARE(d.Label2.text(), QStringLiteral("円"));
            for (const QLabel* label : { &d.Label1, &d.Label2 })
                QVERIFY(label->fontMetrics().horizontalAdvance(label->text()) <= label->width());
            QCOMPARE(d.Command1.text(), QStringLiteral("&ok"));
            QCOMPARE(d.Command2.text(), QStringLiteral("&cancel"));

            const QPoint screenCentre = window().screen()->availableGeometry().center();
            QVERIFY2((d.frameGeometry().center() - screenCentre).manhattanLength() <= 1,
                qPrintable(QStringLiteral("dialog at %1,%2").arg(d.x()).arg(d.y())));
            // Moved away in the first showing; the second must be centred all the same.
            d.move(0, 0);

            // The field first, then ok and cancel; the labels take no focus.
            QTRY_VERIFY(d.Text1.hasFocus());
            QTest::keyClick(&d.Text1, Qt::Key_Tab);
            QVERIFY(d.Command1.hasFocus());
            QTest::keyClick(&d.Command1, Qt::Key_Tab);
            QVERIFY(d.Command2.hasFocus());
            QTest::keyClick(&d.Command2, Qt::Key_Tab);
            QVERIFY(d.Text1.hasFocus());
            pressByKey(d, d.Command2, Qt::Key_C);
        });
        QCOMPARE(leftOpen_, 0);
    }
}

void SettingsDialogTest::loadCopiesThePriceAsItStands_data()
{
    QTest::addColumn<QString>("price");
    QTest::newRow("start") << QStringLiteral("0.3");
    QTest::newRow("changed") << QStringLiteral("1.5");
    QTest::newRow("unnormalised") << QStringLiteral(" 1.50 ");
    QTest::newRow("exponent") << QStringLiteral("1E-05");
}

void SettingsDialogTest::loadCopiesThePriceAsItStands()
{
    QFETCH(QString, price);
    window().Text1.setText(price);
    QString shown;
    withDialog([&](options& d) { shown = d.Text1.text(); });
    QCOMPARE(shown, price);
}

void SettingsDialogTest::okNormalisesThenStoresOrRefuses_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("byMouse");
    QTest::addColumn<QString>("field"); // after ok
    QTest::addColumn<bool>("accepted");

    QTest::newRow("0.30, Alt+O") << QStringLiteral("0.30") << false << QStringLiteral("0.3")
                                 << true;
    QTest::newRow(" 1.50 , Alt+O")
        << QStringLiteral(" 1.50 ") << false << QStringLiteral("1.5") << true;
    QTest::newRow("09.990, click")
        << QStringLiteral("09.990") << true << QStringLiteral("9.99") << true;
    QTest::newRow("5e-1, click") << QStringLiteral("5e-1") << true << QStringLiteral("0.5") << true;
    QTest::newRow("10") << QStringLiteral("10") << false << QStringLiteral("10") << false;
    QTest::newRow("0, click") << QStringLiteral("0") << true << QStringLiteral("0") << false;
    QTest::newRow("-1") << QStringLiteral("-1") << false << QStringLiteral("-1") << false;
    QTest::newRow("rounds to 10") << QStringLiteral("9.999999999999997") << false
                                  << QStringLiteral("10") << false;
    QTest::newRow("abc") << QStringLiteral("abc") << false << QStringLiteral("abc") << false;
    QTest::newRow("empty") << QString() << false << QString() << false;
    QTest::newRow("full-width") << QStringLiteral("０．３") << false << QStringLiteral("０．３")
                                << false;
}

void SettingsDialogTest::okNormalisesThenStoresOrRefuses()
{
    QFETCH(QString, typed);
    QFETCH(bool, byMouse);
    QFETCH(QString, field);
    QFETCH(bool, accepted);
    // The status line goes stale here, so that only the button's own rewrite can set it right.
    window().Text1.setText(QStringLiteral("1"));
    bool stayedOpen = false;
    QString fieldAfterOk;
    withDialog([&](options& d) {
        retype(d, typed);
        QCOMPARE(d.Text1.text(), typed);
        if (byMouse)
            QTest::mouseClick(&d.Command1, Qt::LeftButton);
        else
            pressByKey(d, d.Command1, Qt::Key_O);
        fieldAfterOk = d.Text1.text();
        stayedOpen = d.isVisible();
        if (stayedOpen) {
            QCOMPARE(window().Text1.text(), QStringLiteral("1"));
            pressByKey(d, d.Command2, Qt::Key_C);
        }
    });
    QCOMPARE(leftOpen_, 0);
    QCOMPARE(fieldAfterOk, field);
    QCOMPARE(stayedOpen, !accepted);
    const QString price = accepted ? field : QStringLiteral("1");
    QCOMPARE(window().Text1.text(), price);
    QCOMPARE(window().statusText(), statusFor(price));
    if (accepted) {
        QVERIFY(prompts().messages.isEmpty());
    } else {
        QCOMPARE(prompts().messages.size(), 1);
        QCOMPARE(prompts().messages[0].text, refusal);
        QCOMPARE(prompts().messages[0].buttons, miruteka::OkOnly);
        QVERIFY(prompts().messages[0].title.isEmpty());
        QVERIFY(prompts().messages[0].overDialog);
    }
}

void SettingsDialogTest::cancelChangesNothing_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("cancelClicks");
    QTest::newRow("cancel button") << QStringLiteral("click") << 1;
    QTest::newRow("Alt+C") << QStringLiteral("alt") << 1;
    QTest::newRow("Esc") << QStringLiteral("esc") << 1;
    QTest::newRow("close box") << QStringLiteral("close") << 0;
}

void SettingsDialogTest::cancelChangesNothing()
{
    QFETCH(QString, how);
    QFETCH(int, cancelClicks);
    window().Text1.setText(QStringLiteral("1.5"));
    QVERIFY(window().statusText() != statusFor(QStringLiteral("1.5")));
    int clicks = -1;
    bool closed = false;
    withDialog([&](options& d) {
        QSignalSpy spy(&d.Command2, &QPushButton::clicked);
        retype(d, QStringLiteral("5"));
        if (how == u"click")
            QTest::mouseClick(&d.Command2, Qt::LeftButton);
        else if (how == u"alt")
            pressByKey(d, d.Command2, Qt::Key_C);
        else if (how == u"esc")
            QTest::keyClick(&d.Text1, Qt::Key_Escape);
        else
            d.close();
        clicks = int(spy.count());
        closed = !d.isVisible();
    });
    QVERIFY(closed);
    QCOMPARE(leftOpen_, 0);
    QCOMPARE(clicks, cancelClicks);
    QCOMPARE(window().Text1.text(), QStringLiteral("1.5"));
    QCOMPARE(window().statusText(), statusFor(QStringLiteral("1.5")));
    QVERIFY(prompts().messages.isEmpty());
}

void SettingsDialogTest::enterPressesNothing()
{
    QString field;
    withDialog([&](options& d) {
        QVERIFY(!d.Command1.isDefault() && !d.Command1.autoDefault());
        QVERIFY(!d.Command2.isDefault() && !d.Command2.autoDefault());
        retype(d, QStringLiteral(" 1.50 "));
        QTest::keyClick(&d.Text1, Qt::Key_Return);
        QTest::keyClick(&d.Text1, Qt::Key_Enter);
        QVERIFY(d.isVisible());
        field = d.Text1.text();
    });
    // Left open by Enter, then cancelled by the helper.
    QCOMPARE(leftOpen_, 1);
    QCOMPARE(field, QStringLiteral(" 1.50 "));
    QCOMPARE(window().Text1.text(), QStringLiteral("0.3"));
    QVERIFY(prompts().messages.isEmpty());
}

void SettingsDialogTest::eachOkRunsAfreshOnTheField()
{
    QStringList fields;
    withDialog([&](options& d) {
        for (const QString& typed :
            { QStringLiteral("10.0"), QStringLiteral("abc"), QStringLiteral("09.990") }) {
            retype(d, typed);
            pressByKey(d, d.Command1, Qt::Key_O);
            fields << d.Text1.text();
        }
    });
    QCOMPARE(leftOpen_, 0);
    QCOMPARE(fields, QStringList({ "10", "abc", "9.99" }));
    QCOMPARE(prompts().messages.size(), 2);
    QCOMPARE(window().Text1.text(), QStringLiteral("9.99"));
    QCOMPARE(window().statusText(), statusFor(QStringLiteral("9.99")));
}

void SettingsDialogTest::aRefusedPriceDoesNotCarryOverToTheNextShowing()
{
    withDialog([&](options& d) {
        retype(d, QStringLiteral("10"));
        pressByKey(d, d.Command1, Qt::Key_O);
        QVERIFY(d.isVisible());
        pressByKey(d, d.Command2, Qt::Key_C);
    });
    QCOMPARE(prompts().messages.size(), 1);
    QCOMPARE(window().Text1.text(), QStringLiteral("0.3"));
    QString shown;
    withDialog([&](options& d) { shown = d.Text1.text(); });
    QCOMPARE(shown, QStringLiteral("0.3"));
    QCOMPARE(window().statusText(), statusFor(QStringLiteral("0.3")));
}

void SettingsDialogTest::theFieldHasNoLengthLimit()
{
    // Beyond a line edit's usual 32767 characters; too large a number, so kept as typed.
    const QString digits(40000, u'1');
    QString field;
    withDialog([&](options& d) {
        d.Text1.setText(digits);
        d.Text1.end(false);
        type(&d.Text1, QStringLiteral("9"));
        pressByKey(d, d.Command1, Qt::Key_O);
        field = d.Text1.text();
    });
    QCOMPARE(field.size(), digits.size() + 1);
    QVERIFY(field.endsWith(u'9'));
    QCOMPARE(prompts().messages.size(), 1);
}

void SettingsDialogTest::aLongPriceIsShownByItsStartAlone_data()
{
    QTest::addColumn<bool>("byPasteKeys"); // else set as a whole
    QTest::addColumn<qsizetype>("length");
    QTest::newRow("pasted, a megabyte") << true << (qsizetype(1) << 20);
    QTest::newRow("pasted, just long") << true << miruteka::PriceField::longText;
    QTest::newRow("set, a megabyte") << false << (qsizetype(1) << 20);
}

// A line edit lays out and measures all it shows at every change and every repaint; a long text
// is shown by its start, drawn by the field, and nothing of it is laid out. Shortened, the field
// is an ordinary line edit again.
void SettingsDialogTest::aLongPriceIsShownByItsStartAlone()
{
    QFETCH(bool, byPasteKeys);
    QFETCH(qsizetype, length);
    const QString long_(length, u'7');
    QString whole, shownText, shortShown;
    QImage drawn, drawnEmpty;
    withDialog([&](options& d) {
        d.Text1.clear();
        drawnEmpty = d.Text1.grab().toImage();
        if (byPasteKeys) {
            QGuiApplication::clipboard()->setText(long_);
            QTest::keyClick(&d.Text1, Qt::Key_V, Qt::ControlModifier);
        } else {
            d.Text1.setText(long_);
        }
        whole = d.Text1.text();
        shownText = d.Text1.displayText();
        drawn = d.Text1.grab().toImage();
        retype(d, QStringLiteral("5"));
        shortShown = d.Text1.displayText();
    });
    QVERIFY(whole == long_); // not QCOMPARE: a failure would print a megabyte
    QCOMPARE(shownText, QString());
    QVERIFY2(drawn != drawnEmpty, "the start of the long text is not drawn");
    QCOMPARE(shortShown, QStringLiteral("5"));
}

void SettingsDialogTest::aFailingMessageDoesNotLeaveOk()
{
    prompts().onMessage = [] { throw std::runtime_error("message box failed"); };
    QString field;
    withDialog([&](options& d) {
        retype(d, QStringLiteral("-0.30"));
        QVERIFY_THROWS_NO_EXCEPTION(d.Command1_Click());
        field = d.Text1.text();
        QVERIFY(d.isVisible());
    });
    QCOMPARE(prompts().messages.size(), 1);
    QCOMPARE(field, QStringLiteral("-0.3"));
    QCOMPARE(window().Text1.text(), QStringLiteral("0.3"));
}

void SettingsDialogTest::exitUnloadsTheDialog()
{
    QPointer<options> loaded;
    withDialog([&](options& d) {
        loaded = &d;
        window().Command3_Click();
        QVERIFY(loaded.isNull());
    });
    QVERIFY(loaded.isNull());
    QVERIFY(!window().isVisible());
    QVERIFY(window().findChildren<options*>().isEmpty());
}

void SettingsDialogTest::theNextReportUsesTheNewPrice()
{
    ScratchDir dir;
    const QString file = qPath(dir.file("a.bin", 1000));
    const QString report = qPath(dir / "report.txt");
    prompts().answer = report;

    withDialog([&](options& d) {
        retype(d, QStringLiteral("1.50"));
        pressByKey(d, d.Command1, Qt::Key_O);
    });
    QCOMPARE(window().statusText(), statusFor(QStringLiteral("1.5")));

    QMimeData data;
    data.setUrls({ QUrl::fromLocalFile(file) });
    QVERIFY(dragOver(window(), data, window().Frame1.geometry().center(), true));

    // 1000 bytes are 7.8125 packets: 11.71875 yen at 1.5, cut to 11.71 on the file's line.
    const QString text
        = QDir::toNativeSeparators(file) + QStringLiteral("   11.71円\r\n\r\nTOTAL 11.71875円");
    QCOMPARE(readAll(report), cp932(text) + "\r\n");
}

void SettingsDialogTest::theNextStartBeginsAt0Point3Again()
{
    withDialog([&](options& d) {
        retype(d, QStringLiteral("1.5"));
        pressByKey(d, d.Command1, Qt::Key_O);
    });
    QCOMPARE(window().Text1.text(), QStringLiteral("1.5"));
    under_.reset(); // the program ends
    under_ = std::make_unique<WindowUnderTest>();
    QCOMPARE(window().Text1.text(), QStringLiteral("0.3"));
    QCOMPARE(window().statusText(), statusFor(QStringLiteral("0.3")));
}

QTEST_MAIN(SettingsDialogTest)
#include "settings_dialog_test.moc"
