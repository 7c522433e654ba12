/*
 * probe.exe - checks scandrv.sys under Wine by talking to \\.\usbscanN the way the updater
 * does: a synchronous handle, and per transfer a fresh auto-reset event in a zeroed
 * OVERLAPPED, WriteFile/ReadFile, WaitForSingleObject(event, 1000), then
 * GetOverlappedResult(..., TRUE).
 *
 *   probe config               print the .reg file that sets up the devices used below
 *   probe run <dir>            run the checks (the driver must have been loaded with the
 *                              "config" output); write <dir>/dump-<N>.txt, the text
 *                              "scanctl dump N" must print afterwards
 *   probe open <N> <error>     check that opening usbscanN gives Win32 <error> (0: it opens)
 *
 * Output is TAP-like ("ok"/"not ok" per check, "#" for notes). Exit status 0 when all passed.
 * Image hashes are computed with the system's CryptoAPI, independently of the driver's code.
 */
/* windows.h first: the headers after it build on its types. */
#include <windows.h>

#include <wincrypt.h>

#include <fcntl.h>
#include <io.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define IOCTL_GET_DEVICE_DESCRIPTOR 0x80002018u
/* the control device's "re-read device N's configuration" request (see scandrv.c) */
#define IOCTL_SCANDRV_RELOAD CTL_CODE(FILE_DEVICE_UNKNOWN, 0x903, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define KEY_BASE "System\\CurrentControlSet\\Services\\scandrv"
#define BIG_IMAGE 13633428u
#define CANARY 0xEE
#define PENDING 0x103u /* STATUS_PENDING, as left in OVERLAPPED.Internal */

enum {
    DEV_MAIN = 0,
    DEV_DENIED = 1,
    DEV_BUSY = 2,
    DEV_NO_DESC = 3,
    DEV_WRITE_FAULTS = 4,
    DEV_READ_FAULTS = 5,
    DEV_BAD_CONFIG = 6,
    DEV_BARE = 255
};

static int checks, failures;
static double qpc_ms;

static void check(int cond, const char* fmt, ...) {
    va_list ap;
    checks++;
    if (!cond)
        failures++;
    printf("%s %d - ", cond ? "ok" : "not ok", checks);
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    printf("\n");
    fflush(stdout);
}

static double now_ms(void) {
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return (double)c.QuadPart * qpc_ms;
}

static unsigned get16(const unsigned char* p) {
    return p[0] | p[1] << 8;
}
static unsigned long get32(const unsigned char* p) {
    return get16(p) | (unsigned long)get16(p + 2) << 16;
}

/* ---- replies and commands ------------------------------------------------------------------ */

/* A reply: u32 resultCode at 0, u16 state at 4, u8 percent at 10, u8 model at 14; the tag in
   byte 31 makes every configured reply distinguishable. */
static void make_reply(unsigned char* r, unsigned long code, unsigned state, unsigned percent, unsigned tag) {
    memset(r, 0, 32);
    r[0] = (unsigned char)code;
    r[1] = (unsigned char)(code >> 8);
    r[2] = (unsigned char)(code >> 16);
    r[3] = (unsigned char)(code >> 24);
    r[4] = (unsigned char)state;
    r[5] = (unsigned char)(state >> 8);
    r[10] = (unsigned char)percent;
    r[14] = 0x41;
    r[31] = (unsigned char)tag;
}

static const unsigned char unknown_reply[32] = {0x01, 0x70};

static void make_command(unsigned char* c, unsigned opcode, unsigned subcode) {
    static unsigned seq;
    memset(c, 0, 16);
    c[0] = (unsigned char)++seq; /* makes each command distinct in the record */
    c[4] = (unsigned char)opcode;
    c[6] = (unsigned char)subcode;
    c[15] = 0x5A;
}

enum { ST_READY = 0, ST_PROGRESS, ST_DOWNLOAD, ST_OTHER, ST_ODD_SUBCODE };

static void command_of(unsigned char* c, int which) {
    switch (which) {
        case ST_READY:
            make_command(c, 0x12, 2);
            break;
        case ST_PROGRESS:
            make_command(c, 0x12, 8);
            break;
        case ST_DOWNLOAD:
            make_command(c, 0x2A, 0);
            break;
        case ST_ODD_SUBCODE:
            make_command(c, 0x12, 3);
            break;
        default:
            make_command(c, 0x13, 2);
            break;
    }
}

/* The replies each device is configured with (filled by setup_replies). */
static unsigned char main_ready[3][32], main_progress[2][32], main_download[1][32], main_ready_alt[1][32];
static unsigned char wf_ready[1][32], wf_progress[1][32], wf_download[1][32];
static unsigned char rf_ready[6][32];

