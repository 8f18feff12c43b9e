// A section of 12 KiB of file data, linked into a test build of the stub so
// that its image runs well past the temporary copy's 60,000-byte floor. The
// symbol's name is the same in both widths (no C name decoration in
// assembly); the link keeps it alive with --undefined, as nothing calls it.
__asm__(
    ".section .kivpad,\"dr\"\n"
    ".globl kiv_padding\n"
    "kiv_padding:\n"
    ".fill 12288, 1, 0x5A\n"
    ".text\n");
