// SHA-256 (FIPS 180-4), streaming over chunks of any size: the digest of
// the downloaded installer, computed as it is written, in builds that pin
// it. Windows-free, no C runtime, no division.
#ifndef LV_JOB_SHA256_H
#define LV_JOB_SHA256_H

#include <stddef.h>
#include <stdint.h>

#define SHA256_DIGEST_SIZE 32

struct Sha256 {
    uint32_t state[8];
    uint64_t length;            // bytes taken so far
    uint8_t block[64];          // the bytes of an unfinished block
    uint32_t blockUsed;
};

void Sha256Begin(Sha256* hash);
void Sha256Add(Sha256* hash, const void* data, size_t size);
// Pads and writes the digest; the hash must begin again before reuse.
void Sha256End(Sha256* hash, uint8_t digest[SHA256_DIGEST_SIZE]);

#endif
