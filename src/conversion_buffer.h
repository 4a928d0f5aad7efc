// ZUM Sound Ripper: the conversion buffer, one zero-filled block per entry
// holding the WAV header and the samples behind it.
#ifndef ZUMRIP_CONVERSION_BUFFER_H
#define ZUMRIP_CONVERSION_BUFFER_H

#include <cstddef>
#include <cstdint>

// Obtains a zero-filled buffer of size bytes into which the input is to be
// read at index read_at from file offset source; nullptr when it cannot (no
// memory, or more than the address space can hold).
unsigned char *obtain_buffer(std::uint64_t size, std::uint64_t source, std::size_t read_at);

// Releases a buffer of size bytes obtained by obtain_buffer.
void release_buffer(unsigned char *buffer, std::uint64_t size);

#endif
