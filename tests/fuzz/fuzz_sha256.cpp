// The streaming SHA-256 against OpenSSL's, over random inputs cut into
// random chunks: the first input byte chooses the chunk sizes.
#include <openssl/evp.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <cstdlib>

#include "job/sha256.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    unsigned seed = data[0];
    const uint8_t* message = data + 1;
    size_t length = size - 1;

    Sha256 hash;
    Sha256Begin(&hash);
    size_t at = 0;
    while (at < length) {
        seed = seed * 1103515245u + 12345u;
        size_t piece = (seed >> 16) % 131;       // 0 to 130: across block edges
        if (piece > length - at)
            piece = length - at;
        Sha256Add(&hash, message + at, piece);
        at += piece;
    }
    uint8_t ours[SHA256_DIGEST_SIZE];
    Sha256End(&hash, ours);

    uint8_t reference[EVP_MAX_MD_SIZE];
    unsigned referenceSize = 0;
    if (!EVP_Digest(message, length, reference, &referenceSize, EVP_sha256(), NULL) ||
        referenceSize != SHA256_DIGEST_SIZE || memcmp(ours, reference, SHA256_DIGEST_SIZE) != 0)
        abort();
    return 0;
}
