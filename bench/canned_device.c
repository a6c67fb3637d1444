/*
 * A canned-answer BACnet/IP device for the end-to-end benchmark.
 *
 *     canned_device [--devices N] [--first-instance I]
 *
 * Binds N UDP sockets on 127.0.0.1 (ephemeral ports), one per simulated
 * device, prints "ready PORT PORT ..." on one line and answers at once, from
 * one thread, until SIGTERM or SIGINT:
 *   - ReadProperty with a ComplexACK that names the object, property and
 *     array index asked for, and a value whose type suits the property;
 *   - ReadPropertyMultiple the same way for every object and property asked;
 *     an answer larger than the client accepts gets an Abort
 *     (segmentation-not-supported): this device never segments;
 *   - Who-Is with an I-Am (max APDU 1476, no segmentation), sent back to the
 *     asker rather than broadcast.
 * Anything else is ignored. On exit it prints "served N" to stderr.
 *
 * Datagrams are read and answered in batches (recvmmsg/sendmmsg) so that the
 * device is never the slower side of a benchmark.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

enum { MAX_DEVICES = 1000, BATCH = 64, MAX_DATAGRAM = 1500, MAX_APDU = 1476 };
enum { SERVICE_READ_PROPERTY = 12, SERVICE_READ_PROPERTY_MULTIPLE = 14 };

static volatile sig_atomic_t stopping;
static void on_signal(int sig) { (void)sig; stopping = 1; }

typedef struct {
    uint8_t *p;
    size_t len, cap;
    int overflow;
} out_t;

static void put(out_t *o, const void *src, size_t n) {
    if (o->len + n > o->cap) { o->overflow = 1; return; }
    memcpy(o->p + o->len, src, n);
    o->len += n;
}
static void put1(out_t *o, uint8_t b) { put(o, &b, 1); }

/* A context-tagged field in the request: tag number, length and where its content is. */
typedef struct { unsigned tag; size_t len; const uint8_t *content; } field_t;

static int read_context(const uint8_t *p, size_t n, size_t *at, field_t *f) {
    if (*at >= n) return 0;
    uint8_t head = p[*at];
    if (!(head & 0x08) || (head & 0x07) > 4 || (head >> 4) == 0x0F) return 0;
    f->tag = head >> 4;
    f->len = head & 0x07;
    f->content = p + *at + 1;
    if (*at + 1 + f->len > n) return 0;
    *at += 1 + f->len;
    return 1;
}

static uint32_t unsigned_of(const field_t *f) {
    uint32_t v = 0;
    for (size_t i = 0; i < f->len; i++) v = v << 8 | f->content[i];
    return v;
}

/* Re-tags a field (same content) as context tag `tag`. */
static void put_field(out_t *o, unsigned tag, const field_t *f) {
    put1(o, (uint8_t)(tag << 4 | 0x08 | f->len));
    put(o, f->content, f->len);
}

/* The value of a property, by what the property usually holds. */
static void put_value(out_t *o, uint32_t property, uint32_t instance) {
    char name[32];
    switch (property) {
    case 77: /* object-name */
    case 28: /* description */ {
        int n = snprintf(name, sizeof name, "canned-%u", (unsigned)instance);
        uint8_t head[3] = {0x75, (uint8_t)(n + 1), 0x00}; /* CharacterString, UTF-8 */
        put(o, head, 3);
        put(o, name, (size_t)n);
        break;
    }
    case 111: /* status-flags */ {
        uint8_t v[3] = {0x82, 0x04, 0x00};
        put(o, v, 3);
        break;
    }
    case 117: /* units: degrees-celsius */ {
        uint8_t v[2] = {0x91, 62};
        put(o, v, 2);
        break;
    }
    case 36:  /* event-state */
    case 103: /* reliability */ {
        uint8_t v[2] = {0x91, 0};
        put(o, v, 2);
        break;
    }
    case 81: /* out-of-service */
        put1(o, 0x10);
        break;
    default: { /* a Real: 20.0 + instance % 16 */
        float f = 20.0f + (float)(instance % 16);
        uint32_t bits;
        memcpy(&bits, &f, 4);
        uint8_t v[5] = {0x44, (uint8_t)(bits >> 24), (uint8_t)(bits >> 16), (uint8_t)(bits >> 8), (uint8_t)bits};
        put(o, v, 5);
    }
    }
}

static uint32_t instance_of(const field_t *object_id) {
    return object_id->len == 4 ? unsigned_of(object_id) & 0x3FFFFF : 0;
}

