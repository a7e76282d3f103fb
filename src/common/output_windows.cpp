// Staged outputs on Windows: none. A file there cannot lose its name while
// open, so a new output beside the old one would have to be named all the
// while, and a run ended from outside (Ctrl-C, the task manager) would leave
// it behind; and a file marked for deletion on close cannot be kept and
// renamed into place after all. The output is written in place, after the
// first pass, as it always was.
#include "common/platform.h"

staged_output stage_output(const char*)
{
    return {};
}

bool commit_output(staged_output&, const char*)
{
    return false;
}

void discard_output(staged_output&) { }
