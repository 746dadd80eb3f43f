// Prints the process code page (GetACP), built with the manifest the
// legacy-code-page tests give their programs.
#include <windows.h>

#include <stdio.h>

int main() {
    printf("%u\n", GetACP());
    return 0;
}
