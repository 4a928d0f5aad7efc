// ZUM Sound Ripper: the WAV writer. Reads an entry's sample size and sample
// bytes and writes them behind a 44-byte RIFF/WAVE header (PCM, mono,
// 8 bits per sample) into the output file.
#include "zumrip.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif
#ifdef __linux__
#include <sys/mman.h>
#endif

#ifndef O_BINARY
#define O_BINARY 0
#endif

static const std::uint64_t wav_header_size = 44;

#ifdef MADV_HUGEPAGE
// Buffers of at least two huge pages are mapped on a huge-page boundary and
// marked for transparent huge pages: filling a fresh buffer otherwise costs a
// page fault every 4 KiB, which dominates the copy. Only whole huge pages are
// marked, so the buffer still occupies its own size rounded up to 4 KiB.
static const std::uint64_t huge_page = 2u << 20;

static unsigned char *map_huge_buffer(std::size_t size)
{
    const std::size_t span = size + huge_page;  // room to align
    void *const raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED)
        return nullptr;
    // Keep [buffer, buffer + size rounded up to 4 KiB) and unmap the rest.
    const auto raw_start = reinterpret_cast<std::uintptr_t>(raw);
    const std::size_t head = static_cast<std::size_t>((huge_page - raw_start % huge_page) % huge_page);
    const std::size_t kept = (size + 4095) & ~std::size_t{4095};
    unsigned char *const buffer = static_cast<unsigned char *>(raw) + head;
    if (head > 0)
        munmap(raw, head);
    if (span > head + kept)
        munmap(buffer + kept, span - head - kept);
    madvise(buffer, size & ~(huge_page - 1), MADV_HUGEPAGE);
    return buffer;
}
#endif

// Obtains a zero-filled buffer of size bytes; nullptr when it cannot.
static unsigned char *obtain_buffer(std::uint64_t size)
{
    if (size > SIZE_MAX)
        return nullptr;
#ifdef MADV_HUGEPAGE
    if (size >= 2 * huge_page)
        return map_huge_buffer(static_cast<std::size_t>(size));  // fresh mappings are zero
#endif
    return static_cast<unsigned char *>(std::calloc(static_cast<std::size_t>(size), 1));
}

// Releases a buffer of size bytes obtained by obtain_buffer.
static void release_buffer(unsigned char *buffer, std::uint64_t size)
{
#ifdef MADV_HUGEPAGE
    if (size >= 2 * huge_page) {
        munmap(buffer, static_cast<std::size_t>(size));
        return;
    }
#endif
    (void)size;
    std::free(buffer);
}

// Encodes little-endian integers into bytes, whatever the host's order.
static void put_u16le(unsigned char *p, std::uint32_t value)
{
    p[0] = static_cast<unsigned char>(value);
    p[1] = static_cast<unsigned char>(value >> 8);
}

static void put_u32le(unsigned char *p, std::uint32_t value)
{
    put_u16le(p, value & 0xFFFFu);
    put_u16le(p + 2, value >> 16);
}

// Fills the 44-byte WAV header for sample_count 8-bit mono samples played at
// sample_rate samples per second.
static void fill_wav_header(unsigned char *h, std::uint32_t sample_count, std::uint32_t sample_rate)
{
    std::memcpy(h + 0, "RIFF", 4);       // chunk identifier
    put_u32le(h + 4, sample_count + 36);  // RIFF length: file length less 8
    std::memcpy(h + 8, "WAVE", 4);       // form type
    std::memcpy(h + 12, "fmt ", 4);      // format chunk identifier
    put_u32le(h + 16, 16);                // format chunk length
    put_u16le(h + 20, 1);                 // format tag: PCM
    put_u16le(h + 22, 1);                 // channels: mono
    put_u32le(h + 24, sample_rate);       // samples per second
    put_u32le(h + 28, sample_rate);       // bytes per second: one byte a sample
    put_u16le(h + 32, 1);                 // block alignment in bytes
    put_u16le(h + 34, 8);                 // bits per sample
    std::memcpy(h + 36, "data", 4);      // data chunk identifier
    put_u32le(h + 40, sample_count);      // data length in bytes
}

