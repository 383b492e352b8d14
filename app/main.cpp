#include "app/ApplicationMain.h"

int main(int argc, char** argv)
{
    return wl::applicationMain(argc, argv);
}
