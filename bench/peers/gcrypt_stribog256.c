/* gcrypt_stribog256 FILE: prints FILE's 256-bit GOST R 34.11-2012 digest as
 * computed by libgcrypt. A benchmark peer, built by bench/run_bench.sh only. */
#include <gcrypt.h>
#include <stdio.h>

int main(int argc, char **argv)
{
    static unsigned char block[65536];
    gcry_md_hd_t md;
    FILE *f = argc == 2 ? fopen(argv[1], "rb") : NULL;
    size_t got;

    if (f == NULL || !gcry_check_version(GCRYPT_VERSION) ||
        gcry_md_open(&md, GCRY_MD_STRIBOG256, 0) != 0)
        return 1;
    while ((got = fread(block, 1, sizeof block, f)) > 0) gcry_md_write(md, block, got);
    const unsigned char *d = gcry_md_read(md, GCRY_MD_STRIBOG256);
    for (int i = 0; i < 32; i++) printf("%02x", d[i]);
    printf("  %s\n", argv[1]);
    gcry_md_close(md);
    return ferror(f) ? 1 : 0;
}
