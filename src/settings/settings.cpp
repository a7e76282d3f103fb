#include "settings/settings.h"

void find_settings_file(char** /*argv*/)
{
}
