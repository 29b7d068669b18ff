#include <QApplication>

#include "console/modMain.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("OstrelPanel");
    return ostrel::console::modMain();
}
