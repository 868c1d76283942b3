// A page for the save test: once the channel is open it hands the host a project file through
// "/files/saveAs", as the page's "Save as" does, and reports the answer's status through the
// console. The host's file log keeps the console lines (run with --verbose).
(function () {
  'use strict';
  var query = new URLSearchParams(window.location.search);
  var socket = new WebSocket(query.get('wsUrl'));
  socket.addEventListener('open', function () {
    document.body.className = 'connected';
    console.info('channel open');
    var form = new FormData();
    form.append('name', 'MyRobot.kpr');
    form.append('file', new Blob(['robot bytes'], {type: 'application/octet-stream'}), 'MyRobot.kpr');
    fetch('/files/saveAs', {method: 'POST', body: form}).then(function (response) {
      console.info('saveAs ' + response.status);
    }, function (error) {
      console.info('saveAs failed ' + error);
    });
  });
})();
