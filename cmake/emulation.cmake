# The host programs of 32-bit Wine under qemu-i386 (scripts/wine_emulation.py):
# the interpreter that binfmt_misc starts, and the shim the emulated processes
# preload, for each platform name the loader may look it up under. Built
# with the host's gcc into EMULATION_TOOLS (set by the includer); left out
# where the host has no 32-bit C library, as 32-bit Wine cannot run there.

set(i386_libc /lib/i386-linux-gnu/libc.so.6)
find_program(HOST_CC gcc)
if(NOT HOST_CC OR NOT EXISTS ${i386_libc})
    message(STATUS "The emulation of 32-bit Wine left out: no host gcc or no ${i386_libc}")
    return()
endif()

set(source ${PROJECT_SOURCE_DIR}/scripts/emulation)
set(interpreter ${EMULATION_TOOLS}/qemu-i386-wine)
set(shim ${EMULATION_TOOLS}/shim)
add_custom_command(OUTPUT ${interpreter}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${EMULATION_TOOLS}
    COMMAND ${HOST_CC} -O2 -static -o ${interpreter} ${source}/qemu-i386-wine.c
    DEPENDS ${source}/qemu-i386-wine.c
    VERBATIM)
add_custom_command(OUTPUT ${shim}/i386/emu-tls-shim.so ${shim}/i686/emu-tls-shim.so ${shim}/x86_64/emu-tls-shim.so
    COMMAND ${CMAKE_COMMAND} -E make_directory ${shim}/i386 ${shim}/i686 ${shim}/x86_64
    COMMAND ${HOST_CC} -m32 -O2 -fPIC -shared -nostdlib -o ${shim}/i386/emu-tls-shim.so ${source}/emu-tls-shim.c
            ${i386_libc}
    COMMAND ${CMAKE_COMMAND} -E copy ${shim}/i386/emu-tls-shim.so ${shim}/i686/emu-tls-shim.so
    # 64-bit programs that a guest starts find an empty library of their class.
    COMMAND ${HOST_CC} -O2 -fPIC -shared -nostdlib -o ${shim}/x86_64/emu-tls-shim.so -x c /dev/null
    DEPENDS ${source}/emu-tls-shim.c
    VERBATIM)
add_custom_target(emulation_tools ALL DEPENDS ${interpreter} ${shim}/i386/emu-tls-shim.so)
