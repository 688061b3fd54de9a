# Real mail clients on alice's mailbox (password secret12) of an IMAP server
# on 127.0.0.1, whose Inbox holds three messages with the subjects "one",
# "two" and "three". What the clients did is looked at through imaplib.
# Prints "ok NAME" or "FAIL NAME: why" per check and exits 1 on any failure,
# 77 when the client is not installed. Every client runs with a deadline
# and is killed past it.
#
#   imap_clients.py mbsync  IMAP_PORT WORKDIR
#   imap_clients.py neomutt IMAP_PORT WORKDIR CERTIFICATE_FILE IMAPS_PORT
#   imap_clients.py pop3    IMAP_PORT WORKDIR POP3_PORT
import imaplib, os, pty, poplib, re, select, shutil, signal, subprocess, sys, time

scenario, port, work = sys.argv[1], int(sys.argv[2]), sys.argv[3]
failed = False


def check(name, condition, detail=''):
    global failed
    failed |= not condition
    print(('ok ' + name) if condition else ('FAIL %s: %r' % (name, detail)), flush=True)


def imap():
    m = imaplib.IMAP4('127.0.0.1', port, timeout=30)
    m.login('alice', 'secret12')
    return m


def by_subject(m, folder='INBOX'):
    # subject -> (uid, flags) of the folder's messages.
    typ, data = m.select(folder)
    if typ != 'OK':
        return {}
    typ, data = m.uid('FETCH', '1:*', '(FLAGS BODY.PEEK[HEADER.FIELDS (SUBJECT)])')
    found = {}
    for item in data:
        if isinstance(item, tuple):
            subject = item[1].decode().strip().partition(':')[2].strip()
            uid = int(re.search(rb'UID (\d+)', item[0]).group(1))
            flags = re.search(rb'FLAGS \(([^)]*)\)', item[0])
            found[subject] = (uid, flags.group(1).decode().split() if flags else [])
    return found


def need(program):
    if shutil.which(program) is None:
        print('%s is not installed' % program)
        sys.exit(77)


def run(argv, seconds=60):
    try:
        r = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=seconds)
        return r.returncode, r.stdout.decode(errors='replace')
    except subprocess.TimeoutExpired:
        return -1, 'timed out after %d s' % seconds


def maildir_files(folder):
    return sorted(os.path.join(folder, d, f) for d in ('cur', 'new') for f in os.listdir(os.path.join(folder, d)))


def mbsync():
    need('mbsync')
    local = os.path.join(work, 'mail')
    os.makedirs(local, exist_ok=True)
    rc = os.path.join(work, 'mbsyncrc')
    open(rc, 'w').write('''IMAPAccount velmora
Host 127.0.0.1
Port %d
User alice
Pass secret12
SSLType None
AuthMechs LOGIN

IMAPStore remote
Account velmora

MaildirStore local
Path %s/
Inbox %s/INBOX
SubFolders Verbatim

Channel sync
Far :remote:
Near :local:
Patterns *
Create Both
Remove Both
Expunge Both
SyncState *
''' % (port, local, local))
    sync = lambda: run(['mbsync', '-c', rc, '-a'])
    status, output = sync()
    check('first sync', status == 0, output)
    inbox = os.path.join(local, 'INBOX')
    files = maildir_files(inbox)
    check('downloaded three', len(files) == 3, files)
    # What was downloaded, without the header line mbsync adds to find its copy again.
    for i, f in enumerate(files):
        text = re.sub(rb'(?m)^X-TUID: [^\n]*\n', b'', open(f, 'rb').read(), count=1)
        open(os.path.join(work, 'downloaded-%d' % i), 'wb').write(text)
    subjects = {}
    for f in files:
        subject = re.search(rb'^Subject: (.*)$', open(f, 'rb').read(), re.M).group(1).strip().decode()
        subjects[subject] = f

    # Locally: "one" flagged, "three" moved to a new folder Work. On the
    # server: "two" flagged.
    one = subjects['one']
    os.rename(one, one + 'F' if ':2,' in one else one + ':2,F')
    work_dir = os.path.join(local, 'Work')
    for d in ('cur', 'new', 'tmp'):
        os.makedirs(os.path.join(work_dir, d))
    three = subjects['three']
    os.rename(three, os.path.join(work_dir, 'cur', re.sub(r',U=\d+', '', os.path.basename(three))))
    m = imap()
    uids = by_subject(m)
    m.uid('STORE', str(uids['two'][0]), '+FLAGS', '(\\Flagged)')
    m.logout()

    status, output = sync()
    check('second sync', status == 0, output)
    m = imap()
    inbox_now = by_subject(m)
    check('flag set locally is on the server', '\\Flagged' in inbox_now.get('one', (0, []))[1], inbox_now)
    check('moved locally: gone from the server Inbox', 'three' not in inbox_now, inbox_now)
    in_work = by_subject(m, 'Work')
    check('moved locally: in the server folder', list(in_work) == ['three'], in_work)
    two = [f for f in maildir_files(inbox) if re.search(r',U=%d[:,]' % uids['two'][0], f)]
    check('flag set on the server is local', len(two) == 1 and 'F' in two[0].rpartition(':2,')[2], two)

    # On the server: "two" moved to Work.
    m.select('INBOX')
    typ, data = m.uid('MOVE', str(uids['two'][0]), 'Work')
    check('server move', typ == 'OK', data)
    m.logout()
    status, output = sync()
    check('third sync', status == 0, output)
    local_subjects = lambda folder: sorted(
        re.search(rb'^Subject: (.*)$', open(f, 'rb').read(), re.M).group(1).strip().decode()
        for f in maildir_files(os.path.join(local, folder)))
    check('moved on the server: local Inbox', local_subjects('INBOX') == ['one'], local_subjects('INBOX'))
    check('moved on the server: local folder', local_subjects('Work') == ['three', 'two'], local_subjects('Work'))


