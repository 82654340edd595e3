/* A program that is not ours holding a file open without sharing, as an
 * editor, a virus scanner or a tool run from the installed folder may: opens
 * FILE for reading with share mode 0, prints "held", and keeps it open until
 * its standard input ends. Exit 1 when FILE cannot be opened. */
#include <stdio.h>
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: hold-file FILE\n");
        return 2;
    }
    HANDLE file = CreateFileW(argv[1], GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "hold-file: cannot open the file (error %lu)\n", GetLastError());
        return 1;
    }
    printf("held\n");
    fflush(stdout);
    char buffer[64];
    DWORD got = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &got, NULL) && got > 0) {
    }
    CloseHandle(file);
    return 0;
}
