# Python's imaplib through the IMAP command set against a server whose Inbox
# holds the three messages the test delivered (subjects "one", "two",
# "three"; "two"'s body has the word "quokka"). Prints "ok NAME" or
# "FAIL NAME: why" per check and exits 1 on any failure; every message body
# it reads whole goes to OUT/<folder>-<uid> so that the caller compares the
# bytes with what the server stored.
#
#   imap_commands.py PORT DELIVER OUT
# DELIVER is "smtp:PORT" (a message sent to alice@localhost there) or
# "maildir:DIR" (a file dropped into DIR/new, for a Maildir server).
import imaplib, os, re, smtplib, socket, sys, time

port, deliver, out = int(sys.argv[1]), sys.argv[2], sys.argv[3]
failed = False


def check(name, condition, detail=''):
    global failed
    failed |= not condition
    print(('ok ' + name) if condition else ('FAIL %s: %r' % (name, detail)), flush=True)


def ok(response):
    return response[0] == 'OK'


def literal_parts(data):
    # The (head, literal) tuples of a FETCH response.
    return [d for d in data if isinstance(d, tuple)]


def uid_of(head):
    m = re.search(rb'UID (\d+)', head)
    return int(m.group(1)) if m else 0


def folder_names(m):
    typ, data = m.list('""', '*')
    names = []
    for line in data:
        if isinstance(line, bytes):
            name = line.rsplit(b' ', 1)[-1].strip(b'"')
            names.append(name.decode())
    return names


def messages_in(m, folder):
    typ, data = m.status(folder, '(MESSAGES)')
    found = re.search(rb'MESSAGES (\d+)', data[0] or b'') if ok((typ,)) else None
    return int(found.group(1)) if found else -1


def deliver_one(text):
    kind, where = deliver.split(':', 1)
    if kind == 'smtp':
        with smtplib.SMTP('127.0.0.1', int(where), timeout=30) as s:
            s.sendmail('bob@localhost', ['alice@localhost'], text)
    else:
        path = os.path.join(where, 'new', '%d.idle.test' % time.time())
        with open(path + '.part', 'wb') as f:
            f.write(text.encode())
        os.rename(path + '.part', path)


m = imaplib.IMAP4('127.0.0.1', port, timeout=30)
check('login', ok(m.login('alice', 'secret12')))
caps = m.capability()[1][0].split()
for cap in (b'IMAP4rev1', b'IDLE', b'UIDPLUS', b'MOVE', b'LITERAL+', b'NAMESPACE'):
    check('capability ' + cap.decode(), cap in caps, caps)
check('list has INBOX', 'INBOX' in folder_names(m), folder_names(m))

typ, data = m.select('INBOX')
check('select INBOX', ok((typ,)) and data[0] == b'3', data)
typ, data = m.fetch('1:*', '(FLAGS)')
check('fetch flags: nothing seen yet', ok((typ,)) and len(data) == 3 and b'\\Seen' not in b''.join(data), data)
typ, data = m.fetch('1:*', '(ENVELOPE)')
envelopes = b' '.join(d if isinstance(d, bytes) else b''.join(d) for d in data)
check('fetch envelope', ok((typ,)) and all(s in envelopes for s in (b'"one"', b'"two"', b'"three"'))
      and b'NIL NIL "bob" "localhost"' in envelopes, data)
# Delivery may store them in any order: each one's sequence number by subject.
seq = {}
for item in data:
    found = re.match(rb'(\d+) \(ENVELOPE \((?:NIL|"[^"]*") "(\w+)"', item if isinstance(item, bytes) else item[0])
    if found:
        seq[found.group(2).decode()] = found.group(1).decode()
check('envelope subjects', sorted(seq) == ['one', 'three', 'two'], data)
typ, data = m.fetch('1', '(BODYSTRUCTURE)')
check('fetch bodystructure', ok((typ,)) and re.search(rb'BODYSTRUCTURE \("TEXT" "PLAIN"', data[0], re.I) is not None, data)

typ, data = m.uid('FETCH', '1:*', '(BODY.PEEK[])')
bodies = {}
for head, body in literal_parts(data):
    bodies[uid_of(head)] = body
    open(os.path.join(out, 'INBOX-%d' % uid_of(head)), 'wb').write(body)
check('uid fetch body.peek[] of all', ok((typ,)) and len(bodies) == 3 and 0 not in bodies, data)
uids = sorted(bodies)
typ, data = m.fetch('1:*', '(FLAGS)')
check('peek leaves them unseen', b'\\Seen' not in b''.join(data), data)

typ, data = m.fetch(seq['one'], '(BODY[HEADER.FIELDS (SUBJECT)])')
parts = literal_parts(data)
check('fetch header.fields (subject)', ok((typ,)) and parts and parts[0][1] == b'Subject: one\r\n\r\n', data)
uid_one = uid_of(m.fetch(seq['one'], '(UID)')[1][0])
typ, data = m.fetch(seq['one'], '(BODY[]<0.10>)')
parts = literal_parts(data)
check('fetch partial <0.10>', ok((typ,)) and parts and parts[0][1] == bodies.get(uid_one, b'')[:10], data)
typ, data = m.fetch(seq['one'], '(FLAGS)')
check('body[] marks it seen', b'\\Seen' in data[0], data)

