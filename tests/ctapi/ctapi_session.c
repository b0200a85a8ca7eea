/* A CT-API application against quor-sim: loads the library with dlopen and drives three terminals
 * at once on the emulator's pseudo-terminals (QUOR_CTAPI_PORT_1 to _3; scripts/checks.d/ctapi.sh
 * sets them up). Usage: ctapi_session LIBRARY CONTROL OUTPUT, the emulator's standard input and
 * the file its standard output goes to. Prints "passed N failed M" last. */
#include <dlfcn.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "ctapi/ctapi.h"

typedef IS8 (*InitFn)(IU16, IU16);
typedef IS8 (*DataFn)(IU16, IU8*, IU8*, IU16, IU8*, IU16*, IU8*);
typedef IS8 (*CloseFn)(IU16);
static InitFn ct_init;
static DataFn ct_data;
static CloseFn ct_close;

static FILE *control, *output;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static int passed, failed;

static void check(int ok, const char* what) {
    pthread_mutex_lock(&lock);
    *(ok ? &passed : &failed) += 1;
    printf("%s %s\n", ok ? "ok  " : "FAIL", what);
    fflush(stdout);
    pthread_mutex_unlock(&lock);
}

static void say(const char* line) {
    pthread_mutex_lock(&lock);
    fprintf(control, "%s\n", line);
    fflush(control);
    pthread_mutex_unlock(&lock);
}

static void pause_ms(long ms) {
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&t, NULL);
}

/* Reads the emulator's output until a line starts with `prefix`; with `ask`, sends it each
 * round (at most 60 s). */
static int output_shows(const char* ask, const char* prefix) {
    char line[256];
    for (int round = 0; round < 600; ++round) {
        if (ask) say(ask);
        while (fgets(line, sizeof line, output) != NULL) {
            if (strncmp(line, prefix, strlen(prefix)) == 0) return 1;
        }
        clearerr(output);
        pause_ms(100);
    }
    return 0;
}

/* A person at the emulator, in a thread while the main thread waits in CT_data: once the
 * emulator's output shows a line starting with `prefix`, sends the commands. */
struct Person {
    const char* prefix;
    const char* commands[3];
    pthread_t thread;
    int saw;
};

static void* person_acts(void* arg) {
    struct Person* p = arg;
    p->saw = output_shows(NULL, p->prefix);
    for (int i = 0; p->saw && i < 3 && p->commands[i] != NULL; ++i) say(p->commands[i]);
    return NULL;
}

static void person_watches(struct Person* p) { pthread_create(&p->thread, NULL, person_acts, p); }

static int person_saw(struct Person* p) {
    pthread_join(p->thread, NULL);
    return p->saw;
}

/* One command; the answer in r (at most *n bytes on entry), its length in *n. */
static IS8 send(IU16 ctn, IU8 dad, const IU8* cmd, IU16 lenc, IU8* r, IU16* n) {
    IU8 sad = HOST, d = dad;
    IS8 rc = ct_data(ctn, &d, &sad, lenc, (IU8*)cmd, n, r);
    if (rc == OK && (d != HOST || sad != dad)) rc = 99; /* addresses not swapped */
    return rc;
}

static int sw_is(const IU8* r, IU16 n, unsigned sw) {
    return n >= 2 && r[n - 2] == (sw >> 8) && r[n - 1] == (sw & 0xFF);
}

/* Sends cmd and checks the return code and, for OK, the status word and answer length. */
static void expect(IU16 ctn, IU8 dad, const IU8* cmd, IU16 lenc, IS8 rc, unsigned sw, int len,
                   const char* what) {
    IU8 r[300];
    IU16 n = sizeof r;
    IS8 got = send(ctn, dad, cmd, lenc, r, &n);
    int ok = got == rc && (rc != OK || (sw_is(r, n, sw) && (len < 0 || n == len)));
    if (!ok)
        printf("     rc %d, answer %u bytes, last %02X %02X\n", got, n, n >= 2 ? r[n - 2] : 0,
               n >= 2 ? r[n - 1] : 0);
    check(ok, what);
}

