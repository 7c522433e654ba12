#include "firmware/image_digest.h"

bool HashImage(const uint8_t* data, DWORD length, uint8_t (&digest)[IMAGE_DIGEST_BYTES]) {
    HCRYPTPROV context = 0;
    // A verify-only context: no key container is opened or made, whoever runs the program.
    if (!CryptAcquireContextA(&context, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT))
        return false;
    bool hashed = false;
    HCRYPTHASH hash = 0;
    DWORD error = ERROR_SUCCESS;
    if (CryptCreateHash(context, CALG_SHA_256, 0, 0, &hash)) {
        DWORD size = IMAGE_DIGEST_BYTES;
        hashed = CryptHashData(hash, data, length, 0) && CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 0) &&
                 size == IMAGE_DIGEST_BYTES;
        error = GetLastError();
        // A hash that cannot be destroyed is a fault of the system's, not of the image: the
        // digest already read stands.
        CryptDestroyHash(hash);
    } else {
        error = GetLastError();
    }
    CryptReleaseContext(context, 0);
    // The failed step's error, not what the cleanup left.
    if (!hashed)
        SetLastError(error);
    return hashed;
}
