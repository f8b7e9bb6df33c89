#include <QCoreApplication>
#include <QTextCodec>

#include "cli.h"
#include "support/exitcodes.h"

int main(int argc, char** argv)
{
    // No Qt plugin is of use here: without a search path, the network manager
    // loads no bearer plugin (and with them D-Bus, libsystemd and their threads).
    QCoreApplication::setLibraryPaths({});
    QCoreApplication application(argc, argv);
    // File names and child arguments are bytes: with Latin-1 as the local 8-bit
    // codec, a path decoded from an argument reaches the file system unchanged.
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("ISO-8859-1"));

    int result = ExitCode::BadCommandLine;
    {
        Cli cli;
        if (cli.init(argc, argv)) {
            result = cli.run();
            QCoreApplication::processEvents();
        }
    }
    return result;
}
