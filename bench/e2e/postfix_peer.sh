#!/bin/sh
# Postfix as the end-to-end benchmark's peer, in a root of its own.
#
#   postfix_peer.sh prepare ROOT PORT OWNER [DEB]
#       Outside, as the invoking user. Extracts the Debian package (DEB, or
#       one fetched with `apt-get download postfix`) into ROOT/tree, never
#       installing it, and writes a configuration under ROOT/etc that keeps
#       everything (queue, data, log, mail) under ROOT: 127.0.0.1:PORT only,
#       Maildir delivery for user0..user9@localhost through the virtual
#       agent, no local delivery, no DNS, no chroot, no syslog. OWNER
#       ("uid:gid", or "-") is who the whole root is handed to, so that the
#       namespace's root owns it.
#   postfix_peer.sh start ROOT
#       Inside the benchmark's user namespace, as that namespace's root
#       (an unprivileged uid outside), with ROOT/etc/passwd and
#       ROOT/etc/group mounted over /etc/passwd and /etc/group: makes the
#       queue and mail directories and becomes master, in the foreground.
#
# Durability stays at Postfix's defaults (queue files are synced before the
# 250, the virtual agent syncs each Maildir file).
set -eu

mode=${1:-}
root=${2:-}
[ -n "$root" ] || { echo "usage: postfix_peer.sh prepare ROOT PORT OWNER [DEB] | start ROOT" >&2; exit 64; }
tree=$root/tree
etc=$root/etc

if [ "$mode" = prepare ]; then
    port=$3
    owner=$4
    deb=${5:-}
    mkdir -p "$root/deb" "$tree" "$etc" "$root/queue" "$root/data" "$root/log" "$root/mail"
    if [ -z "$deb" ]; then
        # The sandbox user cannot write into a private temporary directory.
        (cd "$root/deb" && apt-get -q -o APT::Sandbox::User=root download postfix) >&2
        deb=$(ls "$root"/deb/postfix_*.deb)
    fi
    dpkg-deb -x "$deb" "$tree"
    dpkg-deb -f "$deb" Version > "$root/version"
    # Library dependencies only; the package itself is never installed.
    missing=$(LD_LIBRARY_PATH=$tree/usr/lib/postfix ldd "$tree"/usr/lib/postfix/sbin/* "$tree"/usr/sbin/postconf \
        2>/dev/null | awk '/not found/ { print $1 }' | sort -u)
    if [ -n "$missing" ]; then
        libs=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed -n 's/^ *\(lib[^ ]*\).*/\1/p')
        echo "postfix_peer: missing libraries ($missing); installing $libs" >&2
        apt-get install -y --no-install-recommends $libs >&2
    fi

    # Inside the namespace: postfix (101) owns the queue, vmail (1000) the
    # mailboxes, postdrop is the setgid group; nobody for default_privs.
    cat > "$etc/passwd" <<EOF
root:x:0:0:root:/root:/bin/sh
postfix:x:101:101:postfix:/nonexistent:/usr/sbin/nologin
vmail:x:1000:1000:vmail:/nonexistent:/usr/sbin/nologin
nobody:x:65534:65534:nobody:/nonexistent:/usr/sbin/nologin
EOF
    cat > "$etc/group" <<EOF
root:x:0:
postfix:x:101:
postdrop:x:102:
vmail:x:1000:
nogroup:x:65534:
EOF
    : > "$etc/vmailbox"
    for u in 0 1 2 3 4 5 6 7 8 9; do
        echo "user$u@localhost user$u/" >> "$etc/vmailbox"
    done
    cp "$tree/usr/share/postfix/dynamicmaps.cf" "$etc/dynamicmaps.cf"
    mkdir -p "$etc/dynamicmaps.cf.d" "$etc/postfix-files.d"
    cp "$tree/etc/postfix/postfix-files" "$etc/postfix-files"
    cat > "$etc/main.cf" <<EOF
compatibility_level = 3.6
queue_directory = $root/queue
data_directory = $root/data
daemon_directory = $tree/usr/lib/postfix/sbin
command_directory = $tree/usr/sbin
shlib_directory = $tree/usr/lib/postfix
meta_directory = $etc
mail_owner = postfix
setgid_group = postdrop
default_privs = nobody
myhostname = bench.test
mydomain = bench.test
myorigin = bench.test
mydestination =
local_transport = error:local delivery is disabled
local_recipient_maps =
alias_maps =
alias_database =
relay_domains =
mynetworks = 127.0.0.0/8
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
smtp_host_lookup = native
smtp_dns_support_level = disabled
biff = no
append_dot_mydomain = no
virtual_mailbox_domains = localhost
virtual_mailbox_maps = texthash:$etc/vmailbox
virtual_mailbox_base = $root/mail
virtual_minimum_uid = 100
virtual_uid_maps = static:1000
virtual_gid_maps = static:1000
virtual_mailbox_limit = 0
maillog_file = $root/log/maillog
maillog_file_prefixes = $root/log
import_environment = MAIL_CONFIG MAIL_DEBUG MAIL_LOGTAG TZ LANG=C LD_LIBRARY_PATH POSTLOG_SERVICE POSTLOG_HOSTNAME
EOF
    # The services this work needs; none chrooted.
    cat > "$etc/master.cf" <<EOF
127.0.0.1:$port inet n - n - - smtpd
pickup    unix  n       -       n       60      1       pickup
cleanup   unix  n       -       n       -       0       cleanup
qmgr      unix  n       -       n       300     1       qmgr
rewrite   unix  -       -       n       -       -       trivial-rewrite
bounce    unix  -       -       n       -       0       bounce
defer     unix  -       -       n       -       0       bounce
trace     unix  -       -       n       -       0       bounce
verify    unix  -       -       n       -       1       verify
flush     unix  n       -       n       1000?   0       flush
proxymap  unix  -       -       n       -       -       proxymap
proxywrite unix -       -       n       -       1       proxymap
smtp      unix  -       -       n       -       -       smtp
relay     unix  -       -       n       -       -       smtp
showq     unix  n       -       n       -       -       showq
error     unix  -       -       n       -       -       error
retry     unix  -       -       n       -       -       error
discard   unix  -       -       n       -       -       discard
virtual   unix  -       n       n       -       -       virtual
anvil     unix  -       -       n       -       1       anvil
scache    unix  -       -       n       -       1       scache
postlog   unix-dgram n  -       n       -       1       postlogd
EOF
    [ "$owner" = - ] || chown -R "$owner" "$root"
    exit 0
fi

if [ "$mode" = start ]; then
    q=$root/queue
    for d in active bounce corrupt defer deferred flush hold incoming private saved trace; do
        mkdir -p "$q/$d"
        chown postfix:root "$q/$d"
        chmod 700 "$q/$d"
    done
    mkdir -p "$q/public" "$q/maildrop" "$q/pid"
    chown postfix:postdrop "$q/public" "$q/maildrop"
    chmod 710 "$q/public"
    chmod 730 "$q/maildrop"
    chown root:root "$q" "$q/pid"
    chmod 755 "$q"
    chown postfix:postfix "$root/data"
    chmod 700 "$root/data"
    chown vmail:vmail "$root/mail"
    export LD_LIBRARY_PATH=$tree/usr/lib/postfix
    export MAIL_CONFIG=$etc
    exec "$tree/usr/lib/postfix/sbin/master" -c "$etc" -d
fi

echo "usage: postfix_peer.sh prepare ROOT PORT OWNER [DEB] | start ROOT" >&2
exit 64