static void setup_replies(void) {
    int i;
    for (i = 0; i < 3; i++) make_reply(main_ready[i], 0, (unsigned)(1 + i), 0, 0x10 + i);
    for (i = 0; i < 2; i++) make_reply(main_progress[i], 0, 5, (unsigned)(40 + 60 * i), 0x20 + i);
    make_reply(main_download[0], 0, 4, 0, 0x30);
    make_reply(main_ready_alt[0], 0x22, 9, 0, 0x40);
    make_reply(wf_ready[0], 0, 2, 0, 0x50);
    make_reply(wf_progress[0], 0, 5, 77, 0x51);
    make_reply(wf_download[0], 0, 4, 0, 0x52);
    for (i = 0; i < 6; i++) make_reply(rf_ready[i], (unsigned long)i, 2, 0, 0x60 + i);
}

/* ---- SHA-256 through CryptoAPI --------------------------------------------------------------- */

static int sha256(const void* data, DWORD len, char hex[65]) {
    HCRYPTPROV prov;
    HCRYPTHASH hash;
    BYTE digest[32];
    DWORD n = sizeof(digest), i;
    int ok = 0;

    hex[0] = 0;
    if (!CryptAcquireContextA(&prov, NULL, NULL, PROV_RSA_AES, CRYPT_VERIFYCONTEXT))
        return 0;
    if (CryptCreateHash(prov, CALG_SHA_256, 0, 0, &hash)) {
        if ((!len || CryptHashData(hash, data, len, 0)) && CryptGetHashParam(hash, HP_HASHVAL, digest, &n, 0) &&
            n == 32) {
            for (i = 0; i < 32; i++) sprintf(hex + 2 * i, "%02x", digest[i]);
            ok = 1;
        }
        CryptDestroyHash(hash);
    }
    CryptReleaseContext(prov, 0);
    return ok;
}

/* ---- what each device must report afterwards -------------------------------------------------- */

#define MAX_RECORDED 4096 /* commands, and separately images, a device keeps */

typedef struct {
    unsigned long opens, writes, reads, ioctls, commands, images, dropped;
    const char* open;
    int broken; /* a broken configuration refuses requests before counting them */
    char config[160];
    char* lines;
    size_t len, cap;
} EXPECT;

static EXPECT expect[256];

static void expect_line(int dev, const char* fmt, ...) {
    EXPECT* e = &expect[dev];
    char line[200];
    size_t n;
    va_list ap;
    va_start(ap, fmt);
    n = (size_t)vsnprintf(line, sizeof(line), fmt, ap);
    va_end(ap);
    if (e->len + n + 1 > e->cap) {
        e->cap = (e->cap + n + 1) * 2;
        if (!(e->lines = realloc(e->lines, e->cap)))
            exit(3);
    }
    memcpy(e->lines + e->len, line, n + 1);
    e->len += n;
}

static void expect_command(int dev, const unsigned char* c, unsigned len) {
    char hex[40];
    unsigned i;
    if (expect[dev].commands == MAX_RECORDED) {
        expect[dev].dropped++;
        return;
    }
    expect[dev].commands++;
    for (i = 0; i < len; i++) sprintf(hex + 2 * i, "%02x", c[i]);
    hex[2 * len] = 0;
    expect_line(dev, "command %s\n", hex);
}

static void expect_image(int dev, const void* data, DWORD len) {
    char hex[65];
    if (expect[dev].images == MAX_RECORDED) {
        expect[dev].dropped++;
        return;
    }
    expect[dev].images++;
    if (!sha256(data, len, hex))
        check(0, "CryptoAPI SHA-256 of %lu bytes", len);
    expect_line(dev, "image %lu %s\n", len, hex);
}

static int write_expectations(const char* dir) {
    static const int devs[] = {DEV_MAIN,         DEV_DENIED,      DEV_BUSY,       DEV_NO_DESC,
                               DEV_WRITE_FAULTS, DEV_READ_FAULTS, DEV_BAD_CONFIG, DEV_BARE};
    char path[MAX_PATH];
    size_t i;
    for (i = 0; i < sizeof(devs) / sizeof(devs[0]); i++) {
        EXPECT* e = &expect[devs[i]];
        FILE* f;
        snprintf(path, sizeof(path), "%s\\dump-%d.txt", dir, devs[i]);
        if (!(f = fopen(path, "wb")))
            return 0;
        fprintf(f, "device %d\n%s\nopen %s\nopens %lu\nwrites %lu\nreads %lu\nioctls %lu\n%sdropped %lu\n", devs[i],
                e->config[0] ? e->config : "config ok", e->open ? e->open : "ok", e->opens, e->writes, e->reads,
                e->ioctls, e->lines ? e->lines : "", e->dropped);
        fclose(f);
    }
    return 1;
}

/* ---- device access, exactly as the updater does it -------------------------------------------- */

typedef struct {
    HANDLE h;
    int n;
} DEV;

static HANDLE open_raw(int n, DWORD* err) {
    char path[32];
    HANDLE h;
    snprintf(path, sizeof(path), "\\\\.\\usbscan%d", n);
    h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                    FILE_ATTRIBUTE_SYSTEM, NULL);
    *err = h == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    return h;
}

