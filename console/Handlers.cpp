// The button handlers: each reads the fields, calls one driver operation by
// name and reports the outcome in the console's own texts.
#include <QApplication>
#include <QCursor>
#include <cmath>
#include <memory>

#include "basic/DateTime.h"
#include "basic/Numbers.h"
#include "console/ErrorText.h"
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

// Variables for by-reference arguments, kept alive by the handler's
// captures until the call's outcome was reported.
using Vars = std::shared_ptr<std::vector<Variant>>;
Vars vars(std::vector<Variant> initial) { return std::make_shared<std::vector<Variant>>(std::move(initial)); }

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
    connect(&driver_, &DriverThread::recordProgress, this, [this](qint64 done, qint64 total) {
        progress->setMaximum(static_cast<int>(total));
        progress->setValue(static_cast<int>(done));
    });
}

void frmComm::msgBox(const QString& text, QMessageBox::Icon icon, const QString& title) {
    QMessageBox box(icon, title.isEmpty() ? QString("OstrelPanel") : title, text, QMessageBox::Ok, this);
    box.exec();
}

std::optional<Variant> frmComm::checkedAddress() {
    // Only plain digits: a lenient reading would turn an empty, mistyped or
    // full-width address into controller 0, another controller's door.
    const QString t = txtFields[0]->text().trimmed();
    bool digits = !t.isEmpty() && t.size() <= 3;
    for (QChar c : t) digits = digits && c >= QChar('0') && c <= QChar('9');
    if (digits && t.toInt() <= 255) return Variant(t.toDouble());
    msgBox(addressRefusal(txtFields[0]->text()), QMessageBox::Warning);
    return std::nullopt;
}

void frmComm::setBusy(bool busy, bool download) {
    busy_ = busy;
    // Disabled buttons take no clicks, so none waits behind the call.
    for (QPushButton* b : findChildren<QPushButton*>()) b->setEnabled(!busy);
    if (busy) QApplication::setOverrideCursor(Qt::BusyCursor);
    else QApplication::restoreOverrideCursor();
    progress->setVisible(busy && download);
    if (download) {
        progress->setRange(0, 0);  // busy until the count is known
        progress->raise();
    }
}

void frmComm::callDriver(const std::string& operation, Args args, const QString& field,
                         std::function<void(bool)> then) {
    setBusy(true, operation == "GetBrushRecord" || operation == "GetBrushRecordB");
    driver_.post([operation, args](rt::Dispatch& d) { return d.call(operation, args()); },
                 [this, field, then](const DriverThread::Outcome& o) {
                     setBusy(false);
                     if (o.error) {
                         // Shown and survived: the handler does nothing further.
                         msgBox(errorText(*o.error, field), QMessageBox::Critical);
                         return;
                     }
                     then(o.result->toBoolean());
                 });
}

void frmComm::showCount(const QString& count) { lblCount->setText(count); }

void frmComm::Command1_Click() {
    // The port is read strictly as a number, then rounded down.
    auto port = basic::parseNumber(text(txt_Port));
    if (!port) {
        msgBox(errorText(rt::AutomationError(rt::err::kTypeMismatch, "Type mismatch"), "串口"), QMessageBox::Critical);
        return;
    }
    double p = std::floor(*port);
    callDriver("SetPort", [p] {
        return std::vector<Variant>{Variant(p), Variant("9600,n,8,1"), Variant(int16_t{2048}), Variant(int16_t{512})};
    }, "串口", [](bool) {});
}

void frmComm::Command2_Click() {
    callDriver("DestoryPort", [] { return std::vector<Variant>{}; }, "", [this](bool) {
        msgBox("串口成功关闭\r\r\n    本函数只是为了演示此功能，并不会影响其它函数调用，因为其它函数会自动打开串口",
               QMessageBox::Information);
    });
}

