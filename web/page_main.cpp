// The page's WebAssembly module: zumrip and zumpack in one, as they share
// all but a few of their units (the page downloads one module instead of
// two, each with its own JavaScript). Its main runs zumpack when called by
// that name (argv[0], which the page's pack worker sets), zumrip otherwise.
#include "pack_files.h"

// The two programs' mains, renamed in this build (ZUMRIP_ONE_MODULE).
int zumrip_main(int argc, char **argv);
int zumpack_main(int argc, char **argv);

int main(int argc, char **argv)
{
    if (argc > 0 && last_part(argv[0]) == "zumpack")
        return zumpack_main(argc, argv);
    return zumrip_main(argc, argv);
}
