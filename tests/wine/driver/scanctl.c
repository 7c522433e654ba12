/*
 * scanctl.exe - installs, starts and stops scandrv.sys under Wine and reads back what an
 * emulated device received.
 *
 *   scanctl install <path-to-sys>   copy to %SystemRoot%\system32\drivers\scandrv.sys,
 *                                   register the kernel service (demand start) if needed,
 *                                   (re)start it and print its status
 *   scanctl start | stop | remove   start, stop, or stop and delete the service
 *   scanctl status                  which devices exist; any configuration problems
 *   scanctl reload [<N>|all]        re-read device N's (default: every device's) configuration,
 *                                   the open behaviour included
 *   scanctl reset [<N>|all]         reload, and forget the transfer state: a new scenario
 *   scanctl dump <N>                what device N received since load or the last reset
 *
 * dump prints one item a line, in this order:
 *   device <N>
 *   config ok | config error <reason>
 *   open ok | open denied | open busy     what opening \\.\usbscanN does now
 *   opens <n>, writes <n>, reads <n>, ioctls <n>   (four lines) requests the device saw; failed
 *                                         transfers count, requests refused for a bad
 *                                         configuration do not
 *   command <hex>                         each command taken, lower-case hex, 32 digits (30
 *                                         for a short one)
 *   image <length> <sha256>               each image write taken, interleaved with the
 *                                         commands in the order they arrived
 *   dropped <n>                           entries lost beyond 4096 commands or 4096 images
 *
 * Exit status: 0 done, 1 failed or a configuration problem (status prints it on stdout, the
 * other commands on stderr), 2 usage.
 * Output uses "\n" line ends (stdout is switched to binary), so it can be compared as is.
 */
/* windows.h first: the headers after it build on its types. */
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define SERVICE_NAME "scandrv"
#define CONTROL_PATH "\\\\.\\scandrvctl"
#define MAX_DEVICES 256
#define MESSAGE_LEN 128
#define LOG_CAPACITY 8192

/* these mirror scandrv.c; the magic and version guard against a mismatched pair */
#define IOCTL_SCANDRV_STATUS CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SCANDRV_DUMP CTL_CODE(FILE_DEVICE_UNKNOWN, 0x901, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SCANDRV_RESET CTL_CODE(FILE_DEVICE_UNKNOWN, 0x902, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SCANDRV_RELOAD CTL_CODE(FILE_DEVICE_UNKNOWN, 0x903, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define SCANDRV_MAGIC 0x43524453u
#define SCANDRV_VERSION 1u
#define ALL_DEVICES 0xFFFFFFFFu

#ifndef ERROR_NO_SUCH_DEVICE
#define ERROR_NO_SUCH_DEVICE 433 /* what STATUS_NO_SUCH_DEVICE becomes */
#endif

typedef struct {
    ULONG magic, version, load_status, device_count;
    UCHAR state[MAX_DEVICES]; /* DEVICE_* */
    char message[MESSAGE_LEN];
} STATUS_REPLY;

enum { DEVICE_ABSENT = 0, DEVICE_OK = 1, DEVICE_BAD_CONFIG = 2 };

typedef struct {
    ULONG magic, version, header_size, entry_size;
    ULONG device, open_mode, opens, writes, reads, ioctls, entries, dropped, config_status;
    char config_error[MESSAGE_LEN];
} DUMP_HEADER;

enum { ENTRY_COMMAND = 1, ENTRY_IMAGE = 2 };

typedef struct {
    ULONG kind;
    ULONG length;
    UCHAR data[32];
} LOG_ENTRY;

static int fail(const char* what) {
    fprintf(stderr, "scanctl: %s failed, error %lu\n", what, GetLastError());
    return 1;
}

static int usage(void) {
    fprintf(stderr,
            "usage: scanctl install <path-to-sys> | start | stop | remove | status |"
            " reload [<N>|all] | reset [<N>|all] | dump <N>\n");
    return 2;
}

