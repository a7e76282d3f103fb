// The finishing pass: the intermediate file (convert/intermediate.h) made
// the output, each record's fields as they stand between their enclosing
// quotes, joined by '|' and ended by CR LF.
#pragma once

#include "convert/convert.h"
#include "convert/intermediate.h"

struct finish_settings {
    input_encoding encoding = ENCODING_BYTES;  // the input's, which the output takes
    // Where set, the first pass is still writing the intermediate file on
    // another thread: it is read as far as written, and the encoding is
    // taken from here.
    pass_handoff* follow = nullptr;
    // A descriptor of the intermediate file open for writing, through which
    // what has been read is given back to the system as the pass goes; -1:
    // none.
    int release = -1;
    // The durable mode: the output is started on its way to storage as it
    // is written.
    bool write_back = false;
};

// Reads the intermediate file from its start and writes out all it makes,
// but closes neither file.
pass_report finish_pass(int intermediate, int output, const finish_settings& settings);
