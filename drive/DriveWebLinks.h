#pragma once

// The Drive web links live in core/base, below every library that makes links; this name stays for the
// composition root.
#include "core/base/DriveWebLinks.h"
