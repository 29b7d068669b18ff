// The console window: one field or list per driver parameter, one button per
// driver operation. Calls go to the driver by name, late-bound, on the
// driver's own thread; while one runs the buttons are disabled, so no click
// waits behind it, and the window keeps painting.
#pragma once

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QWidget>
#include <array>
#include <functional>
#include <optional>
#include <vector>

#include "console/DriverThread.h"
#include "runtime/Variant.h"

namespace ostrel::console {

class frmComm : public QWidget {
    Q_OBJECT
public:
    explicit frmComm(QWidget* parent = nullptr);
    ~frmComm() override;

    // The load step: fills the fields and creates the driver by ProgID.
    // Raises the runtime's creation error when the driver cannot be created.
    void load();

    // Controls, by their names.
    QGroupBox *Frame1, *Frame2, *Frame3;
    QWidget* Picture1;
    QLabel *Label2, *Label3, *Label5, *lblCount;
    std::array<QLabel*, 3> Label1;
    std::array<QLabel*, 2> Label4;  // Label4(2) and Label4(3)
    QLineEdit *txt_Port, *txtDate, *txtTime, *txtDelay;
    std::array<QLineEdit*, 3> txtFields;
    QPushButton *Command1, *Command2, *cmdReadSysData, *cmdOpenClock, *cmdReadLast, *cmdSetDate, *cmdInit,
        *cmdClearOneCard, *cmdSetTime, *cmdClearLast, *cmdClearAll, *cmdReadClock, *cmdClearAllSend, *cmdSetDelay,
        *cmdReadAll, *cmdReadAllB;
    QComboBox *cboClock, *cboLockID, *cboWeekB, *cboWeekE;
    std::array<QCheckBox*, 3> chkCheck;
    QDateTimeEdit *dtpDateB, *dtpDateE, *dtpTimeB, *dtpTimeE;
    std::array<QRadioButton*, 4> optCtl1, optCtl2;
    QButtonGroup *groupCtl1, *groupCtl2;
    QListWidget* lst;
    QProgressBar* progress;  // shown over the list during a download

    // True from a button's call until its outcome was reported.
    bool isBusy() const { return busy_; }

private:
    void buildControls();
    void connectHandlers();
    void chkCheck_Click(int index);

    // Button handlers.
    void Command1_Click();
    void Command2_Click();
    void cmdReadSysData_Click();
    void cmdOpenClock_Click();
    void cmdReadLast_Click();
    void cmdSetDate_Click();
    void cmdInit_Click();
    void cmdClearOneCard_Click();
    void cmdSetTime_Click();
    void cmdClearLast_Click();
    void cmdClearAll_Click();
    void cmdReadClock_Click();
    void cmdClearAllSend_Click();
    void cmdSetDelay_Click();
    void cmdReadAll_Click();
    void cmdReadAllB_Click();
    void addressOnly(const char* operation, const char* okText);

    using Args = std::function<std::vector<rt::Variant>()>;
    // Calls operation by name on the driver thread with the arguments args
    // builds there (by-reference arguments refer to variables the handler
    // keeps alive in its captures). The window is busy until it returns;
    // then(result) runs after, unless the call raised an error, which is
    // shown in a box naming field (the field whose text the call read).
    void callDriver(const std::string& operation, Args args, const QString& field, std::function<void(bool)> then);
    // The bus address from txtFields(0): digits for 0 to 255, else a box
    // naming the field and nothing (the handler then sends nothing).
    std::optional<rt::Variant> checkedAddress();
    // A modal box with an OK button; title "OstrelPanel" unless given.
    void msgBox(const QString& text, QMessageBox::Icon icon = QMessageBox::NoIcon, const QString& title = QString());
    void setBusy(bool busy, bool download = false);
    void showCount(const QString& count);

    bool busy_ = false;
    DriverThread driver_;
};

}  // namespace ostrel::console
