// The floor: an HTTP/1.1 server that writes each request's raw body to a
// file and answers 200. No parsing beyond the header's Content-Length, a
// thread per connection, keep-alive, "100 Continue" when asked. What curl,
// loopback and the disk allow; no upload server can be faster.
//
// Usage: sink PORT DIR [READ_BYTES]   (bodies go to DIR/body-N, N counting
// from 0; each recv() asks for at most READ_BYTES, 1 MiB unless given: with
// 65535 it reads the way an upload component that asks its host for chunks
// of 65,535 bytes must, the floor for such a component)

#define _GNU_SOURCE
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

enum { kHeaderMax = 16384, kBuffer = 1 << 20 };

static const char* gDir;
static long long gReadMax = kBuffer;
static atomic_long gNext;

static int SendAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t k = send(fd, p, n, MSG_NOSIGNAL);
    if (k <= 0) return -1;
    p += k;
    n -= (size_t)k;
  }
  return 0;
}

static long long FieldValue(const char* head, const char* name) {
  size_t len = strlen(name);
  for (const char* p = strstr(head, "\r\n"); p; p = strstr(p + 2, "\r\n")) {
    if (strncasecmp(p + 2, name, len) == 0 && p[2 + len] == ':') return atoll(p + 3 + len);
  }
  return -1;
}

static int HasField(const char* head, const char* name, const char* value) {
  size_t len = strlen(name);
  for (const char* p = strstr(head, "\r\n"); p; p = strstr(p + 2, "\r\n")) {
    if (strncasecmp(p + 2, name, len) == 0 && p[2 + len] == ':') {
      const char* v = p + 3 + len;
      while (*v == ' ') ++v;
      return strncasecmp(v, value, strlen(value)) == 0;
    }
  }
  return 0;
}

// Serves requests on one connection until it closes.
static void* Serve(void* arg) {
  int fd = (int)(long)arg;
  char* buf = malloc(kBuffer);
  size_t have = 0;
  for (;;) {
    char* end = NULL;
    while (!(end = memmem(buf, have, "\r\n\r\n", 4))) {
      if (have >= kHeaderMax) goto done;
      ssize_t n = recv(fd, buf + have, kHeaderMax - have, 0);
      if (n <= 0) goto done;
      have += (size_t)n;
    }
    size_t headLen = (size_t)(end + 4 - buf);
    end[2] = '\0';
    long long length = FieldValue(buf, "content-length");
    if (length < 0) goto done;
    if (HasField(buf, "expect", "100-continue") && SendAll(fd, "HTTP/1.1 100 Continue\r\n\r\n", 25)) goto done;
    char path[4096];
    snprintf(path, sizeof path, "%s/body-%ld", gDir, atomic_fetch_add(&gNext, 1));
    int out = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) goto done;
    size_t extra = have - headLen;
    if ((long long)extra > length) extra = (size_t)length;
    if (extra && write(out, buf + headLen, extra) != (ssize_t)extra) goto fail;
    long long left = length - (long long)extra;
    size_t rest = have - headLen - extra;  // bytes of the next request
    memmove(buf, buf + headLen + extra, rest);
    have = rest;
    while (left > 0) {
      long long want = left < kBuffer - (long long)have ? left : kBuffer - (long long)have;
      if (want > gReadMax) want = gReadMax;
      ssize_t n = recv(fd, buf + have, (size_t)want, 0);
      if (n <= 0) goto fail;
      if (write(out, buf + have, (size_t)n) != n) goto fail;
      left -= n;
    }
    close(out);
    static const char kOk[] = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Type: text/plain\r\n\r\nok";
    if (SendAll(fd, kOk, sizeof kOk - 1)) goto done;
    continue;
  fail:
    close(out);
    goto done;
  }
done:
  free(buf);
  close(fd);
  return NULL;
}

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    fprintf(stderr, "usage: sink PORT DIR [READ_BYTES]\n");
    return 2;
  }
  gDir = argv[2];
  if (argc == 4) gReadMax = atoll(argv[3]);
  if (gReadMax < 1 || gReadMax > kBuffer) {
    fprintf(stderr, "sink: READ_BYTES must be 1 to %d\n", kBuffer);
    return 2;
  }
  int ls = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  struct sockaddr_in a = {.sin_family = AF_INET, .sin_port = htons((uint16_t)atoi(argv[1]))};
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(ls, (struct sockaddr*)&a, sizeof a) || listen(ls, 1024)) {
    perror("sink: bind");
    return 1;
  }
  for (;;) {
    int fd = accept4(ls, NULL, NULL, SOCK_CLOEXEC);
    if (fd < 0) continue;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    pthread_t t;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (pthread_create(&t, &attr, Serve, (void*)(long)fd) != 0) close(fd);
    pthread_attr_destroy(&attr);
  }
}