typ, data = m.search(None, 'UNSEEN')
check('search unseen', ok((typ,)) and sorted(data[0].split()) == sorted([seq['two'].encode(), seq['three'].encode()]), data)
typ, data = m.search(None, 'SUBJECT', 'two')
check('search subject', ok((typ,)) and data[0].split() == [seq['two'].encode()], data)
typ, data = m.search(None, 'TEXT', 'quokka')
check('search text', ok((typ,)) and data[0].split() == [seq['two'].encode()], data)
typ, data = m.uid('SEARCH', 'ALL')
check('uid search all', ok((typ,)) and [int(u) for u in data[0].split()] == uids, data)

typ, data = m.store('2', '+FLAGS', '(\\Flagged $Work)')
typ, data = m.fetch('2', '(FLAGS)')
check('store +flags', ok((typ,)) and b'\\Flagged' in data[0] and b'$Work' in data[0], data)
typ, data = m.store('2', '-FLAGS', '(\\Flagged)')
typ, data = m.fetch('2', '(FLAGS)')
check('store -flags', ok((typ,)) and b'\\Flagged' not in data[0], data)

check('create Work', ok(m.create('Work')))
check('list has Work', 'Work' in folder_names(m), folder_names(m))
typ, data = m.copy('1', 'Work')
check('copy', ok((typ,)) and messages_in(m, 'Work') == 1 and b'COPYUID' in (data[0] or b''), data)
# An unseen one: delivery order decides which UID the seen message has.
moved = max(u for u in uids if u != uid_one)
typ, data = m.uid('MOVE', str(moved), 'Work')
typ2, data2 = m.search(None, 'ALL')
check('uid move', ok((typ,)) and messages_in(m, 'Work') == 2 and len(data2[0].split()) == 2, (typ, data, data2))

appended = b'From: alice@localhost\r\nTo: alice@localhost\r\nSubject: draft\r\n\r\nappended body\r\n'
typ, data = m.append('Work', '(\\Draft)', None, appended)
found = re.search(rb'APPENDUID (\d+) (\d+)', data[0] or b'')
check('append with appenduid', ok((typ,)) and found is not None, data)
typ, data = m.status('INBOX', '(MESSAGES UNSEEN UIDNEXT UIDVALIDITY)')
check('status', ok((typ,)) and b'MESSAGES 2' in data[0] and b'UNSEEN 1' in data[0], data)

typ, data = m.select('Work')
check('select Work', ok((typ,)) and data[0] == b'3', data)
if found:
    typ, data = m.uid('FETCH', found.group(2).decode(), '(FLAGS BODY.PEEK[])')
    parts = literal_parts(data)
    check('appended bytes read back', parts and parts[0][1] == appended and b'\\Draft' in parts[0][0], data)
typ, data = m.store('1', '+FLAGS', '(\\Deleted)')
typ, data = m.expunge()
check('expunge', ok((typ,)) and data[0] == b'1' and messages_in(m, 'Work') == 2, data)
m.close()

check('rename', ok(m.rename('Work', 'Archive')))
names = folder_names(m)
check('list after rename', 'Archive' in names and 'Work' not in names, names)
check('delete', ok(m.delete('Archive')))
check('list after delete', 'Archive' not in folder_names(m), folder_names(m))

# IDLE (imaplib has no idle(): the command by hand) sees a delivery.
typ, data = m.select('INBOX')
before = int(data[0])
tag = m._new_tag()
m.send(tag + b' IDLE\r\n')
check('idle accepted', m.readline().startswith(b'+'))
deliver_one('From: bob@localhost\r\nTo: alice@localhost\r\nSubject: idle\r\n\r\ndelivered while idling\r\n')
deadline, seen = time.monotonic() + 5, None
m.sock.settimeout(1)
while seen is None and time.monotonic() < deadline:
    try:
        line = m.readline()
    except (socket.timeout, TimeoutError):
        continue
    if re.match(rb'\* (\d+) EXISTS', line) and int(line.split()[1]) > before:
        seen = time.monotonic() - (deadline - 5)
m.sock.settimeout(30)
check('idle sees the delivery', seen is not None, 'no EXISTS within 5 s')
m.send(b'DONE\r\n')
while True:
    line = m.readline()
    if line.startswith(tag) or not line:
        break
check('idle ends with OK', line.startswith(tag + b' OK'), line)
typ, data = m.uid('FETCH', '*', '(BODY.PEEK[])')
for head, body in literal_parts(data):
    open(os.path.join(out, 'INBOX-%d' % uid_of(head)), 'wb').write(body)
    check('the idle message read', body.endswith(b'\r\ndelivered while idling\r\n'), body)
m.logout()
if seen is not None:
    print('idle saw the delivery after %.2f s' % seen)
sys.exit(1 if failed else 0)
