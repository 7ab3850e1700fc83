// Start-up: the main window is the program's start-up object; closing it ends the program.
#include "main.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("miruteka"));
    QGuiApplication::setDesktopFileName(QStringLiteral("io.github.miruteka"));
    miruteka::main window;
    window.show();
    return QApplication::exec();
}