/* ReadProperty parameters -> ComplexACK parameters; 0 when the request does not parse. */
static int answer_read_property(const uint8_t *p, size_t n, out_t *o) {
    size_t at = 0;
    field_t object_id, property, index;
    if (!read_context(p, n, &at, &object_id) || object_id.tag != 0 || object_id.len != 4) return 0;
    if (!read_context(p, n, &at, &property) || property.tag != 1) return 0;
    int indexed = at < n;
    if (indexed && (!read_context(p, n, &at, &index) || index.tag != 2 || at != n)) return 0;
    put_field(o, 0, &object_id);
    put_field(o, 1, &property);
    if (indexed) put_field(o, 2, &index);
    put1(o, 0x3E);
    put_value(o, unsigned_of(&property), instance_of(&object_id));
    put1(o, 0x3F);
    return 1;
}

static int answer_read_property_multiple(const uint8_t *p, size_t n, out_t *o) {
    size_t at = 0;
    while (at < n) {
        field_t object_id, property, index;
        if (!read_context(p, n, &at, &object_id) || object_id.tag != 0 || object_id.len != 4) return 0;
        if (at >= n || p[at++] != 0x1E) return 0;
        put_field(o, 0, &object_id);
        put1(o, 0x1E);
        while (at < n && p[at] != 0x1F) {
            if (!read_context(p, n, &at, &property) || property.tag != 0) return 0;
            put_field(o, 2, &property);
            if (at < n && (p[at] & 0xF8) == 0x18 && (p[at] & 0x07) <= 4) { /* context tag 1, not a closing tag */
                if (!read_context(p, n, &at, &index)) return 0;
                put_field(o, 3, &index);
            }
            put1(o, 0x4E);
            put_value(o, unsigned_of(&property), instance_of(&object_id));
            put1(o, 0x4F);
        }
        if (at >= n) return 0;
        at++; /* closing tag 1 */
        put1(o, 0x1F);
    }
    return 1;
}

static const size_t APDU_SIZES[] = {50, 128, 206, 480, 1024, 1476};

/* BVLC + NPDU around an APDU already written at out + 6. */
static size_t frame(uint8_t *out, size_t apdu_len) {
    size_t total = 6 + apdu_len;
    out[0] = 0x81;
    out[1] = 0x0A; /* Original-Unicast-NPDU */
    out[2] = (uint8_t)(total >> 8);
    out[3] = (uint8_t)total;
    out[4] = 0x01; /* NPDU version */
    out[5] = 0x00; /* no network layer fields, no reply expected */
    return total;
}

/* Builds the answer to one datagram into `out`; returns its length, 0 for no answer. */
static size_t answer(const uint8_t *in, size_t n, uint8_t *out, uint32_t device_instance, unsigned long *served) {
    if (n < 8 || in[0] != 0x81 || (in[1] != 0x0A && in[1] != 0x0B) || (size_t)(in[2] << 8 | in[3]) != n) return 0;
    if (in[4] != 0x01 || (in[5] & 0x28)) return 0; /* routed messages are not for this device */
    const uint8_t *apdu = in + 6;
    size_t apdu_len = n - 6;
    out_t o = {out + 6, 0, MAX_APDU, 0};

    if (apdu_len >= 2 && apdu[0] == 0x10 && apdu[1] == 0x08) { /* Who-Is; limits are ignored */
        uint32_t oid = 8u << 22 | device_instance;
        uint8_t i_am[] = {0x10, 0x00, 0xC4, (uint8_t)(oid >> 24), (uint8_t)(oid >> 16), (uint8_t)(oid >> 8),
                          (uint8_t)oid, 0x22, 0x05, 0xC4, 0x91, 0x03, 0x22, 0x03, 0xE7};
        put(&o, i_am, sizeof i_am);
        return frame(out, o.len);
    }
    /* A confirmed request, not segmented. */
    if (apdu_len < 4 || (apdu[0] & 0xF8) != 0x00) return 0;
    uint8_t invoke_id = apdu[2], service = apdu[3];
    size_t accepted = (apdu[1] & 0x0F) < 6 ? APDU_SIZES[apdu[1] & 0x0F] : 50;
    uint8_t head[3] = {0x30, invoke_id, service};
    put(&o, head, 3);
    int ok;
    if (service == SERVICE_READ_PROPERTY)
        ok = answer_read_property(apdu + 4, apdu_len - 4, &o);
    else if (service == SERVICE_READ_PROPERTY_MULTIPLE)
        ok = answer_read_property_multiple(apdu + 4, apdu_len - 4, &o);
    else {
        uint8_t reject[3] = {0x60, invoke_id, 9}; /* unrecognized-service */
        o.len = 0;
        put(&o, reject, 3);
        return frame(out, o.len);
    }
    if (!ok) {
        uint8_t reject[3] = {0x60, invoke_id, 0}; /* other */
        o.len = 0;
        o.overflow = 0;
        put(&o, reject, 3);
    } else if (o.overflow || o.len > accepted) {
        uint8_t abort_pdu[3] = {0x71, invoke_id, 4}; /* server, segmentation-not-supported */
        o.len = 0;
        o.overflow = 0;
        put(&o, abort_pdu, 3);
    }
    ++*served;
    return frame(out, o.len);
}

