// Start-up: the main window is the program's start-up object; closing it ends the program, once
// the reports being saved have left their files whole.
#include "main.h"

#include "platform_choice.h"

#include <QApplication>
#include <cstdlib>
#include <string_view>

int main(int argc, char* argv[])
{
    // Read by Qt when the application object is made, so chosen before it.
    const std::string_view platform
        = miruteka::ChoosePlatform([](const char* name) { return std::getenv(name); });
    if (!platform.empty())
        qputenv("QT_QPA_PLATFORM", QByteArray(platform.data(), qsizetype(platform.size())));
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("miruteka"));
    QGuiApplication::setDesktopFileName(QStringLiteral("io.github.miruteka"));
    miruteka::main window;
    window.show();
    const int code = QApplication::exec();
    // The window is gone by now. A save under way ends with its new report or its old content in
    // place, never cut; only one stuck in a file system that no longer answers is left behind,
    // and the process's pools, never destroyed, stay for it.
    window.work.settleSaves();
    return code;
}
