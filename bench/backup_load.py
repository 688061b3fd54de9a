#!/usr/bin/env python3
"""Backup under load: 8 sessions send 2,000 messages of 4 KB to 10 users while
`velmora backup` runs half-way; the backup is restored into a new home, which
is started until its spool is empty. Prints the backup's time, how many
messages were acknowledged before and during it, and how many of those
acknowledged before it are missing from the restored home (must be 0).

usage: bench/backup_load.py PATH/TO/velmora [--messages N]
"""
import os, re, shutil, smtplib, socket, sqlite3, subprocess, sys, tempfile, threading, time

def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]

def run(velmora, home, *args, check=True):
    r = subprocess.run([velmora, "--home", home, *args], capture_output=True, text=True)
    if check and r.returncode != 0:
        sys.exit(f"velmora {' '.join(args)}: {r.stdout}{r.stderr}")
    return r

def wait_port(port, limit=60):
    end = time.time() + limit
    while time.time() < end:
        try:
            socket.create_connection(("127.0.0.1", port), 1).close()
            return
        except OSError:
            time.sleep(0.1)
    sys.exit("the server did not listen")

def subjects_in(home):
    found = set()
    for root, _, files in os.walk(os.path.join(home, "mail")):
        for name in files:
            if name.endswith(".mel"):
                with open(os.path.join(root, name), "rb") as f:
                    m = re.search(rb"\r\nSubject: (load \d+)\r\n", b"\r\n" + f.read(4096))
                    if m: found.add(m.group(1).decode())
    return found

def main():
    velmora = os.path.abspath(sys.argv[1])
    total = int(sys.argv[sys.argv.index("--messages") + 1]) if "--messages" in sys.argv else 2000
    work = tempfile.mkdtemp(prefix="velmora-backup-bench-")
    home, copy, backup = (os.path.join(work, n) for n in ("home", "copy", "backup"))
    run(velmora, home, "setup")
    port = free_port()
    for key, name, value in (("Ports", "SMTP Port", port), ("Ports", "POP3 Port", free_port()),
                             ("Ports", "Submission Port", 0), ("Ports", "SMTPS Port", 0),
                             ("Ports", "POP3S Port", 0), ("Preferences", "SendOnMailCount", 0)):
        run(velmora, home, "reg", "set", key, name, "dword", str(value))
    run(velmora, home, "schedule", "set", "--manual")
    users = [f"user{n}" for n in range(10)]
    for u in users:
        run(velmora, home, "account", "add", u, "--email", f"{u}@localhost", "--password", "pw")
    server = subprocess.Popen([velmora, "--home", home, "run", "--headless"], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    wait_port(port)

    acked, lock, counter = [], threading.Lock(), iter(range(total))
    body = "x" * 4000
    def sender():
        s = smtplib.SMTP("127.0.0.1", port)
        while True:
            with lock:
                n = next(counter, None)
            if n is None: break
            subject = f"load {n}"
            s.sendmail("sender@localhost", [f"{users[n % 10]}@localhost"],
                       f"Subject: {subject}\r\n\r\n{body}\r\n")
            with lock: acked.append(subject)
        s.quit()
    threads = [threading.Thread(target=sender) for _ in range(8)]
    for t in threads: t.start()
    while True:
        with lock:
            if len(acked) >= total // 2: before = set(acked); break
        time.sleep(0.01)
    started = time.time()
    result = run(velmora, home, "backup", backup)
    seconds = time.time() - started
    with lock: during = len(acked) - len(before)
    for t in threads: t.join()
    run(velmora, home, "stop")
    server.wait(60)

    run(velmora, copy, "setup")
    restored = run(velmora, copy, "restore", backup, "--yes")
    port2 = free_port()
    run(velmora, copy, "reg", "set", "Ports", "SMTP Port", "dword", str(port2))
    second = subprocess.Popen([velmora, "--home", copy, "run", "--headless"], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    wait_port(port2)
    end = time.time() + 120
    while time.time() < end and any(not n.startswith(".") for n in os.listdir(os.path.join(copy, "SMTPSpooler"))):
        time.sleep(0.2)
    run(velmora, copy, "stop")
    second.wait(60)
    present = subjects_in(copy)
    db = sqlite3.connect(os.path.join(copy, "velmora.db"))
    rows = db.execute("SELECT count(*) FROM Mails").fetchone()[0]
    files = sum(1 for _, _, fs in os.walk(os.path.join(copy, "mail")) for f in fs if f.endswith(".mel"))
    missing = len(before - present)
    print(f"backup under load: {total} messages x 4 KB, 8 sessions")
    print(f"  acknowledged before the backup: {len(before)}, during it: {during}")
    print(f"  backup took {seconds:.2f} s; {result.stdout.strip().splitlines()[-2].strip()}")
    print(f"  restored home: {len(present)} messages, {rows} rows, {files} files; "
          f"missing of those acknowledged before: {missing}")
    shutil.rmtree(work)
    sys.exit(1 if missing or rows != files else 0)

if __name__ == "__main__":
    main()
