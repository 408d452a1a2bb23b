// How pages reach the plug-in view: a start-up script, run in each new document before the page's
// own script, gives every <embed> and <object> element of the plug-in's MIME type the methods the
// view exposes, creates one view per element on first use, and passes the page's drag events on.
// A document's views are released when the document goes (the page navigates away, the frame is
// removed or loads another document, or the whole page closes).
#pragma once

#include <webkit2/webkit-web-extension.h>

// The MIME type that pages embed.
extern const char kPluginMimeType[];

// Binds a frame's new document (its window object was just cleared), ending the frame's previous
// one.
void BindDocument(WebKitWebPage* page, WebKitFrame* frame, WebKitScriptWorld* world);
// Ends every document of a page that went.
void EndPageDocuments(guint64 pageId);
// Exposes the benchmarks' reference method in documents bound from now on.
void ExposeBenchmarkReference();
