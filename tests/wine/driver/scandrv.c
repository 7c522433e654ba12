/*
 * scandrv.sys - an emulated still-image USB scanner, loaded by Wine's winedevice.exe.
 *
 * Test equipment only: it lets the updater run unmodified under Wine against a device that
 * answers like the scanner's substitute in our simulator, and it can inject transfer faults.
 * It relies on how Wine (8.0) runs drivers and is not meant to load on Windows.
 *
 * Devices
 *   \Device\usbscanN with the link \DosDevices\usbscanN (user path \\.\usbscanN) for every
 *   number in the service key's Devices value, and the control device \Device\scandrvctl
 *   (\\.\scandrvctl) through which scanctl.exe reloads configuration and reads back what a
 *   device received.
 *
 * Configuration: HKLM\System\CurrentControlSet\Services\scandrv
 *   Devices     REG_SZ or REG_MULTI_SZ  decimal numbers 0..255 separated by blanks, commas,
 *                                       semicolons or NULs. Read only when the driver loads.
 *   Subkey Device<N> (decimal, no leading zeros); no subkey means every default:
 *   Open        REG_SZ     ok (default) | denied | busy
 *   Descriptor  REG_SZ     ok (default) | fail
 *   VendorId, ProductId, BcdDevice  REG_DWORD 0..0xFFFF (defaults 0x2A7B, 0x41C3, 0x0100, as
 *                                   in the simulator); the language is always 0x0409
 *   Ready, Progress, Download       REG_BINARY of K*32 bytes: K replies of 32 bytes, K <= 1024
 *   Faults      REG_SZ or REG_MULTI_SZ  entries "<write|read> <n> <kind>" separated by ';',
 *               ',', line breaks or NULs; kind: fail | noSignal | resultFails | short | long
 *   Names are case-insensitive, unknown names ignored. A device's subkey is read when the
 *   driver loads, on every open of the device, and on the control device's reload/reset.
 *
 * Open behaviour. Wine hands IRP_MJ_CREATE to the driver only after CreateFile has returned,
 * so the driver cannot refuse an open. Instead the device's link is pointed at a stand-in
 * whose open fails the way we want: a named pipe that only lets clients read (an open asking
 * for write access gets STATUS_ACCESS_DENIED, Win32 5), or a mailslot this driver holds open
 * for writing without sharing (STATUS_SHARING_VIOLATION, Win32 32). That must be in place
 * before the open, so Open takes effect at load and on reload/reset only; an open that finds
 * Open changed in the registry marks the configuration as broken.
 *
 * A bad configuration does not stop the open either: the device then fails every read,
 * write and descriptor request with STATUS_DEVICE_CONFIGURATION_ERROR (Win32 87) until a
 * good one is read, and reload/reset report the problem.
 *
 * Faults: n counts the operation on the device from 1 (writes: commands and image data
 * alike; failed requests count too). What each kind does, as Wine passes it on:
 *   fail         the request fails with STATUS_UNSUCCESSFUL (Win32 31); the device takes
 *                nothing and uses up no reply
 *   noSignal     the call succeeds with count 0, but the event never fires and the
 *                OVERLAPPED stays at STATUS_PENDING; the device takes the data or uses up
 *                the reply (a read's reply never reaches the caller)
 *   resultFails  the call succeeds and the event fires, GetOverlappedResult fails with 31
 *                but gives the full count; the device takes the data, the reply is delivered
 *   short        one byte fewer is moved and counted
 *   long         the count is one more than asked; everything asked for is moved (a read
 *                gets the reply and zeros after it)
 *
 * Transfer state (reply cursors, operation counters, the record of what was received)
 * belongs to the device, not to a handle: it survives close and open, and is cleared by
 * loading the driver and by the control device's reset.
 *
 * Every write of 16 bytes is a command; a write of any other length is image data (length
 * and SHA-256 recorded). A read returns the next reply of the list picked by the last
 * command: byte 4 == 0x12 and byte 6 == 2 -> Ready; byte 4 == 0x12 and byte 6 == 8 ->
 * Progress; byte 4 == 0x2A -> Download; anything else, or no command yet, -> u32 0x7001 and
 * zeros. A used-up list repeats its last entry; an empty list answers like an unknown command.
 */
#include <ntddk.h>
#include <ntimage.h>

#define TAG 0x6E616353u /* "Scan" in pool dumps */

#define MAX_DEVICES 256
#define COMMAND_LEN 16
#define REPLY_LEN 32
#define MAX_REPLIES 1024
#define MAX_FAULTS 256
#define MAX_COMMANDS 4096
#define MAX_IMAGES 4096
#define LOG_CAPACITY (MAX_COMMANDS + MAX_IMAGES)
#define MAX_VALUE_BYTES (MAX_REPLIES * REPLY_LEN)
#define MAX_TEXT 4096
#define MESSAGE_LEN 128

#define IOCTL_GET_DEVICE_DESCRIPTOR 0x80002018u

/* Control device requests. Every layout below is mirrored in scanctl.c; the magic and
   version let either side notice a mismatched pair. */
#define IOCTL_SCANDRV_STATUS CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SCANDRV_DUMP CTL_CODE(FILE_DEVICE_UNKNOWN, 0x901, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SCANDRV_RESET CTL_CODE(FILE_DEVICE_UNKNOWN, 0x902, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SCANDRV_RELOAD CTL_CODE(FILE_DEVICE_UNKNOWN, 0x903, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define SCANDRV_MAGIC 0x43524453u /* "SDRC" */
#define SCANDRV_VERSION 1u
#define ALL_DEVICES 0xFFFFFFFFu

enum { DEVICE_ABSENT = 0, DEVICE_OK = 1, DEVICE_BAD_CONFIG = 2 };

typedef struct {
    ULONG magic, version, load_status, device_count;
    UCHAR state[MAX_DEVICES]; /* DEVICE_* */
    char message[MESSAGE_LEN];
} STATUS_REPLY;

typedef struct {
    ULONG magic, version, header_size, entry_size;
    ULONG device, open_mode, opens, writes, reads, ioctls, entries, dropped, config_status;
    char config_error[MESSAGE_LEN];
} DUMP_HEADER;

enum { ENTRY_COMMAND = 1, ENTRY_IMAGE = 2 };

typedef struct {
    ULONG kind;
    ULONG length;   /* bytes the device took */
    UCHAR data[32]; /* the command bytes, or the image's SHA-256 */
} LOG_ENTRY;

enum { OPEN_OK, OPEN_DENIED, OPEN_BUSY };
enum { LIST_READY, LIST_PROGRESS, LIST_DOWNLOAD, LIST_COUNT, LIST_NONE = LIST_COUNT };
enum { OP_WRITE, OP_READ };
enum { FAULT_NONE, FAULT_FAIL, FAULT_NO_SIGNAL, FAULT_RESULT_FAILS, FAULT_SHORT, FAULT_LONG };

