/* A caller that knows only the five entry points: loads libtessalin.so by
 * name, drives it against pnv3400-sim and against a raw TCP server that
 * misbehaves, and checks result codes, time bounds and guard bytes.
 * Usage: tessalin_dlopen_check PORT, the port of a fresh simulator on
 * 127.0.0.1 (dlopen_check.sh starts it). Exit status 0 when every check holds. */

#define _GNU_SOURCE
#include <arpa/inet.h>
#include <dlfcn.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#define BUDGET_MS 500
#define SLACK_MS 1500
#define GUARD 0xA5
#define GUARD_SIZE 64

typedef int32_t (*ConnectFn)(const char *, int32_t, int32_t);
typedef void (*VoidFn)(void);
typedef int32_t (*RecordFn)(uint8_t *, int32_t);

static ConnectFn s_connect;
static VoidFn s_disconnect;
static RecordFn config_read;
static RecordFn config_write;
static VoidFn dll_close;
static int failures;

#define CHECK(cond, ...)                                                    \
    do {                                                                    \
        if (!(cond)) {                                                      \
            fprintf(stderr, "FAIL %s:%d: %s: ", __FILE__, __LINE__, #cond); \
            fprintf(stderr, __VA_ARGS__);                                   \
            fputc('\n', stderr);                                            \
            ++failures;                                                     \
        }                                                                   \
    } while (0)

static long now_ms(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000L + t.tv_nsec / 1000000L;
}

static int timed_connect(const char *address, int port, long *elapsed)
{
    char buffer[16];
    memset(buffer, 0, sizeof buffer);
    strncpy(buffer, address, sizeof buffer - 1);
    const long start = now_ms();
    const int code = s_connect(buffer, 14, port);
    *elapsed = now_ms() - start;
    return code;
}

/* Calls ConfigRead or ConfigWrite with `capacity` bytes followed by guard
 * bytes; checks the guard and returns the count, with byte 0 in *first. */
static int guarded_call(RecordFn fn, const uint8_t *request, int capacity, uint8_t *first)
{
    uint8_t *memory = malloc((size_t)capacity + GUARD_SIZE);
    memset(memory, GUARD, (size_t)capacity + GUARD_SIZE);
    if (request)
        memcpy(memory, request, capacity < 20 ? (size_t)capacity : 20);
    const long start = now_ms();
    const int n = fn(memory, capacity);
    const long elapsed = now_ms() - start;
    CHECK(elapsed < BUDGET_MS + SLACK_MS, "call took %ld ms", elapsed);
    for (int i = capacity; i < capacity + GUARD_SIZE; ++i)
        CHECK(memory[i] == GUARD, "byte %d after capacity %d overwritten", i - capacity, capacity);
    *first = memory[0];
    free(memory);
    return n;
}

/* One raw server per misbehaviour, each on a port of its own and serving every
 * connection it gets: a stray connection from another test that happens to
 * reach the port cannot shift which misbehaviour our own connection meets. */
enum { SILENT, TRICKLE, ENDLESS, RESET, HALF_CLOSE, ROGUE_KINDS };
static const int rogue_codes[ROGUE_KINDS] = {2, 2, 3, 1, 1};
static const char *const rogue_names[ROGUE_KINDS] = {"silent", "trickle", "endless stream", "reset", "half-close"};

static void drain_until_closed(int client)
{
    char junk[256];
    while (recv(client, junk, sizeof junk, 0) > 0) {
    }
}

static void misbehave(int kind, int client)
{
    switch (kind) {
    case SILENT:
        drain_until_closed(client);
        break;
    case TRICKLE: {
        /* The start of a sound HELLO-REPLY, one byte every 100 ms. */
        static const unsigned char header[] = {0x50, 0x4E, 0x01, 0x81, 0x00, 0x01, 0x00, 0x03,
                                               0x00, 0x00, 0x00, 0x00};
        for (size_t i = 0; i < sizeof header; ++i) {
            if (send(client, &header[i], 1, MSG_NOSIGNAL) != 1)
                break;
            struct pollfd p = {client, POLLRDHUP, 0};
            if (poll(&p, 1, 100) > 0)
                break;
        }
        drain_until_closed(client);
        break;
    }
    case ENDLESS: {
        unsigned char junk[4096];
        memset(junk, 0xE7, sizeof junk);
        while (send(client, junk, sizeof junk, MSG_NOSIGNAL) > 0) {
        }
        break;
    }
    case RESET: {
        struct linger hard = {1, 0};
        setsockopt(client, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        break;
    }
    case HALF_CLOSE:
        shutdown(client, SHUT_WR);
        drain_until_closed(client);
        break;
    }
}

static void rogue_server(int kind, int listener)
{
    signal(SIGCHLD, SIG_IGN);   /* no zombies from the per-connection children */
    for (;;) {
        const int client = accept(listener, NULL, NULL);
        if (client < 0)
            _exit(1);
        if (fork() == 0) {
            close(listener);
            alarm(20);   /* a connection that nobody closes still ends */
            misbehave(kind, client);
            close(client);
            _exit(0);
        }
        close(client);
    }
}

static pid_t start_rogue(int kind, int *port)
{
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (listener < 0 || bind(listener, (struct sockaddr *)&address, sizeof address) != 0 || listen(listener, 4) != 0
        || getsockname(listener, (struct sockaddr *)&address, &size) != 0)
        return -1;
    *port = ntohs(address.sin_port);
    const pid_t pid = fork();
    if (pid == 0)
        rogue_server(kind, listener);
    close(listener);
    return pid;
}

static const uint8_t example_request[20] = {0x0A, 0x01, 0x02, 0x03, 0x0B, 0xB9, 0xAC, 0x10, 0x00, 0x01,
                                            0x02, 0xBC, 0x0A, 0x01, 0x02, 0xFE, 0xFF, 0xFF, 0xFF, 0x00};

static void check_records(void)
{
    static const int capacities[] = {500, 26, 20, 1};
    for (size_t i = 0; i < sizeof capacities / sizeof capacities[0]; ++i) {
        const int capacity = capacities[i];
        uint8_t first = 0;
        int n = guarded_call(config_read, NULL, capacity, &first);
        if (capacity >= 26)
            CHECK(n == 26, "ConfigRead(%d) gave %d", capacity, n);
        else
            CHECK(n == 0 && first == GUARD, "ConfigRead(%d) gave %d, byte 0 = %d", capacity, n, first);
        n = guarded_call(config_write, example_request, capacity, &first);
        if (capacity >= 20)
            CHECK(n == 1 && first == 0, "ConfigWrite(%d) gave %d, status %d", capacity, n, first);
        else
            CHECK(n == 0 && first == example_request[0], "ConfigWrite(%d) gave %d", capacity, n);
    }
}

static void check_unlinked(void)
{
    uint8_t first = 0;
    CHECK(guarded_call(config_read, NULL, 500, &first) == 1 && first == 1, "read without a link: status %d", first);
    CHECK(guarded_call(config_write, example_request, 20, &first) == 1 && first == 1,
          "write without a link: status %d", first);
}

int main(int argc, char **argv)
{
    const int sim_port = argc == 2 ? atoi(argv[1]) : 0;
    if (sim_port <= 0) {
        fprintf(stderr, "usage: tessalin_dlopen_check PORT\n");
        return 2;
    }
    signal(SIGPIPE, SIG_DFL);   /* a library that raised SIGPIPE would end this program */
    setenv("TESSALIN_TIMEOUT_MS", "500", 1);

    void *library = dlopen("libtessalin.so", RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        fprintf(stderr, "dlopen: %s\n", dlerror());
        return 1;
    }
    *(void **)&s_connect = dlsym(library, "S_Connect");
    *(void **)&s_disconnect = dlsym(library, "S_Disconnect");
    *(void **)&config_read = dlsym(library, "ConfigRead");
    *(void **)&config_write = dlsym(library, "ConfigWrite");
    *(void **)&dll_close = dlsym(library, "DLLClose");
    if (!s_connect || !s_disconnect || !config_read || !config_write || !dll_close) {
        fprintf(stderr, "an entry point is missing\n");
        return 1;
    }

    long elapsed = 0;

    check_unlinked();
    s_disconnect();
    dll_close();
    CHECK(timed_connect("127.0.0.1x", sim_port, &elapsed) == 1, "bad address text");
    CHECK(timed_connect("127.0.0.1", 0, &elapsed) == 1, "port 0");

    CHECK(timed_connect("127.0.0.1", sim_port, &elapsed) == 0, "connect to the simulator");
    CHECK(timed_connect("127.0.0.1", sim_port, &elapsed) == 5, "second connect");
    check_records();
    s_disconnect();
    s_disconnect();
    check_unlinked();

    pid_t rogues[ROGUE_KINDS];
    for (int kind = 0; kind < ROGUE_KINDS; ++kind) {
        int rogue_port = 0;
        rogues[kind] = start_rogue(kind, &rogue_port);
        CHECK(rogues[kind] > 0, "%s server", rogue_names[kind]);
        if (rogues[kind] <= 0)
            continue;
        const int code = timed_connect("127.0.0.1", rogue_port, &elapsed);
        CHECK(code == rogue_codes[kind], "%s: code %d, expected %d", rogue_names[kind], code, rogue_codes[kind]);
        CHECK(elapsed < BUDGET_MS + SLACK_MS, "%s: took %ld ms", rogue_names[kind], elapsed);
        check_unlinked();
    }

    /* After all that, the simulator is reached again at once. */
    CHECK(timed_connect("127.0.0.1", sim_port, &elapsed) == 0, "reconnect to the simulator");
    uint8_t reply[26 + GUARD_SIZE];
    memset(reply, GUARD, sizeof reply);
    CHECK(config_read(reply, 26) == 26 && memcmp(reply + 6, example_request, 20) == 0, "record written earlier");
    for (size_t i = 26; i < sizeof reply; ++i)
        CHECK(reply[i] == GUARD, "guard byte %zu", i - 26);
    dll_close();
    dll_close();
    check_unlinked();

    for (int kind = 0; kind < ROGUE_KINDS; ++kind) {
        if (rogues[kind] > 0) {
            kill(rogues[kind], SIGKILL);
            waitpid(rogues[kind], NULL, 0);
        }
    }
    dlclose(library);
    if (failures == 0)
        printf("all checks passed\n");
    return failures == 0 ? 0 : 1;
}
