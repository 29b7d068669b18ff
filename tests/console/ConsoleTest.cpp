// Drives the real console window against a simulated controller, reading
// the texts of the real message boxes and closing them from a timer.
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <QtTest>
#include <filesystem>
#include <memory>

#include "console/FitText.h"
#include "console/frmComm.h"
#include "console/modMain.h"
#include "console/QtMessageBoxService.h"
#include "sim/SimController.h"

using namespace ostrel;
using ostrel::console::frmComm;

namespace {

struct Box {
    QString title, text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
};

// Closes every modal message box that appears while fn runs; returns them.
std::vector<Box> closingBoxes(const std::function<void()>& fn) {
    std::vector<Box> seen;
    QTimer timer;
    timer.setInterval(10);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            seen.push_back({box->windowTitle(), box->text(), box->icon()});
            box->accept();
        }
    });
    timer.start();
    fn();
    QTest::qWait(30);
    timer.stop();
    return seen;
}

}  // namespace

class ConsoleTest : public QObject {
    Q_OBJECT

    std::unique_ptr<sim::SimController> sim_;
    std::unique_ptr<frmComm> w_;

    // Clicks and waits until the call returned and its outcome was shown.
    std::vector<Box> clickAndWait(QAbstractButton* b) {
        return closingBoxes([&] {
            QTest::mouseClick(b, Qt::LeftButton);
            QTRY_VERIFY_WITH_TIMEOUT(!w_->isBusy(), 60000);
        });
    }
    Box click(QAbstractButton* b) {
        auto boxes = clickAndWait(b);
        if (boxes.size() != 1) {
            qWarning() << "boxes shown:" << boxes.size();
            return {};
        }
        return boxes.front();
    }
    void silent() {
        sim_->setScript([](const sim::Bytes&) { return std::vector<sim::Chunk>{}; });
    }

private slots:
    void initTestCase() { console::installQtMessageBoxService(); }

    void init() {
        sim::Options o;
        o.address = 20;
        sim_ = std::make_unique<sim::SimController>(o);
        sim_->withState([](sim::ControllerState& s) { s.lastCard = {0x00, 0x12, 0x34, 0x56, 0x78}; });
        sim_->seedRecords(3);
        qputenv("OSTREL_COM1", QByteArray::fromStdString(sim_->slavePath()));
        w_ = std::make_unique<frmComm>();
        w_->load();
        w_->show();
        QVERIFY(QTest::qWaitForWindowExposed(w_.get()));
    }

    void cleanup() {
        w_.reset();  // releases the driver, which closes the port
        sim_.reset();
    }

    void defaultsAfterStart() {
        QCOMPARE(w_->windowTitle(), QString("门禁动态库示例"));
        QCOMPARE(w_->size(), QSize(501, 452));
        QCOMPARE(w_->txtFields[0]->text(), QString("20"));
        QCOMPARE(w_->txt_Port->text(), QString("1"));
        QCOMPARE(w_->txtDelay->text(), QString("1"));
        QCOMPARE(w_->cboClock->currentText(), QString("1"));
        QCOMPARE(w_->cboLockID->currentText(), QString("1"));
        QCOMPARE(w_->lblCount->text(), QString("0"));
        QCOMPARE(w_->cboWeekB->count(), 7);
        QCOMPARE(w_->cboWeekB->itemText(6), QString("星期日             0"));
        QCOMPARE(w_->cboWeekB->currentIndex(), -1);
        QVERIFY(!w_->cboWeekB->isEnabled());
        QVERIFY(!w_->cboWeekE->isEnabled());
        for (auto* p : {w_->dtpDateB, w_->dtpDateE, w_->dtpTimeB, w_->dtpTimeE}) {
            QVERIFY(!p->isEnabled());
            QCOMPARE(p->dateTime(), QDateTime(QDate(2003, 6, 20), QTime(0, 0)));
        }
        QVERIFY(w_->optCtl1[0]->isChecked());
        QVERIFY(w_->optCtl2[0]->isChecked());
        QCOMPARE(w_->txtDate->text(), QDate::currentDate().toString("yyyy-MM-dd"));
    }

