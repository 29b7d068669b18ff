// The console's entry procedure.
#include "console/modMain.h"

#include <QApplication>
#include <QMessageBox>

#include "console/ErrorText.h"
#include "console/QtMessageBoxService.h"
#include "console/frmComm.h"
#include "runtime/AutomationError.h"

namespace ostrel::console {

int modMain() {
    installQtMessageBoxService();
    frmComm window;
    try {
        window.load();
    } catch (const rt::AutomationError& e) {
        QMessageBox box(QMessageBox::Critical, "OstrelPanel", errorText(e, QString()), QMessageBox::Ok);
        box.exec();
        return 1;
    }
    window.show();
    return QApplication::exec();
}

}  // namespace ostrel::console
