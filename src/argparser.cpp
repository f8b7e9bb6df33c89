#include "argparser.h"

#include <QFileInfo>

#include <getopt.h>

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

const char* const short_options = "u:n:f:j:w:o:p:t:v";

const struct option long_options[] = {
    {"url", required_argument, nullptr, 'u'},
    {"file", required_argument, nullptr, 'f'},
    {"json", required_argument, nullptr, 'j'},
    {"work-dir", required_argument, nullptr, 'w'},
    {"org", required_argument, nullptr, 'o'},
    {"project", required_argument, nullptr, 'p'},
    {"type", required_argument, nullptr, 't'},
    {"extra-post", required_argument, nullptr, 'e'},
    {"no-proxy", no_argument, nullptr, 'n'},
    {"system-proxy", no_argument, nullptr, 's'},
    {"proxy", required_argument, nullptr, 'x'},
    {"version", no_argument, nullptr, 'v'},
    // No short forms, and no name that starts with a prefix an older option owns.
    {"cacert", required_argument, nullptr, 'C'},
    {"idle-timeout", required_argument, nullptr, 'I'},
    {"retry", required_argument, nullptr, 'R'},
    {"dry-run", no_argument, nullptr, 'D'},
    {"report", required_argument, nullptr, 'P'},
    {nullptr, 0, nullptr, 0},
};

// Prints a rejected value in the form `"VALUE" is not ...` and the usage text.
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

// A whole number in [low, high], digits only.
bool parseBounded(const QString& text, int low, int high, int& value)
{
    if (text.isEmpty() || text.size() > 9)
        return false;
    for (QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    value = text.toInt();
    return value >= low && value <= high;
}

bool failWith(const char* message)
{
    std::cout << message << help_message;
    return false;
}

}

namespace ArgParser {

bool parseProxy(const QString& text, QString& host, quint16& port)
{
    QString rest = text;
    const QLatin1String scheme("http://");
    if (rest.startsWith(scheme, Qt::CaseInsensitive))
        rest.remove(0, scheme.size());
    if (rest.endsWith(QLatin1Char('/')))
        rest.chop(1);

    // A bracketed IPv6 address keeps its colons; otherwise the last colon starts the port.
    int colon = -1;
    if (rest.startsWith(QLatin1Char('['))) {
        const int close = rest.indexOf(QLatin1Char(']'));
        if (close < 0)
            return false;
        if (close + 1 < rest.size()) {
            if (rest.at(close + 1) != QLatin1Char(':'))
                return false;
            colon = close + 1;
        }
        host = rest.mid(1, close - 1);
    } else {
        colon = rest.lastIndexOf(QLatin1Char(':'));
        host = colon < 0 ? rest : rest.left(colon);
    }
    if (host.isEmpty())
        return false;
    if (colon < 0) {
        port = 8080;
        return true;
    }
    int value = 0;
    if (!parseBounded(rest.mid(colon + 1), 1, 65535, value))
        return false;
    port = static_cast<quint16>(value);
    return true;
}

bool generateTask(int argc, char** argv, Options& options)
{
    int optionIndex = 0;
    int letter;
    while ((letter = getopt_long(argc, argv, short_options, long_options, &optionIndex)) != -1) {
        // Each byte becomes the character of the same Latin-1 code.
        const QString argument = optarg ? QString::fromLatin1(optarg) : QString();
        switch (letter) {
        case 'u':
            if (optarg)
                options.url = QUrl(argument);
            break;
        case 'f':
            if (optarg)
                options.files.append(argument);
            break;
        case 'j':
            if (optarg)
                options.jsonFile = argument;
            break;
        case 'w':
            if (optarg) {
                options.workDir = argument;
                if (!options.workDir.endsWith(QLatin1Char('/')) && !options.workDir.endsWith(QLatin1Char('\\')))
                    options.workDir.append(QLatin1Char('/'));
            }
            break;
        case 'o':
            if (optarg)
                options.postVariables.insert(QStringLiteral("org"), argument);
            break;
        case 'p':
            if (optarg)
                options.postVariables.insert(QStringLiteral("project"), argument);
            break;
        case 't':
            if (optarg)
                options.postVariables.insert(QStringLiteral("type"), argument);
            break;
        case 'e':
            if (optarg) {
                const QStringList nameValue = argument.split(QLatin1Char('='), Qt::KeepEmptyParts, Qt::CaseSensitive);
                if (nameValue.size() != 2)
                    return reject(optarg, "an extra-post value");
                options.postVariables.insert(nameValue.at(0), nameValue.at(1));
            }
            break;
        case 'n':
            options.proxyType = Options::NoProxy;
            break;
        case 's':
            options.proxyType = Options::SystemProxy;
            break;
        case 'x':
            if (optarg) {
                QString host;
                quint16 port = 0;
                // Checked now so that a proxy that cannot work stops the run before anything is made.
                if (!parseProxy(argument, host, port))
                    return reject(optarg, "a proxy host[:port]");
                options.proxyType = Options::ManualProxy;
                options.proxy = argument;
            }
            break;
        case 'v':
            options.displayVersion = true;
            break;
        case 'C':
            options.caCertFile = argument;
            options.caCertificates.clear();
            // Only a regular file: a device or a pipe would be read for ever.
            if (QFileInfo(argument).isFile())
                options.caCertificates = QSslCertificate::fromPath(argument, QSsl::Pem, QSslCertificate::PatternSyntax::FixedString);
            if (options.caCertificates.isEmpty())
                return badValue("--cacert", optarg, "a readable PEM file with at least one certificate");
            break;
        case 'I':
            if (!parseBounded(argument, 1, 86400 * 365, options.idleTimeout))
                return badValue("--idle-timeout", optarg, "a positive whole number of seconds");
            break;
        case 'R':
            if (!parseBounded(argument, 0, 10, options.retry))
                return badValue("--retry", optarg, "a whole number from 0 to 10");
            break;
        case 'D':
            options.dryRun = true;
            break;
        case 'P':
            options.reportFile = argument;
            if (argument.isEmpty())
                return badValue("--report", optarg, "a file name");
            break;
        default:
            std::cout << help_message;
            return false;
        }
    }
    return true;
}

bool Options::isValid() const
{
    if (displayVersion)
        return true;
    if (!url.isValid())
        return failWith("--url is required\n\n");
    if (files.isEmpty())
        return failWith("At least one --file is required\n\n");
    if (!postVariables.contains(QStringLiteral("org")))
        return failWith("--org is required\n\n");
    if (!postVariables.contains(QStringLiteral("project")))
        return failWith("--project is required\n\n");
    if (!postVariables.contains(QStringLiteral("type")))
        return failWith("--type is required\n\n");
    return true;
}

}