    void checkBoxesSwitchTheirRowsOnly() {
        QTest::mouseClick(w_->chkCheck[2], Qt::LeftButton);
        QVERIFY(w_->cboWeekB->isEnabled() && w_->cboWeekE->isEnabled());
        QVERIFY(!w_->dtpDateB->isEnabled() && !w_->dtpTimeB->isEnabled());
        QTest::mouseClick(w_->chkCheck[2], Qt::LeftButton);
        QVERIFY(!w_->cboWeekB->isEnabled());
        QTest::mouseClick(w_->chkCheck[0], Qt::LeftButton);
        QVERIFY(w_->dtpDateB->isEnabled() && w_->dtpDateE->isEnabled());
        QTest::mouseClick(w_->chkCheck[1], Qt::LeftButton);
        QVERIFY(w_->dtpTimeB->isEnabled() && w_->dtpTimeE->isEnabled());
    }

    void lockTypeGroupsAreIndependent() {
        QTest::mouseClick(w_->optCtl1[2], Qt::LeftButton);
        QVERIFY(w_->optCtl1[2]->isChecked());
        QVERIFY(w_->optCtl2[0]->isChecked());
        QTest::mouseClick(w_->optCtl2[3], Qt::LeftButton);
        QVERIFY(w_->optCtl1[2]->isChecked());
    }

    void everyButtonReportsSuccess() {
        QCOMPARE(click(w_->cmdOpenClock).text, QString("打开锁1成功！"));
        QCOMPARE(click(w_->cmdReadClock).text, QString("锁1状态：ON\r锁2状态：OFF"));
        QCOMPARE(click(w_->cmdSetDate).text, QString("设置成功！"));
        QCOMPARE(click(w_->cmdSetTime).text, QString("设置成功！"));
        QCOMPARE(click(w_->cmdClearLast).text, QString("清除成功！"));
        QCOMPARE(click(w_->cmdSetDelay).text, QString("修改成功！"));
        Box last = click(w_->cmdReadLast);
        QCOMPARE(last.text, QString("物理卡号:0012345678"));
        QCOMPARE(last.title, QString("OstrelPanel"));
        QCOMPARE(w_->txtFields[1]->text(), QString("0012345678"));
        w_->txtFields[2]->setText("000123");
        QCOMPARE(click(w_->cmdInit).text, QString("发送成功！"));
        QCOMPARE(click(w_->cmdClearOneCard).text, QString("清除成功！"));
        QCOMPARE(click(w_->cmdClearAllSend).text, QString("清除成功！"));
        Box closed = click(w_->Command2);
        QVERIFY(closed.text.startsWith("串口成功关闭\r\r\n    本函数"));
        QCOMPARE(closed.icon, QMessageBox::Information);
    }

    void statusBoxLayout() {
        Box b = click(w_->cmdReadSysData);
        QCOMPARE(b.title, QString("状态信息"));
        QCOMPARE(b.icon, QMessageBox::Information);
        QStringList parts = b.text.split("\r");
        QCOMPARE(parts.size(), 8);
        QCOMPARE(parts[0], QString("地址号：20"));
        QCOMPARE(parts[1], QString("\n打卡记录数：3"));
        QCOMPARE(parts[2], QString("锁1延迟时间：1秒"));
        QVERIFY(parts[4].startsWith("当前机器日期：20"));
        QCOMPARE(parts[4].size(), QString("当前机器日期：").size() + 10);  // YYYY-MM-DD
        QCOMPARE(parts[7], QString("当前机器版本号：1.02"));
    }

