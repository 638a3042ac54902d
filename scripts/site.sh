#!/usr/bin/env bash
# Runs the gateway behind a real web server, with the sample engine behind it,
# all on 127.0.0.1 and all kept in one directory. Used by `make demo`, the
# end-to-end tests and the browser tests.
#
#   scripts/site.sh start DIR [lighttpd|apache|nginx|lighttpd-fastcgi|apache-fcgid|nginx-fastcgi]
#   scripts/site.sh stop DIR
#
# nginx runs the gateway through fcgiwrap, with the location block of
# docs/deploy-nginx.md as it stands there, but for this site's paths. The
# -fastcgi and -fcgid kinds run it as a FastCGI application, with the
# configuration of docs/deploy-fastcgi.md for that server in the same way
# (nginx: the processes started by the guide's spawn-fcgi command).
#
# start writes into DIR:
#   kavro3.reg          the gateway's settings (base key and the key "shop")
#   cgi-bin/gateway     a copy of the gateway (the web server's user must be
#                       able to reach it; a build tree may not be readable)
#   spool/              FilePath for uploads
#   lighttpd.conf, httpd.conf or nginx.conf, htdocs/, tmp/, run/, logs/
#   (engine.log, error.log, access.log, breakage.log (lighttpd: the CGI's
#   standard error), sanitizer.* if a sanitizer fired)
#   url                 http://127.0.0.1:PORT/shop/gateway
#   engine.pid engine.port server.pid server.port (fcgiwrap.pid,
#   spawn-fcgi.pid)
# and returns once the engine listens and the web server answers. DIR is
# made 755: started as root, the servers run the gateway as www-data, which
# must reach it (its parents too: a dir under /tmp does). On a failure start
# stops what it started.
# stop sends TERM to both (KILL after 10 s) and waits until they are gone.
#
# Environment:
#   KAVRO3_BUILD             build tree holding gateway and sample-engine (build)
#   KAVRO3_SITE_PORT         web server port (default: a free one; a port
#                            in use makes start fail)
#   KAVRO3_FILEMODE          FileMode (1)
#   KAVRO3_SYSDOWNPAGE       SysDownPage (unset: none)
#   KAVRO3_USER, KAVRO3_PASSWORD                UserName, UserPassword
#   KAVRO3_ENGINE_USER, KAVRO3_ENGINE_PASSWORD  the login the engine accepts
#   KAVRO3_NO_ENGINE=1       start no engine; ServerPort names a dead port
set -euo pipefail
shopt -u patsub_replacement 2>/dev/null || true

repo=$(cd "$(dirname "$0")/.." && pwd)
me=site.sh

die() {
  echo "$me: $*" >&2
  exit 1
}

usage() {
  echo "usage: $0 start DIR [lighttpd|apache|nginx|lighttpd-fastcgi|apache-fcgid|nginx-fastcgi] | stop DIR" >&2
  exit 2
}

# True while PID runs (as the program NAME, when given). A zombie counts as
# gone: nobody may be left to reap a server whose starter has exited.
alive() {
  local pid=$1 name=${2:-} stat comm
  [ -n "$pid" ] && [ -r "/proc/$pid/stat" ] || return 1
  stat=$(cat "/proc/$pid/stat" 2>/dev/null) || return 1
  comm=${stat#*(}
  comm=${comm%)*}
  case "${stat##*) }" in Z* | X*) return 1 ;; esac
  [ -z "$name" ] || [ "$comm" = "${name:0:15}" ]
}

# Stops the process whose PID FILE holds, if it is still the program NAME.
stop_one() {
  local file=$1 name=$2 pid i
  [ -f "$file" ] || return 0
  pid=$(cat "$file")
  [ "$name" != server ] || name=$(cat "/proc/$pid/comm" 2>/dev/null) || true
  case "$name" in lighttpd | apache2 | nginx | sample-engine | gateway) ;; *) rm -f "$file"; return 0 ;; esac
  if alive "$pid" "$name"; then
    kill -TERM "$pid" 2>/dev/null || true
    for ((i = 0; i < 100; i++)); do
      alive "$pid" "$name" || break
      sleep 0.1
    done
    if alive "$pid" "$name"; then
      echo "$me: $name ($pid) ignored TERM, killing it" >&2
      kill -KILL "$pid" 2>/dev/null || true
      for ((i = 0; i < 50; i++)); do
        alive "$pid" "$name" || break
        sleep 0.1
      done
    fi
  fi
  rm -f "$file"
}

