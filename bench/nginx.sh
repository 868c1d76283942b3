# The nginx both HTTP benchmarks measure against (bench/http_vs_nginx.sh, bench/download_vs_curl.sh).
# Sourced, not run. Sets $nginx to the program (or exits when it is missing) and offers:
#   free_port                         a free loopback port
#   start_nginx DIR ROOT PORT [CONF]  nginx on 127.0.0.1:PORT serving ROOT: one worker process,
#                                     sendfile on, no access log, running as the current user with
#                                     its files in DIR; CONF adds directives to the http block
#   stop_nginx DIR                    stops the one start_nginx started in DIR (if any)

nginx=$(command -v nginx || echo /usr/sbin/nginx)
[ -x "$nginx" ] || { echo "nginx is missing (scripts/install-deps.sh)" >&2; exit 1; }

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()'
}

start_nginx() {
  local dir=$1 root=$2 port=$3 extra=${4:-}
  mkdir -p "$dir"
  cat >"$dir/nginx.conf" <<CONF
user $(id -un) $(id -gn);
daemon on;
pid $dir/nginx.pid;
worker_processes 1;
error_log $dir/error.log error;
events { worker_connections 1024; }
http {
  access_log off;
  sendfile on;
  tcp_nopush on;
  default_type application/octet-stream;
  client_body_temp_path $dir/body;
  proxy_temp_path $dir/proxy;
  fastcgi_temp_path $dir/fastcgi;
  uwsgi_temp_path $dir/uwsgi;
  scgi_temp_path $dir/scgi;
  $extra
  server {
    listen 127.0.0.1:$port;
    root $root;
  }
}
CONF
  "$nginx" -p "$dir" -c "$dir/nginx.conf" -e "$dir/error.log"
  touch "$dir/started"
  # Ready once it answers (any status).
  for _ in $(seq 100); do
    curl -s -o /dev/null "http://127.0.0.1:$port/" && return 0
    sleep 0.05
  done
  echo "nginx did not start on port $port" >&2
  return 1
}

stop_nginx() {
  local dir=$1
  [ -f "$dir/started" ] || return 0
  "$nginx" -p "$dir" -c "$dir/nginx.conf" -e "$dir/error.log" -s stop 2>/dev/null || true
  rm -f "$dir/started"
}
