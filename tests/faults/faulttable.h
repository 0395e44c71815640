#pragma once

#include "faultrow.h"

#include <QList>

// The fault table: every fault the suite drives the launcher and the extraction tool into, with
// the outcome a sound program reaches. docs/faults.md lists the same rows for people.
QList<FaultRow> faultTable();