    void issueCardWithTheDefaultsSendsZeros() {
        w_->txtFields[1]->setText("0012345678");
        w_->txtFields[2]->setText("000123");
        QCOMPARE(click(w_->cmdInit).text, QString("发送成功！"));
        sim::Bytes f = sim_->frames().back();
        QCOMPARE(f.size(), size_t{22});
        for (size_t i = 11; i < 22; ++i) QCOMPARE(int(f[i]), 0);
    }

    void issueCardWithPickersAndWeekdays() {
        w_->txtFields[1]->setText("0012345678");
        w_->txtFields[2]->setText("000124");
        QTest::mouseClick(w_->chkCheck[0], Qt::LeftButton);
        QTest::mouseClick(w_->chkCheck[1], Qt::LeftButton);
        QTest::mouseClick(w_->chkCheck[2], Qt::LeftButton);
        w_->dtpDateE->setDate(QDate(2010, 12, 31));
        w_->dtpTimeB->setTime(QTime(8, 30));
        w_->dtpTimeE->setTime(QTime(18, 0));
        w_->cboWeekB->setCurrentIndex(0);  // Monday
        // No end weekday chosen: the driver copies the begin.
        QTest::mouseClick(w_->optCtl2[1], Qt::LeftButton);
        QCOMPARE(click(w_->cmdInit).text, QString("发送成功！"));
        sim::Bytes f = sim_->frames().back();
        sim::Bytes window(f.begin() + 11, f.end());
        QCOMPARE(window, (sim::Bytes{0x03, 0x10, 0x06, 0x12 + 32, 0x20, 0x31, 0x08, 0x18, 0x30, 0x00, 0x11}));
    }

    void addressFieldIsCheckedBeforeAnyCommand() {
        // Anything but digits for 0-255 is refused with a box naming the
        // field, and nothing is sent: a lenient reading would address
        // controller 0 or 20 where the user meant something else.
        for (const QString& bad : {QString("20A"), QString("abc"), QString(""), QString("２０"), QString("256"),
                                   QString("-1"), QString("2 0")}) {
            w_->txtFields[0]->setText(bad);
            for (QAbstractButton* b : {static_cast<QAbstractButton*>(w_->cmdClearLast),
                                       static_cast<QAbstractButton*>(w_->cmdReadAll),
                                       static_cast<QAbstractButton*>(w_->cmdInit)}) {
                Box refusal = click(b);
                QVERIFY2(refusal.text.startsWith("地址“" + bad + "”无效"), qPrintable(refusal.text));
                QCOMPARE(refusal.icon, QMessageBox::Warning);
            }
        }
        QVERIFY(sim_->frames().empty());
        w_->txtFields[0]->setText(" 020 ");  // leading zeros and blanks read as decimal 20
        QCOMPARE(click(w_->cmdClearLast).text, QString("清除成功！"));
        QCOMPARE(int(sim_->frames().back()[0]), 20);
    }

    void noClickIsQueuedBehindADownload() {
        // A paced controller makes the download last a while.
        w_.reset();
        sim::Options o;
        o.address = 20;
        o.pace = true;
        sim_ = std::make_unique<sim::SimController>(o);
        sim_->seedRecords(150);
        qputenv("OSTREL_COM1", QByteArray::fromStdString(sim_->slavePath()));
        w_ = std::make_unique<frmComm>();
        w_->load();
        w_->show();
        QVERIFY(QTest::qWaitForWindowExposed(w_.get()));

        int ticks = 0;
        QTimer painter;
        QObject::connect(&painter, &QTimer::timeout, [&] { ++ticks; });
        painter.start(20);
        QTest::mouseClick(w_->cmdReadAll, Qt::LeftButton);
        QVERIFY(w_->isBusy());
        QTRY_VERIFY_WITH_TIMEOUT(w_->progress->value() > 10, 10000);
        QVERIFY(w_->progress->isVisible());
        QVERIFY(!w_->cmdOpenClock->isEnabled() && !w_->cmdReadAll->isEnabled() && !w_->Command1->isEnabled());
        QTest::mouseClick(w_->cmdOpenClock, Qt::LeftButton);  // taken by nothing
        const int ticksMidway = ticks;
        QTRY_VERIFY_WITH_TIMEOUT(!w_->isBusy(), 30000);
        QVERIFY2(ticksMidway >= 5, "the window's event loop stalled during the download");
        QCOMPARE(w_->lst->count(), 150);
        QCOMPARE(w_->lblCount->text(), QString("150"));
        QVERIFY(!w_->progress->isVisible());
        QVERIFY(w_->cmdOpenClock->isEnabled());
        QTest::qWait(200);
        for (const sim::Bytes& f : sim_->frames()) QCOMPARE(int(f[2]), 0x11);  // record requests only
    }

