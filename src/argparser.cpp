#include "argparser.h"

#include <QFile>

#include <cerrno>
#include <getopt.h>
#include <sys/stat.h>

#include <iostream>

#include "form/EventForm.h"
#include "form/FormPart.h"
#include "parse/CaCertificates.h"
#include "parse/SecretArguments.h"
#include "parse/numbers.h"

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

// --help, grouped as the README groups the options. The usage text above stays as it always was.
const char* const full_help =
    "Usage: quillfast --url URL --file FILE... --org ORG --project PROJECT --type TYPE [OPTION]...\n"
    "  or:  quillfast --resend DIR [OPTION]...\n"
    "Pack the files into a ZIP archive with 7z, fill the placeholders of a JSON\n"
    "description, and post both with the form variables to a collection server.\n"
    "\n"
    "The event:\n"
    "  -u, --url=URL                the server's URL (mandatory)\n"
    "  -f, --file=FILE              a file to put in the archive; one or more\n"
    "  -j, --json=FILE              a JSON description: $eventId, $org, $project and $type are filled in\n"
    "  -w, --work-dir=DIR           where the archive is made (default: the current directory)\n"
    "  -o, --org=ORG                the 'org' form variable (mandatory)\n"
    "  -p, --project=PROJECT        the 'project' form variable (mandatory)\n"
    "  -t, --type=TYPE              the 'type' form variable (mandatory)\n"
    "      --extra-post=NAME=VALUE  one more form variable; it replaces one of the same name\n"
    "      --zip-level=N            7z's compression level, 0 (store) to 9\n"
    "      --dry-run                make the archive and the form, show them, send nothing\n"
    "      --hash-parts             each file part's SHA-256 (Content-Digest), and an Idempotency-Key\n"
    "\n"
    "Proxies (the last of the three given wins):\n"
    "  -n, --no-proxy               no proxy (the default; -n takes an ignored argument)\n"
    "      --system-proxy           the proxy the environment names, by curl's rules\n"
    "      --proxy=[SCHEME://][USER[:PASSWORD]@]HOST[:PORT]\n"
    "                               this proxy: SCHEME http (default), socks5 or socks5h\n"
    "      --kerberos               answer the HTTP proxy with the user's Kerberos ticket\n"
    "\n"
    "Delivery:\n"
    "      --cacert=FILE            verify the server against the CA certificates in FILE\n"
    "      --header='NAME: VALUE'   one more request header; @FILE reads one per line\n"
    "      --mtls-cert=FILE         a client certificate (PEM), with --mtls-key\n"
    "      --mtls-key=FILE          its private key (PEM)\n"
    "      --mtls-pass=FILE         the key's passphrase, on the first line of FILE\n"
    "      --idle-timeout=SECONDS   end an exchange in which no byte moves for SECONDS\n"
    "      --max-time=SECONDS       a deadline for the whole upload phase\n"
    "      --retry=COUNT            up to COUNT (0-10) more attempts after a transient failure\n"
    "      --accept-status=LIST     these 2xx statuses deliver too: 201,202 or 2xx\n"
    "      --report=FILE            write the outcome as JSON to FILE\n"
    "      --progress=MODE          auto (on a terminal), always or never\n"
    "\n"
    "The queue:\n"
    "      --queue=DIR              keep an event that could not be delivered yet in DIR\n"
    "      --queue-max-events=N     at most N events in the queue (default 100)\n"
    "      --queue-max-bytes=SIZE   at most SIZE bytes, 1M to 1024G (default 2G)\n"
    "      --resend=DIR             post every event kept in DIR, and nothing else\n"
    "      --all-entries            with --resend: every entry now, even one put off\n"
    "\n"
    "Other:\n"
    "      --help                   show this help and exit\n"
    "  -v, --version                show the version banner and exit\n"
    "\n"
    "Long options may be abbreviated to any unique prefix. The exit status is 0\n"
    "when the server answered 200 or a status of --accept-status; quillfast(1)\n"
    "lists the others.\n";

// The longest wait a time option takes: a year, in seconds.
const int max_seconds = 86400 * 365;

const char* const short_options = "u:n:f:j:w:o:p:t:v";