# fcgiwrap's children outlive their parent and ignore TERM: the whole process
# group that setsid made for it goes, KILL after a grace period.
stop_fcgiwrap() {
  local file=$1 pid i
  [ -f "$file" ] || return 0
  pid=$(cat "$file")
  if [ -n "$pid" ] && kill -0 -- "-$pid" 2>/dev/null; then
    kill -TERM -- "-$pid" 2>/dev/null || true
    for ((i = 0; i < 10; i++)); do
      kill -0 -- "-$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL -- "-$pid" 2>/dev/null || true
  fi
  rm -f "$file"
}

# The location block of the nginx guide, with this site's paths for the
# gateway, the settings file and fcgiwrap's socket, and the sanitizers'
# options (fcgiwrap passes the CGI nothing but nginx's parameters).
nginx_location() {
  local dir=$1 block
  block=$(sed -n '/^# KAVRO3 gateway, mounted at \/shop\/gateway and run by fcgiwrap/,/^}/p' "$repo/docs/deploy-nginx.md")
  [[ $block == *"fastcgi_pass unix:/run/fcgiwrap.socket;"* ]] || die "no location block in docs/deploy-nginx.md"
  block=${block//\/usr\/lib\/kavro3\/gateway/$dir/cgi-bin/gateway}
  block=${block//\/etc\/kavro3\/kavro3.reg/$dir/kavro3.reg}
  block=${block//unix:\/run\/fcgiwrap.socket/unix:$dir/run/fcgi/fcgiwrap.socket}
  printf '%s\n' "${block%\}}"
  printf '    fastcgi_param ASAN_OPTIONS "log_path=%s/logs/sanitizer";\n' "$dir"
  printf '    fastcgi_param UBSAN_OPTIONS "print_stacktrace=1:log_path=%s/logs/sanitizer";\n}\n' "$dir"
}

# A block of docs/deploy-fastcgi.md: from the line FIRST to the first line
# that matches the pattern LAST after it.
fastcgi_guide_block() {
  local block
  block=$(awk -v first="$1" -v last="$2" '$0 == first { on = 1 } on { print } on && $0 ~ last { exit }' \
    "$repo/docs/deploy-fastcgi.md")
  [ -n "$block" ] || die "no block '$1' in docs/deploy-fastcgi.md"
  printf '%s\n' "$block"
}

# The guide's configuration for SERVER with this site's paths, and the
# sanitizers' options in the processes' environment.
fastcgi_config() {
  local dir=$1 kind=$2 block
  case "$kind" in
    lighttpd-fastcgi)
      block=$(fastcgi_guide_block '# KAVRO3 gateway as a FastCGI application under lighttpd, mounted at /shop/gateway.' '^\)$')
      block=${block//\/usr\/lib\/kavro3\/gateway/$dir/cgi-bin/gateway}
      block=${block//\/run\/lighttpd\/kavro3-gateway.socket/$dir/run/fcgi/gateway.socket}
      block=${block//\"\/etc\/kavro3\/kavro3.reg\"/\"$dir/kavro3.reg\", \"ASAN_OPTIONS\" => \"log_path=$dir/logs/sanitizer\", \"UBSAN_OPTIONS\" => \"print_stacktrace=1:log_path=$dir/logs/sanitizer\"}
      [[ $block == *"$dir/kavro3.reg"* ]] || die "no KAVRO3_REGISTRY in the guide's lighttpd block"
      ;;
    apache-fcgid)
      block=$(fastcgi_guide_block '# KAVRO3 gateway as a FastCGI application under mod_fcgid, mounted at /shop/gateway.' '^</Directory>')
      block=${block//\/usr\/lib\/kavro3/$dir/cgi-bin}
      block=${block//\/etc\/kavro3\/kavro3.reg/$dir/kavro3.reg}
      block+=$'\n'"FcgidInitialEnv ASAN_OPTIONS log_path=$dir/logs/sanitizer"
      block+=$'\n'"FcgidInitialEnv UBSAN_OPTIONS print_stacktrace=1:log_path=$dir/logs/sanitizer"
      ;;
    nginx-fastcgi)
      block=$(fastcgi_guide_block '# KAVRO3 gateway as a FastCGI application, mounted at /shop/gateway.' '^}')
      block=${block//unix:\/run\/kavro3\/gateway.socket/unix:$dir/run/fcgi/gateway.socket}
      ;;
  esac
  [[ $block == *"$dir/"* ]] || die "the guide's $kind block names none of its paths"
  printf '%s\n' "$block"
}

# Starts the gateway's processes with the spawn-fcgi command of the guide's
# systemd unit (its Environment= line too), for this site.
start_spawn_fcgi() {
  local dir=$1 web_user=$2 web_group=$3 unit command environment
  unit=$(fastcgi_guide_block '# KAVRO3 gateway as a FastCGI application for nginx, started by spawn-fcgi.' '^WantedBy=')
  command=$(sed -n 's/^ExecStart=//p' <<<"$unit")
  environment=$(sed -n 's/^Environment=//p' <<<"$unit")
  [[ $command == /usr/bin/spawn-fcgi\ * && $environment == KAVRO3_REGISTRY=* ]] ||
    die "no spawn-fcgi ExecStart= and Environment= in the guide's unit"
  command=${command//\/run\/kavro3\/gateway.socket/$dir/run/fcgi/gateway.socket}
  command=${command//\/usr\/lib\/kavro3\/gateway/$dir/cgi-bin/gateway}
  environment=${environment//\/etc\/kavro3\/kavro3.reg/$dir/kavro3.reg}
  if [ -n "$web_user" ]; then
    command=${command//www-data/$web_user}
  else
    # Not root: the processes run as we do.
    command=${command// -U www-data -G www-data -u www-data -g www-data/}
  fi
  command=${command/ -- / -P $dir/spawn-fcgi.pid -- }
  # shellcheck disable=SC2086 # the guide's command line, split as systemd splits it
  env "$environment" "ASAN_OPTIONS=log_path=$dir/logs/sanitizer" \
    "UBSAN_OPTIONS=print_stacktrace=1:log_path=$dir/logs/sanitizer" $command \
    </dev/null >"$dir/logs/spawn-fcgi.out" 2>&1 ||
    die "spawn-fcgi failed: $(cat "$dir/logs/spawn-fcgi.out")"
}

# The processes spawn-fcgi started, by the PIDs it wrote: TERM, KILL after a
# grace period.
stop_spawned() {
  local file=$1 pid i
  [ -f "$file" ] || return 0
  while read -r pid; do
    printf '%s\n' "$pid" >"$file.one"
    stop_one "$file.one" gateway
  done < <(cat "$file"; echo)
  rm -f "$file" "$file.one"
}

listening() {
  (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

# free_port LOW COUNT: a port in LOW..LOW+COUNT-1 that nothing listens on
# now. Both ranges lie below the kernel's ephemeral ports (32768 up).
free_port() {
  local low=$1 count=$2 port i
  for ((i = 0; i < 200; i++)); do
    port=$((low + (RANDOM * 32768 + RANDOM) % count))
    listening "$port" || {
      echo "$port"
      return 0
    }
  done
  die "no free port found"
}

# Reads DIR/htdocs/site-check.txt over HTTP: proves that our server, not
# something else on the port, answers.
answers() {
  local port=$1 token=$2 reply
  reply=$(timeout 3 bash -c '
    exec 3<>"/dev/tcp/127.0.0.1/$1" || exit 1
    printf "GET /site-check.txt HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n" >&3
    cat <&3' _ "$port" 2>/dev/null) || return 1
  [[ $reply == "HTTP/1."*" 200 "*"$token"* ]]
}

# A .reg text value: only \ and " are escaped.
reg_text() {
  local v=$1
  v=${v//\\/\\\\}
  v=${v//\"/\\\"}
  printf '"%s"' "$v"
}

fill() {
  local text
  text=$(<"$1")
  shift
  while [ $# -ge 2 ]; do
    text=${text//"$1"/"$2"}
    shift 2
  done
  printf '%s\n' "$text"
}

start() {
  local dir=$1 kind=${2:-lighttpd}
  case "$kind" in lighttpd | apache | nginx | lighttpd-fastcgi | apache-fcgid | nginx-fastcgi) ;; *) usage ;; esac

  local build=${KAVRO3_BUILD:-build}
  [[ $build == /* ]] || build=$repo/$build
  [ -x "$build/gateway" ] || die "$build/gateway not found: build first (make build)"
  [ -x "$build/sample-engine" ] || die "$build/sample-engine not found: build first (make build)"
  local server_bin
  case "$kind" in lighttpd*) server_bin=lighttpd ;; apache*) server_bin=apache2 ;; *) server_bin=nginx ;; esac
  command -v "$server_bin" >/dev/null 2>&1 || [ -x "/usr/sbin/$server_bin" ] ||
    die "$server_bin is not installed (scripts/install-deps.sh $server_bin)"
  if [ "$kind" = nginx ]; then
    command -v fcgiwrap >/dev/null 2>&1 || [ -x /usr/sbin/fcgiwrap ] ||
      die "fcgiwrap is not installed (scripts/install-deps.sh fcgiwrap)"
  fi
  if [ "$kind" = nginx-fastcgi ]; then
    [ -x /usr/bin/spawn-fcgi ] || die "spawn-fcgi is not installed (scripts/install-deps.sh spawn-fcgi)"
  fi
  if [ "$kind" = apache-fcgid ]; then
    [ -f /usr/lib/apache2/modules/mod_fcgid.so ] ||
      die "mod_fcgid is not installed (scripts/install-deps.sh libapache2-mod-fcgid)"
  fi
  export PATH=$PATH:/usr/sbin:/sbin

  mkdir -p "$dir"
  dir=$(cd "$dir" && pwd)
  # The paths go into config files unquoted by anything but double quotes.
  case "$dir" in *[[:space:]\"\\\'\$]*) die "DIR must not hold blanks, quotes, \\ or \$: $dir" ;; esac
  if [ -f "$dir/server.pid" ] || [ -f "$dir/engine.pid" ]; then
    die "$dir already holds a running site (run: $0 stop $dir)"
  fi

  mkdir -p "$dir"/{cgi-bin,spool,logs,htdocs,tmp,run,run/fcgi}
  cp "$build/gateway" "$dir/cgi-bin/gateway"
  chmod 755 "$dir" "$dir/cgi-bin" "$dir/cgi-bin/gateway" "$dir/htdocs"
  local token
  token="kavro3-site-$$-$RANDOM$RANDOM"
  printf '%s\n' "$token" >"$dir/htdocs/site-check.txt"

  # Started as root, both servers run their CGIs as an unprivileged user:
  # it must reach DIR and write the spool and the sanitizer logs.
  local user_lines="" web_user="" web_group=""
  if [ "$(id -u)" -eq 0 ]; then
    if getent passwd www-data >/dev/null; then
      web_user=www-data web_group=www-data
    else
      web_user=nobody web_group=$(id -gn nobody)
    fi
    chown "$web_user:$web_group" "$dir/spool" "$dir/logs" "$dir/tmp" "$dir/run/fcgi"
    if command -v runuser >/dev/null 2>&1 &&
      ! runuser -u "$web_user" -- test -x "$dir/cgi-bin/gateway"; then
      die "user $web_user cannot reach $dir: use a directory under /tmp (set TMPDIR)"
    fi
    case "$kind" in
      lighttpd*) user_lines="server.username = \"$web_user\""$'\n'"server.groupname = \"$web_group\"" ;;
      apache*) user_lines="User $web_user"$'\n'"Group $web_group" ;;
      nginx*) user_lines="user $web_user $web_group;" ;;
    esac
  fi

  # Undo a half-made start: nothing may outlive a failure.
  site_dir=$dir
  trap 'stop "$site_dir"' EXIT

  local engine_port
  if [ "${KAVRO3_NO_ENGINE:-}" = 1 ]; then
    # Web servers take their ports from another range, so that no site
    # started meanwhile comes to listen here.
    engine_port=$(free_port 12000 8000)
  else
    local engine_args=(--address 127.0.0.1 --port 0)
    if [ -n "${KAVRO3_ENGINE_USER:-}" ]; then
      engine_args+=(--user "$KAVRO3_ENGINE_USER" --password "${KAVRO3_ENGINE_PASSWORD:-}")
    fi
    # setsid: a Ctrl-C in the demo's terminal must not reach the servers
    # before the demo stops them itself.
    setsid "$build/sample-engine" "${engine_args[@]}" </dev/null >/dev/null 2>"$dir/logs/engine.log" &
    echo $! >"$dir/engine.pid"
    local line="" i
    for ((i = 0; i < 200; i++)); do
      line=$(head -n 1 "$dir/logs/engine.log" 2>/dev/null || true)
      [[ $line == "sample-engine: listening on "*:* ]] && break
      alive "$(cat "$dir/engine.pid")" || break
      sleep 0.05
    done
    [[ $line == "sample-engine: listening on "*:* ]] ||
      die "the sample engine did not start; $dir/logs/engine.log says: $(cat "$dir/logs/engine.log")"
    engine_port=${line##*:}
  fi
  echo "$engine_port" >"$dir/engine.port"

  {
    echo 'Windows Registry Editor Version 5.00'
    echo
    echo '[HKEY_LOCAL_MACHINE\SOFTWARE\Halvorn\KAVRO3]'
    echo "\"ServerURL\"=\"127.0.0.1\""
    echo "\"ServerPort\"=\"$engine_port\""
    echo
    echo '; SCRIPT_NAME /shop/gateway selects this key.'
    echo '[HKEY_LOCAL_MACHINE\SOFTWARE\Halvorn\KAVRO3\shop]'
    echo "\"ServerURL\"=\"127.0.0.1\""
    echo "\"ServerPort\"=\"$engine_port\""
    echo "\"ApplicationName\"=\"shop\""
    echo "\"FilePath\"=$(reg_text "$dir/spool/")"
    echo "\"FileMode\"=$(reg_text "${KAVRO3_FILEMODE:-1}")"
    [ -z "${KAVRO3_SYSDOWNPAGE+set}" ] || echo "\"SysDownPage\"=$(reg_text "$KAVRO3_SYSDOWNPAGE")"
    [ -z "${KAVRO3_USER+set}" ] || echo "\"UserName\"=$(reg_text "$KAVRO3_USER")"
    [ -z "${KAVRO3_PASSWORD+set}" ] || echo "\"UserPassword\"=$(reg_text "$KAVRO3_PASSWORD")"
  } >"$dir/kavro3.reg"
  chmod 644 "$dir/kavro3.reg"

  local mime_types=/etc/mime.types
  [ -r "$mime_types" ] || { mime_types=$dir/mime.types; : >"$mime_types"; }

  if [ "$kind" = nginx ]; then
    # fcgiwrap as Debian's unit runs it (-f: the CGI's standard error to
    # nginx's error log), as the web server's user when started as root.
    local as_user=()
    [ -z "$web_user" ] || as_user=(setpriv "--reuid=$web_user" "--regid=$web_group" --clear-groups --)
    setsid "${as_user[@]}" fcgiwrap -f -c 4 -s "unix:$dir/run/fcgi/fcgiwrap.socket" </dev/null \
      >"$dir/logs/fcgiwrap.out" 2>&1 &
    echo $! >"$dir/fcgiwrap.pid"
    for ((i = 0; i < 100; i++)); do
      [ -S "$dir/run/fcgi/fcgiwrap.socket" ] && break
      sleep 0.05
    done
    [ -S "$dir/run/fcgi/fcgiwrap.socket" ] || die "fcgiwrap did not start: $(cat "$dir/logs/fcgiwrap.out")"
    # `include fastcgi_params` is read next to nginx.conf.
    cp /etc/nginx/fastcgi_params /etc/nginx/mime.types "$dir/"
    nginx_location "$dir" >"$dir/location.conf"
  fi
  case "$kind" in
    lighttpd-fastcgi) fastcgi_config "$dir" "$kind" >"$dir/fastcgi.conf" ;;
    apache-fcgid) fastcgi_config "$dir" "$kind" >"$dir/fcgid.conf" ;;
    nginx-fastcgi)
      start_spawn_fcgi "$dir" "$web_user" "$web_group"
      cp /etc/nginx/fastcgi_params /etc/nginx/mime.types "$dir/"
      fastcgi_config "$dir" "$kind" >"$dir/location.conf"
      ;;
  esac

  local port fixed_port=${KAVRO3_SITE_PORT:-} attempt conf pid ready
  for ((attempt = 0; attempt < 10; attempt++)); do
    port=${fixed_port:-$(free_port 20000 12000)}
    if [ -n "$fixed_port" ] && listening "$port"; then
      die "port $port on 127.0.0.1 is already in use"
    fi
    rm -f "$dir/logs/error.log"
    if [ "$server_bin" = lighttpd ]; then
      conf=$dir/lighttpd.conf
      fill "$repo/scripts/web/$kind.conf.in" @DIR@ "$dir" @PORT@ "$port" \
        @USER_LINES@ "$user_lines" >"$conf"
      setsid lighttpd -D -f "$conf" </dev/null >"$dir/logs/server.out" 2>&1 &
    elif [ "$server_bin" = nginx ]; then
      conf=$dir/nginx.conf
      fill "$repo/scripts/web/nginx.conf.in" @DIR@ "$dir" @PORT@ "$port" \
        @USER_LINES@ "$user_lines" >"$conf"
      setsid nginx -p "$dir/" -c "$conf" -e "$dir/logs/error.log" -g 'daemon off;' </dev/null \
        >"$dir/logs/server.out" 2>&1 &
    else
      conf=$dir/httpd.conf
      local template=httpd
      [ "$kind" = apache ] || template=httpd-fcgid
      fill "$repo/scripts/web/$template.conf.in" @DIR@ "$dir" @PORT@ "$port" \
        @USER_LINES@ "$user_lines" @MODULES@ /usr/lib/apache2/modules \
        @MIME_TYPES@ "$mime_types" >"$conf"
      setsid apache2 -DFOREGROUND -f "$conf" </dev/null >"$dir/logs/server.out" 2>&1 &
    fi
    pid=$!
    echo "$pid" >"$dir/server.pid"
    ready=""
    for ((i = 0; i < 150; i++)); do
      if ! alive "$pid"; then break; fi
      if answers "$port" "$token"; then
        ready=1
        break
      fi
      sleep 0.1
    done
    [ -n "$ready" ] && break
    stop_one "$dir/server.pid" "$server_bin"
    if [ -z "$fixed_port" ] &&
      grep -qsiE 'address already in use|could not bind' "$dir/logs/error.log" "$dir/logs/server.out"; then
      continue # lost a race for the port: take another
    fi
    die "$server_bin did not start; see $dir/logs/error.log and $dir/logs/server.out:
$(cat "$dir/logs/error.log" "$dir/logs/server.out" 2>/dev/null | tail -n 20)"
  done
  [ -n "$ready" ] || die "$server_bin found no free port"

  echo "$port" >"$dir/server.port"
  echo "http://127.0.0.1:$port/shop/gateway" >"$dir/url"
  trap - EXIT
}

stop() {
  local dir=$1
  [ -d "$dir" ] || return 0
  # The web server first: a request in flight still reaches the engine.
  stop_one "$dir/server.pid" server
  stop_fcgiwrap "$dir/fcgiwrap.pid"
  stop_spawned "$dir/spawn-fcgi.pid"
  stop_one "$dir/engine.pid" sample-engine
}

case "${1:-}" in
  start)
    [ $# -ge 2 ] && [ $# -le 3 ] || usage
    start "$2" "${3:-lighttpd}"
    ;;
  stop)
    [ $# -eq 2 ] || usage
    stop "$2"
    ;;
  *) usage ;;
esac