static int parse_device(const char* s, ULONG* n) {
    char* end;
    unsigned long v;
    if (!*s || *s < '0' || *s > '9')
        return 0;
    v = strtoul(s, &end, 10);
    if (*end || v >= MAX_DEVICES)
        return 0;
    *n = (ULONG)v;
    return 1;
}

/* ---- service control ----------------------------------------------------------------------- */

static int wait_state(SC_HANDLE svc, DWORD want) {
    SERVICE_STATUS st;
    int i;
    for (i = 0; i < 200; i++) {
        if (!QueryServiceStatus(svc, &st))
            return fail("QueryServiceStatus");
        if (st.dwCurrentState == want)
            return 0;
        Sleep(50);
    }
    fprintf(stderr, "scanctl: service state %lu, wanted %lu\n", st.dwCurrentState, want);
    return 1;
}

static SC_HANDLE open_service(SC_HANDLE* scm) {
    SC_HANDLE svc;
    if (!(*scm = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS))) {
        fail("OpenSCManagerA");
        return NULL;
    }
    if (!(svc = OpenServiceA(*scm, SERVICE_NAME, SERVICE_ALL_ACCESS))) {
        fail("OpenServiceA(" SERVICE_NAME ")");
        CloseServiceHandle(*scm);
    }
    return svc;
}

static int stop_service(SC_HANDLE svc) {
    SERVICE_STATUS st;
    if (!QueryServiceStatus(svc, &st))
        return fail("QueryServiceStatus");
    if (st.dwCurrentState == SERVICE_STOPPED)
        return 0;
    if (!ControlService(svc, SERVICE_CONTROL_STOP, &st) && GetLastError() != ERROR_SERVICE_NOT_ACTIVE)
        return fail("ControlService(STOP)");
    return wait_state(svc, SERVICE_STOPPED);
}

static int start_service(SC_HANDLE svc) {
    int i;
    /* right after wineboot the service manager may still be busy starting its own services */
    for (i = 0; !StartServiceA(svc, 0, NULL); i++) {
        if (GetLastError() == ERROR_SERVICE_ALREADY_RUNNING)
            break;
        if (GetLastError() != ERROR_SERVICE_DATABASE_LOCKED || i == 300)
            return fail("StartServiceA");
        Sleep(100);
    }
    return wait_state(svc, SERVICE_RUNNING);
}

/* ---- control device ------------------------------------------------------------------------ */

static HANDLE open_control(void) {
    HANDLE h = INVALID_HANDLE_VALUE;
    int i;
    /* winedevice may report the service running a moment before the device is reachable */
    for (i = 0; i < 50 && h == INVALID_HANDLE_VALUE; i++) {
        h = CreateFileA(CONTROL_PATH, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                        OPEN_EXISTING, 0, NULL);
        if (h == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_NOT_FOUND)
            break;
        if (h == INVALID_HANDLE_VALUE)
            Sleep(100);
    }
    if (h == INVALID_HANDLE_VALUE)
        fail("opening " CONTROL_PATH " (is the driver running?)");
    return h;
}

/* Fetches device N's record; returns a malloc'ed block (header + entries) or NULL. */
static DUMP_HEADER* fetch_dump(HANDLE h, ULONG device) {
    DWORD size = sizeof(DUMP_HEADER) + LOG_CAPACITY * sizeof(LOG_ENTRY), got = 0;
    DUMP_HEADER* hd = malloc(size);

    if (!hd) {
        fail("malloc");
        return NULL;
    }
    if (!DeviceIoControl(h, IOCTL_SCANDRV_DUMP, &device, sizeof(device), hd, size, &got, NULL)) {
        if (GetLastError() == ERROR_NO_SUCH_DEVICE)
            fprintf(stderr, "scanctl: no device %lu\n", device);
        else
            fail("dump request");
    } else if (got < sizeof(*hd) || hd->magic != SCANDRV_MAGIC || hd->version != SCANDRV_VERSION ||
               hd->header_size != sizeof(*hd) || hd->entry_size != sizeof(LOG_ENTRY) || hd->entries > LOG_CAPACITY ||
               got != sizeof(*hd) + hd->entries * sizeof(LOG_ENTRY))
        fprintf(stderr, "scanctl: malformed dump reply (driver and scanctl do not match?)\n");
    else {
        hd->config_error[MESSAGE_LEN - 1] = 0;
        return hd;
    }
    free(hd);
    return NULL;
}