typedef struct {
    UCHAR op, kind;
    ULONG n;
} FAULT;

typedef struct {
    ULONG open_mode;
    BOOLEAN descriptor_fails;
    USHORT vid, pid, bcd;
    ULONG reply_count[LIST_COUNT];
    UCHAR* replies[LIST_COUNT];
    ULONG fault_count;
    FAULT faults[MAX_FAULTS];
} CONFIG;

enum { KIND_SCANNER = 0x5343414E, KIND_CONTROL = 0x4354524C };

typedef struct {
    ULONG kind;
    ULONG number;
    FAST_MUTEX lock;        /* guards everything down to the stand-in handles */
    CONFIG* config;         /* last good configuration, NULL before the first */
    NTSTATUS config_status; /* not STATUS_SUCCESS: every request fails with it */
    char config_error[MESSAGE_LEN];
    ULONG open_mode; /* what the link currently makes opens do */
    ULONG cursor[LIST_COUNT];
    ULONG last_list;
    ULONG opens, writes, reads, ioctls;
    LOG_ENTRY* log; /* allocated on first use */
    ULONG log_count, commands, images, dropped;
    /* changed only with g_setup_lock held */
    HANDLE denied_pipe, busy_slot, busy_writer;
} SCANNER;

typedef struct {
    ULONG kind;
} CONTROL;

/* Set by DriverEntry before any request can arrive and cleared by DriverUnload after the
   last one; reloads and open-behaviour changes are serialised by g_setup_lock. */
static WCHAR g_regpath[512];
static PDEVICE_OBJECT g_scanners[MAX_DEVICES];
static PDEVICE_OBJECT g_control;
static NTSTATUS g_load_status;
static char g_load_message[MESSAGE_LEN];
static FAST_MUTEX g_setup_lock;

/* ---- small helpers (no C runtime in kernel mode) ---------------------------------------- */

static void put16(UCHAR* p, USHORT v) {
    p[0] = (UCHAR)v;
    p[1] = (UCHAR)(v >> 8);
}

static void copy_text(char* dst, ULONG size, const char* src) {
    ULONG i = 0;
    while (src[i] && i + 1 < size) {
        dst[i] = src[i];
        i++;
    }
    dst[i] = 0;
}

static void append_text(char* dst, ULONG size, const char* src) {
    ULONG i = 0;
    while (i < size && dst[i]) i++;
    if (i < size)
        copy_text(dst + i, size - i, src);
}

static int text_equal(const char* a, const char* b) {
    while (*a && *a == *b) {
        a++;
        b++;
    }
    return *a == *b;
}

static char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c;
}

/* Parses a decimal number of at most 9 digits; returns 0 on anything else. */
static int parse_decimal(const char* s, ULONG* out) {
    ULONG v = 0, digits = 0;
    if (!*s)
        return 0;
    for (; *s; s++) {
        if (*s < '0' || *s > '9' || ++digits > 9)
            return 0;
        v = v * 10 + (ULONG)(*s - '0');
    }
    *out = v;
    return 1;
}

/* ---- SHA-256: image data is reported as the digest our simulator also prints ------------- */

typedef struct {
    ULONG h[8];
    ULONG64 total;
    UCHAR block[64];
    ULONG used;
} SHA256;

