// Simulated CryptoAPI (advapi32): a verify-only context of the AES provider and SHA-256 hashes,
// computed by libcrypto. A context and each hash object are handles of the kind "hash", so that a
// run's report shows any left open.
#include <algorithm>
#include <map>
#include <memory>

#include "sim/machine.h"
#include "sim/sha256.h"

namespace {

using sim::Ptr;

constexpr int CONTEXT_REF = 2;
constexpr int HASH_REF = 3;

// The running hash of every open hash object, by handle; a new run's machine starts with no
// handles, and a leftover stream is dropped with it.
std::map<const void*, std::unique_ptr<sim::Sha256Stream>>& Streams() {
    static std::map<const void*, std::unique_ptr<sim::Sha256Stream>> streams;
    return streams;
}

const void* AsHandle(ULONG_PTR value) {
    return reinterpret_cast<const void*>(value);
}

bool IsContext(HCRYPTPROV context) {
    const sim::HandleObject* obj = sim::FindHandle(AsHandle(context), sim::HandleKind::Hash);
    return obj != nullptr && obj->ref == CONTEXT_REF;
}

sim::Sha256Stream* StreamOf(HCRYPTHASH hash) {
    const sim::HandleObject* obj = sim::FindHandle(AsHandle(hash), sim::HandleKind::Hash);
    if (obj == nullptr || obj->ref != HASH_REF)
        return nullptr;
    auto it = Streams().find(AsHandle(hash));
    return it == Streams().end() ? nullptr : it->second.get();
}

template <typename Args>
BOOL Failed(const char* call, const Args& args, DWORD error) {
    SetLastError(error);
    sim::TraceCall(call, args, [&] { return "FALSE, error " + sim::Hex(error); });
    return FALSE;
}

template <typename Args>
BOOL Injected(const char* call, const Args& args) {
    sim::TraceCall(call, args, [&] { return "FALSE (injected), error " + sim::Hex(GetLastError()); });
    return FALSE;
}

template <typename Args>
BOOL Done(const char* call, const Args& args) {
    SetLastError(ERROR_SUCCESS);
    sim::TraceCall(call, args, "TRUE");
    return TRUE;
}

}  // namespace

BOOL WINAPI CryptAcquireContextA(HCRYPTPROV* phProv, LPCSTR szContainer, LPCSTR szProvider, DWORD dwProvType,
                                 DWORD dwFlags) {
    auto args = [&] { return Ptr(phProv) + ", " + std::to_string(dwProvType) + ", " + sim::Hex(dwFlags); };
    if (sim::Enter("CryptAcquireContextA", NTE_PROV_TYPE_NOT_DEF))
        return Injected("CryptAcquireContextA", args);
    if (phProv == nullptr)
        return Failed("CryptAcquireContextA", args, ERROR_INVALID_PARAMETER);
    // Only what hashing needs: no key container, the system's provider of its type.
    if (dwProvType != PROV_RSA_AES || szProvider != nullptr)
        return Failed("CryptAcquireContextA", args, NTE_PROV_TYPE_NOT_DEF);
    if (szContainer != nullptr || dwFlags != CRYPT_VERIFYCONTEXT)
        return Failed("CryptAcquireContextA", args, NTE_BAD_FLAGS);
    *phProv = reinterpret_cast<HCRYPTPROV>(sim::NewHandle(sim::HandleKind::Hash, CONTEXT_REF));
    return Done("CryptAcquireContextA", [&] { return args() + " -> " + Ptr(AsHandle(*phProv)); });
}

