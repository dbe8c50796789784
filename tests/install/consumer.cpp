/* A program outside the project that links the installed engine. */
#include <stdio.h>

#include <gost_r3411_2012.h>

int main(void)
{
    static const uint8_t message[] =
        "012345678901234567890123456789012345678901234567890123456789012";
    uint8_t digest[32];
    GOSTR3411_2012_CTX context;
    if (GOSTR3411_2012_256_Init(&context) != 0 ||
        GOSTR3411_2012_Update(&context, message, 63) != 0 ||
        GOSTR3411_2012_256_Final(&context, digest) != 0) {
        return 1;
    }
    for (int i = 0; i < 32; i++) printf("%02x", digest[i]);
    printf("\n");
    return 0;
}
