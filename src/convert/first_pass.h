// The first pass, as the passes run together (convert/passes.cpp): it
// tells a finishing pass that follows it through the hand-off.
#pragma once

#include "convert/convert.h"
#include "convert/intermediate.h"

// The first pass, telling the finishing pass that follows it, where one
// does, of every block written and of its end, whatever way it ends. A
// failure to get memory or a thread is a report too, never an exception.
pass_report run_first_pass_with(int input, int intermediate, const split_settings& settings, pass_handoff* handoff);
