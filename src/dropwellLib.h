#ifndef DROPWELLLIB_H
#define DROPWELLLIB_H

// Build information: static texts, never to be modified or freed by callers.
namespace dropwellLib {
const char* getVersion();
const char* getBuildDate();
}

extern "C" {
const char* dropwellLib_getVersion();
const char* dropwellLib_getBuildDate();
}

#endif