static int open_dev(int n, DEV* d) {
    DWORD err;
    d->n = n;
    d->h = open_raw(n, &err);
    check(d->h != INVALID_HANDLE_VALUE, "usbscan%d opens (error %lu)", n, err);
    if (d->h != INVALID_HANDLE_VALUE && n < 256)
        expect[n].opens++;
    return d->h != INVALID_HANDLE_VALUE;
}

static void open_fails(int n, DWORD want) {
    DWORD err;
    HANDLE h = open_raw(n, &err);
    check(h == INVALID_HANDLE_VALUE && err == want, "usbscan%d does not open, error %lu (got %lu)", n, want, err);
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
}

typedef struct {
    BOOL call_ok; /* WriteFile/ReadFile result */
    DWORD call_err;
    DWORD call_count; /* what the call stored through its count pointer */
    BOOL waited;      /* FALSE: the call failed, so the product does not wait */
    DWORD wait;       /* WaitForSingleObject(event, 1000) */
    BOOL signalled_after_fail;
    ULONG_PTR internal;
    BOOL result_ok; /* GetOverlappedResult */
    DWORD result_err;
    DWORD result_count;
    double ms;
} XFER;

static XFER transfer(DEV* d, BOOL write, void* buf, DWORD len) {
    XFER x;
    OVERLAPPED ov;
    HANDLE ev = CreateEventA(NULL, FALSE, FALSE, NULL);
    DWORD count = 0xDEADBEEF;
    double t0 = now_ms();

    memset(&x, 0, sizeof(x));
    memset(&ov, 0, sizeof(ov));
    ov.hEvent = ev;
    if (expect[d->n].broken) {
    } else if (write)
        expect[d->n].writes++;
    else
        expect[d->n].reads++;
    x.call_ok = write ? WriteFile(d->h, buf, len, &count, &ov) : ReadFile(d->h, buf, len, &count, &ov);
    x.call_err = x.call_ok ? 0 : GetLastError();
    x.call_count = count;
    if (!x.call_ok && x.call_err != ERROR_IO_PENDING) {
        /* never wait after a failed call: the event may not be signalled, and
           GetOverlappedResult(TRUE) could hang; just note what state things are in */
        x.signalled_after_fail = WaitForSingleObject(ev, 0) == WAIT_OBJECT_0;
        x.internal = ov.Internal;
    } else {
        x.waited = TRUE;
        x.wait = WaitForSingleObject(ev, 1000);
        x.internal = ov.Internal;
        count = 0xDEADBEEF;
        if (x.wait == WAIT_OBJECT_0 || x.internal != PENDING)
            x.result_ok = GetOverlappedResult(d->h, &ov, &count, TRUE);
        else /* would block for ever on an event nobody sets: look without waiting */
            x.result_ok = GetOverlappedResult(d->h, &ov, &count, FALSE);
        x.result_err = x.result_ok ? 0 : GetLastError();
        x.result_count = count;
    }
    x.ms = now_ms() - t0;
    CloseHandle(ev);
    printf(
        "# usbscan%d %s %lu: call %d err %lu count %lu | waited %d wait 0x%lx after-fail-signalled %d "
        "Internal 0x%lx | result %d err %lu count %lu | %.1f ms\n",
        d->n, write ? "WriteFile" : "ReadFile", len, x.call_ok, x.call_err, x.call_count, x.waited, x.wait,
        x.signalled_after_fail, (unsigned long)x.internal, x.result_ok, x.result_err, x.result_count, x.ms);
    return x;
}

/* the outcome of an ordinary transfer: everything succeeds with the given count */
static int went_through(const XFER* x, DWORD count) {
    return x->call_ok && x->wait == WAIT_OBJECT_0 && x->result_ok && x->result_count == count;
}

static XFER send_command(DEV* d, int which, unsigned char* cmd) {
    command_of(cmd, which);
    return transfer(d, TRUE, cmd, 16);
}

/* an ordinary 16-byte command the device must take whole */
static void command_ok(DEV* d, int which, const char* what) {
    unsigned char cmd[16];
    XFER x = send_command(d, which, cmd);
    check(went_through(&x, 16), "usbscan%d: %s command written (16 bytes)", d->n, what);
    expect_command(d->n, cmd, 16);
}

/* an ordinary 32-byte read that must return the given reply */
static void read_expect(DEV* d, const unsigned char* want, const char* what) {
    unsigned char buf[32];
    XFER x;
    memset(buf, CANARY, sizeof(buf));
    x = transfer(d, FALSE, buf, 32);
    check(went_through(&x, 32) && !memcmp(buf, want, 32), "usbscan%d: read gives %s (resultCode 0x%lX, tag 0x%02X)",
          d->n, what, get32(buf), buf[31]);
}

