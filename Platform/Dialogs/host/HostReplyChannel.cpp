// The reply of a host message travels over a socket whose other end goes with the message. The
// plug-in reads it with a plain blocking read: the web process never runs a nested main loop inside
// a page's call, where WebKit's own timers would fire and abort the process.
#include "HostDialogs.h"

#include <cerrno>
#include <poll.h>
#include <string>
#include <unistd.h>

namespace {
// Far above any reply (a panel's paths), so that a broken host cannot make the plug-in hold more.
const size_t kMaxReplyBytes = 256u << 20;
}  // namespace

bool WriteHostReply(int fd, GVariant* reply)
{
    GVariant* boxed = g_variant_ref_sink(g_variant_new_variant(reply));
    const auto* data = static_cast<const char*>(g_variant_get_data(boxed));
    size_t left = g_variant_get_size(boxed);
    while (left > 0) {
        const ssize_t written = write(fd, data, left);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            break;
        data += written;
        left -= static_cast<size_t>(written);
    }
    g_variant_unref(boxed);
    return left == 0;
}

HostReply ReadHostReply(int fd, GVariant** reply)
{
    std::string bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 || bytes.size() + static_cast<size_t>(got) > kMaxReplyBytes)
            return HostReply::failed;
        if (got == 0)
            break;
        bytes.append(buffer, static_cast<size_t>(got));
    }
    // The host closed its end without a word: it does not handle the message.
    if (bytes.empty())
        return HostReply::unhandled;
    GBytes* data = g_bytes_new(bytes.data(), bytes.size());
    GVariant* boxed = g_variant_ref_sink(g_variant_new_from_bytes(G_VARIANT_TYPE_VARIANT, data, FALSE));
    g_bytes_unref(data);
    const bool valid = g_variant_is_normal_form(boxed);
    if (valid)
        *reply = g_variant_get_variant(boxed);
    g_variant_unref(boxed);
    return valid ? HostReply::answered : HostReply::failed;
}
