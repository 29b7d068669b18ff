// The button handlers: each reads the fields, calls one driver operation by
// name and reports the outcome in the console's own texts.
#include <QApplication>
#include <QCursor>
#include <cmath>

#include "basic/DateTime.h"
#include "basic/Numbers.h"
#include "console/frmComm.h"
#include "runtime/AutomationError.h"

namespace ostrel::console {
namespace {

using rt::Variant;

std::string text(const QLineEdit* e) { return e->text().toStdString(); }
std::string text(const QComboBox* c) { return c->currentText().toStdString(); }

// The default text of a picker's value: the date alone at midnight, else the
// date and the time. A time picker keeps its date, so its text carries it.
std::string pickerText(const QDateTimeEdit* p) {
    QDateTime v = p->dateTime();
    basic::DateTime d;
    d.year = v.date().year();
    d.month = v.date().month();
    d.day = v.date().day();
    d.hour = v.time().hour();
    d.minute = v.time().minute();
    d.second = v.time().second();
    d.hasDate = true;
    return basic::defaultText(d);
}

// The last character of a weekday item's trimmed text: its weekday digit.
std::string weekdayDigit(const QComboBox* c) {
    QString t = QString::fromStdString(basic::trimSpaces(c->currentText().toStdString()));
    return t.isEmpty() ? std::string() : t.right(1).toStdString();
}

std::string selectedIndex(const std::array<QRadioButton*, 4>& group) {
    for (size_t i = 0; i < group.size(); ++i)
        if (group[i]->isChecked()) return std::to_string(i);
    return {};
}

}  // namespace

void frmComm::connectHandlers() {
    connect(Command1, &QPushButton::clicked, this, &frmComm::Command1_Click);
    connect(Command2, &QPushButton::clicked, this, &frmComm::Command2_Click);
    connect(cmdReadSysData, &QPushButton::clicked, this, &frmComm::cmdReadSysData_Click);
    connect(cmdOpenClock, &QPushButton::clicked, this, &frmComm::cmdOpenClock_Click);
    connect(cmdReadLast, &QPushButton::clicked, this, &frmComm::cmdReadLast_Click);
    connect(cmdSetDate, &QPushButton::clicked, this, &frmComm::cmdSetDate_Click);
    connect(cmdInit, &QPushButton::clicked, this, &frmComm::cmdInit_Click);
    connect(cmdClearOneCard, &QPushButton::clicked, this, &frmComm::cmdClearOneCard_Click);
    connect(cmdSetTime, &QPushButton::clicked, this, &frmComm::cmdSetTime_Click);
    connect(cmdClearLast, &QPushButton::clicked, this, &frmComm::cmdClearLast_Click);
    connect(cmdClearAll, &QPushButton::clicked, this, &frmComm::cmdClearAll_Click);
    connect(cmdReadClock, &QPushButton::clicked, this, &frmComm::cmdReadClock_Click);
    connect(cmdClearAllSend, &QPushButton::clicked, this, &frmComm::cmdClearAllSend_Click);
    connect(cmdSetDelay, &QPushButton::clicked, this, &frmComm::cmdSetDelay_Click);
    connect(cmdReadAll, &QPushButton::clicked, this, &frmComm::cmdReadAll_Click);
    connect(cmdReadAllB, &QPushButton::clicked, this, &frmComm::cmdReadAllB_Click);
    for (int i = 0; i < 3; ++i)
        connect(chkCheck[static_cast<size_t>(i)], &QCheckBox::clicked, this, [this, i] { chkCheck_Click(i); });
}

void frmComm::msgBox(const QString& text, QMessageBox::Icon icon, const QString& title) {
    QMessageBox box(icon, title.isEmpty() ? QString("OstrelPanel") : title, text, QMessageBox::Ok, this);
    box.exec();
}

Variant frmComm::address() const { return Variant(basic::readLeadingNumber(text(txtFields[0]))); }

std::optional<bool> frmComm::callDriver(const char* operation, std::vector<Variant> args) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    try {
        Variant result = driver_->call(operation, std::move(args));
        QApplication::restoreOverrideCursor();
        return result.toBoolean();
    } catch (const rt::AutomationError& e) {
        // Shown and survived: the handler does nothing further.
        QApplication::restoreOverrideCursor();
        msgBox(QString("Run-time error '%1':\n\n%2").arg(e.number()).arg(QString::fromStdString(e.description())),
               QMessageBox::Critical);
        return std::nullopt;
    }
}

