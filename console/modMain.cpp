// The console's entry procedure.
#include "console/modMain.h"

#include <QApplication>
#include <QMessageBox>

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
        QMessageBox box(QMessageBox::Critical, "OstrelPanel",
                        QString("Run-time error '%1':\n\n%2").arg(e.number()).arg(QString::fromStdString(e.description())),
                        QMessageBox::Ok);
        box.exec();
        return 1;
    }
    window.show();
    return QApplication::exec();
}

}  // namespace ostrel::console
