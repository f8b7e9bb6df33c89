#include "dropwellLib.h"

namespace {
const char version_text[] = "1.0.0.0";
const char build_date_text[] = "Thursday March 24th 2016, 14:30:49 UTC";
}

namespace dropwellLib {
const char* getVersion() { return version_text; }
const char* getBuildDate() { return build_date_text; }
}

const char* dropwellLib_getVersion() { return dropwellLib::getVersion(); }
const char* dropwellLib_getBuildDate() { return dropwellLib::getBuildDate(); }