static const ULONG sha_k[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

#define ROR(x, n) (((x) >> (n)) | ((x) << (32 - (n))))

static void sha256_block(SHA256* s, const UCHAR* p) {
    ULONG w[64], a, b, c, d, e, f, g, h, t1, t2;
    int i;
    for (i = 0; i < 16; i++)
        w[i] = (ULONG)p[4 * i] << 24 | (ULONG)p[4 * i + 1] << 16 | (ULONG)p[4 * i + 2] << 8 | p[4 * i + 3];
    for (; i < 64; i++)
        w[i] = (ROR(w[i - 2], 17) ^ ROR(w[i - 2], 19) ^ (w[i - 2] >> 10)) + w[i - 7] +
               (ROR(w[i - 15], 7) ^ ROR(w[i - 15], 18) ^ (w[i - 15] >> 3)) + w[i - 16];
    a = s->h[0];
    b = s->h[1];
    c = s->h[2];
    d = s->h[3];
    e = s->h[4];
    f = s->h[5];
    g = s->h[6];
    h = s->h[7];
    for (i = 0; i < 64; i++) {
        t1 = h + (ROR(e, 6) ^ ROR(e, 11) ^ ROR(e, 25)) + ((e & f) ^ (~e & g)) + sha_k[i] + w[i];
        t2 = (ROR(a, 2) ^ ROR(a, 13) ^ ROR(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    s->h[0] += a;
    s->h[1] += b;
    s->h[2] += c;
    s->h[3] += d;
    s->h[4] += e;
    s->h[5] += f;
    s->h[6] += g;
    s->h[7] += h;
}

static void sha256_init(SHA256* s) {
    static const ULONG init[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                  0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    RtlCopyMemory(s->h, init, sizeof(init));
    s->total = 0;
    s->used = 0;
}

static void sha256_update(SHA256* s, const UCHAR* p, SIZE_T n) {
    s->total += n;
    while (n) {
        if (!s->used && n >= 64) {
            sha256_block(s, p);
            p += 64;
            n -= 64;
            continue;
        }
        s->block[s->used++] = *p++;
        n--;
        if (s->used == 64) {
            sha256_block(s, s->block);
            s->used = 0;
        }
    }
}

static void sha256_final(SHA256* s, UCHAR out[32]) {
    ULONG64 bits = s->total * 8;
    UCHAR pad = 0x80;
    int i;
    sha256_update(s, &pad, 1);
    pad = 0;
    while (s->used != 56) sha256_update(s, &pad, 1);
    for (i = 7; i >= 0; i--) s->block[56 + (7 - i)] = (UCHAR)(bits >> (8 * i));
    sha256_block(s, s->block);
    for (i = 0; i < 8; i++) {
        out[4 * i] = (UCHAR)(s->h[i] >> 24);
        out[4 * i + 1] = (UCHAR)(s->h[i] >> 16);
        out[4 * i + 2] = (UCHAR)(s->h[i] >> 8);
        out[4 * i + 3] = (UCHAR)s->h[i];
    }
}

/* ---- configuration ------------------------------------------------------------------------ */

typedef struct {
    HANDLE key;
    KEY_VALUE_PARTIAL_INFORMATION* info; /* room for MAX_VALUE_BYTES of data */
    ULONG info_size;
    char text[MAX_TEXT + 1];
    char error[MESSAGE_LEN];
} READER;

static int fail_value(READER* r, const WCHAR* name, const char* why) {
    int i;
    char n[40];
    for (i = 0; name[i] && i < 39; i++) n[i] = (char)name[i];
    n[i] = 0;
    copy_text(r->error, sizeof(r->error), n);
    append_text(r->error, sizeof(r->error), ": ");
    append_text(r->error, sizeof(r->error), why);
    return 0;
}

/* 1: found, 0: absent, -1: error (r->error set) */
static int read_value(READER* r, const WCHAR* name) {
    UNICODE_STRING us;
    ULONG got = 0;
    NTSTATUS status;

    RtlInitUnicodeString(&us, name);
    status = ZwQueryValueKey(r->key, &us, KeyValuePartialInformation, r->info, r->info_size, &got);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND)
        return 0;
    if (status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL)
        return fail_value(r, name, "value too long") - 1;
    if (!NT_SUCCESS(status))
        return fail_value(r, name, "cannot be read") - 1;
    if (r->info->DataLength > r->info_size - FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data))
        return fail_value(r, name, "bad length") - 1;
    return 1;
}

/* Reads a REG_SZ (or, if allowed, REG_MULTI_SZ) value as lower-case ASCII into r->text, with
   NULs inside a multi-string turned into ';'. 1: found, 0: absent, -1: error. */
static int read_text(READER* r, const WCHAR* name, BOOLEAN multi_ok) {
    const WCHAR* w;
    ULONG chars, i, n = 0;
    int found = read_value(r, name);

    if (found <= 0)
        return found;
    if (r->info->Type != REG_SZ && !(multi_ok && r->info->Type == REG_MULTI_SZ))
        return fail_value(r, name, multi_ok ? "must be REG_SZ or REG_MULTI_SZ" : "must be REG_SZ") - 1;
    w = (const WCHAR*)r->info->Data;
    chars = r->info->DataLength / sizeof(WCHAR);
    if (chars > MAX_TEXT)
        return fail_value(r, name, "text too long") - 1;
    for (i = 0; i < chars; i++) {
        if (!w[i]) {
            if (r->info->Type == REG_SZ)
                break;
            r->text[n++] = ';';
            continue;
        }
        if (w[i] > 0x7E)
            return fail_value(r, name, "non-ASCII text") - 1;
        r->text[n++] = lower((char)w[i]);
    }
    r->text[n] = 0;
    return 1;
}

/* 1: ok (value stored or default kept), 0: error */
static int read_u16(READER* r, const WCHAR* name, USHORT* out) {
    ULONG v;
    int found = read_value(r, name);
    if (found < 0)
        return 0;
    if (!found)
        return 1;
    if (r->info->Type != REG_DWORD || r->info->DataLength != sizeof(ULONG))
        return fail_value(r, name, "must be REG_DWORD");
    RtlCopyMemory(&v, r->info->Data, sizeof(v));
    if (v > 0xFFFF)
        return fail_value(r, name, "must be at most 0xFFFF");
    *out = (USHORT)v;
    return 1;
}

/* Reads an enumerated REG_SZ; *out keeps its default when the value is absent. */
static int read_choice(READER* r, const WCHAR* name, const char* const* choices, ULONG count, ULONG* out) {
    ULONG i;
    int found = read_text(r, name, FALSE);
    if (found < 0)
        return 0;
    if (!found)
        return 1;
    for (i = 0; i < count; i++)
        if (text_equal(r->text, choices[i])) {
            *out = i;
            return 1;
        }
    return fail_value(r, name, "unknown word");
}

/* Splits s at any of the separators; returns the next token (NUL-terminated in place). */
static char* next_token(char** s, const char* separators) {
    char *p = *s, *start;
    const char* q;
    for (;; p++) {
        for (q = separators; *q && *q != *p; q++) {
        }
        if (!*p || !*q)
            break;
    }
    if (!*p) {
        *s = p;
        return NULL;
    }
    start = p;
    for (;; p++) {
        for (q = separators; *q && *q != *p; q++) {
        }
        if (!*p || *q)
            break;
    }
    if (*p)
        *p++ = 0;
    *s = p;
    return start;
}

static int parse_fault(char* entry, FAULT* f) {
    static const char* const kinds[] = {"fail", "nosignal", "resultfails", "short", "long"};
    char *s = entry, *op = next_token(&s, " \t"), *n = next_token(&s, " \t"), *kind = next_token(&s, " \t");
    ULONG i;

    if (!op || !n || !kind || next_token(&s, " \t"))
        return 0;
    if (text_equal(op, "write"))
        f->op = OP_WRITE;
    else if (text_equal(op, "read"))
        f->op = OP_READ;
    else
        return 0;
    if (!parse_decimal(n, &f->n) || !f->n)
        return 0;
    for (i = 0; i < sizeof(kinds) / sizeof(kinds[0]); i++)
        if (text_equal(kind, kinds[i])) {
            f->kind = (UCHAR)(FAULT_FAIL + i);
            return 1;
        }
    return 0;
}

static int read_faults(READER* r, CONFIG* c) {
    char *s = r->text, *entry;
    ULONG i;
    int found = read_text(r, L"Faults", TRUE);
    if (found < 0)
        return 0;
    if (!found)
        return 1;
    while ((entry = next_token(&s, ";,\r\n"))) {
        FAULT f;
        const char* t = entry;
        while (*t == ' ' || *t == '\t') t++;
        if (!*t)
            continue; /* blank entry, e.g. after a trailing separator */
        if (!parse_fault(entry, &f))
            return fail_value(r, L"Faults", "bad entry (want \"<write|read> <n> <kind>\")");
        if (c->fault_count == MAX_FAULTS)
            return fail_value(r, L"Faults", "too many entries");
        for (i = 0; i < c->fault_count; i++)
            if (c->faults[i].op == f.op && c->faults[i].n == f.n)
                return fail_value(r, L"Faults", "two entries for the same operation");
        c->faults[c->fault_count++] = f;
    }
    return 1;
}

static const WCHAR* const list_names[LIST_COUNT] = {L"Ready", L"Progress", L"Download"};

static void free_config(CONFIG* c) {
    ULONG i;
    if (!c)
        return;
    for (i = 0; i < LIST_COUNT; i++)
        if (c->replies[i])
            ExFreePoolWithTag(c->replies[i], TAG);
    ExFreePoolWithTag(c, TAG);
}

static READER* new_reader(ULONG max_data) {
    READER* r = ExAllocatePoolWithTag(PagedPool, sizeof(*r), TAG);
    if (!r)
        return NULL;
    r->key = NULL;
    r->error[0] = 0;
    r->info_size = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) + max_data;
    if (!(r->info = ExAllocatePoolWithTag(PagedPool, r->info_size, TAG))) {
        ExFreePoolWithTag(r, TAG);
        return NULL;
    }
    return r;
}

static void free_reader(READER* r) {
    ExFreePoolWithTag(r->info, TAG);
    ExFreePoolWithTag(r, TAG);
}

/* Builds prefix + decimal number (if number != ~0u) into out, which holds 64 WCHARs. */
static void make_name(WCHAR* out, const WCHAR* prefix, ULONG number) {
    WCHAR digits[10];
    int n = 0, d = 0;
    while (*prefix && n < 50) out[n++] = *prefix++;
    if (number != ~0u) {
        do {
            digits[d++] = (WCHAR)(L'0' + number % 10);
            number /= 10;
        } while (number);
        while (d) out[n++] = digits[--d];
    }
    out[n] = 0;
}

/* Reads Device<N>; returns a new CONFIG, or NULL with the reason in r->error. */
static CONFIG* load_config(ULONG number, READER* r) {
    static const char* const open_words[] = {"ok", "denied", "busy"};
    static const char* const descriptor_words[] = {"ok", "fail"};
    WCHAR path[sizeof(g_regpath) / sizeof(WCHAR) + 64];
    UNICODE_STRING us;
    OBJECT_ATTRIBUTES attr;
    ULONG len = 0, i, descriptor = 0;
    CONFIG* c;
    NTSTATUS status;
    int ok = 0;

    r->error[0] = 0;
    r->key = NULL;
    if (!(c = ExAllocatePoolWithTag(NonPagedPool, sizeof(*c), TAG))) {
        copy_text(r->error, sizeof(r->error), "out of memory");
        return NULL;
    }
    RtlZeroMemory(c, sizeof(*c));
    c->open_mode = OPEN_OK;
    c->vid = 0x2A7B;
    c->pid = 0x41C3;
    c->bcd = 0x0100;

    while (g_regpath[len]) {
        path[len] = g_regpath[len];
        len++;
    }
    make_name(path + len, L"\\Device", number);
    RtlInitUnicodeString(&us, path);
    InitializeObjectAttributes(&attr, &us, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    status = ZwOpenKey(&r->key, KEY_READ, &attr);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND)
        return c; /* no subkey: every default */
    if (!NT_SUCCESS(status)) {
        r->key = NULL;
        copy_text(r->error, sizeof(r->error), "the device subkey cannot be opened");
        goto done;
    }

    for (i = 0; i < LIST_COUNT; i++) {
        int found = read_value(r, list_names[i]);
        if (found < 0)
            goto done;
        if (!found || !r->info->DataLength)
            continue;
        if (r->info->Type != REG_BINARY) {
            fail_value(r, list_names[i], "must be REG_BINARY");
            goto done;
        }
        if (r->info->DataLength % REPLY_LEN) {
            fail_value(r, list_names[i], "length must be a multiple of 32");
            goto done;
        }
        if (!(c->replies[i] = ExAllocatePoolWithTag(NonPagedPool, r->info->DataLength, TAG))) {
            copy_text(r->error, sizeof(r->error), "out of memory");
            goto done;
        }
        RtlCopyMemory(c->replies[i], r->info->Data, r->info->DataLength);
        c->reply_count[i] = r->info->DataLength / REPLY_LEN;
    }
    if (!read_choice(r, L"Open", open_words, 3, &c->open_mode))
        goto done;
    if (!read_choice(r, L"Descriptor", descriptor_words, 2, &descriptor))
        goto done;
    c->descriptor_fails = descriptor == 1;
    if (!read_u16(r, L"VendorId", &c->vid) || !read_u16(r, L"ProductId", &c->pid) ||
        !read_u16(r, L"BcdDevice", &c->bcd))
        goto done;
    if (!read_faults(r, c))
        goto done;
    ok = 1;
done:
    if (r->key)
        ZwClose(r->key);
    if (!ok) {
        free_config(c);
        return NULL;
    }
    return c;
}

/* ---- open behaviour: what \DosDevices\usbscanN points at ------------------------------------ */

typedef NTSTATUS(NTAPI* CREATE_PIPE)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, ULONG share,
                                     ULONG disposition, ULONG options, ULONG type, ULONG read_mode, ULONG completion,
                                     ULONG max_instances, ULONG in_quota, ULONG out_quota, PLARGE_INTEGER timeout);
typedef NTSTATUS(NTAPI* CREATE_MAILSLOT)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, ULONG options,
                                         ULONG quota, ULONG max_message, PLARGE_INTEGER timeout);

