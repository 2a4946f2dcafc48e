/* The protocol's floor on this machine: a minimal single-threaded C server that
 * answers HELLO, READ and BYE, a minimal C client that times READ round trips,
 * and a load generator that keeps many clients busy with READs. Each frame is
 * built and checked in full (magic, version, length, sequence, CRC-32), so the
 * difference to the library and the simulator is their own cost, not skipped
 * work.
 *
 *   pnv3400-wire-baseline server                    serves on a free loopback port,
 *                                                   prints "listening on 127.0.0.1:PORT"
 *   pnv3400-wire-baseline roundtrip PORT COUNT      prints the median READ round trip in us
 *   pnv3400-wire-baseline load PORT CLIENTS MS      prints READs answered per second and
 *                                                   how many clients the server took
 *
 * Loopback only: every address here is 127.0.0.1.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "round_trip_timing.h"
#include "tessalin_codes.h"

enum { HEADER = 12, MAX_PAYLOAD = 64, MAX_FRAME = HEADER + MAX_PAYLOAD, MAX_CLIENTS = 1024 };
enum { HELLO = 0x01, READ = 0x02, BYE = 0x04, REPLY = 0x80 };

static uint32_t crc_table[256];

static void crc_init(void)
{
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        crc_table[n] = c;
    }
}

static uint32_t crc32_of(const uint8_t *header8, const uint8_t *payload, size_t length)
{
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < 8; ++i)
        c = crc_table[(c ^ header8[i]) & 0xFF] ^ (c >> 8);
    for (size_t i = 0; i < length; ++i)
        c = crc_table[(c ^ payload[i]) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

static size_t build(uint8_t *out, uint8_t type, uint16_t seq, const uint8_t *payload, uint16_t length)
{
    out[0] = 0x50; out[1] = 0x4E; out[2] = 1; out[3] = type;
    out[4] = (uint8_t)(seq >> 8); out[5] = (uint8_t)seq;
    out[6] = (uint8_t)(length >> 8); out[7] = (uint8_t)length;
    memcpy(out + HEADER, payload, length);
    const uint32_t c = crc32_of(out, out + HEADER, length);
    out[8] = (uint8_t)(c >> 24); out[9] = (uint8_t)(c >> 16); out[10] = (uint8_t)(c >> 8); out[11] = (uint8_t)c;
    return HEADER + length;
}

/* The length of the whole frame at the start of buf, 0 if incomplete, -1 if malformed. */
static int frame_length(const uint8_t *buf, size_t have)
{
    if (have < HEADER)
        return 0;
    const unsigned length = (unsigned)buf[6] << 8 | buf[7];
    if (buf[0] != 0x50 || buf[1] != 0x4E || buf[2] != 1 || length > MAX_PAYLOAD)
        return -1;
    if (have < HEADER + length)
        return 0;
    const uint32_t c = (uint32_t)buf[8] << 24 | (uint32_t)buf[9] << 16 | (uint32_t)buf[10] << 8 | buf[11];
    return crc32_of(buf, buf + HEADER, length) == c ? (int)(HEADER + length) : -1;
}

static int write_all(int fd, const uint8_t *p, size_t n)
{
    while (n > 0) {
        const ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return -1;
        p += w;
        n -= (size_t)w;
    }
    return 0;
}

/* The status, then the MAC and the factory configuration. */
static const uint8_t record[1 + TESSALIN_CONFIG_REPLY_SIZE] = {
    TESSALIN_SUCCESS,
    0x00, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F,
    172, 16, 30, 1, 0x0B, 0xB9,
    172, 16, 0, 1, 0x02, 0xBC,
    172, 16, 0, 1,
    255, 255, 0, 0};

/* ---- server ---------------------------------------------------------- */

struct conn {
    int fd;
    size_t have;
    uint8_t buf[2 * MAX_FRAME];
};

static int serve(void)
{
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in addr = {.sin_family = AF_INET, .sin_port = 0};
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(listener, (struct sockaddr *)&addr, sizeof addr) != 0 || listen(listener, 128) != 0
        || getsockname(listener, (struct sockaddr *)&addr, &len) != 0) {
        perror("listen");
        return 1;
    }
    printf("listening on 127.0.0.1:%u\n", ntohs(addr.sin_port));
    fflush(stdout);

    static struct pollfd fds[MAX_CLIENTS + 1];
    static struct conn conns[MAX_CLIENTS + 1];
    int count = 1;
    fds[0].fd = listener;
    fds[0].events = POLLIN;
    for (;;) {
        if (poll(fds, (nfds_t)count, -1) < 0) {
            if (errno == EINTR)
                continue;
            return 1;
        }
        for (int i = count - 1; i >= 1; --i) {
            if (!fds[i].revents)
                continue;
            struct conn *c = &conns[i];
            const ssize_t r = read(c->fd, c->buf + c->have, sizeof c->buf - c->have);
            int close_it = r <= 0;
            if (r > 0)
                c->have += (size_t)r;
            int n;
            while (!close_it && (n = frame_length(c->buf, c->have)) != 0) {
                if (n < 0) {
                    close_it = 1;
                    break;
                }
                const uint8_t type = c->buf[3];
                const uint16_t seq = (uint16_t)(c->buf[4] << 8 | c->buf[5]);
                uint8_t out[MAX_FRAME];
                size_t outlen = 0;
                if (type == HELLO) {
                    const uint8_t hello[3] = {TESSALIN_SUCCESS, 3400 >> 8, 3400 & 0xFF};
                    outlen = build(out, HELLO | REPLY, seq, hello, 3);
                } else if (type == READ) {
                    outlen = build(out, READ | REPLY, seq, record, sizeof record);
                } else {
                    close_it = 1;
                }
                if (outlen && write_all(c->fd, out, outlen) != 0)
                    close_it = 1;
                memmove(c->buf, c->buf + n, c->have - (size_t)n);
                c->have -= (size_t)n;
            }
            if (close_it) {
                close(c->fd);
                fds[i] = fds[count - 1];
                conns[i] = conns[count - 1];
                --count;
            }
        }
        if (fds[0].revents & POLLIN) {
            const int fd = accept4(listener, NULL, NULL, SOCK_CLOEXEC);
            if (fd >= 0 && count <= MAX_CLIENTS) {
                setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                fds[count].fd = fd;
                fds[count].events = POLLIN;
                fds[count].revents = 0;
                conns[count].fd = fd;
                conns[count].have = 0;
                ++count;
            } else if (fd >= 0) {
                close(fd);
            }
        }
    }
}

