# shellcheck shell=sh
# The host's side of the release tests: a test CA with a certificate for 127.0.0.1, and nginx
# serving $work/www (set by run.sh) over HTTP and HTTPS (the chroots share the host's network).
# shellcheck disable=SC2154

make_ca() {
    ca_dir="$work/ca" key="-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2"
    # shellcheck disable=SC2086
    mkdir "$ca_dir" && openssl req -x509 $key -subj "/CN=Velmor release test CA" \
        -keyout "$ca_dir/ca.key" -out "$ca_dir/ca.pem" 2>/dev/null &&
        openssl req -x509 $key -subj /CN=127.0.0.1 -CA "$ca_dir/ca.pem" -CAkey "$ca_dir/ca.key" \
            -addext basicConstraints=CA:FALSE -addext extendedKeyUsage=serverAuth \
            -addext subjectAltName=IP:127.0.0.1 -keyout "$ca_dir/server.key" \
            -out "$ca_dir/server.pem" 2>/dev/null
}

# The test CA goes at the end of a system's CA bundle, after this line; from it on is ours.
ca_marker="# velmor-release-test-ca"
add_ca() {
    remove_ca "$1" && { echo "$ca_marker" && cat "$ca_dir/ca.pem"; } >>"$1"
}
remove_ca() {
    sed -i "/^$ca_marker\$/,\$d" "$1"
}

# start_server: nginx in the foreground as a child of this shell, on random ports (a taken one
# makes it fail, and it is tried again); ready once it has written its pid file, which it does
# after opening its sockets.
start_server() {
    prefix="$work/nginx"
    mkdir -p "$prefix/logs" "$work/www"
    for attempt in 1 2 3 4 5; do
        # shellcheck disable=SC2046
        set -- $(od -An -N4 -tu2 /dev/urandom)
        http_port=$((20000 + $1 % 20000)) https_port=$((40000 + $2 % 20000))
        cat >"$prefix/nginx.conf" <<EOF_CONF
user root root;
pid nginx.pid;
error_log logs/error.log;
events {}
http {
    default_type application/octet-stream;
    log_format qz escape=none '\$status \$request_uri \$sent_http_etag';
    access_log logs/access.log qz;
    root $work/www;
    server {
        listen 127.0.0.1:$http_port;
        listen 127.0.0.1:$https_port ssl;
        ssl_certificate $ca_dir/server.pem;
        ssl_certificate_key $ca_dir/server.key;
        # Trickled, so that the download window has time to be seen.
        location /slow/ { limit_rate 64k; }
    }
}
EOF_CONF
        rm -f "$prefix/nginx.pid"
        nginx -e "$prefix/logs/error.log" -p "$prefix/" -c "$prefix/nginx.conf" -g "daemon off;" &
        server=$!
        wait_for 5 server_settled && [ -s "$prefix/nginx.pid" ] && return 0
        stop_server
    done
    echo "nginx did not start ($attempt attempts):" >&2
    tail -n 3 "$prefix/logs/error.log" >&2
    return 1
}
server_settled() {
    [ "$(cat "$prefix/nginx.pid" 2>/dev/null)" = "$server" ] || ! kill -0 "$server" 2>/dev/null
}
stop_server() {
    [ -z "${server:-}" ] || { kill -TERM "$server" && wait "$server"; } 2>/dev/null
    server=""
}

# log_since MARK (a count of lines from log_mark): the requests since, one a line:
# status uri etag.
log_mark() { wc -l <"$work/nginx/logs/access.log"; }
log_since() { tail -n "+$(($1 + 1))" "$work/nginx/logs/access.log"; }
