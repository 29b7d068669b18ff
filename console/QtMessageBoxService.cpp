#include "console/QtMessageBoxService.h"

#include <QApplication>
#include <QMessageBox>
#include <QThread>

#include "runtime/MessageBox.h"

namespace ostrel::console {

void installQtMessageBoxService() {
    rt::setMessageBoxService([](const std::string& text, rt::MessageIcon icon, const std::string& title) {
        QMessageBox::Icon qicon = QMessageBox::NoIcon;
        switch (icon) {
            case rt::MessageIcon::Critical: qicon = QMessageBox::Critical; break;
            case rt::MessageIcon::Question: qicon = QMessageBox::Question; break;
            case rt::MessageIcon::Exclamation: qicon = QMessageBox::Warning; break;
            case rt::MessageIcon::Information: qicon = QMessageBox::Information; break;
            case rt::MessageIcon::None: break;
        }
        auto show = [&] {
            QMessageBox box(qicon, QString::fromStdString(title), QString::fromStdString(text), QMessageBox::Ok,
                            QApplication::activeWindow());
            box.exec();
        };
        // The driver runs on a thread of its own; boxes belong to the window's.
        if (QThread::currentThread() == qApp->thread()) show();
        else QMetaObject::invokeMethod(qApp, show, Qt::BlockingQueuedConnection);
    });
}

}  // namespace ostrel::console
