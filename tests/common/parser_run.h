#ifndef PARSER_RUN_H
#define PARSER_RUN_H

// One command line through ArgParser, as at process start, and what it printed:
// shared by the parser's unit test and its fuzzer.

#include <getopt.h>

#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "argparser.h"

// Runs fn with std::cout and std::cerr captured together; returns what they got.
template <typename Fn>
std::string captureOutput(Fn fn)
{
    std::ostringstream text;
    std::streambuf* savedOut = std::cout.rdbuf(text.rdbuf());
    std::streambuf* savedErr = std::cerr.rdbuf(text.rdbuf());
    fn();
    std::cout.rdbuf(savedOut);
    std::cerr.rdbuf(savedErr);
    return text.str();
}

// Runs generateTask on words (the program name first) with a fresh scanner;
// printed gets what it wrote, and words what the parser left of them.
inline bool runParser(std::vector<std::string>& words, ArgParser::Options& options, std::string& printed)
{
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    optind = 0;  // glibc: restart the scan
    opterr = 0;  // getopt's own complaints are not under test
    bool ok = false;
    printed = captureOutput([&] { ok = ArgParser::generateTask(int(argv.size()) - 1, argv.data(), options); });
    return ok;
}

#endif
