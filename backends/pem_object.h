// Gathers the bytes of one PEM object as BearSSL's decoder hands them on:
// shared by the trusted keys and the decryption keys, both small.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

struct pem_object {
    uint8_t der[2048];
    size_t length;
    bool overflow;                    // more than fits: no key of ours
};

// The decoder's destination callback; `context` is the pem_object.
inline void pem_append(void* context, const void* bytes, size_t length)
{
    pem_object* object = static_cast<pem_object*>(context);
    if (length > sizeof object->der - object->length) {
        object->overflow = true;
        return;
    }
    memcpy(object->der + object->length, bytes, length);
    object->length += length;
}