BOOL WINAPI CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags, HCRYPTHASH* phHash) {
    auto args = [&] { return Ptr(AsHandle(hProv)) + ", " + sim::Hex(Algid); };
    if (sim::Enter("CryptCreateHash", NTE_BAD_ALGID))
        return Injected("CryptCreateHash", args);
    if (!IsContext(hProv))
        return Failed("CryptCreateHash", args, NTE_BAD_UID);
    if (Algid != CALG_SHA_256 || hKey != 0)
        return Failed("CryptCreateHash", args, NTE_BAD_ALGID);
    if (dwFlags != 0 || phHash == nullptr)
        return Failed("CryptCreateHash", args, dwFlags != 0 ? NTE_BAD_FLAGS : ERROR_INVALID_PARAMETER);
    HANDLE hash = sim::NewHandle(sim::HandleKind::Hash, HASH_REF);
    Streams()[hash] = std::make_unique<sim::Sha256Stream>();
    *phHash = reinterpret_cast<HCRYPTHASH>(hash);
    return Done("CryptCreateHash", [&] { return args() + " -> " + Ptr(hash); });
}

BOOL WINAPI CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen, DWORD dwFlags) {
    auto args = [&] { return Ptr(AsHandle(hHash)) + ", " + std::to_string(dwDataLen); };
    if (sim::Enter("CryptHashData", NTE_BAD_HASH))
        return Injected("CryptHashData", args);
    sim::Sha256Stream* stream = StreamOf(hHash);
    if (stream == nullptr)
        return Failed("CryptHashData", args, NTE_BAD_HASH);
    if (dwFlags != 0)
        return Failed("CryptHashData", args, NTE_BAD_FLAGS);
    if (pbData == nullptr && dwDataLen != 0)
        return Failed("CryptHashData", args, ERROR_INVALID_PARAMETER);
    stream->Add(pbData, dwDataLen);
    return Done("CryptHashData", args);
}

BOOL WINAPI CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags) {
    auto args = [&] { return Ptr(AsHandle(hHash)) + ", " + std::to_string(dwParam); };
    if (sim::Enter("CryptGetHashParam", NTE_BAD_HASH))
        return Injected("CryptGetHashParam", args);
    sim::Sha256Stream* stream = StreamOf(hHash);
    if (stream == nullptr)
        return Failed("CryptGetHashParam", args, NTE_BAD_HASH);
    if (dwParam != HP_HASHVAL || dwFlags != 0 || pdwDataLen == nullptr)
        return Failed("CryptGetHashParam", args, dwFlags != 0 ? NTE_BAD_FLAGS : ERROR_INVALID_PARAMETER);
    // As on Windows: no buffer asks for the size; too small a buffer fails and says it.
    if (pbData == nullptr || *pdwDataLen < sim::SHA256_BYTES) {
        *pdwDataLen = sim::SHA256_BYTES;
        return pbData == nullptr ? Done("CryptGetHashParam", args) : Failed("CryptGetHashParam", args, ERROR_MORE_DATA);
    }
    const sim::Sha256Digest digest = stream->Finish();
    std::copy(digest.begin(), digest.end(), pbData);
    *pdwDataLen = sim::SHA256_BYTES;
    return Done("CryptGetHashParam", args);
}

BOOL WINAPI CryptDestroyHash(HCRYPTHASH hHash) {
    auto args = [&] { return Ptr(AsHandle(hHash)); };
    if (sim::Enter("CryptDestroyHash", NTE_BAD_HASH))
        return Injected("CryptDestroyHash", args);
    if (StreamOf(hHash) == nullptr)
        return Failed("CryptDestroyHash", args, NTE_BAD_HASH);
    Streams().erase(AsHandle(hHash));
    sim::DropHandle(AsHandle(hHash));
    return Done("CryptDestroyHash", args);
}

BOOL WINAPI CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags) {
    auto args = [&] { return Ptr(AsHandle(hProv)) + ", " + sim::Hex(dwFlags); };
    if (sim::Enter("CryptReleaseContext", NTE_BAD_UID))
        return Injected("CryptReleaseContext", args);
    if (!IsContext(hProv))
        return Failed("CryptReleaseContext", args, NTE_BAD_UID);
    if (dwFlags != 0)
        return Failed("CryptReleaseContext", args, NTE_BAD_FLAGS);
    sim::DropHandle(AsHandle(hProv));
    return Done("CryptReleaseContext", args);
}