// Writes size bytes to fd, in pieces small enough for every platform's
// write call. Returns true when all of them were written.
static bool write_all(int fd, const unsigned char *data, std::uint64_t size)
{
    while (size > 0) {
        const unsigned piece = size < (1u << 30) ? static_cast<unsigned>(size) : 1u << 30;
        const auto written = write(fd, data, piece);
        if (written <= 0)
            return false;
        data += written;
        size -= static_cast<std::uint64_t>(written);
    }
    return true;
}

#ifdef _WIN32
// Windows opens a device for these names whatever follows the first dot
// (".WAV" included), and ignores blanks before that dot.
static bool names_windows_device(const char *wav_name)
{
    std::size_t length = std::strcspn(wav_name, ".");
    while (length > 0 && wav_name[length - 1] == ' ')
        --length;
    char base[5] = {0};
    for (std::size_t i = 0; i < length && i < 4; ++i) {
        const char c = wav_name[i];
        base[i] = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    }
    if (length == 3)
        return !std::strcmp(base, "CON") || !std::strcmp(base, "PRN") ||
               !std::strcmp(base, "AUX") || !std::strcmp(base, "NUL");
    // COM1 to COM9 and LPT1 to LPT9; Windows also takes superscript 1, 2, 3.
    const auto digit = static_cast<unsigned char>(base[3]);
    return length == 4 && (!std::strncmp(base, "COM", 3) || !std::strncmp(base, "LPT", 3)) &&
           ((digit >= '1' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3);
}
#endif

// Entry names are used as file names as they stand, except those that would
// leave the current directory (a path separator of any platform) and, on
// Windows, those that would name a device or an alternate data stream (':').
static bool name_is_safe(const char *wav_name)
{
    if (std::strpbrk(wav_name, "/\\") != nullptr)
        return false;
#ifdef _WIN32
    if (std::strchr(wav_name, ':') != nullptr || names_windows_device(wav_name))
        return false;
#endif
    return true;
}

// Expects g_input just after the entry's rate code. Reads the unused byte
// and the sample size S, then S sample bytes (zero-padded when the file
// ends early) into a buffer behind the header, and writes the whole buffer
// as wav_name. Ends the line with "Done.", or with why the entry was
// abandoned: too large for a WAV header, no buffer, the file could not be
// created, or not wholly written (then it is removed).
void convert_to_wav(const char *wav_name, std::uint32_t sample_rate)
{
    unsigned char rest[5] = {0};  // unused byte, then the sample size
    read_input(rest, sizeof rest);
    const std::uint32_t sample_count = read_u32le(rest + 1);
    const std::uint64_t total = sample_count + wav_header_size;
    if (total - 8 > UINT32_MAX) {  // the RIFF length would not fit
        say("Too large for a WAV file... Aborting.\n");
        return;
    }

    unsigned char *const buffer = obtain_buffer(total);
    if (buffer == nullptr) {
        say("Can't allocate buffer for conversion.\n");
        return;
    }
    read_input(buffer + wav_header_size, sample_count);
    fill_wav_header(buffer, sample_count, sample_rate);

    const int fd = name_is_safe(wav_name)
        ? open(wav_name, O_WRONLY | O_CREAT | O_TRUNC | O_BINARY, 0666) : -1;
    if (fd < 0) {
        release_buffer(buffer, total);
        say_name("Cannot create [", wav_name, "]... Aborting.\n");
        return;
    }
    const bool written = write_all(fd, buffer, total);
    const bool closed = close(fd) == 0;
    release_buffer(buffer, total);
    if (!written || !closed) {
        std::remove(wav_name);
        say_name("Cannot write [", wav_name, "]... Aborting.\n");
        return;
    }
    say("Done.\n");
}
