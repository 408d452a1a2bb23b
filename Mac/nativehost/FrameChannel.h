// The host's channel to the browser on the default GLib main context: frames read from one file
// descriptor as they arrive, and messages queued and written to another whenever it takes them, so
// that neither side ever blocks the main loop. Both descriptors are made non-blocking.
// Frames are handed on one at a time: while a frame's handler runs (even a nested main loop, as a
// dialog does) the input is not read, so calls never overlap and keep their order.
#pragma once

#include "NativeFrames.h"

#include <glib.h>

#include <functional>
#include <string>
#include <vector>

class FrameChannel {
public:
    enum InputEnd { kEndOfInput, kEndInsideFrame, kFrameTooLarge, kReadError };
    struct Handlers {
        std::function<void(std::string payload)> frame;  // each whole frame read, in order
        std::function<void(InputEnd end)> inputEnded;    // once, after the last frame
        std::function<void()> outputDrained;             // the queue was written out
        std::function<void()> outputFailed;              // the browser no longer reads
    };

    FrameChannel(int input, int output, Handlers handlers);
    ~FrameChannel();
    FrameChannel(const FrameChannel&) = delete;
    FrameChannel& operator=(const FrameChannel&) = delete;

    // Queues the frames of one message's JSON text (split when too large) behind earlier ones.
    void Send(const std::string& json);
    bool OutputPending() const { return mQueued.size() > mWritten; }
    bool OutputFailed() const { return mOutputFailed; }

private:
    static gboolean Readable(gint fd, GIOCondition condition, gpointer self);
    static gboolean Writable(gint fd, GIOCondition condition, gpointer self);
    // Says on standard error why the input ended, unless it simply closed.
    void EndInput(InputEnd end);
    // Writes what the descriptor takes now; false once writing has failed.
    bool WriteQueued();

    int mInput;
    int mOutput;
    Handlers mHandlers;
    NativeFrameReader mReader;
    std::vector<char> mChunk;
    std::string mQueued;
    size_t mWritten = 0;
    guint mReadSource = 0;
    guint mWriteSource = 0;
    bool mOutputFailed = false;
};
