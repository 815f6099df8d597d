/* The per-module files of this folder check their functions from
   constructors; reaching main means every check passed. */
#include <stdio.h>

int main(void) {
    puts("C11 program linked and ran against libYqSS_helper");
    return 0;
}
