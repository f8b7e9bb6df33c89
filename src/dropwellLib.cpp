#include "dropwellLib.h"

#include "version.h"

namespace {
const char version_text[] = QUILLFAST_VERSION;
const char build_date_text[] = QUILLFAST_BUILD_DATE;
}

namespace dropwellLib {
const char* getVersion() { return version_text; }
const char* getBuildDate() { return build_date_text; }
}

const char* dropwellLib_getVersion() { return dropwellLib::getVersion(); }
const char* dropwellLib_getBuildDate() { return dropwellLib::getBuildDate(); }