static void image_ok(DEV* d, const unsigned char* data, DWORD len, const char* what) {
    XFER x = transfer(d, TRUE, (void*)data, len);
    check(went_through(&x, len), "usbscan%d: %s image write of %lu bytes completes in one call (%.1f ms)", d->n, what,
          len, x.ms);
    expect_image(d->n, data, len);
}

/* want_err 0: the request must succeed with these values; otherwise fail with want_err */
static void descriptor(DEV* d, DWORD want_err, unsigned vid, unsigned pid, unsigned bcd) {
    unsigned char out[8];
    DWORD n = 0, err;
    BOOL ok;

    memset(out, CANARY, sizeof(out));
    if (!expect[d->n].broken)
        expect[d->n].ioctls++;
    ok = DeviceIoControl(d->h, IOCTL_GET_DEVICE_DESCRIPTOR, NULL, 0, out, 8, &n, NULL);
    err = ok ? 0 : GetLastError();
    if (want_err) {
        check(!ok && err == want_err, "usbscan%d: descriptor request fails with %lu (err %lu)", d->n, want_err, err);
        return;
    }
    check(
        ok && n == 8 && get16(out) == vid && get16(out + 2) == pid && get16(out + 4) == bcd && get16(out + 6) == 0x0409,
        "usbscan%d: descriptor %04X:%04X bcd %04X lang 0409 (ok %d n %lu got %04X:%04X bcd %04X lang %04X)", d->n, vid,
        pid, bcd, ok, n, get16(out), get16(out + 2), get16(out + 4), get16(out + 6));
}

/* asks the driver to re-read device N's configuration; returns the Win32 error (0: good) */
static DWORD reload(int n) {
    HANDLE h = CreateFileA("\\\\.\\scandrvctl", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           OPEN_EXISTING, 0, NULL);
    DWORD got = 0, err = 0;
    ULONG number = (ULONG)n;
    if (h == INVALID_HANDLE_VALUE)
        return GetLastError();
    if (!DeviceIoControl(h, IOCTL_SCANDRV_RELOAD, &number, sizeof(number), NULL, 0, &got, NULL))
        err = GetLastError();
    CloseHandle(h);
    return err;
}

/* ---- registry ------------------------------------------------------------------------------- */

static int set_value(int dev, const char* name, DWORD type, const void* data, DWORD len) {
    char path[128];
    HKEY key;
    LONG rc;
    snprintf(path, sizeof(path), KEY_BASE "\\Device%d", dev);
    if ((rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL)))
        return (int)rc;
    rc = RegSetValueExA(key, name, 0, type, data, len);
    RegCloseKey(key);
    return (int)rc;
}

static int set_text(int dev, const char* name, const char* text) {
    return set_value(dev, name, REG_SZ, text, (DWORD)strlen(text) + 1);
}

static int set_dword(int dev, const char* name, DWORD v) {
    return set_value(dev, name, REG_DWORD, &v, sizeof(v));
}

/* ---- the .reg file -------------------------------------------------------------------------- */

static void reg_binary(const char* name, const void* data, size_t len) {
    const unsigned char* p = data;
    size_t i;
    printf("\"%s\"=hex:", name);
    for (i = 0; i < len; i++) printf("%02x%s", p[i], i + 1 == len ? "" : (i % 24 == 23 ? ",\\\n  " : ","));
    printf("\n");
}

static void reg_device(int n) {
    printf("\n[HKEY_LOCAL_MACHINE\\" KEY_BASE "\\Device%d]\n", n);
}

static int print_config(void) {
    printf("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\" KEY_BASE "]\n");
    printf("\"Devices\"=\"0,1,2,3,4,5,6,255\"\n");

    reg_device(DEV_MAIN);
    printf("\"Open\"=\"ok\"\n\"Descriptor\"=\"ok\"\n");
    printf("\"VendorId\"=dword:00003f0a\n\"ProductId\"=dword:00001201\n\"BcdDevice\"=dword:00000105\n");
    reg_binary("Ready", main_ready, sizeof(main_ready));
    reg_binary("Progress", main_progress, sizeof(main_progress));
    reg_binary("Download", main_download, sizeof(main_download));

    reg_device(DEV_DENIED);
    printf("\"Open\"=\"denied\"\n");
    reg_device(DEV_BUSY);
    printf("\"Open\"=\"busy\"\n");
    reg_device(DEV_NO_DESC);
    printf("\"Descriptor\"=\"fail\"\n");

    reg_device(DEV_WRITE_FAULTS);
    reg_binary("Ready", wf_ready, sizeof(wf_ready));
    reg_binary("Progress", wf_progress, sizeof(wf_progress));
    reg_binary("Download", wf_download, sizeof(wf_download));
    printf(
        "\"Faults\"=\"write 1 fail; write 2 noSignal; write 3 resultFails; write 4 short; write 5 long;"
        " write 6 short; write 7 long; write 8 resultFails; write 9 fail; write 10 noSignal\"\n");

    reg_device(DEV_READ_FAULTS);
    reg_binary("Ready", rf_ready, sizeof(rf_ready));
    printf(
        "\"Faults\"=\"read 1 fail, read 2 nosignal, read 3 resultfails, read 4 short, read 5 long,"
        " read 7 long, read 8 short\"\n");

    /* DEV_BAD_CONFIG starts without a subkey (the checks break it on purpose), and DEV_BARE
       never has one: every default applies */
    return 0;
}