int main(int argc, char **argv) {
    int devices = 1;
    uint32_t first_instance = 1000;
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "--devices") && i + 1 < argc) devices = atoi(argv[++i]);
        else if (!strcmp(argv[i], "--first-instance") && i + 1 < argc) first_instance = (uint32_t)atol(argv[++i]);
        else {
            fprintf(stderr, "usage: %s [--devices N] [--first-instance I]\n", argv[0]);
            return 2;
        }
    }
    if (devices < 1 || devices > MAX_DEVICES) {
        fprintf(stderr, "--devices must be 1..%d\n", MAX_DEVICES);
        return 2;
    }
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigaction(SIGTERM, &sa, NULL);
    sigaction(SIGINT, &sa, NULL);

    int epoll_fd = epoll_create1(0);
    static int fds[MAX_DEVICES];
    printf("ready");
    for (int d = 0; d < devices; d++) {
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        struct sockaddr_in addr = {.sin_family = AF_INET, .sin_addr.s_addr = htonl(INADDR_LOOPBACK)};
        socklen_t addr_len = sizeof addr;
        int size = 4 << 20;
        /* Bursts of hundreds of requests must not be dropped. */
        if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        if (fd < 0 || bind(fd, (struct sockaddr *)&addr, sizeof addr) != 0 ||
            getsockname(fd, (struct sockaddr *)&addr, &addr_len) != 0) {
            perror("socket");
            return 1;
        }
        struct epoll_event ev = {.events = EPOLLIN, .data.u32 = (uint32_t)d};
        epoll_ctl(epoll_fd, EPOLL_CTL_ADD, fd, &ev);
        fds[d] = fd;
        printf(" %d", ntohs(addr.sin_port));
    }
    printf("\n");
    fflush(stdout);

    static uint8_t in_buf[BATCH][MAX_DATAGRAM], out_buf[BATCH][MAX_DATAGRAM];
    static struct sockaddr_in from[BATCH];
    static struct iovec in_iov[BATCH], out_iov[BATCH];
    static struct mmsghdr in_msg[BATCH], out_msg[BATCH];
    unsigned long served = 0;
    struct epoll_event ready[64];
    while (!stopping) {
        int count = epoll_wait(epoll_fd, ready, 64, 200);
        for (int e = 0; e < count; e++) {
            uint32_t d = ready[e].data.u32;
            for (;;) { /* drain the socket */
                for (int i = 0; i < BATCH; i++) {
                    in_iov[i] = (struct iovec){in_buf[i], MAX_DATAGRAM};
                    in_msg[i].msg_hdr = (struct msghdr){.msg_name = &from[i], .msg_namelen = sizeof from[i],
                                                        .msg_iov = &in_iov[i], .msg_iovlen = 1};
                }
                int got = recvmmsg(fds[d], in_msg, BATCH, MSG_DONTWAIT, NULL);
                if (got <= 0) break;
                int answers = 0;
                for (int i = 0; i < got; i++) {
                    size_t len = answer(in_buf[i], in_msg[i].msg_len, out_buf[answers], first_instance + d, &served);
                    if (!len) continue;
                    out_iov[answers] = (struct iovec){out_buf[answers], len};
                    out_msg[answers].msg_hdr = (struct msghdr){.msg_name = &from[i], .msg_namelen = sizeof from[i],
                                                               .msg_iov = &out_iov[answers], .msg_iovlen = 1};
                    answers++;
                }
                for (int sent = 0; sent < answers;) {
                    int n = sendmmsg(fds[d], out_msg + sent, (unsigned)(answers - sent), 0);
                    if (n <= 0) {
                        if (n < 0 && errno == EINTR) continue;
                        break; /* a full peer buffer: the client's timeout notices the loss */
                    }
                    sent += n;
                }
                if (got < BATCH) break;
            }
        }
    }
    fprintf(stderr, "served %lu\n", served);
    return 0;
}
