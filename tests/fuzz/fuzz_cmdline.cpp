// The command line: the input split on NUL bytes into an argv, through the
// parser and the validation, with their promises checked.
#include <getopt.h>

#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "argparser.h"

namespace {

// Runs fn with std::cout captured; returns what it printed.
template <typename Fn>
std::string captured(Fn fn)
{
    std::ostringstream text;
    std::streambuf* saved = std::cout.rdbuf(text.rdbuf());
    fn();
    std::cout.rdbuf(saved);
    return text.str();
}

bool parse(std::vector<std::string> words, ArgParser::Options& options, std::string& printed)
{
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    optind = 0;  // a fresh scan, as at process start
    opterr = 0;  // getopt's own complaints go to stderr and are not under test
    bool ok = false;
    printed = captured([&] { ok = ArgParser::generateTask(int(argv.size()) - 1, argv.data(), options); });
    return ok;
}

bool endsWith(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

void require(bool condition, const char* property)
{
    if (!condition) {
        std::cerr << "property broken: " << property << std::endl;
        std::abort();
    }
}

}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string usage = [] {
        ArgParser::Options unused;
        std::string printed;
        parse({"quillfast", "-?"}, unused, printed);
        return printed;
    }();

    std::vector<std::string> words{"quillfast"};
    std::string word;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == '\0') {
            words.push_back(word);
            word.clear();
        } else {
            word += char(data[i]);
        }
    }
    words.push_back(word);

    ArgParser::Options options;
    std::string printed;
    const bool ok = parse(words, options, printed);
    require(ok == !endsWith(printed, usage), "false exactly when the usage text is printed");
    if (!ok)
        return 0;
    require(printed.empty(), "an accepted command line prints nothing");
    require(options.workDir.isEmpty() || options.workDir.endsWith(QLatin1Char('/'))
                || options.workDir.endsWith(QLatin1Char('\\')),
            "workDir is empty or ends in a separator");
    for (auto it = options.postVariables.cbegin(); it != options.postVariables.cend(); ++it)
        require(!it.key().contains(QLatin1Char('=')), "no form variable name holds '='");

    bool valid = false;
    printed = captured([&] { valid = options.isValid(); });
    require(valid == printed.empty() && valid == !endsWith(printed, usage), "isValid false exactly when it printed the usage");
    return 0;
}