/* ---- clients --------------------------------------------------------- */

static int dial(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    struct sockaddr_in addr = {.sin_family = AF_INET, .sin_port = htons((uint16_t)port)};
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, (struct sockaddr *)&addr, sizeof addr) != 0) {
        perror("connect");
        exit(1);
    }
    return fd;
}

/* Sends one request and waits for its whole reply; checks type and sequence. */
static int exchange(int fd, uint8_t type, uint16_t seq, const uint8_t *payload, uint16_t length)
{
    uint8_t out[MAX_FRAME], in[2 * MAX_FRAME];
    const size_t n = build(out, type, seq, payload, length);
    if (write_all(fd, out, n) != 0)
        return -1;
    size_t have = 0;
    int whole;
    while ((whole = frame_length(in, have)) == 0) {
        const ssize_t r = read(fd, in + have, sizeof in - have);
        if (r <= 0)
            return -1;
        have += (size_t)r;
    }
    if (whole < 0 || in[3] != (type | REPLY) || (in[4] << 8 | in[5]) != seq || in[HEADER] != TESSALIN_SUCCESS)
        return -1;
    return 0;
}

static int roundtrip(int port, int count)
{
    const int fd = dial(port);
    const uint8_t mode[4] = {0, 0, 0, TESSALIN_CONNECT_MODE};
    if (exchange(fd, HELLO, 1, mode, 4) != 0)
        return 1;
    double *times = malloc(sizeof(double) * (size_t)count);
    for (int i = 0; i < count; ++i) {
        const double start = now_us();
        if (exchange(fd, READ, (uint16_t)(i + 2), NULL, 0) != 0)
            return 1;
        times[i] = now_us() - start;
    }
    printf("%.2f\n", median_us(times, count));
    free(times);
    return 0;
}

static void set_receive_timeout(int fd, long ms)
{
    const struct timeval t = {ms / 1000, (ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
}

/* Every client keeps exactly one READ in flight, as the library does. A
 * server that takes fewer clients than offered (it refuses them, leaves them
 * queued, or drops one to make room) serves the rest: a client not linked
 * within 100 ms, or dropped later, is left out, and the count of clients still
 * served at the end is printed beside the rate. */
static int load(int port, int clients, int ms)
{
    static struct pollfd fds[MAX_CLIENTS];
    static uint16_t seqs[MAX_CLIENTS];
    const uint8_t mode[4] = {0, 0, 0, TESSALIN_CONNECT_MODE};
    uint8_t out[MAX_FRAME], in[2 * MAX_FRAME];
    int linked = 0;
    for (int attempt = 0; attempt < clients; ++attempt) {
        const int fd = dial(port);
        set_receive_timeout(fd, 100);
        if (exchange(fd, HELLO, 1, mode, 4) != 0) {
            close(fd);
            continue;
        }
        set_receive_timeout(fd, 0);
        const int i = linked++;
        fds[i].fd = fd;
        fds[i].events = POLLIN;
        seqs[i] = 2;
        const size_t n = build(out, READ, seqs[i], NULL, 0);
        if (write_all(fds[i].fd, out, n) != 0)
            return 1;
    }
    int served = linked;
    long answered = 0;
    const double start = now_us(), end = start + ms * 1000.0;
    double t;
    while ((t = now_us()) < end && served > 0) {
        if (poll(fds, (nfds_t)linked, 100) < 0)
            return 1;
        for (int i = 0; i < linked; ++i) {
            if (!fds[i].revents)
                continue;
            size_t have = 0;
            int whole;
            while ((whole = frame_length(in, have)) == 0) {
                const ssize_t r = read(fds[i].fd, in + have, sizeof in - have);
                if (r <= 0)
                    break;
                have += (size_t)r;
            }
            if (whole < 0)
                return 1;
            if (whole == 0) { /* dropped by the server: poll ignores it from now on */
                close(fds[i].fd);
                fds[i].fd = -1;
                --served;
                continue;
            }
            if ((in[4] << 8 | in[5]) != seqs[i] || in[HEADER] != TESSALIN_SUCCESS)
                return 1;
            ++answered;
            ++seqs[i];
            const size_t n = build(out, READ, seqs[i], NULL, 0);
            if (write_all(fds[i].fd, out, n) != 0)
                return 1;
        }
    }
    printf("%.0f %d\n", (double)answered / ((t - start) / 1e6), served);
    return 0;
}

int main(int argc, char **argv)
{
    crc_init();
    if (argc == 2 && strcmp(argv[1], "server") == 0)
        return serve();
    if (argc == 4 && strcmp(argv[1], "roundtrip") == 0)
        return roundtrip(atoi(argv[2]), atoi(argv[3]));
    if (argc == 5 && strcmp(argv[1], "load") == 0)
        return load(atoi(argv[2]), atoi(argv[3]), atoi(argv[4]));
    fprintf(stderr, "usage: %s server | roundtrip PORT COUNT | load PORT CLIENTS MS\n", argv[0]);
    return 2;
}