// Options with a long form only: their ids lie above every byte, so none can
// be mistaken for a short option's letter.
enum LongOnlyOption : int {
    optionLastChar = 255,
    optionCaCert,
    optionIdleTimeout,
    optionRetry,
    optionDryRun,
    optionReport,
    optionHeader,
    optionMtlsCert,
    optionMtlsKey,
    optionMtlsPass,
    optionQueue,
    optionQueueMaxEvents,
    optionQueueMaxBytes,
    optionResend,
    optionZipLevel,
    optionProgress,
    optionMaxTime,
    optionHelp,
    optionKerberos,
    optionAllEntries,
    optionAcceptStatus,
    optionHashParts,
};

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
    // No name may start with a prefix that an older option owns.
    {"cacert", required_argument, nullptr, optionCaCert},
    {"idle-timeout", required_argument, nullptr, optionIdleTimeout},
    {"retry", required_argument, nullptr, optionRetry},
    {"dry-run", no_argument, nullptr, optionDryRun},
    {"report", required_argument, nullptr, optionReport},
    {"header", required_argument, nullptr, optionHeader},
    {"mtls-cert", required_argument, nullptr, optionMtlsCert},
    {"mtls-key", required_argument, nullptr, optionMtlsKey},
    {"mtls-pass", required_argument, nullptr, optionMtlsPass},
    {"queue", required_argument, nullptr, optionQueue},
    {"queue-max-events", required_argument, nullptr, optionQueueMaxEvents},
    {"queue-max-bytes", required_argument, nullptr, optionQueueMaxBytes},
    {"resend", required_argument, nullptr, optionResend},
    {"zip-level", required_argument, nullptr, optionZipLevel},
    {"progress", required_argument, nullptr, optionProgress},
    {"max-time", required_argument, nullptr, optionMaxTime},
    // The one agreed exception to the rule above: "--he" is ambiguous since, "--hea" still means --header.
    {"help", no_argument, nullptr, optionHelp},
    {"kerberos", no_argument, nullptr, optionKerberos},
    {"all-entries", no_argument, nullptr, optionAllEntries},
    {"accept-status", required_argument, nullptr, optionAcceptStatus},
    {"hash-parts", no_argument, nullptr, optionHashParts},
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

// The same, for a value that may hold a secret: shown is what may be printed of it.
bool badValueShown(const char* option, const QString& shown)
{
    std::cout << "Bad value for " << option << ": " << shown.toLatin1().constData() << "\n\n" << help_message;
    return false;
}

bool failWith(const char* message)
{
    std::cout << message << help_message;
    return false;
}

// "--name" of an option, from the table above: the one place its name is written.
QByteArray optionName(int id)
{
    for (const struct option& entry : long_options) {
        if (entry.name && entry.val == id)
            return QByteArray("--") + entry.name;
    }
    return {};
}

// Whether a group of options took an option: No leaves it to the next group.
enum class Taken { No, Yes, Rejected };

// The value of option id, as given, is not what it takes.
Taken refused(int id, const char* expected)
{
    badValue(optionName(id).constData(), optarg, expected);
    return Taken::Rejected;
}

// Taken when the value passed its check, refused otherwise.
Taken checked(bool passed, int id, const char* expected)
{
    return passed ? Taken::Yes : refused(id, expected);
}

// The options that describe an event, which a resend takes from its queue instead.
bool isEventOption(int id)
{
    static const QByteArray event_letters("ufjwopte");
    return (id > 0 && id <= optionLastChar && event_letters.contains(char(id))) || id == optionQueue
        || id == optionDryRun || id == optionHashParts;
}

// One command line being read: the options, and what the checks at its end need.
struct Reading {
    ArgParser::Options& options;
    QByteArray firstEventOption;
    bool queueLimitGiven = false;
};

// The event: its URL, files and form variables.
Taken takeEventOption(int id, const QString& argument, ArgParser::Options& options)
{
    switch (id) {
    case 'u':
        options.url = QUrl(argument);
        return Taken::Yes;
    case 'f':
        options.files.append(argument);
        return Taken::Yes;
    case 'j':
        options.jsonFile = argument;
        // What the part's file name takes from the path must fit in its header.
        return checked(FormPart::mayHold(EventForm::jsonPartFileName(QString(), argument).toLatin1()), id,
                       "a path whose last '.' is followed by no control character");
    case 'w':
        options.workDir = argument;
        // An empty one is the current directory, not the root.
        if (!options.workDir.isEmpty() && !options.workDir.endsWith(QLatin1Char('/'))
            && !options.workDir.endsWith(QLatin1Char('\\')))
            options.workDir.append(QLatin1Char('/'));
        return Taken::Yes;
    case 'o':
        options.postVariables.insert(QStringLiteral("org"), argument);
        return Taken::Yes;
    case 'p':
        options.postVariables.insert(QStringLiteral("project"), argument);
        return Taken::Yes;
    case 't':
        options.postVariables.insert(QStringLiteral("type"), argument);
        return Taken::Yes;
    case 'e': {
        const QStringList nameValue = argument.split(QLatin1Char('='), Qt::KeepEmptyParts, Qt::CaseSensitive);
        if (nameValue.size() != 2) {
            reject(optarg, "an extra-post value");
            return Taken::Rejected;
        }
        // A name that could never be sent whole is refused before anything is made.
        if (!FormPart::mayHold(nameValue.at(0).toLatin1()))
            return refused(id, "a name without control characters");
        options.postVariables.insert(nameValue.at(0), nameValue.at(1));
        return Taken::Yes;
    }
    default:
        return Taken::No;
    }
}

