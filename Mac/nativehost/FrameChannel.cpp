#include "FrameChannel.h"

#include <glib-unix.h>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {
const size_t kReadChunk = 256 * 1024;

void MakeNonBlocking(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}
}  // namespace

FrameChannel::FrameChannel(int input, int output, Handlers handlers)
    : mInput(input), mOutput(output), mHandlers(std::move(handlers))
{
    MakeNonBlocking(mInput);
    MakeNonBlocking(mOutput);
    mReadSource = g_unix_fd_add(mInput, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), &Readable, this);
}

FrameChannel::~FrameChannel()
{
    if (mReadSource)
        g_source_remove(mReadSource);
    if (mWriteSource)
        g_source_remove(mWriteSource);
}

gboolean FrameChannel::Readable(gint fd, GIOCondition, gpointer data)
{
    auto* self = static_cast<FrameChannel*>(data);
    self->mChunk.resize(kReadChunk);
    const ssize_t count = read(fd, self->mChunk.data(), self->mChunk.size());
    if (count < 0 && (errno == EAGAIN || errno == EINTR))
        return G_SOURCE_CONTINUE;
    if (count <= 0) {
        self->mReadSource = 0;
        self->EndInput(count == 0 ? (self->mReader.Pending() ? kEndInsideFrame : kEndOfInput) : kReadError);
        return G_SOURCE_REMOVE;
    }
    self->mReader.Append(self->mChunk.data(), static_cast<size_t>(count));
    std::string payload;
    NativeFrameReader::Result result;
    // GLib does not dispatch this source again while a handler runs a nested main loop.
    while ((result = self->mReader.Next(&payload)) == NativeFrameReader::kFrame)
        self->mHandlers.frame(std::move(payload));
    if (result == NativeFrameReader::kTooLarge) {
        self->mReadSource = 0;
        self->EndInput(kFrameTooLarge);
        return G_SOURCE_REMOVE;
    }
    return G_SOURCE_CONTINUE;
}

void FrameChannel::EndInput(InputEnd end)
{
    const int readError = errno;
    if (end == kEndInsideFrame)
        g_printerr("qiravel-nativehost: the input ended inside a frame (%zu bytes of it)\n", mReader.Pending());
    else if (end == kFrameTooLarge)
        g_printerr("qiravel-nativehost: a frame announces %u bytes, more than %u; the input is not read further\n",
                   mReader.AnnouncedLength(), kLargestIncomingFrame);
    else if (end == kReadError)
        g_printerr("qiravel-nativehost: the input cannot be read: %s\n", g_strerror(readError));
    mHandlers.inputEnded(end);
}

void FrameChannel::Send(const std::string& json)
{
    if (mOutputFailed)
        return;
    for (const std::string& frame : FramesOfMessage(json))
        mQueued += frame;
    if (mWriteSource)
        return;
    if (!WriteQueued())
        mHandlers.outputFailed();
    else if (OutputPending())
        mWriteSource = g_unix_fd_add(mOutput, G_IO_OUT, &Writable, this);
}

gboolean FrameChannel::Writable(gint, GIOCondition, gpointer data)
{
    auto* self = static_cast<FrameChannel*>(data);
    if (self->WriteQueued() && self->OutputPending())
        return G_SOURCE_CONTINUE;
    self->mWriteSource = 0;
    if (self->mOutputFailed)
        self->mHandlers.outputFailed();
    else
        self->mHandlers.outputDrained();
    return G_SOURCE_REMOVE;
}

bool FrameChannel::WriteQueued()
{
    while (OutputPending()) {
        const ssize_t count = write(mOutput, mQueued.data() + mWritten, mQueued.size() - mWritten);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && errno == EAGAIN)
            return true;
        if (count <= 0) {
            g_printerr("qiravel-nativehost: the browser no longer reads the channel: %s\n",
                       count < 0 ? g_strerror(errno) : "nothing written");
            mOutputFailed = true;
            mQueued.clear();
            mWritten = 0;
            return false;
        }
        mWritten += static_cast<size_t>(count);
    }
    mQueued.clear();
    mWritten = 0;
    return true;
}