    void everyTextFitsItsControl_data() {
        QTest::addColumn<QString>("family");
        QTest::newRow("default font") << QString();
        QTest::newRow("CJK font") << QString("WenQuanYi Micro Hei");
    }

    void everyTextFitsItsControl() {
        QFETCH(QString, family);
        const QFont old = QApplication::font();
        if (!family.isEmpty()) QApplication::setFont(QFont(family));
        w_ = std::make_unique<frmComm>();
        w_->load();
        w_->show();
        for (int i = 0; i < 3; ++i) QTest::mouseClick(w_->chkCheck[static_cast<size_t>(i)], Qt::LeftButton);
        w_->lblCount->setText("12345");
        QApplication::setFont(old);
        for (QWidget* c : w_->findChildren<QWidget*>()) {
            if (auto* l = qobject_cast<QLabel*>(c); (l && l->wordWrap()) || console::textNeed(c) == 0) continue;
            QVERIFY2(console::textNeed(c) <= console::textRoom(c),
                     qPrintable(c->objectName() + QString(": needs %1 px, has %2").arg(console::textNeed(c))
                                                      .arg(console::textRoom(c))));
        }
    }

    void screenshotsAtStartWithEverythingOnAndAfterALargeDownload() {
        // Saved for the documentation when OSTREL_SCREENSHOTS names a folder.
        // OSTREL_SCREENSHOT_FONT picks the font family, to look at a CJK font.
        const QString dir = qEnvironmentVariable("OSTREL_SCREENSHOTS");
        if (QString family = qEnvironmentVariable("OSTREL_SCREENSHOT_FONT"); !family.isEmpty()) {
            QApplication::setFont(QFont(family));
            w_ = std::make_unique<frmComm>();
            w_->load();
            w_->show();
            QVERIFY(QTest::qWaitForWindowExposed(w_.get()));
        }
        auto save = [&](const char* name) {
            if (!dir.isEmpty()) QVERIFY(w_->grab().save(dir + "/" + name));
        };
        save("console-start.png");
        for (int i = 0; i < 3; ++i) QTest::mouseClick(w_->chkCheck[static_cast<size_t>(i)], Qt::LeftButton);
        w_->cboWeekB->setCurrentIndex(0);
        w_->cboWeekE->setCurrentIndex(4);
        save("console-all-enabled.png");
        sim_->withState([](sim::ControllerState& s) { s.records.clear(); });
        sim_->seedRecords(12345);
        QVERIFY(clickAndWait(w_->cmdReadAll).empty());
        QCOMPARE(w_->lst->count(), 12345);
        QCOMPARE(w_->lblCount->text(), QString("12345"));
        QVERIFY(console::textNeed(w_->lblCount) <= console::textRoom(w_->lblCount));
        save("console-12345-records.png");
    }