/* ---- the checks ------------------------------------------------------------------------------ */

static unsigned char* make_image(DWORD len, unsigned seed) {
    unsigned char* b = malloc(len ? len : 1);
    unsigned long x = seed;
    DWORD i;
    if (!b)
        exit(3);
    for (i = 0; i < len; i++) {
        x = x * 1103515245u + 12345u;
        b[i] = (unsigned char)(x >> 16);
    }
    return b;
}

static void check_reference_hash(void) {
    char hex[65];
    check(sha256("abc", 3, hex) && !strcmp(hex, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"),
          "CryptoAPI SHA-256 reference works (\"abc\" -> %.16s...)", hex);
}

static void main_device(void) {
    static const DWORD sizes[] = {1, 15, 17, 55, 56, 63, 64, 65, 119, 120, 4096};
    unsigned char buf[64], *img;
    DEV d;
    XFER x;
    size_t i;

    if (!open_dev(DEV_MAIN, &d))
        return;
    descriptor(&d, 0, 0x3F0A, 0x1201, 0x0105);
    {
        unsigned char small[4];
        DWORD n = 0;
        BOOL ok;
        expect[DEV_MAIN].ioctls++;
        ok = DeviceIoControl(d.h, IOCTL_GET_DEVICE_DESCRIPTOR, NULL, 0, small, 4, &n, NULL);
        check(!ok && GetLastError() == ERROR_INSUFFICIENT_BUFFER,
              "usbscan0: descriptor into 4 bytes fails with 122 (ok %d err %lu)", ok, ok ? 0 : GetLastError());
        ok = DeviceIoControl(d.h, IOCTL_GET_DEVICE_DESCRIPTOR - 4, NULL, 0, small, 4, &n, NULL);
        check(!ok && GetLastError() == ERROR_INVALID_PARAMETER,
              "usbscan0: any other request fails with 87 (ok %d err %lu)", ok, ok ? 0 : GetLastError());
    }
    read_expect(&d, unknown_reply, "0x7001 before any command");

    command_ok(&d, ST_READY, "status/ready");
    read_expect(&d, main_ready[0], "ready #1");
    command_ok(&d, ST_READY, "status/ready");
    read_expect(&d, main_ready[1], "ready #2");
    command_ok(&d, ST_READY, "status/ready");
    read_expect(&d, main_ready[2], "ready #3");
    read_expect(&d, main_ready[2], "ready #3 again once the list is used up");
    command_ok(&d, ST_PROGRESS, "status/progress");
    read_expect(&d, main_progress[0], "progress #1");
    read_expect(&d, main_progress[1], "progress #2 (a second read takes the next entry)");
    read_expect(&d, main_progress[1], "progress #2 again");
    command_ok(&d, ST_DOWNLOAD, "download");
    read_expect(&d, main_download[0], "the download reply");
    command_ok(&d, ST_DOWNLOAD, "download");
    read_expect(&d, main_download[0], "the download reply again");
    command_ok(&d, ST_OTHER, "unknown opcode 0x13");
    read_expect(&d, unknown_reply, "0x7001 for an unknown command");
    command_ok(&d, ST_ODD_SUBCODE, "status with subcode 3");
    read_expect(&d, unknown_reply, "0x7001 for a status query with another subcode");
    command_ok(&d, ST_READY, "status/ready");
    read_expect(&d, main_ready[2], "ready keeps its place while other lists were used");

    for (i = 0; i < sizeof(sizes) / sizeof(sizes[0]); i++) {
        img = make_image(sizes[i], (unsigned)i + 7);
        image_ok(&d, img, sizes[i], "small");
        free(img);
    }
    img = make_image(BIG_IMAGE, 12345);
    image_ok(&d, img, BIG_IMAGE, "whole");
    free(img);

    command_ok(&d, ST_READY, "status/ready");
    memset(buf, CANARY, sizeof(buf));
    x = transfer(&d, FALSE, buf, 64);
    check(went_through(&x, 32) && !memcmp(buf, main_ready[2], 32) && buf[32] == CANARY && buf[63] == CANARY,
          "usbscan0: a 64-byte read returns the 32-byte reply and leaves the rest alone");
    CloseHandle(d.h);

    /* state belongs to the device, not the handle */
    if (!open_dev(DEV_MAIN, &d))
        return;
    command_ok(&d, ST_READY, "status/ready after reopening");
    read_expect(&d, main_ready[2], "ready still at its end after reopening");
    CloseHandle(d.h);

    /* configuration is read again on every open */
    check(!set_value(DEV_MAIN, "Ready", REG_BINARY, main_ready_alt, sizeof(main_ready_alt)) &&
              !set_dword(DEV_MAIN, "VendorId", 0x1111),
          "registry: new Ready list and VendorId for usbscan0");
    if (!open_dev(DEV_MAIN, &d))
        return;
    descriptor(&d, 0, 0x1111, 0x1201, 0x0105);
    command_ok(&d, ST_READY, "status/ready with the new list");
    read_expect(&d, main_ready_alt[0], "the new list's only entry (cursor past its end)");
    CloseHandle(d.h);

    /* Open can only take effect through a reload: an open that finds it changed marks the
       configuration broken, so the mistake cannot go unnoticed */
    check(!set_text(DEV_MAIN, "Open", "denied"), "registry: usbscan0 Open=denied, not reloaded");
    if (!open_dev(DEV_MAIN, &d))
        return;
    expect[DEV_MAIN].broken = 1;
    descriptor(&d, ERROR_INVALID_PARAMETER, 0, 0, 0);
    CloseHandle(d.h);
    check(reload(DEV_MAIN) == 0, "reload usbscan0 with Open=denied");
    expect[DEV_MAIN].broken = 0;
    open_fails(DEV_MAIN, ERROR_ACCESS_DENIED);
    open_fails(DEV_MAIN, ERROR_ACCESS_DENIED);
    check(!set_text(DEV_MAIN, "Open", "busy") && reload(DEV_MAIN) == 0, "registry: usbscan0 Open=busy, reloaded");
    open_fails(DEV_MAIN, ERROR_SHARING_VIOLATION);
    open_fails(DEV_MAIN, ERROR_SHARING_VIOLATION);
    check(!set_text(DEV_MAIN, "Open", "ok") &&
              !set_value(DEV_MAIN, "Ready", REG_BINARY, main_ready, sizeof(main_ready)) &&
              !set_dword(DEV_MAIN, "VendorId", 0x3F0A) && reload(DEV_MAIN) == 0,
          "registry: usbscan0 configuration restored, reloaded");
    if (!open_dev(DEV_MAIN, &d))
        return;
    descriptor(&d, 0, 0x3F0A, 0x1201, 0x0105);
    command_ok(&d, ST_READY, "status/ready after the reloads");
    read_expect(&d, main_ready[2], "ready still at its end: reload keeps the transfer state");
    CloseHandle(d.h);
}

/* A configuration that cannot be read makes reload fail and every request fail with 87; an
   open that finds it repaired brings the device back. */
static void bad_config(void) {
    static const unsigned char bad[33];
    unsigned char cmd[16];
    DEV d;
    XFER x;

    check(!set_value(DEV_BAD_CONFIG, "Ready", REG_BINARY, bad, sizeof(bad)), "registry: usbscan6 Ready of 33 bytes");
    check(reload(DEV_BAD_CONFIG) == ERROR_INVALID_PARAMETER, "reload of usbscan6 reports the bad configuration");
    expect[DEV_BAD_CONFIG].broken = 1;
    if (open_dev(DEV_BAD_CONFIG, &d)) {
        descriptor(&d, ERROR_INVALID_PARAMETER, 0, 0, 0);
        x = send_command(&d, ST_READY, cmd);
        check(!x.call_ok && x.call_err == ERROR_INVALID_PARAMETER, "usbscan6: write fails with 87 (err %lu)",
              x.call_err);
        x = transfer(&d, FALSE, cmd, 16);
        check(!x.call_ok && x.call_err == ERROR_INVALID_PARAMETER, "usbscan6: read fails with 87 (err %lu)",
              x.call_err);
        CloseHandle(d.h);
    }
    check(!set_value(DEV_BAD_CONFIG, "Ready", REG_BINARY, rf_ready, 32), "registry: usbscan6 Ready repaired");
    expect[DEV_BAD_CONFIG].broken = 0;
    if (open_dev(DEV_BAD_CONFIG, &d)) {
        command_ok(&d, ST_READY, "status/ready once repaired");
        read_expect(&d, rf_ready[0], "the repaired list's reply");
        CloseHandle(d.h);
    }
    /* leave it broken, for the record's "config error" line */
    check(!set_value(DEV_BAD_CONFIG, "Ready", REG_BINARY, bad, sizeof(bad)) &&
              reload(DEV_BAD_CONFIG) == ERROR_INVALID_PARAMETER,
          "usbscan6 broken again");
    strcpy(expect[DEV_BAD_CONFIG].config, "config error Ready: length must be a multiple of 32");
}

/* The record keeps 4096 commands; more are counted as dropped, which the dump shows. Plain
   synchronous writes here: the product's way costs four more server calls a transfer. */
static void overflow(DEV* d) {
    unsigned char cmd[16];
    int i, bad = 0;
    DWORD n;
    for (i = 0; i < MAX_RECORDED; i++) {
        command_of(cmd, ST_OTHER);
        expect[d->n].writes++;
        if (!WriteFile(d->h, cmd, 16, &n, NULL) || n != 16)
            bad++;
        expect_command(d->n, cmd, 16);
    }
    check(!bad && expect[d->n].dropped == 1, "usbscan%d: %d more commands taken, one past what the record keeps", d->n,
          MAX_RECORDED);
}

static void other_devices(void) {
    DEV d;

    open_fails(DEV_DENIED, ERROR_ACCESS_DENIED);
    open_fails(DEV_BUSY, ERROR_SHARING_VIOLATION);
    open_fails(7, ERROR_FILE_NOT_FOUND);
    open_fails(200, ERROR_FILE_NOT_FOUND);
    open_fails(256, ERROR_FILE_NOT_FOUND);
    expect[DEV_DENIED].open = "denied";
    expect[DEV_BUSY].open = "busy";

    if (open_dev(DEV_NO_DESC, &d)) {
        descriptor(&d, ERROR_GEN_FAILURE, 0, 0, 0);
        command_ok(&d, ST_READY, "status/ready");
        read_expect(&d, unknown_reply, "0x7001 (no Ready list configured)");
        CloseHandle(d.h);
    }
    if (open_dev(DEV_BARE, &d)) {
        descriptor(&d, 0, 0x2A7B, 0x41C3, 0x0100); /* the simulator's defaults */
        command_ok(&d, ST_DOWNLOAD, "download");
        read_expect(&d, unknown_reply, "0x7001 (no subkey: empty lists)");
        overflow(&d);
        CloseHandle(d.h);
    }
}

static void write_faults(void) {
    unsigned char cmd[16], *img = make_image(1000, 99);
    DEV d;
    XFER x;

    if (!open_dev(DEV_WRITE_FAULTS, &d))
        return;

    x = send_command(&d, ST_READY, cmd); /* write 1: fail */
    check(!x.call_ok && x.call_err == ERROR_GEN_FAILURE, "fail: WriteFile returns FALSE with 31 (err %lu)", x.call_err);
    read_expect(&d, unknown_reply, "0x7001: the failed command never reached the device");

    x = send_command(&d, ST_DOWNLOAD, cmd); /* write 2: noSignal */
    check(x.call_ok && x.call_count == 0 && x.wait == WAIT_TIMEOUT && x.internal == PENDING && !x.result_ok &&
              x.result_err == ERROR_IO_INCOMPLETE,
          "noSignal: WriteFile TRUE with count 0, event not signalled within 1000 ms, OVERLAPPED still pending "
          "(%.0f ms)",
          x.ms);
    expect_command(d.n, cmd, 16);
    read_expect(&d, wf_download[0], "the download reply: the unsignalled command reached the device");

    x = send_command(&d, ST_READY, cmd); /* write 3: resultFails */
    check(x.call_ok && x.call_count == 16 && x.wait == WAIT_OBJECT_0 && !x.result_ok &&
              x.result_err == ERROR_GEN_FAILURE && x.result_count == 16,
          "resultFails: WriteFile TRUE, event signalled, GetOverlappedResult fails with 31 and count 16 (err %lu)",
          x.result_err);
    expect_command(d.n, cmd, 16);
    read_expect(&d, wf_ready[0], "the ready reply: a resultFails command still reached the device");

    x = send_command(&d, ST_DOWNLOAD, cmd); /* write 4: short */
    check(went_through(&x, 15), "short: command write completes with 15 (count %lu)", x.result_count);
    expect_command(d.n, cmd, 15);
    read_expect(&d, wf_download[0], "the download reply: 15 bytes still carry the opcode");

    x = send_command(&d, ST_PROGRESS, cmd); /* write 5: long */
    check(went_through(&x, 17), "long: command write reports 17 (count %lu)", x.result_count);
    expect_command(d.n, cmd, 16);
    read_expect(&d, wf_progress[0], "the progress reply");

    x = transfer(&d, TRUE, img, 1000); /* write 6: short */
    check(went_through(&x, 999), "short: image write of 1000 completes with 999 (count %lu)", x.result_count);
    expect_image(d.n, img, 999);
    x = transfer(&d, TRUE, img, 1000); /* write 7: long */
    check(went_through(&x, 1001), "long: image write of 1000 reports 1001 (count %lu)", x.result_count);
    expect_image(d.n, img, 1000);
    x = transfer(&d, TRUE, img, 500); /* write 8: resultFails */
    check(x.call_ok && x.wait == WAIT_OBJECT_0 && !x.result_ok && x.result_err == ERROR_GEN_FAILURE &&
              x.result_count == 500,
          "resultFails: image write's GetOverlappedResult fails but reports the count (err %lu count %lu)",
          x.result_err, x.result_count);
    expect_image(d.n, img, 500);
    x = transfer(&d, TRUE, img, 500); /* write 9: fail */
    check(!x.call_ok && x.call_err == ERROR_GEN_FAILURE, "fail: image WriteFile returns FALSE with 31");
    x = transfer(&d, TRUE, img, 700); /* write 10: noSignal */
    check(x.call_ok && x.wait == WAIT_TIMEOUT && x.internal == PENDING,
          "noSignal: image WriteFile TRUE, event never signalled");
    expect_image(d.n, img, 700);

    command_ok(&d, ST_READY, "status/ready after the faults");
    read_expect(&d, wf_ready[0], "the ready reply again");
    CloseHandle(d.h);
    free(img);
}

static void read_faults(void) {
    unsigned char buf[80];
    DEV d;
    XFER x;

    if (!open_dev(DEV_READ_FAULTS, &d))
        return;
    command_ok(&d, ST_READY, "status/ready");

    memset(buf, CANARY, sizeof(buf));
    x = transfer(&d, FALSE, buf, 32); /* read 1: fail */
    check(!x.call_ok && x.call_err == ERROR_GEN_FAILURE && buf[0] == CANARY,
          "fail: ReadFile returns FALSE with 31, buffer untouched (err %lu)", x.call_err);

    x = transfer(&d, FALSE, buf, 32); /* read 2: noSignal, uses up reply #1 */
    check(x.call_ok && x.call_count == 0 && x.wait == WAIT_TIMEOUT && x.internal == PENDING && buf[0] == CANARY &&
              buf[31] == CANARY,
          "noSignal: ReadFile TRUE with count 0, event never signalled, nothing delivered (Wine)");

    x = transfer(&d, FALSE, buf, 32); /* read 3: resultFails */
    check(x.call_ok && x.wait == WAIT_OBJECT_0 && !x.result_ok && x.result_err == ERROR_GEN_FAILURE &&
              x.result_count == 32 && !memcmp(buf, rf_ready[1], 32),
          "resultFails: ReadFile TRUE, GetOverlappedResult fails with 31, reply #2 delivered (err %lu count %lu "
          "tag 0x%02X)",
          x.result_err, x.result_count, buf[31]);

    memset(buf, CANARY, sizeof(buf));
    x = transfer(&d, FALSE, buf, 32); /* read 4: short */
    check(went_through(&x, 31) && !memcmp(buf, rf_ready[2], 31) && buf[31] == CANARY,
          "short: read completes with 31, reply #3 less its last byte (count %lu)", x.result_count);

    memset(buf, CANARY, sizeof(buf));
    x = transfer(&d, FALSE, buf, 32); /* read 5: long */
    check(went_through(&x, 33) && !memcmp(buf, rf_ready[3], 32) && buf[32] == CANARY,
          "long: read reports 33 for 32 asked, reply #4, nothing written past 32 (count %lu)", x.result_count);

    read_expect(&d, rf_ready[4], "reply #5");

    memset(buf, CANARY, sizeof(buf));
    x = transfer(&d, FALSE, buf, 64); /* read 7: long, larger buffer */
    check(went_through(&x, 65) && !memcmp(buf, rf_ready[5], 32) && buf[32] == 0 && buf[63] == 0 && buf[64] == CANARY,
          "long: a 64-byte read reports 65: reply #6, zeros to 64, nothing past (count %lu, byte 32 0x%02X)",
          x.result_count, buf[32]);

    memset(buf, CANARY, sizeof(buf));
    x = transfer(&d, FALSE, buf, 8); /* read 8: short, smaller buffer */
    check(went_through(&x, 7) && !memcmp(buf, rf_ready[5], 7) && buf[7] == CANARY,
          "short: an 8-byte read gives 7 bytes of reply #6, repeated (count %lu)", x.result_count);

    read_expect(&d, rf_ready[5], "reply #6 repeats once the list is used up");
    CloseHandle(d.h);
}

int main(int argc, char** argv) {
    LARGE_INTEGER f;
    double t0;

    _setmode(_fileno(stdout), _O_BINARY);
    QueryPerformanceFrequency(&f);
    qpc_ms = 1000.0 / (double)f.QuadPart;
    setup_replies();

    if (argc == 2 && !strcmp(argv[1], "config"))
        return print_config();
    if (argc == 4 && !strcmp(argv[1], "open")) {
        DWORD want = strtoul(argv[3], NULL, 0), err;
        HANDLE h = open_raw(atoi(argv[2]), &err);
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
        check(err == want, "usbscan%s open gives error %lu (got %lu)", argv[2], want, err);
        return failures != 0;
    }
    if (argc != 3 || strcmp(argv[1], "run")) {
        fprintf(stderr, "usage: probe config | run <dir> | open <N> <error>\n");
        return 2;
    }

    t0 = now_ms();
    check_reference_hash();
    main_device();
    other_devices();
    write_faults();
    read_faults();
    bad_config();
    check(write_expectations(argv[2]), "expected records written to %s", argv[2]);
    printf("1..%d\n# %d of %d checks passed in %.0f ms\n", checks, checks - failures, checks, now_ms() - t0);
    return failures != 0;
}
