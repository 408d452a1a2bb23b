// The isolated half of the bridge: takes the page-world script's channel, the first one its own
// window posts, and passes each element's calls to the background script over one port per element.
'use strict';
(() => {
  const runtime = (globalThis.browser || globalThis.chrome).runtime;
  const ports = new Map();
  let bridge = null;

  function portOf(view) {
    let port = ports.get(view);
    if (!port) {
      port = runtime.connect({name: 'qiravel-webclient'});
      port.onMessage.addListener(answer => bridge.postMessage(Object.assign({view}, answer)));
      // The extension was reloaded or its background ended: the element's calls can no longer run.
      port.onDisconnect.addListener(() => bridge.postMessage({view, ended: true}));
      ports.set(view, port);
    }
    return port;
  }

  function forward(message) {
    if (!message || !Number.isSafeInteger(message.view) || message.view < 1)
      return;
    if (message.call === 'Initialize')
      portOf(message.view).postMessage({call: 'Initialize'});
    else if (message.call === 'ExecuteRequest' && typeof message.request === 'string')
      portOf(message.view).postMessage({call: 'ExecuteRequest', request: message.request});
  }

  window.addEventListener('message', event => {
    if (bridge || event.source !== window || !event.data || event.data.qiravelWebClient !== 'bridge' ||
        event.ports.length !== 1)
      return;
    event.stopImmediatePropagation();
    bridge = event.ports[0];
    bridge.onmessage = event => forward(event.data);
  }, true);
})();
