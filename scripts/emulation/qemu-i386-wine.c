/* The interpreter that a private binfmt_misc hands 32-bit Linux programs to
 * on hosts whose kernel cannot start them: qemu-i386, set up for 32-bit Wine.
 * binfmt_misc starts it as: qemu-i386-wine /path/of/program ARGS...
 *
 * Wine's shared user data page sits at 0x7ffe0000: the guest's address space
 * stops at 2 GiB and Wine's preloader must reserve that page, or Wine stops
 * at once ("failed to map the shared user data"). Wine sets the preloader's
 * range itself when it starts a 32-bit process, so ours replaces it.
 *
 * With WINE_EMULATION_SHIM=DIR the guest preloads DIR/$PLATFORM/emu-tls-shim.so
 * (see emu-tls-shim.c); 64-bit programs that a guest starts find an empty
 * library of their own class in DIR/x86_64. */
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#define QEMU "/usr/bin/qemu-i386-static"

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s PROGRAM [ARGS...]\n", argv[0]);
        return 127;
    }
    setenv("QEMU_RESERVED_VA", "0x80000000", 1);
    setenv("WINEPRELOADRESERVE", "7ffe0000-7fff0000", 1);
    const char* shim = getenv("WINE_EMULATION_SHIM");
    if (shim != NULL && shim[0] != '\0') {
        static char preload[4096];
        snprintf(preload, sizeof preload, "%s/$PLATFORM/emu-tls-shim.so", shim);
        setenv("LD_PRELOAD", preload, 1);
    }
    argv[0] = QEMU;
    execv(QEMU, argv);
    perror("qemu-i386-wine: " QEMU);
    return 127;
}
