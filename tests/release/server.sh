# shellcheck shell=sh
# The host's side of the release tests: a test CA and a server certificate for 127.0.0.1, and nginx
# serving $work/www over HTTP and HTTPS on 127.0.0.1 (the chroots share the host's network).
# Sourced by run.sh, which sets $work.
# shellcheck disable=SC2154

make_ca() {
    ca_dir="$work/ca"
    mkdir "$ca_dir" &&
        openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
            -subj "/CN=Velmor release test CA" -keyout "$ca_dir/ca.key" -out "$ca_dir/ca.pem" \
            2>/dev/null &&
        openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
            -subj "/CN=127.0.0.1" -keyout "$ca_dir/server.key" -out "$ca_dir/server.csr" \
            2>/dev/null &&
        printf '%s\n' "basicConstraints=CA:FALSE" "extendedKeyUsage=serverAuth" \
            "subjectAltName=IP:127.0.0.1" >"$ca_dir/server.ext" &&
        openssl x509 -req -in "$ca_dir/server.csr" -CA "$ca_dir/ca.pem" -CAkey "$ca_dir/ca.key" \
            -set_serial 1 -days 2 -extfile "$ca_dir/server.ext" -out "$ca_dir/server.pem" \
            2>/dev/null
}

# A line before the test CA in a system's bundle: everything from it on is ours to remove.
ca_marker="# velmor-release-test-ca"

# add_ca BUNDLE / remove_ca BUNDLE: the test CA at the end of a system's CA bundle, and gone again.
add_ca() {
    remove_ca "$1" && { echo "$ca_marker" && cat "$ca_dir/ca.pem"; } >>"$1"
}
remove_ca() {
    if grep -qx "$ca_marker" "$1"; then
        sed -i "/^$ca_marker\$/,\$d" "$1"
    fi
}

# random_port: one in 20000-59999; a taken one makes nginx fail, and start_server tries again.
random_port() {
    echo $((20000 + $(od -An -N2 -tu2 /dev/urandom | tr -d ' ') % 40000))
}

write_nginx_conf() {
    cat <<EOF
user root root;
worker_processes 1;
pid nginx.pid;
error_log logs/error.log info;
events { worker_connections 64; }
http {
    default_type application/octet-stream;
    log_format qz escape=none '\$status \$body_bytes_sent \$server_port \$request_uri'
        ' "\$http_if_none_match" \$sent_http_etag';
    access_log logs/access.log qz;
    client_body_temp_path temp/client_body;
    proxy_temp_path temp/proxy;
    fastcgi_temp_path temp/fastcgi;
    uwsgi_temp_path temp/uwsgi;
    scgi_temp_path temp/scgi;
    keepalive_timeout 5s;
    root $work/www;
    server {
        listen 127.0.0.1:$http_port;
        # Trickled, so that the download window has time to be seen.
        location /slow/ { limit_rate 64k; }
    }
    server {
        listen 127.0.0.1:$https_port ssl;
        ssl_certificate $ca_dir/server.pem;
        ssl_certificate_key $ca_dir/server.key;
    }
}
EOF
}

# start_server: nginx in the foreground as a child of this shell; sets $server, $http_port,
# $https_port. Ready once it has written its pid file, which it does after opening its sockets.
start_server() {
    prefix="$work/nginx"
    mkdir -p "$prefix/logs" "$prefix/temp" "$work/www"
    for attempt in 1 2 3 4 5; do
        http_port=$(random_port) https_port=$(random_port)
        [ "$http_port" != "$https_port" ] || continue
        write_nginx_conf >"$prefix/nginx.conf"
        rm -f "$prefix/nginx.pid"
        nginx -e "$prefix/logs/error.log" -p "$prefix/" -c "$prefix/nginx.conf" -g "daemon off;" &
        server=$!
        deadline=$(($(date +%s) + 5))
        while [ "$(date +%s)" -le "$deadline" ] && kill -0 "$server" 2>/dev/null; do
            [ "$(cat "$prefix/nginx.pid" 2>/dev/null)" = "$server" ] && return 0
            sleep 0.05
        done
        stop_server
        echo "nginx did not start (attempt $attempt):" >&2
        tail -n 3 "$prefix/logs/error.log" >&2
    done
    return 1
}

stop_server() {
    [ -n "${server:-}" ] || return 0
    kill -TERM "$server" 2>/dev/null || true
    wait "$server" 2>/dev/null || true
    server=""
}

# log_mark / log_since MARK: the access log's lines after a mark, one request each:
# status bytes port uri "if-none-match" etag.
log_mark() {
    wc -l <"$work/nginx/logs/access.log" 2>/dev/null || echo 0
}
log_since() {
    tail -n "+$(($1 + 1))" "$work/nginx/logs/access.log" 2>/dev/null
}
