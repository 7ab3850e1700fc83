// Start-up: the main window is the program's start-up object; closing it ends the program.
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
    return QApplication::exec();
}
