// The console window: one field or list per driver parameter, one button per
// driver operation. Calls go to the driver by name, late-bound.
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
#include <QPushButton>
#include <QRadioButton>
#include <QWidget>
#include <array>
#include <optional>
#include <vector>

#include "runtime/Registry.h"
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

    // Calls the driver by name with a busy cursor; an automation error is
    // shown in a box and ends the handler (the optional is then empty).
    std::optional<bool> callDriver(const char* operation, std::vector<rt::Variant> args);
    // The bus address from txtFields(0) by the lenient reading, as a Double.
    rt::Variant address() const;
    // A modal box with an OK button; title "OstrelPanel" unless given.
    void msgBox(const QString& text, QMessageBox::Icon icon = QMessageBox::NoIcon, const QString& title = QString());

    rt::ObjectRef driver_;
};

}  // namespace ostrel::console
