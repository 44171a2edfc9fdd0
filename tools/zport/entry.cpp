// Process entry of zport.exe, a console program.
#include "zport.h"

int main(int argc, char** argv)
{
    return ZportMain(argc, argv);
}
