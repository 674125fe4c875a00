#pragma once
// The destination side of recovery. Files are written through the output component
// (support/OutputDir.h), which checks the folder before anything is written and makes each
// file appear under its final name only when it is whole on disk.

#include "engine/Recovery.h"
#include "support/OutputDir.h"