#define EXPECT(ctn, dad, rc, sw, len, what, ...)            \
    do {                                                    \
        static const IU8 c_[] = {__VA_ARGS__};              \
        expect(ctn, dad, c_, sizeof c_, rc, sw, len, what); \
    } while (0)

static const IU8 kManufacturer[] = {0x20, 0x13, 0x00, 0x46, 0x00};
static const IU8 kGetChallenge[] = {0x00, 0x84, 0x00, 0x00, 0x08};
static const IU8 kSelectMf[] = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};
/* PERFORM VERIFICATION: prompt "PIN?", then 4 ASCII digits (format 0x44) into VERIFY of PIN 01
 * at offset 5 of the APDU. */
static const IU8 kVerify[] = {0x20, 0x18, 0x01, 0x00, 0x13, 0x50, 0x04, 'P',
                              'I',  'N',  '?',  0x52, 0x0B, 0x44, 0x05, 0x00,
                              0x20, 0x00, 0x01, 0x04, 0xFF, 0xFF, 0xFF, 0xFF};

/* Terminal 2, T=0 card, while terminal 1 works. */
static void* second_terminal(void* unused) {
    (void)unused;
    check(ct_init(2, 2) == OK, "CT_init(2, 2) on the second pty");
    EXPECT(2, CT, OK, 0x9001, -1, "t2 REQUEST ICC: T=0 ATR, 90 01", 0x20, 0x12, 0x01, 0x01, 0x00);
    int good = 0;
    for (int i = 0; i < 20; ++i) {
        IU8 r[64];
        IU16 n = sizeof r;
        good += send(2, ICC1, kGetChallenge, sizeof kGetChallenge, r, &n) == OK && n == 10 &&
                sw_is(r, n, 0x9000);
    }
    check(good == 20, "t2 20 x GET CHALLENGE to the T=0 card");
    EXPECT(2, CT, ERR_CT, 0, 0, "t2 OUTPUT, display answers an error status: ERR_CT", 0x20, 0x17,
           0x40, 0x00, 0x04, 0x50, 0x02, 'H', 'I');
    say("2 silent on");
    IU8 r[64];
    IU16 n;
    IS8 rc = OK;
    /* Until the emulator has taken the command (at most 5 s). */
    for (int i = 0; i < 50; ++i, pause_ms(100)) {
        n = sizeof r;
        if ((rc = send(2, CT, kManufacturer, 5, r, &n)) != OK) break;
    }
    check(rc == ERR_TRANS, "t2 GET STATUS, reader silent: ERR_TRANS");
    expect(2, ICC1, kGetChallenge, sizeof kGetChallenge, ERR_TRANS, 0, 0,
           "t2 APDU, reader silent: ERR_TRANS");
    say("2 silent off");
    check(ct_close(2) == OK, "CT_close(2)");
    return NULL;
}

