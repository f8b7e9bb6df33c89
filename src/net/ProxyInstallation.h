#ifndef PROXYINSTALLATION_H
#define PROXYINSTALLATION_H

#include "parse/TransportOptions.h"

namespace ProxyInstallation {

// Makes the proxy of the command line the process's own, for every request Qt
// makes from now on: none, the environment's (its rules' problems are printed
// on standard error), or the one given; proxy is read only for ManualProxy.
void install(TransportOptions::ProxyType type, const ProxySetting& proxy);

}

#endif
