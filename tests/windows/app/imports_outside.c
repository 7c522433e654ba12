// Test equipment for the import check: an exe that imports bcrypt.dll and delay-loads
// version.dll, neither of them one of Windows' KnownDLLs. It is never run.
#include <windows.h>

#include <bcrypt.h>

int main(int argc, char* argv[]) {
    BCRYPT_ALG_HANDLE algorithm = NULL;
    DWORD ignored = 0;
    if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, NULL, 0) == 0)
        BCryptCloseAlgorithmProvider(algorithm, 0);
    return argc > 1 ? (int)GetFileVersionInfoSizeA(argv[1], &ignored) : 0;
}
