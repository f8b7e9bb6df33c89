#include "argparser.h"

#include <getopt.h>

#include "optiontable.h"
#include "parse/SecretArguments.h"
#include "usage.h"

using OptionTable::Reading;
using OptionTable::Row;
using OptionTable::Taken;

namespace {

// The option's value, once read, no longer shows its secret to other users of the machine.
void hideSecrets(const Row& row)
{
    if (!optarg)
        return;
    if (row.flags & OptionTable::UrlPassword)
        SecretArguments::hidePassword(optarg);
    else if (row.flags & OptionTable::ProxyPassword)
        SecretArguments::hideProxyPassword(optarg);
    else if (row.flags & OptionTable::HeaderValue)
        SecretArguments::hideHeaderValue(optarg);
}

// Options that only make sense together, checked once all are known.
bool checkTogether(Reading& reading)
{
    ArgParser::Options& options = reading.options;
    if (!options.resendDir.isEmpty() && !reading.firstEventOption.isEmpty()) {
        return Usage::failWith(("--resend cannot be used with " + reading.firstEventOption + "\n\n").constData());
    }
    if (!options.queueDir.isEmpty() && options.dryRun)
        return Usage::failWith("--queue cannot be used with --dry-run\n\n");
    if (options.allEntries && options.resendDir.isEmpty())
        return Usage::failWith("--all-entries needs --resend\n\n");
    if (reading.queueLimitGiven && options.queueDir.isEmpty())
        return Usage::failWith("--queue-max-events and --queue-max-bytes need --queue\n\n");
    // A Kerberos token is for an HTTP proxy: one given, or the environment's.
    if (options.transport.kerberos
        && (options.proxyType == ArgParser::Options::NoProxy
            || (options.proxyType == ArgParser::Options::ManualProxy && options.transport.proxySetting.scheme != ProxySetting::Http)))
        return Usage::failWith("--kerberos needs an HTTP proxy: --proxy http://HOST:PORT or --system-proxy\n\n");
    QString option;
    QString file;
    QString why;
    if (!ClientCertificate::load(options.clientCertFile, options.clientKeyFile, options.clientKeyPassFile,
                                 options.transport.clientCertificate, option, file, why))
        return Usage::badValue(option.toLatin1().constData(), file.toLatin1().constData(), why.toLatin1().constData());
    return true;
}

}

namespace ArgParser {

bool generateTask(int argc, char** argv, Options& options)
{
    Reading reading{options, QByteArray(), false};
    int optionIndex = 0;
    int id;
    while ((id = getopt_long(argc, argv, OptionTable::shortOptions(), OptionTable::longOptions(), &optionIndex)) != -1) {
        const Row* row = OptionTable::find(id);
        if (!row)
            return Usage::failWith("");
        if (reading.firstEventOption.isEmpty() && (row->flags & OptionTable::EventOption))
            reading.firstEventOption = OptionTable::nameOf(*row);
        // Each byte becomes the character of the same Latin-1 code.
        const QString argument = optarg ? QString::fromLatin1(optarg) : QString();
        hideSecrets(*row);  // a value that is refused holds its secret all the same
        if (row->take(reading, *row, argument) == Taken::Rejected)
            return false;
    }
    if (!checkTogether(reading))
        return false;
    options.transport.proxyType = options.proxyType;
    return true;
}

QStringList longOptionNames()
{
    QStringList names;
    for (const struct option* entry = OptionTable::longOptions(); entry->name; ++entry)
        names.append(QLatin1String("--") + QLatin1String(entry->name));
    return names;
}

const char* helpText()
{
    return OptionTable::help();
}

bool Options::isValid() const
{
    if (displayVersion || displayHelp || !resendDir.isEmpty())
        return true;
    if (!url.isValid())
        return Usage::failWith("--url is required\n\n");
    if (files.isEmpty())
        return Usage::failWith("At least one --file is required\n\n");
    if (!postVariables.contains(QStringLiteral("org")))
        return Usage::failWith("--org is required\n\n");
    if (!postVariables.contains(QStringLiteral("project")))
        return Usage::failWith("--project is required\n\n");
    if (!postVariables.contains(QStringLiteral("type")))
        return Usage::failWith("--type is required\n\n");
    return true;
}

}