void frmComm::Command1_Click() {
    // The port is read strictly as a number, then rounded down.
    auto port = basic::parseNumber(text(txt_Port));
    if (!port) {
        msgBox("Run-time error '13':\n\nType mismatch", QMessageBox::Critical);
        return;
    }
    callDriver("SetPort", {Variant(std::floor(*port)), Variant("9600,n,8,1"), Variant(int16_t{2048}),
                           Variant(int16_t{512})});
}

void frmComm::Command2_Click() {
    if (!callDriver("DestoryPort", {})) return;
    msgBox("串口成功关闭\r\r\n    本函数只是为了演示此功能，并不会影响其它函数调用，因为其它函数会自动打开串口",
           QMessageBox::Information);
}

void frmComm::cmdReadSysData_Click() {
    Variant count(int32_t{0}), d1(""), d2(""), date(""), time(""), week(""), ver("");
    auto ok = callDriver("GetSysData", {address(), Variant::ref(count), Variant::ref(d1), Variant::ref(d2),
                                        Variant::ref(date), Variant::ref(time), Variant::ref(week), Variant::ref(ver)});
    if (!ok) return;
    if (!*ok) {
        msgBox("读取错误");
        return;
    }
    auto parsed = basic::parseDateTime(date.toString());
    std::string shownDate = parsed ? basic::formatDate(*parsed) : date.toString();
    QString s = "地址号：" + txtFields[0]->text() + "\r\n" + "打卡记录数：" + QString::number(count.toLong()) + "\r" +
                "锁1延迟时间：" + QString::fromStdString(d1.toString()) + "秒" + "\r" + "锁2延迟时间：" +
                QString::fromStdString(d2.toString()) + "秒" + "\r" + "当前机器日期：" +
                QString::fromStdString(shownDate) + "\r" + "当前机器时间：" + QString::fromStdString(time.toString()) +
                "\r" + "当前机器星期：" + QString::fromStdString(week.toString()) + "\r" + "当前机器版本号：" +
                QString::fromStdString(ver.toString());
    msgBox(s, QMessageBox::Information, "状态信息");
}

void frmComm::cmdOpenClock_Click() {
    auto ok = callDriver("SetLockOn", {address(), Variant(text(cboClock))});
    if (!ok) return;
    msgBox("打开锁" + cboClock->currentText() + (*ok ? "成功！" : "失败！"));
}

void frmComm::cmdReadLast_Click() {
    Variant card("");
    auto ok = callDriver("GetCardIdP", {address(), Variant::ref(card)});
    if (!ok) return;
    msgBox(*ok ? "物理卡号:" + QString::fromStdString(card.toString()) : QString("读取错误"));
    QString number = QString::fromStdString(card.toString());
    txtFields[1]->setText(number.right(10));
}

void frmComm::cmdSetDate_Click() {
    auto ok = callDriver("SetSysDate", {address(), Variant(text(txtDate))});
    if (ok) msgBox(*ok ? "设置成功！" : "设置失败！");
}

