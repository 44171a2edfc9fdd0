#!/usr/bin/env python3
"""zsim serve as a Linux user meets it: two ports joined by a null-modem
cable, driven through their ptys by pyserial and by picocom scripted under
tmux; bytes checked both ways, rate changes end to end, framing and modem
lines through the serial shim, zport from the shell, a program killed in the
middle of a transfer, a clean stop on Ctrl-C (the verifier silent), and the
COM names kept by the next run on the same directory.

    serve_test.py ZSIM ZPORT SHIM
"""
import os
import signal
import subprocess
import sys
import tempfile
import threading
import time

import serial  # Debian's python3-serial

ZSIM, ZPORT, SHIM = sys.argv[1:4]
failures = []


def check(condition, what):
    print(("ok: " if condition else "FAIL: ") + what, flush=True)
    if not condition:
        failures.append(what)


class Serve:
    """zsim serve in the background, until stop()."""

    def __init__(self, directory, *options):
        self.directory = directory
        self.output = []
        self.process = subprocess.Popen([ZSIM, "serve", "--dir", directory, *options], stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, text=True)
        self.ready = threading.Event()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        if not self.ready.wait(180):
            self.process.kill()
            raise SystemExit("zsim serve did not come up:\n" + "".join(self.output))

    def _read(self):
        for line in self.process.stdout:
            self.output.append(line)
            if line.startswith("Ctrl-C stops the machine"):
                self.ready.set()

    def path(self, name):
        return os.path.join(self.directory, name)

    def stop(self):
        self.process.send_signal(signal.SIGINT)
        code = self.process.wait(120)
        # The reader may still hold zsim's last lines (the verifier's
        # summary among them) when the process has ended: wait for the pipe
        # to be read to its end.
        self.reader.join(30)
        return code, "".join(self.output)


def shimmed(**extra):
    env = dict(os.environ, LD_PRELOAD=SHIM, ZSIM_DIR=extra.pop("directory"))
    env.update(extra)
    return env


def pattern(n, seed=0):
    return bytes((i * 7 + seed + (i >> 8)) & 0xFF for i in range(n))


def transfer(a, b, data):
    """a sends data, b reads it (concurrently); what b got."""
    writer = threading.Thread(target=a.write, args=(data,))
    writer.start()
    got = b.read(len(data))
    writer.join()
    return got


def zport(directory, *arguments):
    r = subprocess.run([ZPORT, "--dir", directory, *arguments], capture_output=True, text=True, timeout=60)
    return r.returncode, r.stdout + r.stderr


class Tmux:
    def __init__(self, command, env):
        self.socket = "zsim-serve-test-%d" % os.getpid()
        subprocess.run(["tmux", "-L", self.socket, "new-session", "-d", "-s", "t", "-x", "150", "-y", "40", command],
                       check=True, env=env)

    def keys(self, *keys):
        subprocess.run(["tmux", "-L", self.socket, "send-keys", "-t", "t", *keys], check=True)

    def screen(self):
        return subprocess.run(["tmux", "-L", self.socket, "capture-pane", "-p", "-t", "t"], capture_output=True,
                              text=True).stdout

    def wait_for(self, text, seconds=10):
        end = time.time() + seconds
        while time.time() < end:
            if text in self.screen():
                return True
            time.sleep(0.1)
        return False

    def close(self):
        subprocess.run(["tmux", "-L", self.socket, "kill-server"], capture_output=True)


