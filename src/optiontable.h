#ifndef OPTIONTABLE_H
#define OPTIONTABLE_H

#include <QByteArray>
#include <QString>

#include <getopt.h>

#include "argparser.h"

// Every option of the command line, one row each: its name, letter, value,
// group and flags, its --help line, and what it sets. The rows drive the
// parsing (getopt's tables), the --help list and the wiping of secrets.
namespace OptionTable {

// Whether an option was taken: Rejected has said why, with the usage text.
enum class Taken { Yes, Rejected };

// One command line being read: the options, and what the checks at its end need.
struct Reading {
    ArgParser::Options& options;
    QByteArray firstEventOption;
    bool queueLimitGiven = false;
};

enum class Group { Event, Proxy, Delivery, Queue, Other };

enum Flag : unsigned {
    EventOption = 1u << 0,     // describes an event: a resend takes it from its queue instead
    UrlPassword = 1u << 1,     // its value's password is wiped from the arguments, as a URL reads it
    ProxyPassword = 1u << 2,   // the same, as a proxy's reader takes it
    HeaderValue = 1u << 3,     // its value's "Name: value" value is wiped
    ShortTakesValue = 1u << 4, // the short form takes a value that the long one does not (-n)
};

struct Row {
    const char* name;
    char letter;          // its short form, or 0
    bool takesValue;
    Group group;
    unsigned flags;
    const char* metavar;  // shown after '=' in --help
    const char* help;     // its --help line
    Taken (*take)(Reading& reading, const Row& row, const QString& argument);
};

// The row that getopt_long gave id for, or null.
const Row* find(int id);
// "--name"
QByteArray nameOf(const Row& row);

// getopt's tables, made from the rows.
const char* shortOptions();
const struct option* longOptions();

// What --help prints, grouped as the README groups the options.
const char* help();

}

#endif