void frmComm::cmdReadSysData_Click() {
    auto addr = checkedAddress();
    if (!addr) return;
    Vars v = vars({Variant(int32_t{0}), Variant(""), Variant(""), Variant(""), Variant(""), Variant(""), Variant("")});
    callDriver("GetSysData", [addr, v] {
        std::vector<Variant> a{*addr};
        for (Variant& x : *v) a.push_back(Variant::ref(x));
        return a;
    }, "", [this, v](bool ok) {
        if (!ok) {
            msgBox("读取错误");
            return;
        }
        const Variant &count = (*v)[0], &d1 = (*v)[1], &d2 = (*v)[2], &date = (*v)[3], &time = (*v)[4],
                      &week = (*v)[5], &ver = (*v)[6];
        auto parsed = basic::parseDateTime(date.toString());
        std::string shownDate = parsed ? basic::formatDate(*parsed) : date.toString();
        QString s = "地址号：" + txtFields[0]->text() + "\r\n" + "打卡记录数：" + QString::number(count.toLong()) +
                    "\r" + "锁1延迟时间：" + QString::fromStdString(d1.toString()) + "秒" + "\r" + "锁2延迟时间：" +
                    QString::fromStdString(d2.toString()) + "秒" + "\r" + "当前机器日期：" +
                    QString::fromStdString(shownDate) + "\r" + "当前机器时间：" +
                    QString::fromStdString(time.toString()) + "\r" + "当前机器星期：" +
                    QString::fromStdString(week.toString()) + "\r" + "当前机器版本号：" +
                    QString::fromStdString(ver.toString());
        msgBox(s, QMessageBox::Information, "状态信息");
    });
}

void frmComm::cmdOpenClock_Click() {
    auto addr = checkedAddress();
    if (!addr) return;
    QString lock = cboClock->currentText();
    callDriver("SetLockOn", [addr, lock] { return std::vector<Variant>{*addr, Variant(lock.toStdString())}; }, "锁号",
               [this, lock](bool ok) { msgBox("打开锁" + lock + (ok ? "成功！" : "失败！")); });
}

void frmComm::cmdReadLast_Click() {
    auto addr = checkedAddress();
    if (!addr) return;
    Vars v = vars({Variant("")});
    callDriver("GetCardIdP", [addr, v] { return std::vector<Variant>{*addr, Variant::ref((*v)[0])}; }, "",
               [this, v](bool ok) {
                   QString number = QString::fromStdString((*v)[0].toString());
                   msgBox(ok ? "物理卡号:" + number : QString("读取错误"));
                   txtFields[1]->setText(number.right(10));
               });
}

void frmComm::cmdSetDate_Click() {
    auto addr = checkedAddress();
    if (!addr) return;
    std::string date = text(txtDate);
    callDriver("SetSysDate", [addr, date] { return std::vector<Variant>{*addr, Variant(date)}; }, "日期",
               [this](bool ok) { msgBox(ok ? "设置成功！" : "设置失败！"); });
}

void frmComm::cmdInit_Click() {
    Vars v = vars({Variant(text(txtFields[1])), Variant(text(txtFields[2])), Variant("0"), Variant("0"), Variant("0"),
                   Variant("0"), Variant("0"), Variant("0"), Variant(), Variant()});
    std::vector<Variant>& x = *v;
    if (chkCheck[0]->isChecked()) {
        x[2] = pickerText(dtpDateB);
        x[3] = pickerText(dtpDateE);
    }
    if (chkCheck[1]->isChecked()) {
        x[4] = pickerText(dtpTimeB);
        x[5] = pickerText(dtpTimeE);
    }
    if (chkCheck[2]->isChecked()) {
        x[6] = weekdayDigit(cboWeekB);
        x[7] = weekdayDigit(cboWeekE);
    }
    x[8] = selectedIndex(optCtl1);
    x[9] = selectedIndex(optCtl2);
    auto addr = checkedAddress();
    if (!addr) return;
    callDriver("CardSendToMachine", [addr, v] {
        std::vector<Variant> a{*addr};
        for (Variant& y : *v) a.push_back(Variant::ref(y));
        return a;
    }, "", [this](bool ok) { msgBox(ok ? "发送成功！" : "发送失败！"); });
}