void frmComm::cmdInit_Click() {
    Variant physical(text(txtFields[1])), logical(text(txtFields[2]));
    Variant beginDate("0"), endDate("0"), beginTime("0"), endTime("0"), beginWeek("0"), endWeek("0");
    if (chkCheck[0]->isChecked()) {
        beginDate = pickerText(dtpDateB);
        endDate = pickerText(dtpDateE);
    }
    if (chkCheck[1]->isChecked()) {
        beginTime = pickerText(dtpTimeB);
        endTime = pickerText(dtpTimeE);
    }
    if (chkCheck[2]->isChecked()) {
        beginWeek = weekdayDigit(cboWeekB);
        endWeek = weekdayDigit(cboWeekE);
    }
    Variant lock1(selectedIndex(optCtl1)), lock2(selectedIndex(optCtl2));
    auto ok = callDriver("CardSendToMachine",
                         {address(), Variant::ref(physical), Variant::ref(logical), Variant::ref(beginDate),
                          Variant::ref(endDate), Variant::ref(beginTime), Variant::ref(endTime),
                          Variant::ref(beginWeek), Variant::ref(endWeek), Variant::ref(lock1), Variant::ref(lock2)});
    if (ok) msgBox(*ok ? "发送成功！" : "发送失败！");
}

void frmComm::cmdClearOneCard_Click() {
    auto ok = callDriver("ClearSendOne", {address(), Variant(text(txtFields[2]))});
    if (ok) msgBox(*ok ? "清除成功！" : "清除失败！");
}

void frmComm::cmdSetTime_Click() {
    auto ok = callDriver("SetSysTime", {address(), Variant(text(txtTime))});
    if (ok) msgBox(*ok ? "设置成功！" : "设置失败！");
}

void frmComm::cmdClearLast_Click() {
    auto ok = callDriver("ClearLastFlag", {address()});
    if (ok) msgBox(*ok ? "清除成功！" : "清除失败！");
}

void frmComm::cmdClearAll_Click() {
    auto ok = callDriver("ClearBrushRecord", {address()});
    if (ok) msgBox(*ok ? "清除成功 ！" : "清除失败！");
}

void frmComm::cmdReadClock_Click() {
    Variant s1(""), s2("");
    auto ok = callDriver("GetLockState", {address(), Variant::ref(s1), Variant::ref(s2)});
    if (!ok) return;
    if (*ok)
        msgBox("锁1状态：" + QString::fromStdString(s1.toString()) + "\r" + "锁2状态：" +
               QString::fromStdString(s2.toString()));
    else
        msgBox("读取锁状态失败！");
}

void frmComm::cmdClearAllSend_Click() {
    auto ok = callDriver("ClearSendList", {address()});
    if (ok) msgBox(*ok ? "清除成功！" : "清除失败！");
}

void frmComm::cmdSetDelay_Click() {
    auto ok = callDriver("SetLockDelay", {address(), Variant(text(cboLockID)), Variant(text(txtDelay))});
    if (ok) msgBox(*ok ? "修改成功！" : "修改失败！");
}

void frmComm::cmdReadAll_Click() {
    lst->clear();
    Variant count(int32_t{0}), records(rt::StringArray{}), name("DataRecoSet");
    auto ok = callDriver("GetBrushRecord", {address(), Variant::ref(count), Variant::ref(records), Variant::ref(name)});
    if (!ok) return;
    if (!*ok) {
        msgBox("采集失败！");
        return;
    }
    const auto& items = records.asArray().items;
    for (int32_t i = 0; i < count.toLong() && static_cast<size_t>(i) < items.size(); ++i)
        lst->addItem(QString::fromStdString(items[static_cast<size_t>(i)]));
    lblCount->setText(QString::number(count.toLong()));
}

void frmComm::cmdReadAllB_Click() {
    lst->clear();
    Variant count(int32_t{0}), name("DataRecoSet");
    auto ok = callDriver("GetBrushRecordB", {address(), Variant::ref(count), Variant::ref(name)});
    if (!ok) return;
    if (!*ok) msgBox("采集失败！");
    lst->clear();
    lblCount->setText(QString::number(count.toLong()));
}

}  // namespace ostrel::console
