#include <QCoreApplication>
#include <QTextCodec>

#include <unistd.h>

#include <cstdio>
#include <iostream>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

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
    // Everything of the run's own is written and closed by now. Qt's exit would wait
    // for its name lookups, which run on threads of their own: a resolver that never
    // answers would hold the run past --max-time for as long as its own timeouts.
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
#if defined(__SANITIZE_ADDRESS__)
    __lsan_do_leak_check();  // which the exit below would skip
#endif
    _exit(result);
}
