// Simulated hashing of the Windows cryptography API: SHA-256 only, computed by libcrypto. An
// algorithm provider and each hash object are handles of the kind "hash", so that a run's report
// shows any left open.
#include <algorithm>
#include <cwchar>
#include <map>
#include <memory>

#include "sim/machine.h"
#include "sim/sha256.h"

namespace {

// The statuses these functions return; <windows.h> does not define them either.
constexpr NTSTATUS STATUS_SUCCESS = 0;
constexpr NTSTATUS STATUS_INVALID_HANDLE = static_cast<NTSTATUS>(0xC0000008);
constexpr NTSTATUS STATUS_INVALID_PARAMETER = static_cast<NTSTATUS>(0xC000000D);
constexpr NTSTATUS STATUS_NO_MEMORY = static_cast<NTSTATUS>(0xC0000017);
constexpr NTSTATUS STATUS_NOT_FOUND = static_cast<NTSTATUS>(0xC0000225);

constexpr int PROVIDER_REF = 0;
constexpr int HASH_REF = 1;

using sim::Ptr;

// The running hash of every open hash object, by handle. Process-wide like the handle table's
// values; a new run's machine starts with no handles, and a leftover context is dropped with it.
std::map<const void*, std::unique_ptr<sim::Sha256Stream>>& Contexts() {
    static std::map<const void*, std::unique_ptr<sim::Sha256Stream>> contexts;
    return contexts;
}

std::string Status(NTSTATUS status) {
    return sim::Hex(static_cast<uint32_t>(status));
}

template <typename Args>
NTSTATUS Result(const char* call, const Args& args, NTSTATUS status) {
    sim::TraceCall(call, args, [&] { return Status(status); });
    return status;
}

// The injected failures of these functions return a status, not a last error.
template <typename Args>
NTSTATUS Injected(const char* call, const Args& args, NTSTATUS status) {
    sim::TraceCall(call, args, [&] { return Status(status) + " (injected)"; });
    return status;
}

sim::Sha256Stream* ContextOf(const void* handle) {
    const sim::HandleObject* obj = sim::FindHandle(handle, sim::HandleKind::Hash);
    if (obj == nullptr || obj->ref != HASH_REF)
        return nullptr;
    auto it = Contexts().find(handle);
    return it == Contexts().end() ? nullptr : it->second.get();
}

bool IsProvider(const void* handle) {
    const sim::HandleObject* obj = sim::FindHandle(handle, sim::HandleKind::Hash);
    return obj != nullptr && obj->ref == PROVIDER_REF;
}

}  // namespace

NTSTATUS WINAPI BCryptOpenAlgorithmProvider(BCRYPT_ALG_HANDLE* phAlgorithm, LPCWSTR pszAlgId, LPCWSTR pszImplementation,
                                            ULONG dwFlags) {
    auto args = [&] { return Ptr(phAlgorithm) + ", " + sim::Hex(dwFlags); };
    if (sim::Enter("BCryptOpenAlgorithmProvider", ERROR_SUCCESS))
        return Injected("BCryptOpenAlgorithmProvider", args, STATUS_NOT_FOUND);
    if (phAlgorithm == nullptr || pszAlgId == nullptr || dwFlags != 0)
        return Result("BCryptOpenAlgorithmProvider", args, STATUS_INVALID_PARAMETER);
    if (std::wcscmp(pszAlgId, BCRYPT_SHA256_ALGORITHM) != 0 || pszImplementation != nullptr)
        return Result("BCryptOpenAlgorithmProvider", args, STATUS_NOT_FOUND);
    *phAlgorithm = sim::NewHandle(sim::HandleKind::Hash, PROVIDER_REF);
    return Result(
        "BCryptOpenAlgorithmProvider", [&] { return args() + " -> " + Ptr(*phAlgorithm); }, STATUS_SUCCESS);
}