// The proxy: the last of the three given wins.
Taken takeProxyOption(int id, const QString& argument, ArgParser::Options& options)
{
    switch (id) {
    case 'n':
        options.proxyType = ArgParser::Options::NoProxy;
        return Taken::Yes;
    case 's':
        options.proxyType = ArgParser::Options::SystemProxy;
        return Taken::Yes;
    case optionKerberos:
        options.transport.kerberos = true;
        return Taken::Yes;
    case 'x':
        // Checked now so that a proxy that cannot work stops the run before anything is made.
        if (!ProxySetting::parse(argument, options.transport.proxySetting)) {
            reject(ProxySetting::withoutPassword(argument).toLatin1().constData(), "a proxy host[:port]");
            return Taken::Rejected;
        }
        options.proxyType = ArgParser::Options::ManualProxy;
        options.proxy = argument;
        return Taken::Yes;
    default:
        return Taken::No;
    }
}

// How each post travels: certificates, headers and the time limits.
Taken takeTransportOption(int id, const QString& argument, ArgParser::Options& options)
{
    TransportOptions& transport = options.transport;
    switch (id) {
    case optionCaCert:
        options.caCertFile = argument;
        return checked(transport.caCertificates.load(argument), id, "a readable PEM file with at least one certificate");
    case optionHeader: {
        QString why;
        if (!transport.headers.add(argument, why)) {
            badValueShown(optionName(id).constData(), why);
            return Taken::Rejected;
        }
        return Taken::Yes;
    }
    case optionMtlsCert:
        options.clientCertFile = argument;
        return Taken::Yes;
    case optionMtlsKey:
        options.clientKeyFile = argument;
        return Taken::Yes;
    case optionMtlsPass:
        options.clientKeyPassFile = argument;
        return Taken::Yes;
    case optionIdleTimeout:
        return checked(parseBounded(argument, 1, max_seconds, transport.idleTimeout), id,
                       "a positive whole number of seconds");
    case optionMaxTime:
        return checked(parseBounded(argument, 1, max_seconds, transport.maxTime), id,
                       "a positive whole number of seconds");
    case optionRetry:
        return checked(parseBounded(argument, 0, 10, transport.retry), id, "a whole number from 0 to 10");
    case optionAcceptStatus:
        return checked(parseSuccessStatuses(argument, transport.acceptStatus), id,
                       "statuses from 200 to 299 separated by commas, or 2xx");
    default:
        return Taken::No;
    }
}

// The queue: where an event waits, how much it may hold, and the resend.
Taken takeQueueOption(int id, const QString& argument, Reading& reading)
{
    ArgParser::Options& options = reading.options;
    switch (id) {
    case optionQueue:
        options.queueDir = argument;
        return checked(!argument.isEmpty(), id, "a directory");
    case optionQueueMaxEvents:
        reading.queueLimitGiven = true;
        return checked(parseBounded(argument, 1, 100000, options.queueLimits.maxEvents), id,
                       "a whole number from 1 to 100000");
    case optionQueueMaxBytes:
        reading.queueLimitGiven = true;
        return checked(parseSize(argument, 1 << 20, qint64(1) << 40, options.queueLimits.maxBytes), id,
                       "a size from 1M to 1024G: digits, then K, M or G");
    case optionResend:
        options.resendDir = argument;
        return checked(!argument.isEmpty(), id, "a directory");
    case optionAllEntries:
        options.allEntries = true;
        return Taken::Yes;
    default:
        return Taken::No;
    }
}

