#include "optiontable.h"

#include <QUrl>

#include <iterator>
#include <string>
#include <vector>

#include "form/EventForm.h"
#include "form/FormPart.h"
#include "parse/numbers.h"
#include "usage.h"

namespace OptionTable {

namespace {

// The longest wait a time option takes: a year, in seconds.
const int max_seconds = 86400 * 365;

// The value of the option, as given, is not what it takes.
Taken refused(const Row& row, const char* expected)
{
    Usage::badValue(nameOf(row).constData(), optarg, expected);
    return Taken::Rejected;
}

// Taken when the value passed its check, refused otherwise.
Taken checked(bool passed, const Row& row, const char* expected)
{
    return passed ? Taken::Yes : refused(row, expected);
}

Taken setVariable(Reading& reading, const QString& name, const QString& value)
{
    reading.options.postVariables.insert(name, value);
    return Taken::Yes;
}

Taken takeWorkDir(Reading& reading, const Row& /*row*/, const QString& argument)
{
    QString& workDir = reading.options.workDir;
    workDir = argument;
    // An empty one is the current directory, not the root.
    if (!workDir.isEmpty() && !workDir.endsWith(QLatin1Char('/')) && !workDir.endsWith(QLatin1Char('\\')))
        workDir.append(QLatin1Char('/'));
    return Taken::Yes;
}

Taken takeExtraPost(Reading& reading, const Row& row, const QString& argument)
{
    const QStringList nameValue = argument.split(QLatin1Char('='), Qt::KeepEmptyParts, Qt::CaseSensitive);
    if (nameValue.size() != 2) {
        Usage::reject(optarg, "an extra-post value");
        return Taken::Rejected;
    }
    // A name that could never be sent whole is refused before anything is made.
    if (!FormPart::mayHold(nameValue.at(0).toLatin1()))
        return refused(row, "a name without control characters");
    return setVariable(reading, nameValue.at(0), nameValue.at(1));
}

Taken takeProxy(Reading& reading, const Row& /*row*/, const QString& argument)
{
    ArgParser::Options& options = reading.options;
    // Checked now so that a proxy that cannot work stops the run before anything is made.
    if (!ProxySetting::parse(argument, options.transport.proxySetting)) {
        Usage::reject(ProxySetting::withoutPassword(argument).toLatin1().constData(), "a proxy host[:port]");
        return Taken::Rejected;
    }
    options.proxyType = ArgParser::Options::ManualProxy;
    options.proxy = argument;
    return Taken::Yes;
}

Taken takeHeader(Reading& reading, const Row& row, const QString& argument)
{
    QString why;
    if (reading.options.transport.headers.add(argument, why))
        return Taken::Yes;
    Usage::badValueShown(nameOf(row).constData(), why);
    return Taken::Rejected;
}

Taken takeReport(Reading& reading, const Row& row, const QString& argument)
{
    // Checked now, and its folder held, so that nothing is made or sent for a report
    // that could not be written, and the report lands in the folder checked.
    QString why;
    const bool opened = reading.options.report.open(argument, why);
    return checked(opened, row, why.toLatin1().constData());
}

using O = ArgParser::Options;
using R = Reading;
using Q = const QString&;

// No name may start with a prefix that an older option owns (the one agreed exception:
// "--he" is ambiguous since --help, "--hea" still means --header).
const Row rows_table[] = {
    {"url", 'u', true, Group::Event, EventOption | UrlPassword, "URL", "the server's URL (mandatory)",
     [](R& r, const Row&, Q a) { r.options.url = QUrl(a); return Taken::Yes; }},
    {"file", 'f', true, Group::Event, EventOption, "FILE", "a file to put in the archive; one or more",
     [](R& r, const Row&, Q a) { r.options.files.append(a); return Taken::Yes; }},
    {"json", 'j', true, Group::Event, EventOption, "FILE", "a JSON description: $eventId, $org, $project and $type are filled in",
     [](R& r, const Row& row, Q a) {
         r.options.jsonFile = a;
         // What the part's file name takes from the path must fit in its header.
         return checked(FormPart::mayHold(EventForm::jsonPartFileName(QString(), a).toLatin1()), row,
                        "a path whose last '.' is followed by no control character");
     }},
    {"work-dir", 'w', true, Group::Event, EventOption, "DIR", "where the archive is made (default: the current directory)", takeWorkDir},
    {"org", 'o', true, Group::Event, EventOption, "ORG", "the 'org' form variable (mandatory)",
     [](R& r, const Row&, Q a) { return setVariable(r, QStringLiteral("org"), a); }},
    {"project", 'p', true, Group::Event, EventOption, "PROJECT", "the 'project' form variable (mandatory)",
     [](R& r, const Row&, Q a) { return setVariable(r, QStringLiteral("project"), a); }},
    {"type", 't', true, Group::Event, EventOption, "TYPE", "the 'type' form variable (mandatory)",
     [](R& r, const Row&, Q a) { return setVariable(r, QStringLiteral("type"), a); }},
    {"extra-post", 0, true, Group::Event, EventOption, "NAME=VALUE", "one more form variable; it replaces one of the same name",
     takeExtraPost},
    {"zip-level", 0, true, Group::Event, 0, "N", "7z's compression level, 0 (store) to 9",
     [](R& r, const Row& row, Q a) { return checked(parseBounded(a, 0, 9, r.options.zipLevel), row, "a whole number from 0 to 9"); }},
    {"archiver", 0, true, Group::Event, EventOption, "NAME", "7z (the default), or builtin: the zip engine built in, on every CPU",
     [](R& r, const Row& row, Q a) {
         r.options.builtinArchiver = a == QLatin1String("builtin");
         return checked(a == QLatin1String("builtin") || a == QLatin1String("7z"), row, "7z or builtin");
     }},
    {"protocol", 0, true, Group::Event, EventOption, "NAME", "post (the default), or tus: a resumable upload (tus 1.0), URL its creation",
     [](R& r, const Row& row, Q a) {
         r.options.resumable = a == QLatin1String("tus");
         return checked(a == QLatin1String("tus") || a == QLatin1String("post"), row, "post or tus");
     }},
    {"dry-run", 0, false, Group::Event, EventOption, nullptr, "make the archive and the form, show them, send nothing",
     [](R& r, const Row&, Q) { r.options.dryRun = true; return Taken::Yes; }},
    {"hash-parts", 0, false, Group::Event, EventOption, nullptr, "each file part's SHA-256 (Content-Digest), and an Idempotency-Key",
     [](R& r, const Row&, Q) { r.options.hashParts = true; return Taken::Yes; }},

    {"no-proxy", 'n', false, Group::Proxy, ShortTakesValue, nullptr, "no proxy (the default; -n takes an ignored argument)",
     [](R& r, const Row&, Q) { r.options.proxyType = O::NoProxy; return Taken::Yes; }},
    {"system-proxy", 0, false, Group::Proxy, 0, nullptr, "the proxy the environment names, by curl's rules",
     [](R& r, const Row&, Q) { r.options.proxyType = O::SystemProxy; return Taken::Yes; }},
    {"proxy", 0, true, Group::Proxy, ProxyPassword, "[SCHEME://][USER[:PASSWORD]@]HOST[:PORT]",
     "this proxy: SCHEME http (default), socks5 or socks5h", takeProxy},
    {"kerberos", 0, false, Group::Proxy, 0, nullptr, "answer the HTTP proxy with the user's Kerberos ticket",
     [](R& r, const Row&, Q) { r.options.transport.kerberos = true; return Taken::Yes; }},

    {"cacert", 0, true, Group::Delivery, 0, "FILE", "verify the server against the CA certificates in FILE",
     [](R& r, const Row& row, Q a) {
         return checked(r.options.transport.caCertificates.load(a), row, "a readable PEM file with at least one certificate");
     }},
    {"header", 0, true, Group::Delivery, HeaderValue, "'NAME: VALUE'", "one more request header; @FILE reads one per line", takeHeader},
    {"mtls-cert", 0, true, Group::Delivery, 0, "FILE", "a client certificate (PEM), with --mtls-key",
     [](R& r, const Row&, Q a) { r.options.clientCertFile = a; return Taken::Yes; }},
    {"mtls-key", 0, true, Group::Delivery, 0, "FILE", "its private key (PEM)",
     [](R& r, const Row&, Q a) { r.options.clientKeyFile = a; return Taken::Yes; }},
    {"mtls-pass", 0, true, Group::Delivery, 0, "FILE", "the key's passphrase, on the first line of FILE",
     [](R& r, const Row&, Q a) { r.options.clientKeyPassFile = a; return Taken::Yes; }},
    {"idle-timeout", 0, true, Group::Delivery, 0, "SECONDS", "end an exchange in which no byte moves for SECONDS",
     [](R& r, const Row& row, Q a) {
         return checked(parseBounded(a, 1, max_seconds, r.options.transport.idleTimeout), row, "a positive whole number of seconds");
     }},
    {"max-time", 0, true, Group::Delivery, 0, "SECONDS", "a deadline for the whole upload phase",
     [](R& r, const Row& row, Q a) {
         return checked(parseBounded(a, 1, max_seconds, r.options.transport.maxTime), row, "a positive whole number of seconds");
     }},
    {"retry", 0, true, Group::Delivery, 0, "COUNT", "up to COUNT (0-10) more attempts after a transient failure",
     [](R& r, const Row& row, Q a) {
         return checked(parseBounded(a, 0, 10, r.options.transport.retry), row, "a whole number from 0 to 10");
     }},
    {"accept-status", 0, true, Group::Delivery, 0, "LIST", "these 2xx statuses deliver too: 201,202 or 2xx",
     [](R& r, const Row& row, Q a) {
         return checked(parseSuccessStatuses(a, r.options.transport.acceptStatus), row,
                        "statuses from 200 to 299 separated by commas, or 2xx");
     }},
    {"report", 0, true, Group::Delivery, 0, "FILE", "write the outcome as JSON to FILE", takeReport},
    {"progress", 0, true, Group::Delivery, 0, "MODE", "auto (on a terminal), always or never",
     [](R& r, const Row& row, Q a) { return checked(parseProgressMode(a, r.options.progress), row, "auto, always or never"); }},

    {"queue", 0, true, Group::Queue, EventOption, "DIR", "keep an event that could not be delivered yet in DIR",
     [](R& r, const Row& row, Q a) { r.options.queueDir = a; return checked(!a.isEmpty(), row, "a directory"); }},
    {"queue-max-events", 0, true, Group::Queue, 0, "N", "at most N events in the queue (default 100)",
     [](R& r, const Row& row, Q a) {
         r.queueLimitGiven = true;
         return checked(parseBounded(a, 1, 100000, r.options.queueLimits.maxEvents), row, "a whole number from 1 to 100000");
     }},
    {"queue-max-bytes", 0, true, Group::Queue, 0, "SIZE", "at most SIZE bytes, 1M to 1024G (default 2G)",
     [](R& r, const Row& row, Q a) {
         r.queueLimitGiven = true;
         return checked(parseSize(a, 1 << 20, qint64(1) << 40, r.options.queueLimits.maxBytes), row,
                        "a size from 1M to 1024G: digits, then K, M or G");
     }},
    {"resend", 0, true, Group::Queue, 0, "DIR", "post every event kept in DIR, and nothing else",
     [](R& r, const Row& row, Q a) { r.options.resendDir = a; return checked(!a.isEmpty(), row, "a directory"); }},
    {"all-entries", 0, false, Group::Queue, 0, nullptr, "with --resend: every entry now, even one put off",
     [](R& r, const Row&, Q) { r.options.allEntries = true; return Taken::Yes; }},

    {"help", 0, false, Group::Other, 0, nullptr, "show this help and exit",
     [](R& r, const Row&, Q) { r.options.displayHelp = true; return Taken::Yes; }},
    {"version", 'v', false, Group::Other, 0, nullptr, "show the version banner and exit",
     [](R& r, const Row&, Q) { r.options.displayVersion = true; return Taken::Yes; }},
};

// A long-only option's id lies above every byte, so none can be mistaken for a short option's letter.
int idOf(const Row& row)
{
    return row.letter ? row.letter : 256 + int(&row - std::begin(rows_table));
}

const char* const group_titles[] = {"The event:", "Proxies (the last of the three given wins):", "Delivery:",
                                    "The queue:", "Other:"};

std::string helpText()
{
    std::string text = "Usage: quillfast --url URL --file FILE... --org ORG --project PROJECT --type TYPE [OPTION]...\n"
                       "  or:  quillfast --resend DIR [OPTION]...\n"
                       "Pack the files into a ZIP archive with 7z, fill the placeholders of a JSON\n"
                       "description, and post both with the form variables to a collection server.\n";
    const int column = 31;
    for (int group = 0; group <= int(Group::Other); ++group) {
        text += std::string("\n") + group_titles[group] + '\n';
        for (const Row& row : rows_table) {
            if (int(row.group) != group)
                continue;
            std::string left = row.letter ? std::string("  -") + row.letter + ", " : std::string(6, ' ');
            left += std::string("--") + row.name + (row.metavar ? std::string("=") + row.metavar : std::string());
            left += left.size() + 2 <= size_t(column) ? std::string(column - left.size(), ' ') : '\n' + std::string(column, ' ');
            text += left + row.help + '\n';
        }
    }
    return text + "\nLong options may be abbreviated to any unique prefix. The exit status is 0\n"
                  "when the server answered 200 or a status of --accept-status; quillfast(1)\n"
                  "lists the others.\n";
}

}

const Row* find(int id)
{
    for (const Row& row : rows_table) {
        if (idOf(row) == id)
            return &row;
    }
    return nullptr;
}

QByteArray nameOf(const Row& row)
{
    return QByteArray("--") + row.name;
}

const char* shortOptions()
{
    static const std::string letters = [] {
        std::string made;
        for (const Row& row : rows_table) {
            if (row.letter)
                made += std::string(1, row.letter) + (row.takesValue || (row.flags & ShortTakesValue) ? ":" : "");
        }
        return made;
    }();
    return letters.c_str();
}

const struct option* longOptions()
{
    static const std::vector<struct option> long_options = [] {
        std::vector<struct option> made;
        for (const Row& row : rows_table)
            made.push_back({row.name, row.takesValue ? required_argument : no_argument, nullptr, idOf(row)});
        made.push_back({nullptr, 0, nullptr, 0});
        return made;
    }();
    return long_options.data();
}

const char* help()
{
    static const std::string text = helpText();
    return text.c_str();
}

}