NTSTATUS WINAPI BCryptCreateHash(BCRYPT_ALG_HANDLE hAlgorithm, BCRYPT_HASH_HANDLE* phHash, PUCHAR pbHashObject,
                                 ULONG cbHashObject, PUCHAR pbSecret, ULONG cbSecret, ULONG dwFlags) {
    auto args = [&] { return Ptr(hAlgorithm) + ", " + Ptr(phHash); };
    if (sim::Enter("BCryptCreateHash", ERROR_SUCCESS))
        return Injected("BCryptCreateHash", args, STATUS_NO_MEMORY);
    if (!IsProvider(hAlgorithm))
        return Result("BCryptCreateHash", args, STATUS_INVALID_HANDLE);
    // The object's memory is the system's (null and 0), and a plain hash has no secret.
    if (phHash == nullptr || pbHashObject != nullptr || cbHashObject != 0 || pbSecret != nullptr || cbSecret != 0 ||
        dwFlags != 0)
        return Result("BCryptCreateHash", args, STATUS_INVALID_PARAMETER);
    *phHash = sim::NewHandle(sim::HandleKind::Hash, HASH_REF);
    Contexts()[*phHash] = std::make_unique<sim::Sha256Stream>();
    return Result(
        "BCryptCreateHash", [&] { return args() + " -> " + Ptr(*phHash); }, STATUS_SUCCESS);
}

NTSTATUS WINAPI BCryptHashData(BCRYPT_HASH_HANDLE hHash, PUCHAR pbInput, ULONG cbInput, ULONG dwFlags) {
    auto args = [&] { return Ptr(hHash) + ", " + std::to_string(cbInput); };
    if (sim::Enter("BCryptHashData", ERROR_SUCCESS))
        return Injected("BCryptHashData", args, STATUS_INVALID_HANDLE);
    sim::Sha256Stream* context = ContextOf(hHash);
    if (context == nullptr)
        return Result("BCryptHashData", args, STATUS_INVALID_HANDLE);
    if ((pbInput == nullptr && cbInput != 0) || dwFlags != 0)
        return Result("BCryptHashData", args, STATUS_INVALID_PARAMETER);
    context->Add(pbInput, cbInput);
    return Result("BCryptHashData", args, STATUS_SUCCESS);
}

NTSTATUS WINAPI BCryptFinishHash(BCRYPT_HASH_HANDLE hHash, PUCHAR pbOutput, ULONG cbOutput, ULONG dwFlags) {
    auto args = [&] { return Ptr(hHash) + ", " + std::to_string(cbOutput); };
    if (sim::Enter("BCryptFinishHash", ERROR_SUCCESS))
        return Injected("BCryptFinishHash", args, STATUS_INVALID_HANDLE);
    sim::Sha256Stream* context = ContextOf(hHash);
    if (context == nullptr)
        return Result("BCryptFinishHash", args, STATUS_INVALID_HANDLE);
    if (pbOutput == nullptr || dwFlags != 0)
        return Result("BCryptFinishHash", args, STATUS_INVALID_PARAMETER);
    // Windows wants the output to be exactly the digest's size.
    if (cbOutput != sim::SHA256_BYTES)
        return Result("BCryptFinishHash", args, STATUS_INVALID_PARAMETER);
    const sim::Sha256Digest digest = context->Finish();
    std::copy(digest.begin(), digest.end(), pbOutput);
    return Result("BCryptFinishHash", args, STATUS_SUCCESS);
}

NTSTATUS WINAPI BCryptDestroyHash(BCRYPT_HASH_HANDLE hHash) {
    auto args = [&] { return Ptr(hHash); };
    if (sim::Enter("BCryptDestroyHash", ERROR_SUCCESS))
        return Injected("BCryptDestroyHash", args, STATUS_INVALID_HANDLE);
    if (ContextOf(hHash) == nullptr)
        return Result("BCryptDestroyHash", args, STATUS_INVALID_HANDLE);
    Contexts().erase(hHash);
    sim::DropHandle(hHash);
    return Result("BCryptDestroyHash", args, STATUS_SUCCESS);
}

NTSTATUS WINAPI BCryptCloseAlgorithmProvider(BCRYPT_ALG_HANDLE hAlgorithm, ULONG dwFlags) {
    auto args = [&] { return Ptr(hAlgorithm) + ", " + sim::Hex(dwFlags); };
    if (sim::Enter("BCryptCloseAlgorithmProvider", ERROR_SUCCESS))
        return Injected("BCryptCloseAlgorithmProvider", args, STATUS_INVALID_HANDLE);
    if (!IsProvider(hAlgorithm) || dwFlags != 0)
        return Result("BCryptCloseAlgorithmProvider", args, STATUS_INVALID_HANDLE);
    sim::DropHandle(hAlgorithm);
    return Result("BCryptCloseAlgorithmProvider", args, STATUS_SUCCESS);
}
