// The settings-file lookup. The program defines no settings: the lookup
// only finds and reads its part of the file, and changes nothing.
#pragma once

// Looks for the settings file unless "-.ini" is among the arguments.
// argv ends with a null pointer, as the process's own does.
void find_settings_file(char** argv);
