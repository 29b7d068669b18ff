// The console window's controls, their texts, positions and initial state,
// the load step and the check boxes that switch the validity-window inputs.
#include "console/frmComm.h"

#include <QDate>
#include <QTime>

#include "basic/DateTime.h"
#include "console/FitText.h"

namespace ostrel::console {
namespace {

// Positions are given in twips; at 96 dpi a pixel is 15 twips.
void place(QWidget* w, int left, int top, int width, int height) {
    auto px = [](int twips) { return (twips + 7) / 15; };
    w->setGeometry(px(left), px(top), px(width), px(height));
}

template <class W>
W* make(QWidget* parent, const char* name, const QString& text, int l, int t, int w, int h) {
    auto* c = new W(text, parent);
    c->setObjectName(name);
    place(c, l, t, w, h);
    return c;
}

QLineEdit* field(QWidget* parent, const char* name, const QString& text, int l, int t, int w, int h) {
    auto* e = new QLineEdit(text, parent);
    e->setObjectName(name);
    place(e, l, t, w, h);
    return e;
}

QComboBox* list(QWidget* parent, const char* name, int l, int t, int w, int h) {
    auto* c = new CompactComboBox(parent);
    c->setObjectName(name);
    c->setEditable(false);
    place(c, l, t, w, h);
    return c;
}

QDateTimeEdit* picker(QWidget* parent, const char* name, const char* format, int l, int t, int w, int h) {
    auto* p = new QDateTimeEdit(QDateTime(QDate(2003, 6, 20), QTime(0, 0, 0)), parent);
    p->setObjectName(name);
    p->setDisplayFormat(format);
    p->setDateTimeRange(QDateTime(QDate(1601, 1, 1), QTime(0, 0)), QDateTime(QDate(9999, 12, 31), QTime(23, 59, 59)));
    place(p, l, t, w, h);
    return p;
}

QGroupBox* frame(QWidget* parent, const char* name, int l, int t, int w, int h) {
    auto* g = new QGroupBox(parent);
    g->setObjectName(name);
    place(g, l, t, w, h);
    return g;
}

const char* const kWeekdays[] = {"星期一             1", "星期二             2", "星期三             3",
                                 "星期四             4", "星期五             5", "星期六             6",
                                 "星期日             0"};
const char* const kLockTypes[] = {"进出", "进", "出", "禁止进出"};

}  // namespace

frmComm::frmComm(QWidget* parent) : QWidget(parent) {
    setObjectName("frmComm");
    setWindowTitle("门禁动态库示例");
    // Fixed single border, no minimise or maximise box.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setFixedSize((7515 + 7) / 15, (6780 + 7) / 15);
    // A small UI font, as the twip positions were laid out for.
    QFont f = font();
    f.setPixelSize(12);
    setFont(f);
    buildControls();
    connectHandlers();
}

frmComm::~frmComm() = default;

void frmComm::buildControls() {
    Frame1 = frame(this, "Frame1", 0, 0, 7410, 6735);
    QWidget* f1 = Frame1;
    Label2 = make<QLabel>(f1, "Label2", "串口", 720, 360, 360, 195);
    txt_Port = field(f1, "txt_Port", "1", 1170, 270, 780, 285);
    Command1 = make<QPushButton>(f1, "Command1", "设置串口", 2610, 225, 1320, 330);
    cmdReadSysData = make<QPushButton>(f1, "cmdReadSysData", "读取机器状态", 4020, 210, 1395, 360);
    Command2 = make<QPushButton>(f1, "Command2", "关闭串口", 5520, 210, 1215, 360);
    Command2->setToolTip("本函数只是为了演示此功能，并不会影响其它函数调用，因为其它函数会自动打开串口");
    Label1[0] = make<QLabel>(f1, "Label1(0)", "地址", 720, 690, 360, 180);
    txtFields[0] = field(f1, "txtFields(0)", "20", 1170, 630, 795, 300);
    cmdOpenClock = make<QPushButton>(f1, "cmdOpenClock", "打开锁", 4020, 615, 1395, 360);
    cboClock = list(f1, "cboClock", 5490, 630, 960, 315);
    Label1[1] = make<QLabel>(f1, "Label1(1)", "卡物理地址", 180, 1050, 900, 180);
    txtFields[1] = field(f1, "txtFields(1)", "", 1170, 990, 1350, 300);
    cmdReadLast = make<QPushButton>(f1, "cmdReadLast", "读物理卡号", 2610, 990, 1320, 330);
    cmdSetDate = make<QPushButton>(f1, "cmdSetDate", "设置日期", 4020, 975, 1395, 360);
    txtDate = field(f1, "txtDate", "", 5490, 975, 1290, 345);
    Label1[2] = make<QLabel>(f1, "Label1(2)", "逻辑号", 540, 1410, 540, 180);
    txtFields[2] = field(f1, "txtFields(2)", "", 1170, 1350, 1365, 300);
    cmdInit = make<QPushButton>(f1, "cmdInit", "发卡", 2610, 1395, 645, 345);
    cmdClearOneCard = make<QPushButton>(f1, "cmdClearOneCard", "删卡", 3285, 1395, 645, 345);
    cmdSetTime = make<QPushButton>(f1, "cmdSetTime", "设置时间", 4020, 1320, 1395, 360);
    txtTime = field(f1, "txtTime", "", 5490, 1350, 1290, 330);
    cmdClearLast = make<QPushButton>(f1, "cmdClearLast", "清除标记", 4020, 1845, 1395, 360);
    cmdClearAll = make<QPushButton>(f1, "cmdClearAll", "清除所有打卡记录", 5490, 1845, 1770, 360);
    cmdReadClock = make<QPushButton>(f1, "cmdReadClock", "读取门锁状态", 4020, 2250, 1395, 360);
    cmdClearAllSend = make<QPushButton>(f1, "cmdClearAllSend", "清除所有发卡名单", 5490, 2250, 1770, 330);
    cmdSetDelay = make<QPushButton>(f1, "cmdSetDelay", "修改锁延迟", 4020, 2655, 1395, 360);
    cboLockID = list(f1, "cboLockID", 5535, 2655, 960, 315);
    txtDelay = field(f1, "txtDelay", "1", 6525, 2655, 735, 300);
    cmdReadAll = make<QPushButton>(f1, "cmdReadAll", "读取所有打卡反回记录集", 135, 4200, 2595, 465);
    cmdReadAllB = make<QPushButton>(f1, "cmdReadAllB", "读取所有打卡不返回记录集", 120, 4800, 2595, 465);
    lst = new QListWidget(f1);
    lst->setObjectName("lst");
    place(lst, 2880, 4200, 4335, 2400);
    Label3 = make<QLabel>(f1, "Label3", "采集到记录条数：", 840, 5520, 1440, 195);
    // The count is placed to start right after Label3 and end before the
    // list: the least widening that shows five digits (up to 65535 records).
    lblCount = make<QLabel>(f1, "lblCount", "0", 2295, 5520, 570, 195);
    progress = new QProgressBar(f1);
    progress->setObjectName("progress");
    progress->setFormat("%v / %m");
    place(progress, 2880, 6330, 4335, 270);
    progress->hide();
    Label5 = make<QLabel>(f1, "Label5", "        使用此DLL提供的采集函数功能，要先调用  [ 设置串口]  函数。", 120, 6000,
                          2655, 495);
    Label5->setWordWrap(true);
    QFont small = Label5->font();
    small.setPixelSize(11);
    Label5->setFont(small);

    Frame2 = frame(f1, "Frame2", 135, 1755, 3810, 1395);
    QWidget* f2 = Frame2;
    chkCheck[0] = make<QCheckBox>(f2, "chkCheck(0)", "日期", 120, 270, 750, 210);
    dtpDateB = picker(f2, "dtpDateB", "yyyy-MM-dd", 900, 240, 1275, 285);
    dtpDateE = picker(f2, "dtpDateE", "yyyy-MM-dd", 2205, 240, 1380, 285);
    chkCheck[2] = make<QCheckBox>(f2, "chkCheck(2)", "星期", 120, 660, 705, 210);
    cboWeekB = list(f2, "cboWeekB", 900, 585, 1275, 300);
    cboWeekE = list(f2, "cboWeekE", 2205, 585, 1380, 300);
    chkCheck[1] = make<QCheckBox>(f2, "chkCheck(1)", "时间", 120, 990, 690, 210);
    dtpTimeB = picker(f2, "dtpTimeB", "HH:mm:ss", 900, 930, 1275, 315);
    dtpTimeE = picker(f2, "dtpTimeE", "HH:mm:ss", 2205, 930, 1380, 315);

    Frame3 = frame(f1, "Frame3", 135, 3195, 7125, 810);
    QWidget* f3 = Frame3;
    Label4[0] = make<QLabel>(f3, "Label4(2)", "锁一", 180, 165, 360, 180);
    const int pos1[4][4] = {{840, 180, 795, 180}, {2025, 210, 795, 180}, {3150, 210, 795, 180}, {4305, 195, 1155, 180}};
    groupCtl1 = new QButtonGroup(this);
    for (int i = 0; i < 4; ++i) {
        optCtl1[static_cast<size_t>(i)] = make<QRadioButton>(f3, "optCtl1", kLockTypes[i], pos1[i][0], pos1[i][1],
                                                             pos1[i][2], pos1[i][3]);
        optCtl1[static_cast<size_t>(i)]->setObjectName(QString("optCtl1(%1)").arg(i));
        groupCtl1->addButton(optCtl1[static_cast<size_t>(i)], i);
    }
    // The borderless box makes the second group independent of the first.
    Picture1 = new QWidget(f3);
    Picture1->setObjectName("Picture1");
    place(Picture1, 135, 405, 5190, 375);
    Label4[1] = make<QLabel>(Picture1, "Label4(3)", "锁二", 45, 60, 360, 180);
    const int pos2[4][4] = {{690, 75, 750, 195}, {1875, 75, 750, 195}, {3000, 60, 750, 195}, {4155, 45, 1095, 195}};
    groupCtl2 = new QButtonGroup(this);
    for (int i = 0; i < 4; ++i) {
        optCtl2[static_cast<size_t>(i)] = make<QRadioButton>(Picture1, "optCtl2", kLockTypes[i], pos2[i][0],
                                                             pos2[i][1], pos2[i][2], pos2[i][3]);
        optCtl2[static_cast<size_t>(i)]->setObjectName(QString("optCtl2(%1)").arg(i));
        groupCtl2->addButton(optCtl2[static_cast<size_t>(i)], i);
    }
    optCtl1[0]->setChecked(true);
    optCtl2[0]->setChecked(true);
}

void frmComm::load() {
    txtDate->setText(QString::fromStdString(basic::todayText()));
    txtTime->setText(QString::fromStdString(basic::currentTimeText()));
    for (QWidget* w : {static_cast<QWidget*>(dtpDateB), static_cast<QWidget*>(dtpDateE),
                       static_cast<QWidget*>(dtpTimeB), static_cast<QWidget*>(dtpTimeE),
                       static_cast<QWidget*>(cboWeekB), static_cast<QWidget*>(cboWeekE)})
        w->setEnabled(false);
    for (QComboBox* c : {cboWeekB, cboWeekE}) {
        for (const char* day : kWeekdays) c->addItem(day);
        c->setCurrentIndex(-1);
    }
    for (QComboBox* c : {cboLockID, cboClock}) {
        c->addItem("1");
        c->addItem("2");
        c->setCurrentIndex(0);
    }
    fitTexts(this);
    driver_.create("Ostrel.cls_Door");
}

void frmComm::chkCheck_Click(int index) {
    QCheckBox* box = chkCheck[static_cast<size_t>(index)];
    const bool on = box->isChecked();
    // Acts on the caption, not the index; the begin input first.
    const QString caption = box->text();
    std::pair<QWidget*, QWidget*> inputs{nullptr, nullptr};
    if (caption == "日期") inputs = {dtpDateB, dtpDateE};
    else if (caption == "时间") inputs = {dtpTimeB, dtpTimeE};
    else if (caption == "星期") inputs = {cboWeekB, cboWeekE};
    if (!inputs.first) return;
    inputs.first->setEnabled(on);
    inputs.second->setEnabled(on);
}

}  // namespace ostrel::console
