// The command line: the input split on NUL bytes into an argv, through the
// parser and the validation, with their promises checked.
#include <cstdint>
#include <string>
#include <vector>

#include "argparser.h"
#include "form/FormPart.h"
#include "parser_run.h"
#include "require.h"

namespace {

bool endsWith(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string usage = [] {
        ArgParser::Options unused;
        std::string printed;
        std::vector<std::string> help{"quillfast", "-?"};
        runParser(help, unused, printed);
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
    const bool ok = runParser(words, options, printed);
    require(ok == !endsWith(printed, usage), "false exactly when the usage text is printed");
    if (!ok)
        return 0;
    require(printed.empty(), "an accepted command line prints nothing");
    require(options.workDir.isEmpty() || options.workDir.endsWith(QLatin1Char('/'))
                || options.workDir.endsWith(QLatin1Char('\\')),
            "workDir is empty or ends in a separator");
    for (auto it = options.postVariables.cbegin(); it != options.postVariables.cend(); ++it)
        require(!it.key().contains(QLatin1Char('=')) && FormPart::mayHold(it.key().toLatin1()),
                "no form variable name holds '=' or a control character");

    bool valid = false;
    printed = captureOutput([&] { valid = options.isValid(); });
    require(valid == printed.empty() && valid == !endsWith(printed, usage), "isValid false exactly when it printed the usage");
    return 0;
}
