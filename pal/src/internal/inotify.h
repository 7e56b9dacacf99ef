// Reading an inotify descriptor's queue.
#pragma once
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>

namespace pal {

// Hands every event queued on the non-blocking inotify descriptor `fd` to
// handle(const inotify_event&), until the queue is empty.
template <typename F>
void DrainInotify(int fd, F&& handle) {
    alignas(struct inotify_event) char buf[16384];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            return;
        }
        for (ssize_t off = 0; off < n;) {
            const auto* e = reinterpret_cast<const struct inotify_event*>(buf + off);
            handle(*e);
            off += static_cast<ssize_t>(sizeof(struct inotify_event) + e->len);
        }
    }
}

}  // namespace pal
