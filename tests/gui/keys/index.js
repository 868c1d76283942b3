// A page for the keyboard test: it reports every key it sees with Control (and F11) through the
// console, handles Control+O itself (preventDefault), and reports the menu notifications the host
// sends over the channel. The host's file log keeps the console lines (run with --verbose).
(function () {
  'use strict';
  var query = new URLSearchParams(window.location.search);
  document.addEventListener('keydown', function (event) {
    if (!event.ctrlKey && event.key !== 'F11') return;
    if (event.key === 'Control' || event.key === 'Shift') return;
    var name = (event.ctrlKey ? 'Control+' : '') + (event.shiftKey ? 'Shift+' : '') + event.key.toLowerCase();
    if (event.ctrlKey && event.key.toLowerCase() === 'o') event.preventDefault();
    console.info('keydown ' + name + (event.defaultPrevented ? ' (handled by the page)' : ''));
  });
  var socket = new WebSocket(query.get('wsUrl'));
  socket.addEventListener('open', function () {
    document.body.className = 'connected';
    console.info('channel open');
  });
  socket.addEventListener('message', function (event) {
    var message = JSON.parse(event.data);
    if (message.method === '/menu/itemClicked') console.info('menu ' + JSON.stringify(message.params));
  });
})();
