"""The qv command line, run as `python -m qv` (the JSON-lines splicer and progress in process)."""

from __future__ import annotations

import base64
import io
import json
import os
import pty
import select
import shlex
import stat
import subprocess
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import NoReturn

import pytest
from cryptography.hazmat.primitives.hashes import SHA256
from cryptography.hazmat.primitives.kdf.hkdf import HKDF
from cryptography.hazmat.primitives.kdf.scrypt import Scrypt

import qv
import qv.keyring.document
from qv import cli
from tokenkit import split

QV = [sys.executable, "-m", "qv"]
WRAP = bytes(range(32))
PASSPHRASE = "correct horse battery"


def b64(key: bytes) -> bytes:
    return base64.urlsafe_b64encode(key).rstrip(b"=")


def secret_file(path: Path, content: bytes | str) -> Path:
    path.write_bytes(content.encode() if isinstance(content, str) else content)
    path.chmod(0o600)
    return path


def run(*args: object, stdin: bytes = b"", **kw: object) -> subprocess.CompletedProcess[bytes]:
    # A new session has no terminal, so nothing here can wait at a prompt.
    kw.setdefault("start_new_session", True)
    return subprocess.run(  # type: ignore[call-overload, no-any-return]
        [*QV, *map(str, args)], input=stdin, capture_output=True, timeout=300, **kw
    )


def failure(proc: subprocess.CompletedProcess[bytes], status: int = 1) -> str:
    """The one "qv: " line of an expected failure, after checking its form."""
    err = proc.stderr.decode()
    assert proc.returncode == status, (proc.returncode, err)
    assert err.startswith("qv: ") and err.count("\n") == 1, err
    return err


@dataclass
class Ring:
    path: Path
    keyfile: Path
    gone_token: str  # sealed under "gone" before it was destroyed

    @property
    def k(self) -> list[object]:
        return ["-k", self.path, "--wrapping-key-file", self.keyfile]

    def load(self) -> qv.Keyring:
        return qv.Keyring.load(self.path, wrapping_key=WRAP)


@pytest.fixture
def keyfile(tmp_path: Path) -> Path:
    return secret_file(tmp_path / "wrap.key", b64(WRAP) + b"\n")


@pytest.fixture
def ring(tmp_path: Path, keyfile: Path) -> Ring:
    """old (enabled), new (the primary), off (disabled), gone (destroyed)."""
    keys = qv.Keyring()
    for key_id in ("old", "new", "off", "gone"):
        keys.generate(key_id)
    keys.promote("gone")
    gone_token = keys.encrypt("x")
    keys.promote("new")
    keys.disable("off")
    keys.destroy("gone")
    path = tmp_path / "ring.json"
    keys.save(path, wrapping_key=WRAP)
    return Ring(path, keyfile, gone_token)


def seal_under(ring: Ring, key_id: str, plaintext: str, **kw: object) -> str:
    """A token under `key_id` of `ring`, whatever its status now."""
    keys = ring.load()
    info = {i.key_id: i for i in keys.keys()}[key_id]
    if info.status == "disabled":
        keys.enable(key_id)
    keys.promote(key_id)
    return keys.encrypt(plaintext, **kw)  # type: ignore[arg-type]


def listing(path: Path) -> dict[str, tuple[str, bool]]:
    return {i.key_id: (i.status, i.primary) for i in qv.Keyring.describe(path)}


# ---------------------------------------------------------------- parser and help

HELP = [
    [],
    ["keyring"],
    *[["keyring", a] for a in ("new", "list", "add", "promote", "enable", "disable")],
    *[["keyring", a] for a in ("destroy", "remove")],
    ["encrypt"],
    ["decrypt"],
    ["rotate"],
    ["inspect"],
    ["keygen"],
    ["derive"],
    ["derive", "password"],
    ["derive", "subkey"],
]


@pytest.mark.parametrize("words", HELP, ids=lambda w: "-".join(w) or "qv")
def test_every_command_explains_itself(words: list[str]) -> None:
    proc = run(*words, "--help")
    assert proc.returncode == 0 and proc.stderr == b""
    assert proc.stdout.startswith(f"usage: {' '.join(['qv', *words])}".encode())


USAGE_ERRORS = {
    "no-command": ([], "COMMAND"),
    "unknown-command": (["seal"], "invalid choice"),
    "ring-option-missing": (["encrypt"], "-k/--keyring"),
    "two-secrets": (
        ["decrypt", "-k", "r", "--passphrase-env", "A", "--passphrase-fd", "3"],
        "not allowed",
    ),
    "aad-and-entries": (["encrypt", "-k", "r", "--aad", "x", "--aad-entry", "a=b"], "not allowed"),
    "lines-and-jsonl": (["decrypt", "-k", "r", "--lines", "--jsonl", "a"], "not allowed"),
    "rotate-needs-a-shape": (["rotate", "-k", "r"], "--lines --jsonl"),
    "bad-on-error": (["decrypt", "-k", "r", "--lines", "--on-error", "retry"], "invalid choice"),
    "fd-not-a-number": (["decrypt", "-k", "r", "--passphrase-fd", "x"], "invalid int"),
    # Option values are checked before the ring is opened or a passphrase asked.
    "meta-without-equals": (["encrypt", "-k", "none", "--meta", "a"], "KEY=VALUE"),
    "empty-field-name": (["decrypt", "-k", "none", "--jsonl", "a,,b"], "FIELD[,FIELD...]"),
    "key-id-too-long": (["keyring", "new", "none", "--key-id", "x" * 256], "1-255 UTF-8 bytes"),
    "scrypt-n-not-a-power-of-two": (["derive", "password", "--n", "20000", "-o", "-"], "--n"),
    "scrypt-n-too-small": (["derive", "password", "--n", "8192", "-o", "-"], "--n"),
    "odd-salt": (["derive", "password", "--salt-hex", "abc", "-o", "-"], "--salt-hex"),
    "salt-not-hex": (["derive", "password", "--salt-hex", "0x1f", "-o", "-"], "--salt-hex"),
}


@pytest.mark.parametrize(("args", "needle"), USAGE_ERRORS.values(), ids=USAGE_ERRORS)
def test_usage_errors_exit_2_with_one_line(args: list[str], needle: str) -> None:
    assert needle in failure(run(*args), status=2)


def test_installed_console_script_runs() -> None:
    script = Path(sys.executable).with_name("qv")
    proc = subprocess.run([script, "--version"], capture_output=True, check=True)
    assert proc.stdout == f"qv {qv.__version__}\n".encode()
    key = subprocess.run([script, "keygen", "-o", "-"], capture_output=True, check=True).stdout
    assert len(base64.urlsafe_b64decode(key.strip() + b"=")) == 32


# ---------------------------------------------------------------- key files