    void downloadListsTheRecords() {
        Box none = {};
        auto boxes = clickAndWait(w_->cmdReadAll);
        QVERIFY(boxes.empty());
        QCOMPARE(w_->lst->count(), 3);
        QCOMPARE(w_->lblCount->text(), QString("3"));
        QVERIFY(w_->lst->item(0)->text().startsWith("20|"));
        boxes = clickAndWait(w_->cmdReadAllB);
        QVERIFY(boxes.empty());
        QCOMPARE(w_->lst->count(), 0);
        QCOMPARE(w_->lblCount->text(), QString("3"));
        QCOMPARE(click(w_->cmdClearAll).text, QString("清除成功 ！"));
        clickAndWait(w_->cmdReadAll);
        QCOMPARE(w_->lblCount->text(), QString("0"));
        QCOMPARE(w_->lst->count(), 0);
    }

    void failuresReportTheirTexts() {
        w_->txtFields[1]->setText("keep me");
        silent();
        QCOMPARE(click(w_->cmdOpenClock).text, QString("打开锁1失败！"));
        QCOMPARE(click(w_->cmdReadClock).text, QString("读取锁状态失败！"));
        QCOMPARE(click(w_->cmdReadSysData).text, QString("读取错误"));
        QCOMPARE(click(w_->cmdReadLast).text, QString("读取错误"));
        QCOMPARE(w_->txtFields[1]->text(), QString());  // a failed read clears the field
        w_->lblCount->setText("7");
        QCOMPARE(click(w_->cmdReadAll).text, QString("采集失败！"));
        QCOMPARE(w_->lblCount->text(), QString("7"));
        QCOMPARE(click(w_->cmdInit).text, QString("发送失败！"));
    }

    void errorsInHandlersAreShownAndSurvived() {
        w_->txtDelay->setText("abc");
        Box e = click(w_->cmdSetDelay);
        QCOMPARE(e.title, QString("OstrelPanel"));
        QCOMPARE(e.icon, QMessageBox::Critical);
        // In the console's language, keeping the number, naming the field.
        QCOMPARE(e.text, QString("运行时错误 '13'：\n\n类型不匹配\n\n请检查：锁延迟"));
        w_->txt_Port->setText("");
        QCOMPARE(click(w_->Command1).text, QString("运行时错误 '13'：\n\n类型不匹配\n\n请检查：串口"));
        w_->txtFields[0]->setText("20");
        QCOMPARE(click(w_->cmdClearLast).text, QString("清除成功！"));
    }

    void setPortFailureShowsTheDriversBox() {
        qputenv("OSTREL_COM9", "/nonexistent/ttyNine");
        w_->txt_Port->setText("9.7");  // rounded down to 9
        Box b = click(w_->Command1);
        QCOMPARE(b.title, QString("失败"));
        QVERIFY(b.text.startsWith("打开端口失败!"));
        QVERIFY(b.text.contains("/nonexistent/ttyNine"));
        qunsetenv("OSTREL_COM9");
        w_->txt_Port->setText("1");
        QVERIFY(clickAndWait(w_->Command1).empty());
        QCOMPARE(click(w_->cmdClearLast).text, QString("清除成功！"));
    }

    void creationFailureExitsWithoutAWindow() {
        w_.reset();
        QByteArray old = qgetenv("OSTREL_REGISTRY");
        auto empty = std::filesystem::temp_directory_path() / "ostrel-empty-registry";
        std::filesystem::create_directories(empty);
        qputenv("OSTREL_REGISTRY", QByteArray::fromStdString(empty.string()));
        int status = 0;
        auto boxes = closingBoxes([&] { status = console::modMain(); });
        if (old.isEmpty()) qunsetenv("OSTREL_REGISTRY");
        else qputenv("OSTREL_REGISTRY", old);
        QCOMPARE(status, 1);
        QCOMPARE(boxes.size(), size_t{1});
        QVERIFY(boxes[0].text.contains("429"));
        QVERIFY(boxes[0].text.contains("Ostrel.cls_Door"));
        for (QWidget* top : QApplication::topLevelWidgets()) QVERIFY(!qobject_cast<frmComm*>(top) || !top->isVisible());
    }
};

QTEST_MAIN(ConsoleTest)
#include "ConsoleTest.moc"
