// One native host per element: opens it on the element's first call, tells it the origin of the
// page (from the port's sender, never from the page), passes calls in and answers out, joining
// the pieces of a long message. When the host ends, calls still waiting fail.
'use strict';
const extension = globalThis.browser || globalThis.chrome;
const kHost = 'com.qiravel.webclient';

function failure(call) {
  return call === 'Initialize' ? 'failed' : 0;
}

function originOf(sender) {
  if (sender.origin)
    return sender.origin;
  try {
    return new URL(sender.url).origin;
  } catch (error) {
    return 'null';
  }
}

extension.runtime.onConnect.addListener(page => {
  if (page.name !== 'qiravel-webclient' || !page.sender || !page.sender.tab) {
    page.disconnect();
    return;
  }
  const origin = originOf(page.sender);
  const waiting = [];
  let host = null;
  let ended = false;
  let pieces = '';

  function deliver(message) {
    if ('result' in message)
      waiting.shift();
    page.postMessage(message);
  }

  function open() {
    host = extension.runtime.connectNative(kHost);
    host.onMessage.addListener(message => {
      if (typeof message.piece === 'string') {
        pieces += message.piece;
        if (!message.last)
          return;
        const whole = pieces;
        pieces = '';
        try {
          message = JSON.parse(whole);
        } catch (error) {
          console.error('Qiravel Web Client: a long message from the host is not JSON');
          return;
        }
      }
      deliver(message);
    });
    host.onDisconnect.addListener(() => {
      ended = true;
      host = null;
      while (waiting.length)
        deliver({result: failure(waiting[0])});
    });
  }

  page.onMessage.addListener(message => {
    const call = message.call;
    if (ended) {
      page.postMessage({result: failure(call)});
      return;
    }
    if (!host)
      open();
    waiting.push(call);
    host.postMessage(call === 'Initialize' ? {call, origin} : {call, request: message.request});
  });

  page.onDisconnect.addListener(() => {
    ended = true;
    if (host)
      host.disconnect();
    host = null;
  });
});