void frmComm::cmdClearOneCard_Click() {
    auto addr = checkedAddress();
    if (!addr) return;
    std::string logical = text(txtFields[2]);
    callDriver("ClearSendOne", [addr, logical] { return std::vector<Variant>{*addr, Variant(logical)}; }, "逻辑号",
               [this](bool ok) { msgBox(ok ? "清除成功！" : "清除失败！"); });
}

void frmComm::cmdSetTime_Click() {
    auto addr = checkedAddress();
    if (!addr) return;
    std::string time = text(txtTime);
    callDriver("SetSysTime", [addr, time] { return std::vector<Variant>{*addr, Variant(time)}; }, "时间",
               [this](bool ok) { msgBox(ok ? "设置成功！" : "设置失败！"); });
}

// The buttons that send the address alone, with their texts.
void frmComm::addressOnly(const char* operation, const char* okText) {
    auto addr = checkedAddress();
    if (!addr) return;
    QString done = okText;
    callDriver(operation, [addr] { return std::vector<Variant>{*addr}; }, "",
               [this, done](bool ok) { msgBox(ok ? done : QString("清除失败！")); });
}

void frmComm::cmdClearLast_Click() { addressOnly("ClearLastFlag", "清除成功！"); }

void frmComm::cmdClearAll_Click() { addressOnly("ClearBrushRecord", "清除成功 ！"); }

void frmComm::cmdClearAllSend_Click() { addressOnly("ClearSendList", "清除成功！"); }

void frmComm::cmdReadClock_Click() {
    auto addr = checkedAddress();
    if (!addr) return;
    Vars v = vars({Variant(""), Variant("")});
    callDriver("GetLockState", [addr, v] {
        return std::vector<Variant>{*addr, Variant::ref((*v)[0]), Variant::ref((*v)[1])};
    }, "", [this, v](bool ok) {
        if (ok)
            msgBox("锁1状态：" + QString::fromStdString((*v)[0].toString()) + "\r" + "锁2状态：" +
                   QString::fromStdString((*v)[1].toString()));
        else
            msgBox("读取锁状态失败！");
    });
}

void frmComm::cmdSetDelay_Click() {
    auto addr = checkedAddress();
    if (!addr) return;
    std::string lock = text(cboLockID), delay = text(txtDelay);
    callDriver("SetLockDelay", [addr, lock, delay] {
        return std::vector<Variant>{*addr, Variant(lock), Variant(delay)};
    }, "锁延迟", [this](bool ok) { msgBox(ok ? "修改成功！" : "修改失败！"); });
}

void frmComm::cmdReadAll_Click() {
    auto addr = checkedAddress();
    if (!addr) return;
    lst->clear();
    Vars v = vars({Variant(int32_t{0}), Variant(rt::StringArray{}), Variant("DataRecoSet")});
    callDriver("GetBrushRecord", [addr, v] {
        return std::vector<Variant>{*addr, Variant::ref((*v)[0]), Variant::ref((*v)[1]), Variant::ref((*v)[2])};
    }, "", [this, v](bool ok) {
        if (!ok) {
            msgBox("采集失败！");
            return;
        }
        const int32_t count = (*v)[0].toLong();
        const auto& items = (*v)[1].asArray().items;
        QStringList shown;
        for (int32_t i = 0; i < count && static_cast<size_t>(i) < items.size(); ++i)
            shown.append(QString::fromStdString(items[static_cast<size_t>(i)]));
        lst->setUpdatesEnabled(false);
        lst->addItems(shown);
        lst->setUpdatesEnabled(true);
        showCount(QString::number(count));
    });
}

void frmComm::cmdReadAllB_Click() {
    auto addr = checkedAddress();
    if (!addr) return;
    lst->clear();
    Vars v = vars({Variant(int32_t{0}), Variant("DataRecoSet")});
    callDriver("GetBrushRecordB", [addr, v] {
        return std::vector<Variant>{*addr, Variant::ref((*v)[0]), Variant::ref((*v)[1])};
    }, "", [this, v](bool ok) {
        if (!ok) msgBox("采集失败！");
        lst->clear();
        showCount(QString::number((*v)[0].toLong()));
    });
}

}  // namespace ostrel::console