/* Prints the status; with only_problems, just the configuration problems of device `only`
   (or of all) to stderr. Returns 0 when the driver loaded its device list and every device's
   configuration is good. */
static int report(HANDLE h, int only_problems, ULONG only) {
    STATUS_REPLY st;
    DUMP_HEADER* hd;
    DWORD got = 0;
    int i, rc = 0;
    FILE* out = only_problems ? stderr : stdout;

    if (!DeviceIoControl(h, IOCTL_SCANDRV_STATUS, NULL, 0, &st, sizeof(st), &got, NULL))
        return fail("status request");
    if (got != sizeof(st) || st.magic != SCANDRV_MAGIC || st.version != SCANDRV_VERSION) {
        fprintf(stderr, "scanctl: driver and scanctl do not match (rebuild both)\n");
        return 1;
    }
    st.message[MESSAGE_LEN - 1] = 0;
    if (!only_problems) {
        printf("devices");
        for (i = 0; i < MAX_DEVICES; i++)
            if (st.state[i] != DEVICE_ABSENT)
                printf(" %d", i);
        printf("\n");
    }
    if (st.load_status) {
        fprintf(out, "load error 0x%08lX %s\n", st.load_status, st.message);
        rc = 1;
    }
    for (i = 0; i < MAX_DEVICES; i++)
        if (st.state[i] == DEVICE_BAD_CONFIG && (only == ALL_DEVICES || only == (ULONG)i)) {
            rc = 1;
            if ((hd = fetch_dump(h, (ULONG)i))) {
                fprintf(out, "device %d config error %s\n", i, hd->config_error);
                free(hd);
            }
        }
    return rc;
}

static int print_status(void) {
    HANDLE h = open_control();
    int rc;
    if (h == INVALID_HANDLE_VALUE)
        return 1;
    rc = report(h, 0, ALL_DEVICES);
    CloseHandle(h);
    return rc;
}

static const char* open_word(ULONG mode) {
    static const char* const words[] = {"ok", "denied", "busy"};
    return mode < 3 ? words[mode] : "?";
}

static int dump(ULONG device) {
    HANDLE h = open_control();
    DUMP_HEADER* hd;
    LOG_ENTRY* e;
    ULONG i, j;
    int rc = 0;

    if (h == INVALID_HANDLE_VALUE)
        return 1;
    if (!(hd = fetch_dump(h, device))) {
        CloseHandle(h);
        return 1;
    }
    printf("device %lu\n", hd->device);
    if (hd->config_status)
        printf("config error %s\n", hd->config_error);
    else
        printf("config ok\n");
    printf("open %s\nopens %lu\nwrites %lu\nreads %lu\nioctls %lu\n", open_word(hd->open_mode), hd->opens, hd->writes,
           hd->reads, hd->ioctls);
    e = (LOG_ENTRY*)(hd + 1);
    for (i = 0; i < hd->entries; i++, e++) {
        if (e->kind == ENTRY_COMMAND && e->length <= sizeof(e->data)) {
            printf("command ");
            for (j = 0; j < e->length; j++) printf("%02x", e->data[j]);
            printf("\n");
        } else if (e->kind == ENTRY_IMAGE) {
            printf("image %lu ", e->length);
            for (j = 0; j < 32; j++) printf("%02x", e->data[j]);
            printf("\n");
        } else {
            fprintf(stderr, "scanctl: unknown record entry kind %lu\n", e->kind);
            rc = 1;
        }
    }
    printf("dropped %lu\n", hd->dropped);
    free(hd);
    CloseHandle(h);
    return rc;
}