/* Terminal 3: the reader on its port does not answer. */
static void* silent_terminal(void* unused) {
    (void)unused;
    check(ct_init(3, 3) == ERR_TRANS, "CT_init on a silent reader: ERR_TRANS");
    return NULL;
}

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    control = fopen(argv[2], "w");
    output = fopen(argv[3], "r");
    if (lib == NULL || control == NULL || output == NULL) {
        fprintf(stderr, "setup: %s\n", lib ? "control or output" : dlerror());
        return 2;
    }
    ct_init = (InitFn)dlsym(lib, "CT_init");
    ct_data = (DataFn)dlsym(lib, "CT_data");
    ct_close = (CloseFn)dlsym(lib, "CT_close");
    check(ct_init && ct_data && ct_close, "dlsym CT_init, CT_data, CT_close");
    check(dlsym(lib, "CodeOf") == NULL && dlsym(lib, "_ZN4quor6ctapi6CodeOfEi") == NULL,
          "nothing else exported");
    setenv("QUOR_CTAPI_PORT_9", "/nonexistent/tty", 1);
    unsetenv("QUOR_CTAPI_PORT_0");

    pthread_t t2, t3;
    pthread_create(&t2, NULL, second_terminal, NULL);
    pthread_create(&t3, NULL, silent_terminal, NULL);
    IS8 rc1 = ct_init(1, 1);
    if (rc1 != OK) printf("     rc %d\n", rc1);
    check(rc1 == OK, "CT_init(1, 1) on the first pty");
    check(ct_init(1, 3) == ERR_INVALID, "CT_init of a ctn in use: ERR_INVALID");
    check(ct_init(5, 1) == ERR_INVALID, "CT_init on a port in use: ERR_INVALID");
    check(ct_init(6, 0) == ERR_INVALID, "CT_init pn 0 without a variable: ERR_INVALID");
    check(ct_init(9, 9) == ERR_HTSI, "CT_init on a port that does not exist: ERR_HTSI");

    IU8 r[300];
    IU16 n = sizeof r;
    check(send(1, CT, kManufacturer, 5, r, &n) == OK && n == 19 && r[0] == 0x46 &&
              sw_is(r, n, 0x9000),
          "GET STATUS: manufacturer data object, 90 00");
    expect(1, ICC1, kSelectMf, sizeof kSelectMf, OK, 0x64A2, 2, "APDU before REQUEST ICC: 64 A2");
    n = sizeof r;
    static const IU8 kRequestAtr[] = {0x20, 0x12, 0x01, 0x01, 0x00};
    check(send(1, CT, kRequestAtr, 5, r, &n) == OK && n > 4 && r[0] == 0x3B && sw_is(r, n, 0x9001),
          "REQUEST ICC: ATR of the T=1 card, 90 01");
    EXPECT(1, CT, OK, 0x6201, 2, "REQUEST ICC again: 62 01", 0x20, 0x12, 0x01, 0x00);
    expect(1, ICC1, kSelectMf, sizeof kSelectMf, OK, 0x9000, 2, "T=1 SELECT MF: 90 00");
    expect(1, ICC1, kGetChallenge, sizeof kGetChallenge, OK, 0x9000, 10, "T=1 GET CHALLENGE");
    memset(r, 0xEE, sizeof r);
    n = 4;
    check(send(1, ICC1, kGetChallenge, 5, r, &n) == ERR_MEMORY && n == 4 && r[0] == 0xEE &&
              r[4] == 0xEE,
          "answer larger than the buffer: ERR_MEMORY, nothing written");

    struct Person wrong = {.prefix = "1 pin entry: waiting",
                           .commands = {"1 key 9999", "1 key ok"}};
    person_watches(&wrong);
    expect(1, CT, kVerify, sizeof kVerify, OK, 0x63C2, 2, "PERFORM VERIFICATION, 9999: 63 C2");
    check(person_saw(&wrong), "keys 9999 typed at the PIN entry");
    struct Person right = {.prefix = "1 pin entry: waiting",
                           .commands = {"1 key 1234", "1 key ok"}};
    person_watches(&right);
    expect(1, CT, kVerify, sizeof kVerify, OK, 0x9000, 2, "PERFORM VERIFICATION, 1234: 90 00");
    check(person_saw(&right), "keys 1234 typed at the PIN entry");
    EXPECT(1, CT, OK, 0x9000, 2, "OUTPUT to the display", 0x20, 0x17, 0x40, 0x00, 0x0A, 0x50, 0x08,
           'C', 'T', '-', 'A', 'P', 'I', ' ', '1');
    check(output_shows(NULL, "1 display: CT-API 1"), "display shows the text");
    EXPECT(1, CT, OK, 0x9000, 2, "RESET CT of the terminal", 0x20, 0x11, 0x00, 0x00);
    expect(1, ICC1, kSelectMf, sizeof kSelectMf, OK, 0x64A2, 2, "APDU after RESET CT: 64 A2");
    EXPECT(1, CT, OK, 0x9001, 8, "RESET CT of ICC1: historical bytes EMU-T1", 0x20, 0x11, 0x01,
           0x02, 0x00);
    say("remove");
    EXPECT(1, CT, OK, 0x9001, 2, "EJECT ICC, card taken within 30 s: 90 01", 0x20, 0x15, 0x01, 0x00,
           0x03, 0x80, 0x01, 0x1E);
    expect(1, ICC1, kSelectMf, sizeof kSelectMf, OK, 0x64A1, 2, "APDU without a card: 64 A1");
    EXPECT(1, CT, OK, 0x6200, 2, "REQUEST ICC, no card within 1 s: 62 00", 0x20, 0x12, 0x01, 0x01,
           0x03, 0x80, 0x01, 0x01, 0x00);
    /* The card goes in once the terminal shows its prompt, that is while it waits. */
    struct Person inserts = {.prefix = "1 display: CARD?", .commands = {"1 insert t0"}};
    person_watches(&inserts);
    EXPECT(1, CT, OK, 0x9001, -1, "REQUEST ICC waits for the T=0 card", 0x20, 0x12, 0x01, 0x01,
           0x0A, 0x50, 0x05, 'C', 'A', 'R', 'D', '?', 0x80, 0x01, 0x1E, 0x00);
    check(person_saw(&inserts), "card inserted during REQUEST ICC");
    /* Class 0x20 commands other than the mapped ones reach the terminal unchanged: the reader's
     * own card report (INS 10), and an instruction it does not know. */
    n = sizeof r;
    static const IU8 kOwnReport[] = {0x20, 0x10, 0x01, 0x01};
    check(send(1, CT, kOwnReport, 4, r, &n) == OK && n > 4 && r[0] == 0x3B && sw_is(r, n, 0x9001),
          "20 10 passed on: the reader's card report, ATR and 90 01");
    EXPECT(1, CT, OK, 0x6D00, 2, "20 14 passed on: the terminal's 6D 00", 0x20, 0x14, 0x00, 0x00);
    expect(1, ICC1, kSelectMf, sizeof kSelectMf, OK, 0x9000, 2, "T=0 SELECT MF: 90 00");
    expect(1, ICC1, kGetChallenge, sizeof kGetChallenge, OK, 0x9000, 10, "T=0 GET CHALLENGE");
    EXPECT(1, CT, OK, 0x6E00, 2, "class 0x80 to the terminal: 6E 00", 0x80, 0x60, 0x00, 0x00);

    IU8 dad = CT, sad = HOST;
    n = sizeof r;
    check(ct_data(1, NULL, &sad, 5, r, &n, r) == ERR_INVALID &&
              ct_data(1, &dad, &sad, 5, NULL, &n, r) == ERR_INVALID &&
              ct_data(1, &dad, &sad, 5, r, NULL, r) == ERR_INVALID &&
              ct_data(1, &dad, &sad, 5, r, &n, NULL) == ERR_INVALID,
          "null pointers: ERR_INVALID");
    expect(1, CT, kManufacturer, 3, ERR_INVALID, 0, 0, "lenc 3: ERR_INVALID");
    expect(1, 4, kManufacturer, 5, ERR_INVALID, 0, 0, "dad 4: ERR_INVALID");
    sad = ICC1;
    check(ct_data(1, &dad, &sad, 5, (IU8*)kManufacturer, &n, r) == ERR_INVALID,
          "sad ICC1: ERR_INVALID");
    expect(7, CT, kManufacturer, 5, ERR_INVALID, 0, 0, "unknown ctn: ERR_INVALID");
    check(ct_close(1) == OK, "CT_close(1)");
    check(ct_close(1) == ERR_INVALID, "CT_close(1) again: ERR_INVALID");
    pthread_join(t2, NULL);
    pthread_join(t3, NULL);
    printf("passed %d failed %d\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