def test_keygen_writes_distinct_keys_as_0600_text_files(tmp_path: Path) -> None:
    texts = []
    for name in ("a.key", "b.key"):
        proc = run("keygen", "-o", tmp_path / name)
        assert (proc.returncode, proc.stdout, proc.stderr) == (0, b"", b"")
        assert stat.S_IMODE((tmp_path / name).stat().st_mode) == 0o600
        texts.append((tmp_path / name).read_bytes())
    for text in texts:
        assert len(text) == 44 and text.endswith(b"\n")
        assert len(base64.urlsafe_b64decode(text[:-1] + b"=")) == 32
    assert texts[0] != texts[1]


def hkdf(master: bytes, context: str) -> bytes:
    info = b"qv.v2:" + context.encode()
    return HKDF(algorithm=SHA256(), length=32, salt=None, info=info).derive(master)


def scrypt(password: bytes, salt: bytes, n: int) -> bytes:
    return Scrypt(salt=salt, length=32, n=n, r=8, p=1).derive(password)


def test_derive_password_prints_the_salt_that_derives_the_key_again(tmp_path: Path) -> None:
    secret_file(tmp_path / "pw", "hunter2\n")
    opts = ["--passphrase-file", tmp_path / "pw", "--n", 16384, "-o", "-"]
    first = run("derive", "password", *opts)
    assert first.returncode == 0
    salt = first.stderr.decode().split()[2]
    assert first.stderr.decode().startswith(f"qv: salt_hex {salt} ")
    assert "hunter2" not in first.stderr.decode()
    key = base64.urlsafe_b64decode(first.stdout.strip() + b"=")
    assert key == scrypt(b"hunter2", bytes.fromhex(salt), 16384)
    again = run("derive", "password", "--salt-hex", salt, *opts)
    assert again.stdout == first.stdout


@pytest.mark.parametrize(
    ("content", "context"),
    [
        pytest.param(b64(WRAP) + b"\n", "email-index", id="text"),
        pytest.param(b64(WRAP), "email-index", id="text-without-newline"),
        pytest.param(b64(WRAP) + b"\r\n", "cards", id="text-crlf"),
        pytest.param(WRAP, "email-index", id="raw-32-bytes"),
        pytest.param(bytes(31) + b"\n", "x", id="raw-ending-in-a-newline-byte"),
    ],
)
def test_derive_subkey_reads_both_key_file_forms(
    tmp_path: Path, content: bytes, context: str
) -> None:
    secret_file(tmp_path / "master.key", content)
    out = tmp_path / "sub.key"
    proc = run(
        "derive",
        "subkey",
        "--master-key-file",
        tmp_path / "master.key",
        "--context",
        context,
        "-o",
        out,
    )
    assert proc.returncode == 0, proc.stderr
    master = content if len(content) == 32 else WRAP
    assert out.read_bytes() == b64(hkdf(master, context)) + b"\n"


@pytest.mark.parametrize("mode", [0o640, 0o604])
def test_a_key_file_others_can_read_works_with_a_warning(keyfile: Path, mode: int) -> None:
    keyfile.chmod(mode)
    proc = run("derive", "subkey", "--master-key-file", keyfile, "--context", "c", "-o", "-")
    assert proc.returncode == 0 and proc.stdout == b64(hkdf(WRAP, "c")) + b"\n"
    assert (
        proc.stderr
        == f"qv: warning: key file {keyfile} can be read by other users (chmod 600 {keyfile})\n".encode()
    )


BAD_KEY_FILES = {
    "31-raw-bytes": bytes(31),
    "33-raw-bytes": bytes(33),
    "padded-text": base64.urlsafe_b64encode(WRAP) + b"\n",
    "standard-alphabet": b"+" + b64(WRAP)[1:] + b"\n",
    "spare-bits-set": b"A" * 42 + b"B\n",
    "two-newlines": b64(WRAP) + b"\n\n",
    "empty": b"",
}


@pytest.mark.parametrize("content", BAD_KEY_FILES.values(), ids=BAD_KEY_FILES)
def test_malformed_key_files_are_refused(tmp_path: Path, content: bytes) -> None:
    secret_file(tmp_path / "master.key", content)
    args = ["--master-key-file", tmp_path / "master.key", "--context", "c", "-o", "-"]
    proc = run("derive", "subkey", *args)
    assert "is not a key file" in failure(proc) and proc.stdout == b""


@pytest.mark.parametrize(
    ("prepare", "status", "needle"),
    [
        pytest.param(None, 2, "only where -o says", id="no-output-option"),
        pytest.param("file", 1, "never overwritten", id="existing-file"),
        pytest.param("dangling-symlink", 1, "never overwritten", id="dangling-symlink"),
        pytest.param("symlink", 1, "never overwritten", id="symlink-to-a-file"),
        pytest.param("no-folder", 1, "No such file", id="missing-folder"),
    ],
)
@pytest.mark.parametrize("command", [["keygen"], ["derive", "subkey", "--context", "c"]])
def test_key_output_is_never_forced(
    tmp_path: Path, keyfile: Path, command: list[str], prepare: str | None, status: int, needle: str
) -> None:
    target = tmp_path / "victim"
    out = tmp_path / "out.key"
    if prepare == "file":
        out.write_bytes(b"keep me")
    elif prepare == "dangling-symlink":
        out.symlink_to(target)
    elif prepare == "symlink":
        target.write_bytes(b"keep me")
        out.symlink_to(target)
    elif prepare == "no-folder":
        out = tmp_path / "nowhere" / "out.key"
    extra = ["--master-key-file", keyfile] if "subkey" in command else []
    output = [] if prepare is None else ["-o", out]
    proc = run(*command, *extra, *output)
    assert needle in failure(proc, status) and proc.stdout == b""
    if prepare == "file":
        assert out.read_bytes() == b"keep me"
    # Nothing was written through a symlink either.
    assert target.read_bytes() == b"keep me" if prepare == "symlink" else not target.exists()


# ---------------------------------------------------------------- passphrases


