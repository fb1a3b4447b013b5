#pragma once

#include <QString>

namespace ebbcast {

// Arguments a command cannot run with: exit status 2 and the message on standard error. Mistakes in the
// shape of the command line (an unknown option, a missing argument) also point to the command's --help; a
// value out of range says what it should be and stands alone.
struct UsageError {
    QString message;
    bool pointToHelp = true;
};

} // namespace ebbcast