NTSYSAPI PVOID NTAPI RtlPcToFileHeader(PVOID pc, PVOID* base);
NTSYSAPI PVOID NTAPI RtlImageDirectoryEntryToData(PVOID base, BOOLEAN image, USHORT entry, PULONG size);
extern USHORT NlsAnsiCodePage __attribute__((dllimport)); /* ntoskrnl forwards it to ntdll */

static CREATE_PIPE g_create_pipe;
static CREATE_MAILSLOT g_create_mailslot;

/* ntoskrnl does not export the calls that create pipes and mailslots. Under Wine the
   driver runs in an ordinary process next to ntdll, so take them from ntdll's exports,
   finding ntdll through a variable ntoskrnl forwards to it. Importing ntdll directly would
   make Wine's loader treat the driver as a DLL and call DriverEntry as DllMain. */
static PVOID ntdll_routine(const char* want) {
    PVOID base = NULL;
    ULONG size = 0, i;
    const IMAGE_EXPORT_DIRECTORY* ex;
    const ULONG *names, *functions;
    const USHORT* ordinals;

    if (!RtlPcToFileHeader(&NlsAnsiCodePage, &base) || !base)
        return NULL;
    ex = RtlImageDirectoryEntryToData(base, TRUE, IMAGE_DIRECTORY_ENTRY_EXPORT, &size);
    if (!ex || size < sizeof(*ex))
        return NULL;
    names = (const ULONG*)((const UCHAR*)base + ex->AddressOfNames);
    functions = (const ULONG*)((const UCHAR*)base + ex->AddressOfFunctions);
    ordinals = (const USHORT*)((const UCHAR*)base + ex->AddressOfNameOrdinals);
    for (i = 0; i < ex->NumberOfNames; i++)
        if (text_equal((const char*)base + names[i], want) && ordinals[i] < ex->NumberOfFunctions)
            return (UCHAR*)base + functions[ordinals[i]];
    return NULL;
}

static NTSTATUS point_link(ULONG number, const WCHAR* target) {
    WCHAR link[64];
    UNICODE_STRING ulink, utarget;
    make_name(link, L"\\DosDevices\\usbscan", number);
    RtlInitUnicodeString(&ulink, link);
    RtlInitUnicodeString(&utarget, target);
    IoDeleteSymbolicLink(&ulink);
    return IoCreateSymbolicLink(&ulink, &utarget);
}

static void close_handle(HANDLE* h) {
    if (*h)
        ZwClose(*h);
    *h = NULL;
}

/* A pipe whose clients may only read: CreateFile asking for write access is refused with
   STATUS_ACCESS_DENIED. The single instance stays listening because nobody connects. */