@pytest.fixture
def pw_ring(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    """A passphrase ring made at scrypt's lowest cost, so each load is quick."""
    monkeypatch.setattr(qv.keyring.document, "_SAVE_SCRYPT", (2**14, 8, 1), raising=False)
    keys = qv.Keyring()
    keys.generate("k1")
    path = tmp_path / "pw-ring.json"
    keys.save(path, passphrase=PASSPHRASE)
    (tmp_path / "token").write_text(keys.encrypt("opened"))
    return path


PASSPHRASE_SOURCES = {
    "file": ("file", PASSPHRASE + "\n", 0, None),
    "file-without-newline": ("file", PASSPHRASE, 0, None),
    "file-crlf": ("file", PASSPHRASE + "\r\n", 0, None),
    "file-two-newlines": ("file", PASSPHRASE + "\n\n", 1, "wrong passphrase"),
    "file-empty": ("file", "", 1, "is empty"),
    "file-missing": ("missing-file", None, 1, "cannot read passphrase file"),
    "fd": ("fd", PASSPHRASE + "\n", 0, None),
    "fd-closed": ("bad-fd", None, 1, "Bad file descriptor"),
    "env": ("env", PASSPHRASE, 0, None),
    "env-unset": ("unset-env", None, 1, "QV_TEST_PW is not set"),
    "env-wrong": ("env", PASSPHRASE.upper(), 1, "wrong passphrase"),
    "wrapping-key-for-passphrase-ring": ("keyfile", None, 1, "locked with a passphrase"),
    "no-terminal-to-ask": ("none", None, 2, "no terminal"),
}


@pytest.mark.parametrize(
    ("source", "value", "status", "needle"), PASSPHRASE_SOURCES.values(), ids=PASSPHRASE_SOURCES
)
def test_passphrase_sources(
    tmp_path: Path,
    pw_ring: Path,
    keyfile: Path,
    source: str,
    value: str | None,
    status: int,
    needle: str | None,
) -> None:
    env = {k: v for k, v in os.environ.items() if k != "QV_TEST_PW"}
    kw: dict[str, object] = {"env": env}
    opts: list[object] = []
    if source in ("file", "missing-file"):
        if value is not None:
            secret_file(tmp_path / "pw", value)
        opts = ["--passphrase-file", tmp_path / "pw"]
    elif source == "fd":
        read, write = os.pipe()
        os.write(write, value.encode())  # type: ignore[union-attr]
        os.close(write)
        opts, kw["pass_fds"] = ["--passphrase-fd", read], (read,)
    elif source == "bad-fd":
        opts = ["--passphrase-fd", 97]
    elif source in ("env", "unset-env"):
        if value is not None:
            env["QV_TEST_PW"] = value
        opts = ["--passphrase-env", "QV_TEST_PW"]
    elif source == "keyfile":
        opts = ["--wrapping-key-file", keyfile]
    proc = run("decrypt", "-k", pw_ring, *opts, tmp_path / "token", **kw)
    if source == "fd":
        os.close(read)
    assert PASSPHRASE.encode() not in proc.stdout + proc.stderr
    if status == 0:
        assert (proc.returncode, proc.stdout, proc.stderr) == (0, b"opened", b"")
    else:
        assert needle in failure(proc, status) and proc.stdout == b""


def pty_session(args: list[str], answers: list[bytes], cwd: Path) -> tuple[int, bytes]:
    """Run qv on a new pseudo-terminal, typing each answer after the next prompt."""
    pid, fd = pty.fork()
    if pid == 0:  # the child: its controlling terminal is the pty
        os.chdir(cwd)
        os.execv(sys.executable, [*QV, *args])
    seen = b""
    answered = 0  # where the last answered prompt ended
    pending = list(answers)
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline:
        ready, _, _ = select.select([fd], [], [], 1)
        if not ready:
            continue
        try:
            chunk = os.read(fd, 4096)
        except OSError:  # EIO: the child closed the terminal
            break
        if not chunk:
            break
        seen += chunk
        # getpass flushes typed-ahead input, so answer each prompt once it shows.
        if pending and seen.endswith(b": ") and len(seen) > answered:
            os.write(fd, pending.pop(0) + b"\n")
            answered = len(seen)
    else:
        os.kill(pid, 9)
    _, status = os.waitpid(pid, 0)
    os.close(fd)
    return os.waitstatus_to_exitcode(status), seen


@pytest.mark.parametrize(
    ("answers", "status"),
    [
        pytest.param([b"tty pass", b"tty pass"], 0, id="asked-twice"),
        pytest.param([b"tty pass", b"tty typo"], 1, id="answers-differ"),
    ],
)
def test_new_ring_asks_for_its_passphrase_twice_on_the_terminal(
    tmp_path: Path, answers: list[bytes], status: int
) -> None:
    code, screen = pty_session(["keyring", "new", "ring.json", "--key-id", "k1"], answers, tmp_path)
    assert code == status, screen
    assert b"New passphrase for ring.json: " in screen and b"Repeat the passphrase: " in screen
    assert b"tty pass" not in screen  # not echoed
    if status == 0:
        assert screen.rstrip().endswith(b"k1")
        keys = qv.Keyring.load(tmp_path / "ring.json", passphrase="tty pass")
        assert [i.key_id for i in keys.keys()] == ["k1"]
    else:
        assert b"qv: the two passphrases differ" in screen
        assert not (tmp_path / "ring.json").exists()


# ---------------------------------------------------------------- key rings


def test_new_ring_with_a_passphrase_from_the_environment(tmp_path: Path) -> None:
    env = {**os.environ, "QV_TEST_PW": PASSPHRASE}
    path = tmp_path / "ring.json"
    proc = run("keyring", "new", path, "--passphrase-env", "QV_TEST_PW", env=env)
    assert proc.returncode == 0 and proc.stderr == b""
    (key_id,) = proc.stdout.decode().split()
    assert stat.S_IMODE(path.stat().st_mode) == 0o600
    assert listing(path) == {key_id: ("enabled", True)}
    assert qv.Keyring.load(path, passphrase=PASSPHRASE).keys()[0].key_id == key_id


def test_changes_made_at_the_same_time_are_all_kept(pw_ring: Path) -> None:
    # Each save derives a fresh scrypt key, so the changes overlap in time.
    env = {**os.environ, "QV_TEST_PW": PASSPHRASE}
    args = ["keyring", "add", pw_ring, "--passphrase-env", "QV_TEST_PW"]
    runs = [
        subprocess.Popen(
            [*QV, *map(str, args), f"k{i}"], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE
        )
        for i in range(2, 5)
    ]
    outputs = [p.communicate(timeout=120) for p in runs]
    assert [p.returncode for p in runs] == [0] * 3, outputs
    assert set(listing(pw_ring)) == {"k1", "k2", "k3", "k4"}
    assert len(qv.Keyring.load(pw_ring, passphrase=PASSPHRASE).keys()) == 4


BEFORE = {
    "old": ("enabled", False),
    "new": ("enabled", True),
    "off": ("disabled", False),
    "gone": ("destroyed", False),
}
CHANGES = {
    "add-named": (["add", "extra"], {"extra": ("enabled", False)}),
    "promote": (["promote", "old"], {"old": ("enabled", True), "new": ("enabled", False)}),
    "disable": (["disable", "old"], {"old": ("disabled", False)}),
    "enable": (["enable", "off"], {"off": ("enabled", False)}),
    "destroy": (["destroy", "off"], {"off": ("destroyed", False)}),
    "remove": (["remove", "gone"], {"gone": None}),
}


@pytest.mark.parametrize(("words", "changed"), CHANGES.values(), ids=CHANGES)
def test_ring_changes_are_saved(ring: Ring, words: list[str], changed: dict) -> None:
    proc = run("keyring", words[0], ring.path, *words[1:], "--wrapping-key-file", ring.keyfile)
    assert proc.returncode == 0 and proc.stderr == b""
    expected = {k: v for k, v in {**BEFORE, **changed}.items() if v is not None}
    assert listing(ring.path) == expected
    assert {i.key_id for i in ring.load().keys()} == set(expected)
    assert proc.stdout == (b"extra\n" if words[0] == "add" else b"")


def test_add_without_an_id_prints_the_id_qv_chose(ring: Ring) -> None:
    proc = run("keyring", "add", ring.path, "--wrapping-key-file", ring.keyfile)
    (key_id,) = proc.stdout.decode().split()
    assert listing(ring.path) == {**BEFORE, key_id: ("enabled", False)}


REFUSED = {
    "promote-disabled": (["promote", "{ring}", "off"], "is disabled"),
    "promote-destroyed": (["promote", "{ring}", "gone"], "is destroyed"),
    "disable-primary": (["disable", "{ring}", "new"], "is the primary"),
    "destroy-primary": (["destroy", "{ring}", "new"], "is the primary"),
    "remove-enabled": (["remove", "{ring}", "old"], "destroy it before"),
    "enable-destroyed": (["enable", "{ring}", "gone"], "is destroyed"),
    "unknown-id": (["promote", "{ring}", "nope"], "unknown key id 'nope'"),
    "duplicate-id": (["add", "{ring}", "old"], "already in the key ring"),
    "new-over-a-ring": (["new", "{ring}"], "already exists"),
    "wrong-wrapping-key": (
        ["promote", "{ring}", "old", "--wrapping-key-file", "{other}"],
        "wrong wrapping key",
    ),
    "passphrase-for-key-ring": (
        ["add", "{ring}", "--passphrase-env", "HOME"],
        "locked with a wrapping key",
    ),
    "missing-ring": (["add", "{missing}"], "no such file"),
    "missing-ring-named-with-a-newline": (
        ["add", "{missing}\n\x1b[2J"],
        ".json\\n\\x1b[2J: no such file",
    ),
    "new-in-a-missing-folder": (["new", "{missing}/ring.json"], "No such file or directory"),
}


@pytest.mark.parametrize(("words", "needle"), REFUSED.values(), ids=REFUSED)
def test_refused_ring_changes_leave_the_file_as_it_was(
    ring: Ring, tmp_path: Path, words: list[str], needle: str
) -> None:
    other = tmp_path / "other.key"
    secret_file(other, b64(bytes(32)) + b"\n")
    names = {"ring": ring.path, "other": other, "missing": tmp_path / "missing.json"}
    args = [w.format(**names) for w in words]
    if not any(a.startswith("--") for a in args):
        args += ["--wrapping-key-file", str(ring.keyfile)]
    before = ring.path.read_bytes()
    assert needle in failure(run("keyring", *args))
    assert ring.path.read_bytes() == before
    assert sorted(os.listdir(tmp_path)) == sorted(["ring.json", "wrap.key", "other.key"])


def test_list_reads_no_secret_and_escapes_hostile_ids(tmp_path: Path) -> None:
    keys = qv.Keyring()
    keys.generate("plain")
    keys.generate("evil\x1b[2J\x9b")
    path = tmp_path / "ring.json"
    keys.save(path, wrapping_key=WRAP)
    infos = qv.Keyring.describe(path)
    # Without a terminal, a listing that asked for a secret would fail.
    text = run("keyring", "list", path)
    assert text.returncode == 0 and text.stderr == b""
    lines = text.stdout.decode().splitlines()
    assert lines[0].split() == ["KEY", "ID", "STATUS", "PRIMARY", "CREATED", "(UTC)", "CHECK"]
    assert lines[1].split() == ["plain", "enabled", "primary", *lines[1].split()[3:]]
    assert "evil\\x1b[2J\\x9b" in lines[2] and "\x1b" not in text.stdout.decode()
    for line, info in zip(lines[1:], infos, strict=True):
        assert info.check in line and info.created.strftime("%Y-%m-%dT%H:%M:%SZ") in line
    rows = json.loads(run("keyring", "list", path, "--json").stdout)
    assert rows == [
        {
            "key_id": i.key_id,
            "status": i.status,
            "primary": i.primary,
            "created": i.created.strftime("%Y-%m-%dT%H:%M:%SZ"),
            "check": i.check,
        }
        for i in infos
    ]


def test_list_of_a_file_that_is_not_a_ring_fails(tmp_path: Path) -> None:
    path = secret_file(tmp_path / "x.json", "{}")
    assert "not a key ring" in failure(run("keyring", "list", path))
    path.chmod(0o644)
    warning, error = run("keyring", "list", path).stderr.decode().splitlines()
    assert (
        warning.startswith("qv: warning: key ring file ")
        and "can be read by other users" in warning
    )
    assert error.startswith("qv: cannot read key ring ")


# ---------------------------------------------------------------- whole values

VALUES = {
    "trailing-newline": b"4111 1111 1111 1111\n",
    "no-newline": b"4111",
    "blank-lines": b"a\n\nb\n\n",
    "crlf": b"a\r\n",
    "unicode": "h\u00e9llo \u20ac \U0001f600".encode(),
    "nul-and-tab": b"a\x00\tb",
}


@pytest.mark.parametrize("value", VALUES.values(), ids=VALUES)
def test_whole_input_round_trips_byte_for_byte(ring: Ring, value: bytes) -> None:
    sealed = run("encrypt", *ring.k, stdin=value)
    assert sealed.returncode == 0 and sealed.stderr == b""
    token = sealed.stdout.decode()
    assert token.endswith("\n") and token.count("\n") == 1
    opened = ring.load().decrypt(token.strip())
    assert (opened["data"].encode(), opened["key_id"]) == (value, "new")
    assert run("decrypt", *ring.k, stdin=sealed.stdout).stdout == value


SEAL_OPTIONS = {
    "deterministic": (["--deterministic"], {}, None),
    "metadata": (
        ["--meta", "a=1", "--meta", "b=x=y", "--meta", "c="],
        {"a": "1", "b": "x=y", "c": ""},
        None,
    ),
    "aad-text": (["--aad", "row 7"], {}, "row 7"),
    "aad-entries": (
        ["--aad-entry", "user=alice", "--aad-entry", "row=7=8"],
        {},
        {"user": "alice", "row": "7=8"},
    ),
}


@pytest.mark.parametrize(("options", "metadata", "aad"), SEAL_OPTIONS.values(), ids=SEAL_OPTIONS)
def test_seal_options_reach_the_token(
    ring: Ring, options: list[str], metadata: dict[str, str], aad: object
) -> None:
    token = run("encrypt", *ring.k, *options, stdin=b"v").stdout.strip()
    opened = ring.load().decrypt(token, aad=aad)  # type: ignore[arg-type]
    assert (opened["data"], opened["metadata"]) == ("v", metadata)
    assert opened["deterministic"] == ("--deterministic" in options)
    if "--deterministic" in options:
        assert run("encrypt", *ring.k, *options, stdin=b"v").stdout.strip() == token
    aad_options = [o for o in options if o.startswith("--aad")]
    if aad is not None:
        same = run("decrypt", *ring.k, *options[options.index(aad_options[0]) :], stdin=token)
        assert same.stdout == b"v"
        assert "decryption failed" in failure(run("decrypt", *ring.k, stdin=token))


WHOLE_FAILURES = {
    "empty-input": (["encrypt"], b"", 1, "plaintext must not be empty"),
    "not-utf8": (["encrypt"], b"\xff\xfe", 1, "not UTF-8 text"),
    "garbage-token": (["decrypt"], b"qv.v2.garbage", 1, "decryption failed."),
    "empty-token": (["decrypt"], b"\n", 1, "decryption failed."),
    "wrong-aad": (["decrypt", "--aad", "other"], "{aad_token}", 1, "decryption failed."),
    "unknown-key": (["decrypt"], "{stranger}", 1, "unknown key id 'stranger'"),
    "disabled-key": (["decrypt"], "{off}", 1, "key id 'off' is disabled"),
    "destroyed-key": (["decrypt"], "{gone}", 1, "key id 'gone' is destroyed"),
    "meta-twice": (["encrypt", "--meta", "a=1", "--meta", "a=2"], b"v", 2, "names 'a' twice"),
    "aad-entry-without-key": (["decrypt", "--aad-entry", "=x"], b"v", 2, "KEY=VALUE"),
    "on-error-whole": (["decrypt", "--on-error", "skip"], b"v", 2, "--lines and --jsonl only"),
    "passphrase-fd-0": (["decrypt", "--passphrase-fd", "0"], b"v", 2, "standard input"),
    "missing-input": (["decrypt", "{missing}"], b"", 1, "No such file"),
    "full-disk": (["decrypt", "-o", "/dev/full"], "{plain}", 1, "No space left on device"),
    "full-disk-lines": (["encrypt", "--lines", "-o", "/dev/full"], b"a\nb\n", 1, "No space left"),
}


@pytest.mark.parametrize(
    ("words", "stdin", "status", "needle"), WHOLE_FAILURES.values(), ids=WHOLE_FAILURES
)
def test_whole_value_failures(
    ring: Ring, tmp_path: Path, words: list[str], stdin: bytes | str, status: int, needle: str
) -> None:
    stranger = qv.encrypt("x", bytes(32), "stranger")
    tokens = {
        "{aad_token}": ring.load().encrypt("x", aad="mine"),
        "{plain}": ring.load().encrypt("x"),
        "{stranger}": stranger,
        "{off}": seal_under(ring, "off", "x"),
        "{gone}": ring.gone_token,
    }
    data = tokens[stdin].encode() if isinstance(stdin, str) else stdin
    words = [str(tmp_path / "missing") if w == "{missing}" else w for w in words]
    k = ring.k if "--passphrase-fd" not in words else ["-k", ring.path]
    proc = run(words[0], *k, *words[1:], stdin=data)
    assert needle in failure(proc, status) and proc.stdout == b""


def test_missing_or_locked_ring_fails_before_reading_input(ring: Ring, tmp_path: Path) -> None:
    missing = run("encrypt", "-k", tmp_path / "none.json", "--wrapping-key-file", ring.keyfile)
    assert "cannot open key ring" in failure(missing)
    secret_file(tmp_path / "zero.key", bytes(32))
    wrong = run("decrypt", "-k", ring.path, "--wrapping-key-file", tmp_path / "zero.key")
    assert "wrong wrapping key" in failure(wrong)


def test_output_file_is_private_and_never_the_input(ring: Ring, tmp_path: Path) -> None:
    tokens = tmp_path / "tokens.txt"
    tokens.write_text(ring.load().encrypt("secret") + "\n")
    out = tmp_path / "plain.txt"
    assert run("decrypt", *ring.k, tokens, "-o", out).returncode == 0
    assert out.read_bytes() == b"secret" and stat.S_IMODE(out.stat().st_mode) == 0o600
    before = tokens.read_bytes()
    for same in (tokens, tmp_path / "." / "tokens.txt"):
        assert "is the input file" in failure(
            run("rotate", *ring.k, "--lines", tokens, "-o", same), 2
        )
    assert tokens.read_bytes() == before


# ---------------------------------------------------------------- lines and JSON lines


def test_lines_drop_their_endings_and_come_back_one_per_line(ring: Ring) -> None:
    sealed = run("encrypt", *ring.k, "--lines", stdin=b"a\r\nb\n\xc3\xa9 c")
    assert sealed.returncode == 0 and sealed.stderr == b""
    tokens = sealed.stdout.decode().split("\n")
    assert tokens[-1] == "" and len(tokens) == 4
    assert [ring.load().decrypt(t)["data"] for t in tokens[:3]] == ["a", "b", "\u00e9 c"]
    assert (
        run("decrypt", *ring.k, "--lines", stdin=sealed.stdout).stdout
        == "a\nb\n\u00e9 c\n".encode()
    )


def test_lines_refuse_a_plaintext_that_would_split_its_line(ring: Ring) -> None:
    token = ring.load().encrypt("two\nlines")
    proc = run("decrypt", *ring.k, "--lines", stdin=token.encode())
    assert "line 1: the plaintext holds a line break" in failure(proc)
    assert run("decrypt", *ring.k, stdin=token.encode()).stdout == b"two\nlines"


def jsonl_case(ring: Ring) -> tuple[bytes, list[bytes]]:
    """Three lines, the middle one failing: (input, each line's output when it opens)."""
    keys = ring.load()
    good = [
        f'{{"id": 1, "card": "{keys.encrypt("4111")}", "n": {{"card": "x"}}}}',
        f'{{"card": "{keys.encrypt("5500")}", "id": 3}}',
    ]
    lines = [good[0], '{"id": 2, "card": "qv.v2.broken"}', good[1]]
    opened = [b'{"id": 1, "card": "4111", "n": {"card": "x"}}\n', b'{"card": "5500", "id": 3}\n']
    return "".join(line + "\n" for line in lines).encode(), opened


@pytest.mark.parametrize("shape", ["lines", "jsonl"])
@pytest.mark.parametrize("on_error", ["fail", "skip", "keep", None])
def test_on_error_decides_what_a_failed_line_becomes(
    ring: Ring, shape: str, on_error: str | None
) -> None:
    if shape == "jsonl":
        data, opened = jsonl_case(ring)
        options = ["--jsonl", "card"]
    else:
        keys = ring.load()
        data = f"{keys.encrypt('a')}\nqv.v2.broken\n{keys.encrypt('c')}\n".encode()
        opened = [b"a\n", b"c\n"]
        options = ["--lines"]
    if on_error:
        options += ["--on-error", on_error]
    proc = run("decrypt", *ring.k, *options, stdin=data)
    kept = data.split(b"\n")[1] + b"\n"
    expected = {
        "fail": opened[0],
        None: opened[0],
        "skip": opened[0] + opened[1],
        "keep": opened[0] + kept + opened[1],
    }[on_error]
    assert (proc.returncode, proc.stdout) == (1, expected)
    err = proc.stderr.decode()
    assert err.startswith("qv: line 2: ") and "decryption failed" in err
    assert err.count("\n") == 1


def test_many_failures_are_summed_up(ring: Ring) -> None:
    proc = run("decrypt", *ring.k, "--lines", "--on-error", "skip", stdin=b"x\n" * 25)
    lines = proc.stderr.decode().splitlines()
    assert proc.returncode == 1 and proc.stdout == b""
    assert len(lines) == 11 and lines[-1] == "qv: 25 lines failed; the first 10 are shown above"


def test_jsonl_seals_and_opens_named_fields_in_place(ring: Ring, tmp_path: Path) -> None:
    lines = [
        '{"id": 1, "card": "4111", "name": "Ada", "f": 1.10, "n": {"card": "x"}}',
        '{ "name" : "\\u00e9\\n" ,"id":2}',
        "",
        '{"card": "5500\\t\\u20ac", "u": "\\u00e9"}\r',
    ]
    src = tmp_path / "in.jsonl"
    src.write_text("\n".join(lines))
    sealed = run("encrypt", *ring.k, "--jsonl", "card,name", src)
    assert sealed.returncode == 0 and sealed.stderr == b""
    out = sealed.stdout.decode().split("\n")
    assert len(out) == 4 and out[2] == "" and out[3].endswith("\r")
    rows = [json.loads(line) for line in out if line]
    keys = ring.load()
    assert [list(r) for r in rows] == [
        ["id", "card", "name", "f", "n"],
        ["name", "id"],
        ["card", "u"],
    ]
    assert [keys.decrypt(r["card"])["data"] for r in (rows[0], rows[2])] == ["4111", "5500\t\u20ac"]
    assert [keys.decrypt(r["name"])["data"] for r in rows[:2]] == ["Ada", "\u00e9\n"]
    # What was not sealed is still written as it was.
    assert out[0].endswith('"f": 1.10, "n": {"card": "x"}}') and out[1].endswith(',"id":2}')
    assert out[3].endswith(', "u": "\\u00e9"}\r')
    opened = run("decrypt", *ring.k, "--jsonl", "card,name", stdin=sealed.stdout)
    assert [json.loads(x) for x in opened.stdout.decode().splitlines() if x] == [
        json.loads(x) for x in lines if x
    ]


def upper(value: str) -> tuple[str, bool]:
    if value == "same":
        return value, False
    if value == "bad":
        raise cli.ValueFailed("does not open")
    return value.upper(), True


JSONL_LINES = {
    "spacing-order-nesting-kept": (
        '{ "b" : 1.10 ,"a":"x" , "c": {"a": "nested"}, "d": [1e400, NaN] }',
        '{ "b" : 1.10 ,"a":"X" , "c": {"a": "nested"}, "d": [1e400, NaN] }',
    ),
    "escapes-elsewhere-kept": (
        '{"u": "\\u00e9", "a": "\\u00e9"}',
        '{"u": "\\u00e9", "a": "\u00c9"}',
    ),
    "escaped-field-name": ('{"\\u0061": "x"}', '{"\\u0061": "X"}'),
    "every-duplicate": ('{"a": "x", "a": "y"}', '{"a": "X", "a": "Y"}'),
    "absent-stays-absent": ('{"b": "x"}', '{"b": "x"}'),
    "unchanged-value": ('{"a":"same", "b": 1}', '{"a":"same", "b": 1}'),
    "empty-object": ("{}", "{}"),
    "blank-line": ("  \t", "  \t"),
    "quote-in-result": ('{"a": "say \\"hi\\""}', '{"a": "SAY \\"HI\\""}'),
}


@pytest.mark.parametrize(("line", "expected"), JSONL_LINES.values(), ids=JSONL_LINES)
def test_jsonl_replaces_only_the_named_values(line: str, expected: str) -> None:
    fields = frozenset({"a"})
    out, _, _ = cli.convert_jsonl(line.encode(), fields, upper)
    assert out.decode() == expected


JSONL_FAILURES = {
    "number": ('{"a": 1}', "is not a string"),
    "null": ('{"a": null}', "is not a string"),
    "nested-object": ('{"a": {"b": "x"}}', "is not a string"),
    "array": ('["a"]', "not a JSON object"),
    "string": ('"a"', "not a JSON object"),
    "trailing-text": ('{"a": "x"} {}', "text after the object"),
    "trailing-comma": ('{"a": "x",}', "not a JSON object"),
    "bare-name": ('{a: "x"}', "not a JSON object"),
    "unterminated": ('{"a": "x"', "not a JSON object"),
    "bad-escape": ('{"a": "\\q"}', "not valid JSON"),
    "deep-nesting": ('{"b": ' + "[" * 100_000 + "]" * 100_000 + ', "a": "x"}', "not valid JSON"),
    "value-fails": ('{"a": "bad"}', 'field "a": does not open'),
    "not-utf8": (b'{"a": "\xff"}', "not UTF-8"),
}


@pytest.mark.parametrize(("line", "needle"), JSONL_FAILURES.values(), ids=JSONL_FAILURES)
def test_jsonl_lines_that_fail(line: str | bytes, needle: str) -> None:
    data = line if isinstance(line, bytes) else line.encode()
    with pytest.raises(cli.ValueFailed, match=needle):
        cli.convert_jsonl(data, frozenset({"a"}), upper)


# ---------------------------------------------------------------- rotate


def test_rotate_lines_reseals_old_tokens_and_passes_the_rest_through(ring: Ring) -> None:
    old_det = seal_under(ring, "old", "4111", deterministic=True, metadata={"s": "card/1"})
    old = seal_under(ring, "old", "5500")
    current = ring.load().encrypt("6011")
    disabled = seal_under(ring, "off", "3782")
    data = f"{old_det}\r\n{current}\n{disabled}\nnot a token\n{old}".encode()
    proc = run("rotate", *ring.k, "--lines", "--on-error", "keep", stdin=data)
    assert proc.returncode == 1
    assert proc.stderr.decode().splitlines()[-1] == "qv: 2 rotated, 1 unchanged, 2 failed"
    out = proc.stdout.split(b"\n")
    assert out[1:4] == [current.encode(), disabled.encode(), b"not a token"]
    assert out[0].endswith(b"\r") and b"\r" not in out[4]
    keys = ring.load()
    first, last = keys.decrypt(out[0].strip()), keys.decrypt(out[4])
    assert first == {
        "data": "4111",
        "metadata": {"s": "card/1"},
        "key_id": "new",
        "deterministic": True,
    }
    assert (last["data"], last["key_id"], last["deterministic"]) == ("5500", "new", False)
    assert (
        out[0].strip()
        == keys.encrypt("4111", deterministic=True, metadata={"s": "card/1"}).encode()
    )


def test_rotate_jsonl_with_aad_and_summary(ring: Ring) -> None:
    old = seal_under(ring, "old", "a", aad={"t": "users"})
    current = ring.load().encrypt("b", aad={"t": "users"})
    data = f'{{"x": "{old}", "y": "{current}", "z": 1}}\n{{"z": 2}}\n'.encode()
    proc = run("rotate", *ring.k, "--aad-entry", "t=users", "--jsonl", "x,y", stdin=data)
    assert proc.returncode == 0
    assert proc.stderr == b"qv: 1 rotated, 1 unchanged, 0 failed\n"
    first, second = proc.stdout.decode().splitlines()
    row = json.loads(first)
    assert ring.load().decrypt(row["x"], aad={"t": "users"})["key_id"] == "new"
    assert row["y"] == current and first.endswith(', "z": 1}') and second == '{"z": 2}'
    unbound = run("rotate", *ring.k, "--jsonl", "x,y", stdin=data)
    assert unbound.returncode == 1
    assert unbound.stderr.decode().splitlines() == [
        'qv: line 1: field "x": decryption failed.',
        "qv: 0 rotated, 0 unchanged, 1 failed",
    ]


def test_rotate_100000_jsonl_lines(ring: Ring, tmp_path: Path) -> None:
    keys = ring.load()
    keys.promote("old")
    src = tmp_path / "big.jsonl"
    with src.open("w") as f:
        for i in range(100_000):
            f.write(f'{{"id": {i}, "v": "{keys.encrypt(str(i))}", "n": {{"k": [1, 2]}}}}\n')
    out = tmp_path / "rotated.jsonl"
    proc = run("rotate", *ring.k, "--jsonl", "v", src, "-o", out)
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == b"qv: 100000 rotated, 0 unchanged, 0 failed\n"
    current = ring.load()
    count = 0
    with out.open() as f:
        for i, line in enumerate(f):
            row = json.loads(line)
            assert row["id"] == i and row["n"] == {"k": [1, 2]}
            opened = current.decrypt(row["v"])
            assert (opened["data"], opened["key_id"]) == (str(i), "new")
            count += 1
    assert count == 100_000


# ---------------------------------------------------------------- inspect

KEY = bytes(range(32))


def test_inspect_reports_what_the_token_claims_and_says_it_is_unauthenticated() -> None:
    tokens = [
        qv.encrypt("h\u00e9llo", KEY, "k1", metadata={"b": "2", "a": "1"}),
        qv.encrypt("x", KEY, "key-\u00e9", deterministic=True),
    ]
    proc = run("inspect", "--json", *tokens)
    assert proc.returncode == 0 and proc.stderr == b""
    for number, (token, line) in enumerate(
        zip(tokens, proc.stdout.decode().splitlines(), strict=True), 1
    ):
        row = json.loads(line)
        f = split(token)
        assert row == {
            "token": number,
            "authenticated": False,
            "key_id": f["key_id"].decode(),
            "mode": "deterministic" if f["flags"] & 1 else "random",
            "metadata": json.loads(f["metadata_text"] or "{}"),
            "fingerprint": f["key_id"].decode() + ":" + f["nonce"].hex(),
            "sizes": {
                "token": len(token),
                "body": 33 + len(f["key_id"]) + len(f["metadata_text"]) + len(f["ciphertext"]),
                "metadata": len(f["metadata_text"]),
                "plaintext": len(f["ciphertext"]),
            },
        }
    text = run("inspect", stdin=("\n" + tokens[0] + "\n\n  " + tokens[1] + "\n").encode())
    lines = text.stdout.decode().splitlines()
    assert text.returncode == 0 and lines[0] == "token 1" and lines[7] == "token 2"
    assert lines[1].split()[:2] == ["authenticated", "no:"] and "without a key" in lines[1]
    assert lines[2:5] == [
        "  key id         k1",
        "  mode           random",
        '  metadata       {"a": "1", "b": "2"}',
    ]
    assert lines[11] == "  metadata       none"


def test_inspect_escapes_hostile_text_and_flags_tokens_that_do_not_decode() -> None:
    hostile = qv.encrypt("x", KEY, "id\x1b]0;pwned\x07", metadata={"m": "\x1b[2J\x9b"})
    proc = run("inspect", hostile, "qv.v2.AAAA", "not a token")
    assert proc.returncode == 1
    out = proc.stdout.decode()
    assert not any(c in out for c in "\x1b\x07\x9b")
    assert "id\\x1b]0;pwned\\x07" in out and "\\u001b[2J\\x9b" in out
    assert proc.stderr.decode().splitlines() == [
        "qv: token 2 does not decode as a qv.v2 token",
        "qv: token 3 does not decode as a qv.v2 token",
    ]
    rows = [json.loads(x) for x in run("inspect", "--json", hostile, "x").stdout.splitlines()]
    assert rows[0]["key_id"] == "id\x1b]0;pwned\x07" and rows[1] == {
        "token": 2,
        "error": "does not decode",
    }


# ---------------------------------------------------------------- progress


class FakeTerminal(io.StringIO):
    def isatty(self) -> bool:
        return True


@pytest.mark.parametrize("terminal", [True, False], ids=["terminal", "not-a-terminal"])
def test_progress_shows_on_a_terminal_only(terminal: bool) -> None:
    now = [100.0]
    stream = FakeTerminal() if terminal else io.StringIO()
    progress = cli.Progress(stream, clock=lambda: now[0], interval=0.5)
    for done in range(1, 2001):
        now[0] += 2**-10  # exact in binary, so the half seconds fall on exact counts
        progress.update(done)
    progress.finish()
    text = stream.getvalue()
    if not terminal:
        assert text == ""
        return
    updates = [part for part in text.split("\r") if part.strip()]
    assert len(updates) == 3  # after 0.5, 1.0 and 1.5 seconds
    assert updates[0].strip() == "qv: 512 values, 1,024/s"
    assert text.endswith("\r") and text.split("\r")[-2].strip() == ""


def test_a_reader_that_stops_early_ends_the_output_quietly(tmp_path: Path) -> None:
    (tmp_path / "tokens").write_text("\n".join(qv.encrypt("x", KEY, "k1") for _ in range(3000)))
    command = f"{shlex.join(QV)} inspect < tokens | head -n 1"
    proc = subprocess.run(["bash", "-c", command], cwd=tmp_path, capture_output=True, timeout=60)
    assert (proc.stdout, proc.stderr) == (b"token 1\n", b"")


# ---------------------------------------------------------------- hostile values and outputs, in process

SECRET = "SECRET-4f1c"  # stands for a key or a plaintext that a message must never show


def qv_main(
    argv: list[object], capsys: pytest.CaptureFixture[str], stdin: bytes | Path = b""
) -> tuple[int, bytes, str]:
    """`main(argv)` in this process: its status, standard output and standard error."""
    source = stdin.open("rb") if isinstance(stdin, Path) else io.BytesIO(stdin)
    saved, sys.stdin = sys.stdin, io.TextIOWrapper(source)
    try:
        status = cli.main([str(a) for a in argv])
        captured = capsys.readouterr()
    finally:
        sys.stdin.close()
        sys.stdin = saved
    return status, captured.out.encode(), captured.err


def raising(error: Exception) -> Callable[..., NoReturn]:
    def fail(*_: object, **__: object) -> NoReturn:
        raise error

    return fail


# Ways one value fails in the ring: the texts quote SECRET, as pybind11's do.
VALUE_FAILURES = {
    "lone-surrogate": (None, "lone surrogate"),
    "type-error": (TypeError(f"Invoked with: '{SECRET}'"), "(TypeError)"),
    "unicode-error": (UnicodeEncodeError("utf-8", SECRET, 0, 1, "x"), "not UTF-8 text"),
    "runtime-error": (RuntimeError("qv: decryption failed."), "decryption failed."),
}
# Lines written when both lines fail: none, none, both as they were.
KEPT = {"fail": 0, "skip": 0, "keep": 2}


@pytest.mark.parametrize("on_error", KEPT)
@pytest.mark.parametrize(("error", "needle"), VALUE_FAILURES.values(), ids=VALUE_FAILURES)
def test_a_failed_value_is_one_line_that_honours_on_error(
    ring: Ring,
    capsys: pytest.CaptureFixture[str],
    monkeypatch: pytest.MonkeyPatch,
    error: Exception | None,
    needle: str,
    on_error: str,
) -> None:
    first = '{"c": "\\ud800"}' if error is None else '{"c": "v"}'
    if error is not None:
        real = qv.Keyring.encrypt
        monkeypatch.setattr(
            qv.Keyring, "encrypt", lambda s, v, **kw: raising(error)() if v == "v" else real(s, v)
        )
    words = ["encrypt", *ring.k, "--jsonl", "c", "--on-error", on_error]
    status, out, err = qv_main(words, capsys, f'{first}\n{{"c": 1}}\n'.encode())
    # The second line fails too (not a string): the run goes on past the first unless fail.
    assert status == 1 and needle in err.splitlines()[0] and SECRET not in err
    assert err.count("\n") == (1 if on_error == "fail" else 2) and "Traceback" not in err
    assert len(out.splitlines()) == KEPT[on_error]


@pytest.mark.parametrize("command", ["decrypt", "rotate"])
def test_a_token_with_a_lone_surrogate_does_not_open(
    ring: Ring, capsys: pytest.CaptureFixture[str], command: str
) -> None:
    words = [command, *ring.k, "--jsonl", "t", "--on-error", "skip"]
    status, out, err = qv_main(words, capsys, b'{"t": "\\ud800"}\n')
    assert (status, out) == (1, b"")
    assert err.startswith('qv: line 1: field "t": decryption failed. (skipped)\n')


@pytest.mark.parametrize(
    ("n", "needle"),
    [(2**64, "at most 131072"), (2**18, "at most 131072"), (2**13, "at least 16384")],
    ids=["2**64", "2**18", "2**13"],
)
def test_derive_password_refuses_scrypt_costs_before_reading_the_password(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], n: int, needle: str
) -> None:
    pw = secret_file(tmp_path / "pw.txt", SECRET)
    words = ["derive", "password", "--n", n, "--salt-hex", "00ff", "--passphrase-file", pw]
    status, out, err = qv_main([*words, "-o", "-"], capsys)
    assert (status, out) == (2, b"") and needle in err and SECRET not in err