def main():
    directory = tempfile.mkdtemp(prefix="zsim-serve-")
    serve = Serve(directory, "--ports", "2", "--null-modem", "0:1")
    com3, com4 = serve.path("COM3"), serve.path("COM4")
    check(os.path.islink(com3) and os.readlink(com3).startswith("/dev/pts/"), "COM3 links to a pty")

    # pyserial: bytes both ways, and a rate change on both ends.
    a = serial.Serial(com3, 115200, timeout=10)
    b = serial.Serial(com4, 115200, timeout=10)
    time.sleep(0.3)
    a.write(b"hello from COM3\r\n")
    check(b.readline() == b"hello from COM3\r\n", "a line crosses the cable at 115200 bit/s")
    data = pattern(20000)
    check(transfer(b, a, data) == data, "20000 bytes from COM4 to COM3 arrive unchanged")
    a.baudrate = b.baudrate = 921600
    time.sleep(0.2)
    data = pattern(100000, 3)
    start = time.time()
    check(transfer(a, b, data) == data, "after the rate change, 100000 bytes at 921600 bit/s arrive unchanged")
    print("  (%.2f s of wall time; the line needs %.2f s)" % (time.time() - start, len(data) * 10 / 921600.0))
    b.baudrate = 9600
    time.sleep(0.2)
    a.write(b"U" * 8)
    time.sleep(0.5)
    check(b.read(b.in_waiting or 1) != b"U" * 8, "the ends' rates disagree: the bytes arrive garbled")
    a.close()
    b.close()

    # The serial shim: framing and modem lines.
    env = shimmed(directory=directory)
    probe = subprocess.run([sys.executable, "-c", r"""
import serial, sys, time
a = serial.Serial(sys.argv[1], 115200, timeout=5, bytesize=7, parity='E')
b = serial.Serial(sys.argv[2], 115200, timeout=5, bytesize=7, parity='E')
time.sleep(0.5); b.reset_input_buffer()
a.write(b'seven'); ok = b.read(5) == b'seven'
b.bytesize, b.parity = 8, 'N'; time.sleep(0.5); b.reset_input_buffer()
a.write(b'mmmm'); garbled = b.read(4) == b'\xed' * 4
cts = a.cts; b.rts = False; time.sleep(0.2); cts_off = a.cts
dsr = a.dsr; b.dtr = False; time.sleep(0.2); dsr_off = a.dsr
print(ok, garbled, cts, cts_off, dsr, dsr_off)
""", com3, com4], capture_output=True, text=True, env=env, timeout=60)
    seen = probe.stdout.split()
    check(seen[:2] == ["True", "True"], "7E1 through the shim reaches both UARTs (and 8N1 on one end garbles): %s"
          % (probe.stdout + probe.stderr).strip())
    check(seen[2:] == ["True", "False", "True", "False"], "TIOCMGET sees the cable's CTS and DSR follow RTS and DTR")

    # picocom under tmux, against pyserial on the other end.
    b = serial.Serial(com4, 115200, timeout=10)
    tmux = Tmux("picocom -b 115200 %s" % com3, env)
    check(tmux.wait_for("Terminal ready"), "picocom opens COM3")
    time.sleep(0.3)
    b.write(b"greetings, picocom\r\n")
    check(tmux.wait_for("greetings, picocom"), "picocom shows what COM4 sends")
    tmux.keys("typed in picocom")
    check(b.read(16) == b"typed in picocom", "what is typed in picocom reaches COM4")
    # picocom's own rate change: C-a C-b, then the new rate.
    tmux.keys("C-a", "C-b")
    time.sleep(0.3)
    tmux.keys("921600", "Enter")
    check(tmux.wait_for("921600"), "picocom sets 921600 bit/s")
    b.baudrate = 921600
    time.sleep(0.3)
    b.write(b"fast line\r\n")
    check(tmux.wait_for("fast line"), "at 921600 bit/s picocom still shows COM4's text")
    tmux.keys("and back")
    check(b.read(8) == b"and back", "and COM4 still gets what is typed")

    # zport from the shell: the listing opens no port; a port in use says so.
    code, out = zport(directory, "list")
    check(code == 0 and "COM3    index 0" in out and "COM4    index 1" in out, "zport list: " + out.strip())
    code, out = zport(directory, "show", "COM3")
    check(code == 3 and "in use" in out, "zport show COM3 while picocom holds it: %d %s" % (code, out.strip()))
    tmux.keys("C-a", "C-x")
    time.sleep(1)
    tmux.close()
    b.close()
    code, out = zport(directory, "show", "COM3")
    check(code == 0 and "settings record:   group 0 index 0" in out, "zport show COM3 once it is free")
    check(zport(directory, "set", "COM3", "maxwrite=010")[0] == 0 and
          "max write length:  10" in zport(directory, "show", "COM3")[1], "zport set from the shell")

    # A program killed in the middle of a transfer; the ports serve on.
    killed = subprocess.Popen([sys.executable, "-c", r"""
import serial, sys
a = serial.Serial(sys.argv[1], 9600)
a.write(b'x' * 100000)
""", com3])
    time.sleep(1.5)
    killed.kill()
    killed.wait()
    time.sleep(0.5)
    a = serial.Serial(com3, 115200, timeout=10)
    b = serial.Serial(com4, 115200, timeout=10)
    # What the killed program had handed to the port still leaves at 9600
    # bit/s for a while: drop it until the line has been quiet for 0.3 s.
    deadline = time.time() + 20
    while time.time() < deadline:
        time.sleep(0.3)
        if b.in_waiting == 0:
            break
        b.reset_input_buffer()
    data = pattern(5000, 9)
    check(transfer(a, b, data) == data, "after a program was killed mid-transfer, the cable carries data again")
    a.close()
    b.close()
    time.sleep(0.5)   # the bridge lets the port go when the program does

    # A rename for the next run, then Ctrl-C.
    check(zport(directory, "rename", "COM4", "COM9")[0] == 0, "zport rename COM4 COM9")
    code, out = serve.stop()
    check(code == 0 and "Verifier reports: 0." in out, "Ctrl-C stops the machine cleanly (exit %d)" % code)
    if failures:
        print("zsim's output of the first run:\n" + out)

    # The next run on the directory: the same machine, the names kept.
    serve = Serve(directory, "--ports", "2", "--null-modem", "0:1")
    check(os.path.islink(serve.path("COM3")) and os.path.islink(serve.path("COM9")) and
          not os.path.exists(serve.path("COM4")), "the next run keeps COM3 and the new name COM9")
    check("The machine of an earlier run" in "".join(serve.output), "the next run loads the machine")
    a = serial.Serial(serve.path("COM3"), 57600, timeout=10)
    b = serial.Serial(serve.path("COM9"), 57600, timeout=10)
    time.sleep(0.3)
    data = pattern(3000, 5)
    check(transfer(a, b, data) == data, "COM3 to COM9 carries data on the next run")
    a.close()
    b.close()
    code, out = serve.stop()
    check(code == 0 and "Verifier reports: 0." in out, "the next run stops cleanly too")
    if failures:
        print("\n%d check(s) failed; zsim's output:\n%s" % (len(failures), out))
        return 1
    subprocess.run(["rm", "-rf", directory])
    return 0


if __name__ == "__main__":
    sys.exit(main())
