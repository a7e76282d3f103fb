#include "common/common.h"

options_record run_options;
counters_record run_counters;

void reset_run_state()
{
    run_options = {};
    run_counters = {};
}