def neomutt(certificate, imaps):
    need('neomutt')
    home = os.path.join(work, 'neomutt')
    os.makedirs(home, exist_ok=True)
    muttrc = os.path.join(home, 'muttrc')
    open(muttrc, 'w').write('''set folder="imaps://alice@127.0.0.1:%d/"
set imap_pass="secret12"
set spoolfile="+INBOX"
set certificate_file="%s"
set ssl_verify_host=no
set ssl_starttls=no
set header_cache=""
set message_cachedir=""
set record=""
set postponed=""
set mbox_type=Maildir
set move=no
set mark_old=no
set resolve=no
set confirmappend=no
set confirmcreate=no
set delete=yes
set quit=yes
set sleep_time=0
set wait_key=no
set pager_stop=yes
set timeout=1
set sort=date-sent
set imap_check_subscribed=no
set ts_enabled=no
''' % (imaps, certificate))
    # One at a time: read "one", flag "two", save "three" into Work, then
    # write the changes back and quit.
    keys = ('<search>~s one<enter><display-message><exit>'
            '<search>~s two<enter><flag-message>'
            '<search>~s three<enter><save-message>=Work<enter>'
            '<sync-mailbox><quit>')
    env = dict(os.environ, HOME=home, TERM='xterm', LINES='40', COLUMNS='120', MAILCAPS='/dev/null')
    pid, fd = pty.fork()
    if pid == 0:
        os.execvpe('neomutt', ['neomutt', '-n', '-F', muttrc, '-e', 'push "%s"' % keys], env)
    screen, deadline, status = b'', time.monotonic() + 30, None
    while time.monotonic() < deadline:
        ready, _, _ = select.select([fd], [], [], 0.2)
        if ready:
            try:
                chunk = os.read(fd, 65536)
            except OSError:
                chunk = b''
            screen += chunk
            if not chunk:
                break
        done, code = os.waitpid(pid, os.WNOHANG)
        if done:
            status = code
            break
    while status is None and time.monotonic() < deadline:
        done, code = os.waitpid(pid, os.WNOHANG)
        if done:
            status = code
        else:
            time.sleep(0.05)
    if status is None:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
    os.close(fd)
    open(os.path.join(work, 'neomutt.screen'), 'wb').write(screen)
    check('neomutt quits by itself', status == 0, screen[-2000:])
    text = screen.decode(errors='replace')
    check('neomutt lists the Inbox', all(s in text for s in ('bob@localhost', ') one', ') two')), text[-2000:])
    m = imap()
    inbox = by_subject(m)
    check('read in neomutt: seen', '\\Seen' in inbox.get('one', (0, []))[1], inbox)
    check('flagged in neomutt', '\\Flagged' in inbox.get('two', (0, []))[1], inbox)
    check('moved in neomutt: gone from the Inbox', 'three' not in inbox, inbox)
    check('moved in neomutt: in Work', list(by_subject(m, 'Work')) == ['three'], by_subject(m, 'Work'))
    m.logout()


def pop3(pop3_port):
    def pop():
        p = poplib.POP3('127.0.0.1', pop3_port, timeout=30)
        p.user('alice')
        p.pass_('secret12')
        return p

    def pop_subjects(p):
        found = []
        for n in range(1, p.stat()[0] + 1):
            head = b'\n'.join(p.top(n, 0)[1])
            found.append(re.search(rb'^Subject: (.*)$', head, re.M).group(1).strip().decode())
        return found

    # Read over POP3: seen over IMAP.
    p = pop()
    order = pop_subjects(p)
    p.retr(order.index('one') + 1)
    p.quit()
    m = imap()
    inbox = by_subject(m)
    check('read over POP3 is seen over IMAP', '\\Seen' in inbox['one'][1], inbox)
    check('the others stay unseen', all('\\Seen' not in inbox[s][1] for s in ('two', 'three')), inbox)

    # Expunged over IMAP: gone from the next POP3 session.
    m.uid('STORE', str(inbox['two'][0]), '+FLAGS', '(\\Deleted)')
    m.expunge()
    p = pop()
    check('expunged over IMAP is gone for POP3', sorted(pop_subjects(p)) == ['one', 'three'], pop_subjects(p))
    p.quit()

    # Deleted over POP3 while an IMAP session has the Inbox selected: it
    # hears of the expunge.
    typ, data = m.select('INBOX')
    p = pop()
    p.dele(pop_subjects(p).index('three') + 1)
    p.quit()
    deadline, expunged = time.monotonic() + 5, False
    while not expunged and time.monotonic() < deadline:
        m.noop()
        expunged = m.response('EXPUNGE')[1][0] is not None
        if not expunged:
            time.sleep(0.05)
    check('deleted over POP3 is expunged for IMAP', expunged)
    check('and not listed', list(by_subject(m)) == ['one'], by_subject(m))
    m.logout()


if scenario == 'mbsync':
    mbsync()
elif scenario == 'neomutt':
    neomutt(sys.argv[4], int(sys.argv[5]))
elif scenario == 'pop3':
    pop3(int(sys.argv[4]))
else:
    sys.exit('unknown scenario ' + scenario)
sys.exit(1 if failed else 0)
