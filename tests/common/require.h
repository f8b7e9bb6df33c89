#ifndef REQUIRE_H
#define REQUIRE_H

// A fuzzing property: when it breaks, say which (and on what), then abort so
// that libFuzzer keeps the input as a finding.

#include <cstdlib>
#include <iostream>
#include <string>

inline void require(bool condition, const char* property, const std::string& context = std::string())
{
    if (!condition) {
        std::cerr << "property broken: " << property << context << std::endl;
        std::abort();
    }
}

#endif
