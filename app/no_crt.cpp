// The program links no C runtime, but the compiler may still emit calls to
// these two for block copies and zero fills. Built with
// -fno-tree-loop-distribute-patterns so that the loops do not turn back
// into calls to themselves.
#include <stddef.h>

extern "C" void* memset(void* destination, int value, size_t count)
{
    unsigned char* d = static_cast<unsigned char*>(destination);
    while (count--)
        *d++ = static_cast<unsigned char>(value);
    return destination;
}

extern "C" void* memcpy(void* destination, const void* source, size_t count)
{
    unsigned char* d = static_cast<unsigned char*>(destination);
    const unsigned char* s = static_cast<const unsigned char*>(source);
    while (count--)
        *d++ = *s++;
    return destination;
}
