// ZUM Sound Ripper: the conversion buffer, one zero-filled block per entry
// holding the WAV header and the samples behind it.
#ifndef ZUMRIP_CONVERSION_BUFFER_H
#define ZUMRIP_CONVERSION_BUFFER_H

#include <cstdint>

// Obtains a zero-filled buffer of size bytes; nullptr when it cannot (no
// memory, or more than the address space can hold).
unsigned char *obtain_buffer(std::uint64_t size);

// Releases a buffer of size bytes obtained by obtain_buffer.
void release_buffer(unsigned char *buffer, std::uint64_t size);

#endif