static NTSTATUS make_denied_pipe(ULONG number, HANDLE* pipe, WCHAR* name) {
    UNICODE_STRING us;
    OBJECT_ATTRIBUTES attr;
    IO_STATUS_BLOCK io;
    LARGE_INTEGER timeout;

    if (!g_create_pipe)
        return STATUS_NOT_IMPLEMENTED;
    make_name(name, L"\\Device\\NamedPipe\\scandrv-denied", number);
    RtlInitUnicodeString(&us, name);
    InitializeObjectAttributes(&attr, &us, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    timeout.QuadPart = -500000;
    return g_create_pipe(pipe, GENERIC_WRITE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, &attr, &io, FILE_SHARE_READ,
                         FILE_CREATE, FILE_SYNCHRONOUS_IO_NONALERT, 0, 0, 0, 1, 0, 0, &timeout);
}

/* A mailslot with one writer that does not share writing: any further open for writing is
   refused with STATUS_SHARING_VIOLATION. */
static NTSTATUS make_busy_mailslot(ULONG number, HANDLE* slot, HANDLE* writer, WCHAR* name) {
    UNICODE_STRING us;
    OBJECT_ATTRIBUTES attr;
    IO_STATUS_BLOCK io;
    LARGE_INTEGER timeout;
    NTSTATUS status;

    if (!g_create_mailslot)
        return STATUS_NOT_IMPLEMENTED;
    make_name(name, L"\\Device\\MailSlot\\scandrv-busy", number);
    RtlInitUnicodeString(&us, name);
    InitializeObjectAttributes(&attr, &us, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    timeout.QuadPart = 0;
    status =
        g_create_mailslot(slot, GENERIC_READ | SYNCHRONIZE, &attr, &io, FILE_SYNCHRONOUS_IO_NONALERT, 0, 0, &timeout);
    if (!NT_SUCCESS(status))
        return status;
    status = ZwCreateFile(writer, GENERIC_WRITE | SYNCHRONIZE, &attr, &io, NULL, 0, FILE_SHARE_READ, FILE_OPEN,
                          FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0);
    if (!NT_SUCCESS(status))
        close_handle(slot);
    return status;
}

/* Called with g_setup_lock held. On failure the previous behaviour stays in force. */
static NTSTATUS set_open_mode(SCANNER* s, ULONG mode, READER* r) {
    HANDLE pipe = NULL, slot = NULL, writer = NULL;
    WCHAR target[64];
    NTSTATUS status = STATUS_SUCCESS;

    if (mode == s->open_mode)
        return STATUS_SUCCESS;
    if (mode == OPEN_DENIED)
        status = make_denied_pipe(s->number, &pipe, target);
    else if (mode == OPEN_BUSY)
        status = make_busy_mailslot(s->number, &slot, &writer, target);
    else
        make_name(target, L"\\Device\\usbscan", s->number);
    if (NT_SUCCESS(status))
        status = point_link(s->number, target);
    if (!NT_SUCCESS(status)) {
        close_handle(&writer);
        close_handle(&slot);
        close_handle(&pipe);
        copy_text(r->error, sizeof(r->error), "Open: cannot set up the stand-in, status 0x");
        {
            static const char hex[] = "0123456789ABCDEF";
            char digits[9];
            int i;
            for (i = 0; i < 8; i++) digits[i] = hex[((ULONG)status >> (28 - 4 * i)) & 15];
            digits[8] = 0;
            append_text(r->error, sizeof(r->error), digits);
        }
        make_name(target, L"\\Device\\usbscan", s->number);
        point_link(s->number, target);
        mode = OPEN_OK;
    }
    close_handle(&s->busy_writer);
    close_handle(&s->busy_slot);
    close_handle(&s->denied_pipe);
    s->denied_pipe = pipe;
    s->busy_slot = slot;
    s->busy_writer = writer;
    ExAcquireFastMutex(&s->lock);
    s->open_mode = mode;
    ExReleaseFastMutex(&s->lock);
    return status;
}

/* ---- the emulated scanner ------------------------------------------------------------------ */

static NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR info) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = info;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

/* Wine takes a synchronous handle's result from the value the dispatch routine returns,
   but fills the caller's OVERLAPPED and signals its event from the IRP's own status, and
   for an error status on a synchronous handle it does neither (nor does it pass data back).
   So "success" returned for an IRP completed as failed gives a call that succeeds, an event
   that never fires and an OVERLAPPED left at STATUS_PENDING with no count. */
static NTSTATUS complete_without_signal(PIRP irp) {
    complete(irp, STATUS_UNSUCCESSFUL, 0);
    return STATUS_SUCCESS;
}

/* The reverse: the call succeeds and the event fires, but the OVERLAPPED holds a status that
   GetOverlappedResult turns into a failure. It cannot be an error status (see above: Wine
   would leave the OVERLAPPED pending and GetOverlappedResult(TRUE) would wait forever), but
   a warning works, and the warning-severity code for Win32 error 31 makes the failure
   ERROR_GEN_FAILURE, as a failed transfer reports it. */
#define STATUS_WARNING_GEN_FAILURE ((NTSTATUS)0x8007001F)

static NTSTATUS complete_with_bad_result(PIRP irp, ULONG_PTR info) {
    complete(irp, STATUS_WARNING_GEN_FAILURE, info);
    return STATUS_SUCCESS;
}

static void reset_state(SCANNER* s) {
    RtlZeroMemory(s->cursor, sizeof(s->cursor));
    s->last_list = LIST_NONE;
    s->opens = s->writes = s->reads = s->ioctls = 0;
    s->log_count = s->commands = s->images = s->dropped = 0;
}

/* Makes c (or, if NULL, the error in r) the device's configuration; takes ownership of c. */
static NTSTATUS store_config(SCANNER* s, CONFIG* c, READER* r) {
    CONFIG* old = NULL;
    NTSTATUS status = c ? STATUS_SUCCESS : STATUS_DEVICE_CONFIGURATION_ERROR;

    ExAcquireFastMutex(&s->lock);
    if (c && c->open_mode != s->open_mode) {
        /* the stand-in can only change through reload; running on with a configuration
           that disagrees with it would hide the mistake */
        copy_text(r->error, sizeof(r->error), "Open changed since the last reload (run scanctl reload)");
        status = STATUS_DEVICE_CONFIGURATION_ERROR;
        old = c;
    } else if (c) {
        old = s->config;
        s->config = c;
    }
    s->config_status = status;
    copy_text(s->config_error, sizeof(s->config_error), NT_SUCCESS(status) ? "" : r->error);
    ExReleaseFastMutex(&s->lock);
    free_config(old);
    return status;
}

/* Re-reads Device<N> and applies it, the open behaviour included. */
static NTSTATUS reload_device(SCANNER* s, BOOLEAN clear_state) {
    READER* r = new_reader(MAX_VALUE_BYTES);
    CONFIG* c;
    NTSTATUS status;

    if (!r)
        return STATUS_INSUFFICIENT_RESOURCES;
    ExAcquireFastMutex(&g_setup_lock);
    c = load_config(s->number, r);
    if (c && !NT_SUCCESS(set_open_mode(s, c->open_mode, r))) {
        free_config(c);
        c = NULL;
    }
    status = store_config(s, c, r);
    if (clear_state) {
        ExAcquireFastMutex(&s->lock);
        reset_state(s);
        ExReleaseFastMutex(&s->lock);
    }
    ExReleaseFastMutex(&g_setup_lock);
    free_reader(r);
    return status;
}

static UCHAR find_fault(const CONFIG* c, UCHAR op, ULONG n) {
    ULONG i;
    if (!c)
        return FAULT_NONE;
    for (i = 0; i < c->fault_count; i++)
        if (c->faults[i].op == op && c->faults[i].n == n)
            return c->faults[i].kind;
    return FAULT_NONE;
}

static LOG_ENTRY* new_entry(SCANNER* s, ULONG kind) {
    ULONG* count = kind == ENTRY_COMMAND ? &s->commands : &s->images;
    ULONG limit = kind == ENTRY_COMMAND ? MAX_COMMANDS : MAX_IMAGES;
    LOG_ENTRY* e;

    if (*count >= limit || s->log_count >= LOG_CAPACITY) {
        s->dropped++;
        return NULL;
    }
    if (!s->log && !(s->log = ExAllocatePoolWithTag(NonPagedPool, LOG_CAPACITY * sizeof(LOG_ENTRY), TAG))) {
        s->dropped++;
        return NULL;
    }
    (*count)++;
    e = &s->log[s->log_count++];
    RtlZeroMemory(e, sizeof(*e));
    e->kind = kind;
    return e;
}

/* A command needs bytes 4 and 6 to pick a list; a short (15-byte) one still has them. */
static void take_command(SCANNER* s, const UCHAR* cmd, ULONG len) {
    LOG_ENTRY* e = new_entry(s, ENTRY_COMMAND);
    if (e) {
        e->length = len;
        RtlCopyMemory(e->data, cmd, len);
    }
    if (len > 6 && cmd[4] == 0x12 && cmd[6] == 2)
        s->last_list = LIST_READY;
    else if (len > 6 && cmd[4] == 0x12 && cmd[6] == 8)
        s->last_list = LIST_PROGRESS;
    else if (len > 4 && cmd[4] == 0x2A)
        s->last_list = LIST_DOWNLOAD;
    else
        s->last_list = LIST_NONE;
}

static void take_image(SCANNER* s, const UCHAR* data, ULONG len) {
    LOG_ENTRY* e = new_entry(s, ENTRY_IMAGE);
    SHA256 sha;
    if (!e)
        return;
    e->length = len;
    sha256_init(&sha);
    sha256_update(&sha, data, len);
    sha256_final(&sha, e->data);
}

static void next_reply(SCANNER* s, UCHAR reply[REPLY_LEN]) {
    const CONFIG* c = s->config;
    ULONG list = s->last_list, count, index;

    RtlZeroMemory(reply, REPLY_LEN);
    if (list == LIST_NONE || !c || !(count = c->reply_count[list])) {
        reply[0] = 0x01;
        reply[1] = 0x70; /* u32 0x7001 */
        return;
    }
    index = s->cursor[list] < count ? s->cursor[list] : count - 1;
    if (s->cursor[list] < count)
        s->cursor[list]++;
    RtlCopyMemory(reply, c->replies[list] + index * REPLY_LEN, REPLY_LEN);
}

static NTSTATUS scanner_create(SCANNER* s, PIRP irp) {
    READER* r = new_reader(MAX_VALUE_BYTES);
    CONFIG* c;

    /* Wine has already given the caller its handle: whatever happens here, the open stands */
    if (r) {
        c = load_config(s->number, r);
        store_config(s, c, r);
        free_reader(r);
    }
    ExAcquireFastMutex(&s->lock);
    s->opens++;
    ExReleaseFastMutex(&s->lock);
    return complete(irp, r ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES, 0);
}

static NTSTATUS scanner_write(SCANNER* s, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    ULONG len = sp->Parameters.Write.Length, delivered;
    const UCHAR* buf = irp->UserBuffer; /* neither buffered nor direct: winedevice's copy */
    NTSTATUS broken;
    UCHAR fault;

    if (len && !buf)
        return complete(irp, STATUS_INVALID_USER_BUFFER, 0);
    ExAcquireFastMutex(&s->lock);
    if ((broken = s->config_status)) {
        ExReleaseFastMutex(&s->lock);
        return complete(irp, broken, 0);
    }
    fault = find_fault(s->config, OP_WRITE, ++s->writes);
    if (fault == FAULT_FAIL) {
        ExReleaseFastMutex(&s->lock);
        return complete(irp, STATUS_UNSUCCESSFUL, 0); /* the device takes nothing */
    }
    delivered = (fault == FAULT_SHORT && len) ? len - 1 : len;
    if (len == COMMAND_LEN)
        take_command(s, buf, delivered);
    else
        take_image(s, buf, delivered);
    ExReleaseFastMutex(&s->lock);

    /* noSignal: the device has the data; only the end of the transfer goes unreported */
    if (fault == FAULT_NO_SIGNAL)
        return complete_without_signal(irp);
    if (fault == FAULT_LONG)
        return complete(irp, STATUS_SUCCESS, (ULONG_PTR)len + 1);
    if (fault == FAULT_RESULT_FAILS)
        return complete_with_bad_result(irp, delivered);
    return complete(irp, STATUS_SUCCESS, delivered);
}

static NTSTATUS scanner_read(SCANNER* s, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    ULONG len = sp->Parameters.Read.Length, moved;
    UCHAR *buf = irp->UserBuffer, reply[REPLY_LEN];
    NTSTATUS broken;
    UCHAR fault;

    if (len && !buf)
        return complete(irp, STATUS_INVALID_USER_BUFFER, 0);
    ExAcquireFastMutex(&s->lock);
    if ((broken = s->config_status)) {
        ExReleaseFastMutex(&s->lock);
        return complete(irp, broken, 0);
    }
    fault = find_fault(s->config, OP_READ, ++s->reads);
    if (fault == FAULT_FAIL) {
        ExReleaseFastMutex(&s->lock);
        return complete(irp, STATUS_UNSUCCESSFUL, 0); /* no reply is used up */
    }
    next_reply(s, reply);
    ExReleaseFastMutex(&s->lock);

    moved = len < REPLY_LEN ? len : REPLY_LEN;
    if (fault == FAULT_SHORT && moved)
        moved--;
    RtlCopyMemory(buf, reply, moved);
    /* noSignal: the reply is used up, but with the IRP failed Wine passes nothing back */
    if (fault == FAULT_NO_SIGNAL)
        return complete_without_signal(irp);
    if (fault == FAULT_LONG) {
        /* Wine passes Information bytes of winedevice's copy of the buffer back, clamped to
           the length asked for: zero what the reply did not fill so the caller never sees
           stale heap. With len + 1 winedevice reads one byte past its own copy, which stays
           inside its heap for ordinary sizes; beyond 64 KiB (where the copy may end at a
           page boundary) count only what moved, plus one. */
        RtlZeroMemory(buf + moved, len - moved);
        return complete(irp, STATUS_SUCCESS, len <= 0x10000 ? (ULONG_PTR)len + 1 : (ULONG_PTR)moved + 1);
    }
    if (fault == FAULT_RESULT_FAILS)
        return complete_with_bad_result(irp, moved);
    return complete(irp, STATUS_SUCCESS, moved);
}

static NTSTATUS scanner_ioctl(SCANNER* s, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    ULONG code = sp->Parameters.DeviceIoControl.IoControlCode;
    ULONG outlen = sp->Parameters.DeviceIoControl.OutputBufferLength;
    UCHAR* buf = irp->AssociatedIrp.SystemBuffer;
    USHORT vid = 0, pid = 0, bcd = 0;
    BOOLEAN fails = FALSE;
    NTSTATUS broken;

    /* the only request the updater sends; anything else is a bad parameter, Win32 87 */
    if (code != IOCTL_GET_DEVICE_DESCRIPTOR)
        return complete(irp, STATUS_INVALID_PARAMETER, 0);
    ExAcquireFastMutex(&s->lock);
    if (!(broken = s->config_status)) {
        s->ioctls++;
        if (s->config) {
            fails = s->config->descriptor_fails;
            vid = s->config->vid;
            pid = s->config->pid;
            bcd = s->config->bcd;
        }
    }
    ExReleaseFastMutex(&s->lock);
    if (broken)
        return complete(irp, broken, 0);
    if (fails)
        return complete(irp, STATUS_UNSUCCESSFUL, 0);
    if (outlen < 8 || !buf)
        return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
    put16(buf, vid);
    put16(buf + 2, pid);
    put16(buf + 4, bcd);
    put16(buf + 6, 0x0409);
    return complete(irp, STATUS_SUCCESS, 8);
}

/* ---- control device ------------------------------------------------------------------------ */

static SCANNER* scanner_by_number(ULONG n) {
    return (n < MAX_DEVICES && g_scanners[n]) ? g_scanners[n]->DeviceExtension : NULL;
}

static NTSTATUS control_status(PIRP irp, UCHAR* buf, ULONG outlen) {
    STATUS_REPLY* st = (STATUS_REPLY*)buf;
    ULONG i;
    SCANNER* s;

    if (outlen < sizeof(*st) || !buf)
        return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
    RtlZeroMemory(st, sizeof(*st));
    st->magic = SCANDRV_MAGIC;
    st->version = SCANDRV_VERSION;
    st->load_status = (ULONG)g_load_status;
    for (i = 0; i < MAX_DEVICES; i++)
        if ((s = scanner_by_number(i))) {
            ExAcquireFastMutex(&s->lock);
            st->state[i] = s->config_status ? DEVICE_BAD_CONFIG : DEVICE_OK;
            ExReleaseFastMutex(&s->lock);
            st->device_count++;
        }
    copy_text(st->message, sizeof(st->message), g_load_message);
    return complete(irp, STATUS_SUCCESS, sizeof(*st));
}

static NTSTATUS control_dump(PIRP irp, SCANNER* s, UCHAR* buf, ULONG outlen) {
    DUMP_HEADER h;
    ULONG need;

    ExAcquireFastMutex(&s->lock);
    need = sizeof(h) + s->log_count * sizeof(LOG_ENTRY);
    if (outlen < need) {
        ExReleaseFastMutex(&s->lock);
        return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    RtlZeroMemory(&h, sizeof(h));
    h.magic = SCANDRV_MAGIC;
    h.version = SCANDRV_VERSION;
    h.header_size = sizeof(h);
    h.entry_size = sizeof(LOG_ENTRY);
    h.device = s->number;
    h.open_mode = s->open_mode;
    h.opens = s->opens;
    h.writes = s->writes;
    h.reads = s->reads;
    h.ioctls = s->ioctls;
    h.entries = s->log_count;
    h.dropped = s->dropped;
    h.config_status = (ULONG)s->config_status;
    copy_text(h.config_error, sizeof(h.config_error), s->config_error);
    RtlCopyMemory(buf, &h, sizeof(h));
    if (s->log_count)
        RtlCopyMemory(buf + sizeof(h), s->log, s->log_count * sizeof(LOG_ENTRY));
    ExReleaseFastMutex(&s->lock);
    return complete(irp, STATUS_SUCCESS, need);
}

static NTSTATUS control_ioctl(PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    ULONG code = sp->Parameters.DeviceIoControl.IoControlCode;
    ULONG inlen = sp->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outlen = sp->Parameters.DeviceIoControl.OutputBufferLength;
    UCHAR* buf = irp->AssociatedIrp.SystemBuffer;
    NTSTATUS status = STATUS_SUCCESS, one;
    ULONG number = 0, i;
    SCANNER* s;

    if (code == IOCTL_SCANDRV_STATUS)
        return control_status(irp, buf, outlen);
    if (code != IOCTL_SCANDRV_DUMP && code != IOCTL_SCANDRV_RESET && code != IOCTL_SCANDRV_RELOAD)
        return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    if (inlen != sizeof(ULONG) || !buf)
        return complete(irp, STATUS_INVALID_PARAMETER, 0);
    RtlCopyMemory(&number, buf, sizeof(number));
    s = scanner_by_number(number);
    if (code == IOCTL_SCANDRV_DUMP)
        return s ? control_dump(irp, s, buf, outlen) : complete(irp, STATUS_NO_SUCH_DEVICE, 0);

    if (number != ALL_DEVICES && !s)
        return complete(irp, STATUS_NO_SUCH_DEVICE, 0);
    for (i = 0; i < MAX_DEVICES; i++)
        if ((number == ALL_DEVICES || number == i) && (s = scanner_by_number(i))) {
            one = reload_device(s, code == IOCTL_SCANDRV_RESET);
            if (NT_SUCCESS(status))
                status = one;
        }
    return complete(irp, status, 0);
}

/* ---- dispatch ------------------------------------------------------------------------------ */

static NTSTATUS NTAPI dispatch(PDEVICE_OBJECT dev, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    ULONG kind = *(ULONG*)dev->DeviceExtension;

    if (kind == KIND_CONTROL) {
        if (sp->MajorFunction == IRP_MJ_DEVICE_CONTROL)
            return control_ioctl(irp);
        if (sp->MajorFunction == IRP_MJ_CREATE || sp->MajorFunction == IRP_MJ_CLOSE ||
            sp->MajorFunction == IRP_MJ_CLEANUP)
            return complete(irp, STATUS_SUCCESS, 0);
        return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    switch (sp->MajorFunction) {
        case IRP_MJ_CREATE:
            return scanner_create(dev->DeviceExtension, irp);
        case IRP_MJ_WRITE:
            return scanner_write(dev->DeviceExtension, irp);
        case IRP_MJ_READ:
            return scanner_read(dev->DeviceExtension, irp);
        case IRP_MJ_DEVICE_CONTROL:
            return scanner_ioctl(dev->DeviceExtension, irp);
        case IRP_MJ_CLOSE:
        case IRP_MJ_CLEANUP:
            return complete(irp, STATUS_SUCCESS, 0);
        default:
            return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

/* ---- load / unload ------------------------------------------------------------------------- */

static NTSTATUS create_device(PDRIVER_OBJECT drv, const WCHAR* name, const WCHAR* link, ULONG ext_size,
                              PDEVICE_OBJECT* out) {
    UNICODE_STRING uname, ulink;
    NTSTATUS status;

    RtlInitUnicodeString(&uname, name);
    RtlInitUnicodeString(&ulink, link);
    status = IoCreateDevice(drv, ext_size, &uname, FILE_DEVICE_UNKNOWN, 0, FALSE, out);
    if (!NT_SUCCESS(status))
        return status;
    RtlZeroMemory((*out)->DeviceExtension, ext_size);
    status = IoCreateSymbolicLink(&ulink, &uname);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(*out);
        *out = NULL;
    }
    return status;
}

static void delete_link(const WCHAR* link) {
    UNICODE_STRING ulink;
    RtlInitUnicodeString(&ulink, link);
    IoDeleteSymbolicLink(&ulink);
}

static VOID NTAPI driver_unload(PDRIVER_OBJECT drv) {
    WCHAR link[64];
    ULONG i;
    (void)drv;
    for (i = 0; i < MAX_DEVICES; i++) {
        SCANNER* s = scanner_by_number(i);
        if (!s)
            continue;
        make_name(link, L"\\DosDevices\\usbscan", i);
        delete_link(link);
        close_handle(&s->busy_writer);
        close_handle(&s->busy_slot);
        close_handle(&s->denied_pipe);
        free_config(s->config);
        if (s->log)
            ExFreePoolWithTag(s->log, TAG);
        IoDeleteDevice(g_scanners[i]);
        g_scanners[i] = NULL;
    }
    if (g_control) {
        delete_link(L"\\DosDevices\\scandrvctl");
        IoDeleteDevice(g_control);
        g_control = NULL;
    }
}

/* Reads Devices into present[]; on a bad value leaves the reason in g_load_message. */
static NTSTATUS read_device_list(UCHAR present[MAX_DEVICES]) {
    READER* r = new_reader((MAX_TEXT + 1) * sizeof(WCHAR));
    OBJECT_ATTRIBUTES attr;
    UNICODE_STRING us;
    NTSTATUS status = STATUS_SUCCESS;
    char *s, *tok;
    int found;

    RtlZeroMemory(present, MAX_DEVICES);
    if (!r)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlInitUnicodeString(&us, g_regpath);
    InitializeObjectAttributes(&attr, &us, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    if (!NT_SUCCESS(ZwOpenKey(&r->key, KEY_READ, &attr))) {
        copy_text(r->error, sizeof(r->error), "the service key cannot be opened");
        status = STATUS_DEVICE_CONFIGURATION_ERROR;
    } else {
        found = read_text(r, L"Devices", TRUE);
        if (found < 0)
            status = STATUS_DEVICE_CONFIGURATION_ERROR;
        s = r->text;
        while (found > 0 && (tok = next_token(&s, " \t,;\r\n"))) {
            ULONG n;
            if (!parse_decimal(tok, &n) || n >= MAX_DEVICES) {
                fail_value(r, L"Devices", "want decimal numbers 0..255");
                status = STATUS_DEVICE_CONFIGURATION_ERROR;
                break;
            }
            present[n] = 1;
        }
        ZwClose(r->key);
    }
    copy_text(g_load_message, sizeof(g_load_message), r->error);
    free_reader(r);
    return status;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT drv, PUNICODE_STRING regpath) {
    UCHAR present[MAX_DEVICES];
    WCHAR name[64], link[64];
    ULONG i, chars = regpath->Length / sizeof(WCHAR);
    NTSTATUS status;
    CONTROL* ctl;

    if (chars >= sizeof(g_regpath) / sizeof(WCHAR))
        return STATUS_NAME_TOO_LONG;
    RtlCopyMemory(g_regpath, regpath->Buffer, chars * sizeof(WCHAR));
    g_regpath[chars] = 0;
    ExInitializeFastMutex(&g_setup_lock);
    g_create_pipe = (CREATE_PIPE)ntdll_routine("NtCreateNamedPipeFile");
    g_create_mailslot = (CREATE_MAILSLOT)ntdll_routine("NtCreateMailslotFile");

    for (i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++) drv->MajorFunction[i] = dispatch;
    drv->DriverUnload = driver_unload;

    /* the control device comes first, so that a bad Devices value can still be reported */
    status = create_device(drv, L"\\Device\\scandrvctl", L"\\DosDevices\\scandrvctl", sizeof(CONTROL), &g_control);
    if (!NT_SUCCESS(status))
        return status;
    ctl = g_control->DeviceExtension;
    ctl->kind = KIND_CONTROL;
    g_control->Flags &= ~DO_DEVICE_INITIALIZING;

    g_load_status = read_device_list(present);
    if (!NT_SUCCESS(g_load_status))
        return STATUS_SUCCESS;

    for (i = 0; i < MAX_DEVICES; i++) {
        SCANNER* s;
        if (!present[i])
            continue;
        make_name(name, L"\\Device\\usbscan", i);
        make_name(link, L"\\DosDevices\\usbscan", i);
        status = create_device(drv, name, link, sizeof(SCANNER), &g_scanners[i]);
        if (!NT_SUCCESS(status)) {
            driver_unload(drv);
            return status;
        }
        s = g_scanners[i]->DeviceExtension;
        s->kind = KIND_SCANNER;
        s->number = i;
        s->open_mode = OPEN_OK;
        ExInitializeFastMutex(&s->lock);
        reset_state(s);
        g_scanners[i]->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    /* a bad configuration is kept per device and reported through the control device */
    for (i = 0; i < MAX_DEVICES; i++)
        if (g_scanners[i])
            reload_device(g_scanners[i]->DeviceExtension, TRUE);
    return STATUS_SUCCESS;
}
