#include "engine/package_format.h"

#include <cstdio>
#include <cstring>

#include "engine/byte_sum.h"

#if FWDEPLOY_BYTE_SUM_ARM
#include <arm_acle.h>
#include <sys/auxv.h>
#endif

uint32_t byte_sum_plain(uint32_t initial, const uint8_t* bytes, int length)
{
    // Plain unsigned adds over a byte array: the compiler vectorises this loop
    // where it can (x86-64's SSE2 is always there; 32-bit ARM's NEON is not).
    uint32_t sum = initial;
    for (int i = 0; i < length; ++i)
        sum += bytes[i];
    return sum;
}

#if FWDEPLOY_BYTE_SUM_ARM

// A word of the buffer; the type may alias any bytes.
typedef uint32_t __attribute__((may_alias)) word32;

uint32_t byte_sum_usada8(uint32_t initial, const uint8_t* bytes, int length)
{
    uint32_t sum = initial;
    for (; length > 0 && ((uintptr_t)bytes & 3) != 0; --length)
        sum += *bytes++;
    // USADA8 adds the four bytes of a word (their distances from zero) to an
    // accumulator; two accumulators keep the adds from waiting on each other.
    uint32_t other = 0;
    const word32* words = reinterpret_cast<const word32*>(bytes);
    for (; length >= 16; length -= 16, words += 4) {
        sum = __usada8(words[0], 0, sum);
        other = __usada8(words[1], 0, other);
        sum = __usada8(words[2], 0, sum);
        other = __usada8(words[3], 0, other);
    }
    for (; length >= 4; length -= 4)
        sum = __usada8(*words++, 0, sum);
    return byte_sum_plain(sum + other, reinterpret_cast<const uint8_t*>(words), length);
}

bool byte_sum_neon_offered()
{
    return (getauxval(AT_HWCAP) & HWCAP_ARM_NEON) != 0;
}

uint32_t byte_sum(uint32_t initial, const uint8_t* bytes, int length)
{
    // Asked once: the answer is the kernel's and does not change.
    static int neon = -1;
    if (neon < 0)
        neon = byte_sum_neon_offered() ? 1 : 0;
    return neon ? byte_sum_neon(initial, bytes, length) : byte_sum_usada8(initial, bytes, length);
}

#else

// Aligned to a cache line: where the vectorised loop falls changed its speed
// on x86-64 by half from one build to the next.
__attribute__((aligned(64))) uint32_t byte_sum(uint32_t initial, const uint8_t* bytes, int length)
{
    return byte_sum_plain(initial, bytes, length);
}

#endif

int check_block_header(const block_header* block)
{
    if (memchr(block->target_path, 0, sizeof block->target_path) == nullptr)
        return -1;
    if (block->operation == OP_FILE_DELETE && block->data_size != 0)
        return -1;
    return 0;
}

// Sums `size` script bytes read in chunks of at most buffer_size. -1 when the
// package ends early or the read fails: nothing that did not arrive is summed.
static int sum_section(int handle, uint32_t size, uint8_t* buffer, source_read_fn read,
                       uint32_t buffer_size, uint32_t* sum)
{
    uint32_t done = 0;
    while (done < size) {
        uint32_t left = size - done;
        uint32_t chunk = left < buffer_size ? left : buffer_size;
        int n = read(handle, buffer, (int)chunk);
        if (n <= 0 || (uint32_t)n > chunk) {
            puts("Shell script read error!");
            return -1;
        }
        done += (uint32_t)n;
        *sum = byte_sum(*sum, buffer, n);
    }
    return 0;
}

int read_package_header(int handle, package_header* header, uint8_t* buffer,
                        source_read_fn read, uint32_t buffer_size)
{
    if (header == nullptr)
        return -1;
    memset(header, 0, sizeof *header);
    if (read(handle, header, (int)sizeof *header) != (int)sizeof *header) {
        puts("File header read error!");
        return -1;
    }
    if (header->version_major != PACKAGE_VERSION_MAJOR ||
        header->version_minor != PACKAGE_VERSION_MINOR) {
        printf("[VERSION CONFLICT!] Fwbundle tool version is %d.%d, fwdeploy is %d.%d",
               (int)header->version_major, (int)header->version_minor,
               (int)PACKAGE_VERSION_MAJOR, (int)PACKAGE_VERSION_MINOR);
        // The text has no line feed of its own; flush so it is not held back.
        fflush(stdout);
        return -1;
    }
    uint32_t sum = byte_sum(0, reinterpret_cast<const uint8_t*>(header) + 4,
                            (int)sizeof *header - 4);
    if (sum_section(handle, header->begin_script_size, buffer, read, buffer_size, &sum) < 0 ||
        sum_section(handle, header->end_script_size, buffer, read, buffer_size, &sum) < 0)
        return -1;
    if (sum != header->checksum) {
        printf("Shell start data checksum error! head 0x%x cal 0x%x\n", header->checksum, sum);
        return -1;
    }
    return 0;
}
