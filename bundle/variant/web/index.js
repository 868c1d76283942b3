// A stand-in page for the web application: it connects to the host's WebSocket channel named in
// the boot URL's "wsUrl", asks for the host configuration and shows what arrives.
(function () {
  'use strict';
  var query = new URLSearchParams(window.location.search);
  var statusText = document.getElementById('status');
  var configurationText = document.getElementById('configuration');
  var nextId = 1;

  function setState(state, text) {
    document.body.className = state;
    statusText.textContent = text;
  }

  function request(socket, method, values) {
    var id = String(nextId++);
    socket.send(JSON.stringify({ jsonrpc: '2.0', id: id, method: method, params: { values: values || {} } }));
    return id;
  }

  var wsUrl = query.get('wsUrl');
  if (!wsUrl) {
    setState('failed', 'The boot URL names no WebSocket channel (wsUrl).');
    console.error('Sample page: no wsUrl in the boot URL');
    return;
  }

  var socket = new WebSocket(wsUrl);
  socket.addEventListener('open', function () {
    setState('connecting', 'Connected to ' + wsUrl + ', asking for the host configuration…');
    request(socket, '/configuration/request');
  });
  socket.addEventListener('message', function (event) {
    var message;
    try {
      message = JSON.parse(event.data);
    } catch (e) {
      console.error('Sample page: the host sent a frame that is not JSON: ' + event.data);
      return;
    }
    if (message.method === '/configuration/changed') {
      configurationText.textContent = JSON.stringify(message.params, null, 2);
      setState('connected', 'Connected (' + (query.get('appId') || 'unknown app') + ', ' +
               (query.get('fullVersion') || 'unknown version') + ')');
      // The real web application is not shipped with this bundle; say so where it is kept.
      console.info('Sample page: host configuration received; this bundle carries no web application');
    } else if (message.error !== undefined) {
      console.error('Sample page: request ' + message.id + ' failed: ' + message.error);
    }
  });
  socket.addEventListener('close', function () {
    if (document.body.className !== 'connected') setState('failed', 'The host closed the channel.');
  });
  socket.addEventListener('error', function () {
    setState('failed', 'The channel to ' + wsUrl + ' failed.');
    console.error('Sample page: WebSocket error on ' + wsUrl);
  });
})();
