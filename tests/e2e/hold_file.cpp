// Holds a file open sharing read, write and delete, as a virus scanner or a
// search indexer does, from "held" on its output until its input ends.
//
//   hold_file FILE
#include <windows.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2)
        return 2;
    HANDLE file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    std::printf("held\n");
    std::fflush(stdout);
    char unused;
    DWORD got;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &unused, 1, &got, nullptr) && got == 1) {
    }
    CloseHandle(file);
    return 0;
}
