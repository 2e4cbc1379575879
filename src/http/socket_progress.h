#pragma once
// What the kernel has counted on a TCP socket, read without touching the
// socket's data: the event loop measures a running upload's rate this way
// while the upload's own thread reads the body.

#include <cstdint>

namespace parcelmoor::httpd {

// Bytes received on the connection so far (headers included); -1 when the
// kernel cannot tell.
int64_t BytesReceivedOn(int fd);

}  // namespace parcelmoor::httpd
