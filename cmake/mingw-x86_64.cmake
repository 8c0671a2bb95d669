# The same sources for 64-bit Windows, so the Wine tests also run where
# 32-bit Wine cannot start (hosts without 32-bit program support).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
