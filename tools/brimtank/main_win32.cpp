// brimtank's Windows entry point: the runtime hands over the arguments as wide strings.
#include "brimtank_core.h"

int wmain(int argc, wchar_t** argv)
{
    return tool_main(argc, argv);
}
