#include "usage.h"

#include <iostream>

namespace {

const char* const help_message =
    "Quillfast usage : \n"
    "\t--url <url>               => (mandatory)   Url of server\n"
    "\t--file <file>             => (one or more) Add file for upload\n"
    "\t--json <file>             => (optionnal)   Add json for upload\n"
    "\t--work-dir <dir>          => (optionnal)   Set working directory for zip\n"
    "\t--org <organization>      => (mandatory)   Add 'org' variable to request\n"
    "\t--project <project>       => (mandatory)   Add 'project' variable to request\n"
    "\t--type <type>             => (mandatory)   Add 'type' variable to request\n"
    "\t--extra-post <var=value>  => (mandatory)   Add 'var' variable with value to request\n"
    "\t--no-proxy                => (mandatory)   Desactivate a proxy\n"
    "\t--system-proxy            => (mandatory)   Use a system proxy\n"
    "\t--proxy <proxy>           => (mandatory)   Set proxy\n"
    "\t--version                 => (optionnal)   Display version\n";

}

namespace Usage {

const char* text()
{
    return help_message;
}

bool failWith(const char* message)
{
    std::cout << message << help_message;
    return false;
}

bool reject(const char* rawValue, const char* what)
{
    std::cout << '"' << rawValue << "\" is not " << what << "!\n\n" << help_message;
    return false;
}

bool badValue(const char* option, const char* rawValue, const char* expected)
{
    std::cout << "Bad value for " << option << ": \"" << rawValue << "\" (" << expected << ")\n\n" << help_message;
    return false;
}

bool badValueShown(const char* option, const QString& shown)
{
    std::cout << "Bad value for " << option << ": " << shown.toLatin1().constData() << "\n\n" << help_message;
    return false;
}

}
