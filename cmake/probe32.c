/* Built with the 32-bit tree's flags and run at configure time: it runs only where the
 * kernel executes 32-bit x86 programs (IA-32 emulation compiled in and not switched off). */
#include <stdio.h>

int main(void) {
    printf("%u-bit\n", (unsigned)(sizeof(void *) * 8));
    return 0;
}