/* reload or reset; a configuration problem is reported per device */
static int reconfigure(DWORD code, ULONG device) {
    DWORD got = 0;
    HANDLE h = open_control();
    int rc = 0;

    if (h == INVALID_HANDLE_VALUE)
        return 1;
    if (!DeviceIoControl(h, code, &device, sizeof(device), NULL, 0, &got, NULL)) {
        if (GetLastError() == ERROR_NO_SUCH_DEVICE)
            fprintf(stderr, "scanctl: no device %lu\n", device);
        else if (GetLastError() == ERROR_INVALID_PARAMETER)
            report(h, 1, device);
        else
            fail(code == IOCTL_SCANDRV_RESET ? "reset request" : "reload request");
        rc = 1;
    }
    CloseHandle(h);
    return rc;
}

static int install(const char* sys) {
    char target[MAX_PATH];
    SC_HANDLE scm, svc;
    UINT n = GetSystemDirectoryA(target, MAX_PATH);
    int rc;

    if (!n || n + sizeof("\\drivers\\" SERVICE_NAME ".sys") > MAX_PATH)
        return fail("GetSystemDirectoryA");
    strcat(target, "\\drivers\\" SERVICE_NAME ".sys");
    if (!(scm = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS)))
        return fail("OpenSCManagerA");
    svc = CreateServiceA(scm, SERVICE_NAME, SERVICE_NAME, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                         SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, target, NULL, NULL, NULL, NULL, NULL);
    if (!svc && GetLastError() == ERROR_SERVICE_EXISTS)
        svc = OpenServiceA(scm, SERVICE_NAME, SERVICE_ALL_ACCESS);
    if (!svc) {
        rc = fail("CreateServiceA(" SERVICE_NAME ")");
        CloseServiceHandle(scm);
        return rc;
    }
    /* a running driver keeps its old code and its device list: stop it before replacing it */
    if (!(rc = stop_service(svc))) {
        if (!CopyFileA(sys, target, FALSE))
            rc = fail("copying the driver");
        else
            rc = start_service(svc);
    }
    CloseServiceHandle(svc);
    CloseServiceHandle(scm);
    return rc ? rc : print_status();
}

int main(int argc, char** argv) {
    SC_HANDLE scm, svc;
    ULONG n;
    int rc;

    _setmode(_fileno(stdout), _O_BINARY);
    if (argc < 2)
        return usage();
    if (!strcmp(argv[1], "install"))
        return argc == 3 ? install(argv[2]) : usage();
    if (!strcmp(argv[1], "status"))
        return argc == 2 ? print_status() : usage();
    if (!strcmp(argv[1], "dump")) {
        if (argc != 3 || !parse_device(argv[2], &n))
            return usage();
        return dump(n);
    }
    if (!strcmp(argv[1], "reset") || !strcmp(argv[1], "reload")) {
        DWORD code = !strcmp(argv[1], "reset") ? IOCTL_SCANDRV_RESET : IOCTL_SCANDRV_RELOAD;
        if (argc == 2 || (argc == 3 && !strcmp(argv[2], "all")))
            return reconfigure(code, ALL_DEVICES);
        if (argc != 3 || !parse_device(argv[2], &n))
            return usage();
        return reconfigure(code, n);
    }
    if (argc != 2 || (strcmp(argv[1], "start") && strcmp(argv[1], "stop") && strcmp(argv[1], "remove")))
        return usage();
    if (!(svc = open_service(&scm)))
        return 1;
    if (!strcmp(argv[1], "start"))
        rc = start_service(svc);
    else {
        rc = stop_service(svc);
        if (!rc && !strcmp(argv[1], "remove") && !DeleteService(svc))
            rc = fail("DeleteService");
    }
    CloseServiceHandle(svc);
    CloseServiceHandle(scm);
    return rc;
}