def test_an_unexpected_exception_is_told_by_its_type_alone(
    capsys: pytest.CaptureFixture[str], monkeypatch: pytest.MonkeyPatch
) -> None:
    monkeypatch.setattr(qv, "generate_key", raising(LookupError(SECRET)))
    monkeypatch.delenv(cli.DEBUG_VARIABLE, raising=False)
    status, out, err = qv_main(["keygen", "-o", "-"], capsys)
    assert (status, out) == (1, b"") and err.startswith("qv: unexpected LookupError;")
    assert SECRET not in err and err.count("\n") == 1
    monkeypatch.setenv(cli.DEBUG_VARIABLE, "1")
    with pytest.raises(LookupError, match=SECRET):
        cli.main(["keygen", "-o", "-"])


def hard_link(ring: Ring, folder: Path) -> Path:
    os.link(ring.path, folder / "hard")
    return folder / "hard"


def planted_link(ring: Ring, folder: Path) -> Path:
    (folder / "link").symlink_to(folder / "new")
    return folder / "link"


# -o that names a file the command reads, under another name where it can.
READ_FILES = {
    "ring": (lambda r, d: r.path, "the key ring"),
    "ring-hard-link": (hard_link, "the key ring"),
    "wrapping-key-file": (lambda r, d: r.keyfile, "the wrapping key file"),
    "input": (lambda r, d: d / "." / "in.txt", "the input file"),
    "standard-input": (lambda r, d: d / "stdin.txt", "standard input"),
    "symlink": (planted_link, "symbolic link"),
}


