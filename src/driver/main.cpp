#include "driver/driver.h"

int main(int argc, char** argv)
{
    return convert_file(argc, argv);
}
