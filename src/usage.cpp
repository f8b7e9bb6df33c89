#include "usage.h"

#include "support/console.h"

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
    Console::write(std::string(message) + help_message);
    return false;
}

bool reject(const char* rawValue, const char* what)
{
    Console::write('"' + std::string(rawValue) + "\" is not " + what + "!\n\n" + help_message);
    return false;
}

bool badValue(const char* option, const char* rawValue, const char* expected)
{
    Console::write(std::string("Bad value for ") + option + ": \"" + rawValue + "\" (" + expected + ")\n\n" + help_message);
    return false;
}

bool badValueShown(const char* option, const QString& shown)
{
    Console::write(std::string("Bad value for ") + option + ": " + shown.toLatin1().constData() + "\n\n" + help_message);
    return false;
}

}