@pytest.mark.parametrize(("target", "needle"), READ_FILES.values(), ids=READ_FILES)
def test_output_over_a_file_the_command_reads_is_refused_first(
    ring: Ring, tmp_path: Path, capsys: pytest.CaptureFixture[str], target: object, needle: str
) -> None:
    (tmp_path / "in.txt").write_bytes(b"v")
    stdin = secret_file(tmp_path / "stdin.txt", b"v")
    output = target(ring, tmp_path)  # type: ignore[operator]
    source = [] if needle == "standard input" else [tmp_path / "in.txt"]
    before = {p: p.read_bytes() for p in tmp_path.iterdir() if p.is_file()}
    status, _, err = qv_main(["encrypt", *ring.k, *source, "-o", output], capsys, stdin)
    assert status == 2 and needle in err
    assert {p: p.read_bytes() for p in tmp_path.iterdir() if p.is_file()} == before
    assert not (tmp_path / "new").exists()


def test_a_passphrase_file_is_never_the_output(
    pw_ring: Path, tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    pw = secret_file(tmp_path / "pw.txt", PASSPHRASE)
    words = ["encrypt", "-k", pw_ring, "--passphrase-file", pw, "-o", pw]
    status, _, err = qv_main(words, capsys, b"v")
    assert status == 2 and "the passphrase file" in err and pw.read_text() == PASSPHRASE


# What an existing output file holds after a run: replaced only by a run that went through.
OUTCOMES = {
    "whole-fails": (["decrypt"], b"nope", b"old"),
    "line-fails": (["decrypt", "--lines"], b"{token}\nnope\n", b"old"),
    "line-skipped": (["decrypt", "--lines", "--on-error", "skip"], b"nope\n{token}\n", b"x\n"),
    "succeeds": (["decrypt"], b"{token}", b"x"),
}


@pytest.mark.parametrize(("words", "stdin", "expected"), OUTCOMES.values(), ids=OUTCOMES)
def test_an_existing_output_is_replaced_only_by_a_run_that_went_through(
    ring: Ring,
    tmp_path: Path,
    capsys: pytest.CaptureFixture[str],
    words: list[str],
    stdin: bytes,
    expected: bytes,
) -> None:
    out = tmp_path / "out.txt"
    out.write_bytes(b"old")
    out.chmod(0o644)
    data = stdin.replace(b"{token}", ring.load().encrypt("x").encode())
    qv_main([words[0], *ring.k, *words[1:], "-o", out], capsys, data)
    assert out.read_bytes() == expected
    assert stat.S_IMODE(out.stat().st_mode) == (0o644 if expected == b"old" else 0o600)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.txt", "ring.json", "wrap.key"]
