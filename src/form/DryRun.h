#ifndef DRYRUN_H
#define DRYRUN_H

#include <QList>

#include "form/FormPart.h"

namespace DryRun {

// What --dry-run shows of the form on standard output: a line per part (its
// name, file name, type, size and sha256, and the value of a variable), then
// the filled JSON description whole.
void print(const QList<FormPart>& form);

}

#endif