// What the run does and shows besides the post.
Taken takeRunOption(int id, const QString& argument, ArgParser::Options& options)
{
    switch (id) {
    case 'v':
        options.displayVersion = true;
        return Taken::Yes;
    case optionHelp:
        options.displayHelp = true;
        return Taken::Yes;
    case optionDryRun:
        options.dryRun = true;
        return Taken::Yes;
    case optionHashParts:
        options.hashParts = true;
        return Taken::Yes;
    case optionReport: {
        options.reportFile = argument;
        // Checked now, and its folder held, so that nothing is made or sent for a report
        // that could not be written, and the report lands in the folder checked.
        QString why;
        const bool opened = options.report.open(argument, why);
        return checked(opened, id, why.toLatin1().constData());
    }
    case optionZipLevel:
        return checked(parseBounded(argument, 0, 9, options.zipLevel), id, "a whole number from 0 to 9");
    case optionProgress:
        return checked(parseProgressMode(argument, options.progress), id, "auto, always or never");
    default:
        return Taken::No;
    }
}

Taken take(int id, const QString& argument, Reading& reading)
{
    Taken taken = takeEventOption(id, argument, reading.options);
    if (taken == Taken::No)
        taken = takeProxyOption(id, argument, reading.options);
    if (taken == Taken::No)
        taken = takeTransportOption(id, argument, reading.options);
    if (taken == Taken::No)
        taken = takeQueueOption(id, argument, reading);
    if (taken == Taken::No)
        taken = takeRunOption(id, argument, reading.options);
    return taken;
}

// The option's value, once read, no longer shows its secret to other users of the machine.
void hideSecrets(int id)
{
    if (!optarg)
        return;
    if (id == 'u')
        SecretArguments::hidePassword(optarg);
    else if (id == 'x')
        SecretArguments::hideProxyPassword(optarg);
    else if (id == optionHeader)
        SecretArguments::hideHeaderValue(optarg);
}

// Options that only make sense together, checked once all are known.
bool checkTogether(Reading& reading)
{
    ArgParser::Options& options = reading.options;
    if (!options.resendDir.isEmpty() && !reading.firstEventOption.isEmpty()) {
        std::cout << "--resend cannot be used with " << reading.firstEventOption.constData() << "\n\n" << help_message;
        return false;
    }
    if (!options.queueDir.isEmpty() && options.dryRun)
        return failWith("--queue cannot be used with --dry-run\n\n");
    if (options.allEntries && options.resendDir.isEmpty())
        return failWith("--all-entries needs --resend\n\n");
    if (reading.queueLimitGiven && options.queueDir.isEmpty())
        return failWith("--queue-max-events and --queue-max-bytes need --queue\n\n");
    // A Kerberos token is for an HTTP proxy: one given, or the environment's.
    if (options.transport.kerberos
        && (options.proxyType == ArgParser::Options::NoProxy
            || (options.proxyType == ArgParser::Options::ManualProxy && options.transport.proxySetting.scheme != ProxySetting::Http)))
        return failWith("--kerberos needs an HTTP proxy: --proxy http://HOST:PORT or --system-proxy\n\n");
    QString option;
    QString file;
    QString why;
    if (!ClientCertificate::load(options.clientCertFile, options.clientKeyFile, options.clientKeyPassFile,
                                 options.transport.clientCertificate, option, file, why))
        return badValue(option.toLatin1().constData(), file.toLatin1().constData(), why.toLatin1().constData());
    return true;
}

}

namespace ArgParser {

bool generateTask(int argc, char** argv, Options& options)
{
    Reading reading{options, QByteArray(), false};
    int optionIndex = 0;
    int id;
    while ((id = getopt_long(argc, argv, short_options, long_options, &optionIndex)) != -1) {
        if (reading.firstEventOption.isEmpty() && isEventOption(id))
            reading.firstEventOption = optionName(id);
        // Each byte becomes the character of the same Latin-1 code.
        const QString argument = optarg ? QString::fromLatin1(optarg) : QString();
        hideSecrets(id);  // a value that is refused holds its secret all the same
        switch (take(id, argument, reading)) {
        case Taken::Yes:
            break;
        case Taken::Rejected:
            return false;
        case Taken::No:
            std::cout << help_message;
            return false;
        }
    }
    if (!checkTogether(reading))
        return false;
    options.transport.proxyType = options.proxyType;
    return true;
}

QStringList longOptionNames()
{
    QStringList names;
    for (const struct option& entry : long_options) {
        if (entry.name)
            names.append(QLatin1String("--") + QLatin1String(entry.name));
    }
    return names;
}

const char* helpText()
{
    return full_help;
}

bool Options::isValid() const
{
    if (displayVersion || displayHelp || !resendDir.isEmpty())
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
